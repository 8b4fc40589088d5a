// micro.cpp - microbenchmarks of cfgtree's public operations.
//
// Each benchmark works on one object holding N children (N = 1,000, 10,000
// and 100,000, capped by --max-n) and picks its keys from a fixed
// pseudo-random sequence of existing children. Operations that are done to a
// whole object (create, delete, load, save) report the time per item as
// "t/item". Extra options before Google Benchmark's own: --max-n=N,
// --min-time=SECONDS.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cfgtree.h"
#include "ds.h"

namespace {

constexpr unsigned kKeys = 4096;  // length of every key sequence (a power of 2)
constexpr unsigned kSizes[] = {1000, 10000, 100000};

unsigned g_max_n = 100000;
double g_min_time = 0.5;
std::string g_dir;

std::string num(const char *prefix, unsigned i) { return prefix + std::to_string(i); }

// The same pseudo-random child indexes for every benchmark of one size.
std::vector<unsigned> random_indexes(unsigned n, unsigned count) {
    std::vector<unsigned> out(count);
    uint64_t x = 0x2545f4914f6cdd1dull ^ n;
    for (auto &i : out) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        i = unsigned(x % n);
    }
    return out;
}

// M<n> holds a0..a(n-1) with plain values; R<n> holds r0..r(kKeys-1), each
// value with one reference to an attribute of M<n>.
struct Tree {
    std::string object;
    std::vector<std::string> keys;        // M<n>.a<i>, random order
    std::vector<std::string> ref_keys;    // R<n>.r<k>
    std::vector<std::string> sub_texts;   // two references each
};

bool g_failed = false;  // any benchmark that stopped on an error fails the run

bool fail(benchmark::State &state, const char *what) {
    g_failed = true;
    state.SkipWithError(what);
    return false;
}

bool fail(benchmark::State &state, const char *what, int status) {
    return fail(state, (std::string(what) + ": " + Cfg_StatusName(status)).c_str());
}

const Tree *tree(benchmark::State &state, unsigned n) {
    static std::map<unsigned, Tree> trees;
    auto found = trees.find(n);
    if (found != trees.end()) return &found->second;
    Tree t;
    t.object = num("M", n);
    for (unsigned i = 0; i < n; ++i) {
        int status = Cfg_SetAttrValue((t.object + num(".a", i)).c_str(), ("value-" + std::to_string(i)).c_str());
        if (status != CFG_OK) return fail(state, "building the tree", status), nullptr;
    }
    std::vector<unsigned> idx = random_indexes(n, 2 * kKeys);
    std::string refs = num("R", n);
    for (unsigned k = 0; k < kKeys; ++k) {
        std::string a = t.object + num(".a", idx[k]), b = t.object + num(".a", idx[kKeys + k]);
        t.keys.push_back(a);
        t.ref_keys.push_back(refs + num(".r", k));
        t.sub_texts.push_back("host=${" + a + "} port=${" + b + "}");
        int status = Cfg_SetAttrValue(t.ref_keys.back().c_str(), ("x-${" + a + "}-y").c_str());
        if (status != CFG_OK) return fail(state, "building the references", status), nullptr;
    }
    return &trees.emplace(n, std::move(t)).first->second;
}

// Sets the dereference flag for one benchmark and restores it after.
struct Deref {
    uint32_t old;
    explicit Deref(bool on) : old(Cfg_Dereference(on)) {}
    ~Deref() { Cfg_Dereference(old != 0); }
};

void per_item(benchmark::State &state, double items) {
    state.counters["t/item"] =
        benchmark::Counter(items, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(int64_t(state.iterations() * items));
}

// ---- reading ---------------------------------------------------------------

void BM_Find(benchmark::State &state) {
    const Tree *t = tree(state, unsigned(state.range(0)));
    if (!t) return;
    unsigned i = 0;
    for (auto _ : state) {
        cfg_handle h = 0;
        int status = Cfg_Find(t->keys[i++ & (kKeys - 1)].c_str(), &h);
        benchmark::DoNotOptimize(h);
        if (status != CFG_OK) return void(fail(state, "Cfg_Find", status));
    }
}

void get_loop(benchmark::State &state, const std::vector<std::string> &keys) {
    char buf[640];
    unsigned i = 0;
    for (auto _ : state) {
        int status = Cfg_GetAttrValue(keys[i++ & (kKeys - 1)].c_str(), buf, sizeof buf);
        benchmark::DoNotOptimize(buf);
        if (status != CFG_OK) return void(fail(state, "Cfg_GetAttrValue", status));
    }
}

void BM_GetRaw(benchmark::State &state) {
    const Tree *t = tree(state, unsigned(state.range(0)));
    if (!t) return;
    Deref d(false);
    get_loop(state, t->keys);
}

// Dereferencing on (the default), values without references.
void BM_GetDeref(benchmark::State &state) {
    const Tree *t = tree(state, unsigned(state.range(0)));
    if (!t) return;
    Deref d(true);
    get_loop(state, t->keys);
}

// Dereferencing on, each value with one reference to resolve.
void BM_GetSubst(benchmark::State &state) {
    const Tree *t = tree(state, unsigned(state.range(0)));
    if (!t) return;
    Deref d(true);
    get_loop(state, t->ref_keys);
}

void BM_Substitute(benchmark::State &state) {
    const Tree *t = tree(state, unsigned(state.range(0)));
    if (!t) return;
    char out[640];
    unsigned i = 0;
    for (auto _ : state) {
        int status = Cfg_Substitute(t->sub_texts[i++ & (kKeys - 1)].c_str(), out, sizeof out);
        benchmark::DoNotOptimize(out);
        if (status != CFG_OK) return void(fail(state, "Cfg_Substitute", status));
    }
}

// Substitutes one text of n references, to the given keys in turn,
// whole into a buffer twice its size.
void substitute_loop(benchmark::State &state, const std::vector<std::string> &keys, unsigned n) {
    std::string text;
    for (unsigned i = 0; i < n; ++i) text += "${" + keys[i & (kKeys - 1)] + "} ";
    std::vector<char> out(2 * text.size());
    for (auto _ : state) {
        int status = Cfg_Substitute(text.c_str(), out.data(), uint32_t(out.size()));
        benchmark::DoNotOptimize(out.data());
        if (status != CFG_OK) return void(fail(state, "Cfg_Substitute", status));
    }
    per_item(state, n);
}

// A text of n references to attributes of M<n> (a template, say): the time
// per reference stays flat as the text grows.
void BM_SubstituteText(benchmark::State &state) {
    unsigned n = unsigned(state.range(0));
    if (const Tree *t = tree(state, n)) substitute_loop(state, t->keys, n);
}

// As SubstituteText, with references to values that hold a reference each
// (substituted in turn, the rest of the text their room). A text evaluates
// at most 100,000 references, so it holds at most 40,000 of them: the
// sizes above are cut to that.
void BM_SubstituteNested(benchmark::State &state) {
    if (const Tree *t = tree(state, unsigned(state.range(0))))
        substitute_loop(state, t->ref_keys, std::min(unsigned(state.range(0)), 40000u));
}

// ---- changing --------------------------------------------------------------

void BM_Set(benchmark::State &state) {
    const Tree *t = tree(state, unsigned(state.range(0)));
    if (!t) return;
    unsigned i = 0;
    for (auto _ : state) {
        int status = Cfg_SetAttrValue(t->keys[i & (kKeys - 1)].c_str(), (i & 1) ? "changed-value" : "other-value");
        ++i;
        if (status != CFG_OK) return void(fail(state, "Cfg_SetAttrValue", status));
    }
}

// Names C.a<i> (or C.a[i] with instances), in creation order.
std::vector<std::string> child_names(unsigned n, bool instances) {
    std::vector<std::string> names;
    names.reserve(n);
    for (unsigned i = 0; i < n; ++i) names.push_back(instances ? "C.a[" + std::to_string(i) + "]" : num("C.a", i));
    return names;
}

uint16_t attribute_kind() {
    static const uint16_t kind = uint16_t(oa_xid_of("OID_ATT_CONFIG_ITEM"));
    return kind;
}

bool clear(benchmark::State &state, const char *object) {
    int status = Cfg_Delete(object);
    return status == CFG_OK || status == CFG_NOT_FOUND || fail(state, "Cfg_Delete", status);
}

bool fill(benchmark::State &state, const std::vector<std::string> &names) {
    for (const auto &name : names) {
        cfg_handle h;
        int status = cfg_create_item(0, name.c_str(), attribute_kind(), &h);
        if (status != CFG_OK) return fail(state, "cfg_create_item", status);
    }
    return true;
}

// N attributes created one by one into an empty object.
void BM_Create(benchmark::State &state) {
    unsigned n = unsigned(state.range(0));
    auto names = child_names(n, false);
    for (auto _ : state) {
        state.PauseTiming();
        bool ok = clear(state, "C");
        state.ResumeTiming();
        if (!ok || !fill(state, names)) return;
    }
    per_item(state, n);
}

// N attributes deleted one by one by name, in random order.
void BM_DeleteEach(benchmark::State &state) {
    unsigned n = unsigned(state.range(0));
    auto names = child_names(n, false);
    std::vector<std::string> order;
    std::vector<unsigned> perm(n);
    for (unsigned i = 0; i < n; ++i) perm[i] = i;
    uint64_t x = 88172645463325252ull;
    for (unsigned i = n - 1; i > 0; --i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::swap(perm[i], perm[x % (i + 1)]);
    }
    for (unsigned i : perm) order.push_back(names[i]);
    for (auto _ : state) {
        state.PauseTiming();
        bool ok = clear(state, "C") && fill(state, names);
        state.ResumeTiming();
        if (!ok) return;
        for (const auto &name : order) {
            int status = Cfg_Delete(name.c_str());
            if (status != CFG_OK) return void(fail(state, "Cfg_Delete", status));
        }
    }
    per_item(state, n);
}

// One Cfg_Delete("C.a[*]") over N instances.
void BM_DeleteWild(benchmark::State &state) {
    unsigned n = unsigned(state.range(0));
    auto names = child_names(n, true);
    for (auto _ : state) {
        state.PauseTiming();
        bool ok = clear(state, "C") && fill(state, names);
        state.ResumeTiming();
        if (!ok) return;
        int status = Cfg_Delete("C.a[*]");
        if (status != CFG_OK) return void(fail(state, "Cfg_Delete(C.a[*])", status));
    }
    per_item(state, n);
}

// ---- files -----------------------------------------------------------------

std::string load_file(unsigned n) {
    std::string path = g_dir + "/load-" + std::to_string(n) + ".cfg";
    if (std::filesystem::exists(path)) return path;
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) return {};
    std::fputs("L {\n", f);
    for (unsigned i = 0; i < n; ++i) std::fprintf(f, "  a%u = value-%u-of-the-load\n", i, i);
    std::fputs("}\n", f);
    return std::fclose(f) == 0 ? path : std::string();
}

// The update-mode loader hands each definition to this table, which stores
// it as a program's notification callback would.
int store_update(char *item, void *) {
    char *eq = std::strchr(item, '=');
    if (!eq) return 0;
    *eq = '\0';
    return Cfg_SetAttrValue(item, eq + 1);
}
CfgUpdateEntry g_store_all[] = {{"**", nullptr, store_update, nullptr, nullptr},
                                {nullptr, nullptr, nullptr, nullptr, nullptr}};

void load_loop(benchmark::State &state, bool direct) {
    unsigned n = unsigned(state.range(0));
    std::string path = load_file(n);
    if (path.empty()) return void(fail(state, "cannot write the file"));
    static bool registered = false;
    if (!direct && !registered) {
        if (Cfg_NotifyRegister(g_store_all) != CFG_OK) return void(fail(state, "Cfg_NotifyRegister"));
        registered = true;
    }
    uint32_t old = Cfg_DirectLoad(direct);
    for (auto _ : state) {
        state.PauseTiming();
        bool ok = clear(state, "L");
        state.ResumeTiming();
        if (!ok) return;
        int status = CfgF_LoadFile(path.c_str(), nullptr);
        if (status != CFG_OK) return void(fail(state, "CfgF_LoadFile", status));
    }
    Cfg_DirectLoad(old != 0);
    cfg_handle h;
    if (Cfg_Find(("L.a" + std::to_string(n - 1)).c_str(), &h) != CFG_OK) fail(state, "the load stored nothing");
    per_item(state, n);
}

void BM_LoadDirect(benchmark::State &state) { load_loop(state, true); }
void BM_LoadUpdate(benchmark::State &state) { load_loop(state, false); }

void BM_Save(benchmark::State &state) {
    unsigned n = unsigned(state.range(0));
    const Tree *t = tree(state, n);
    if (!t) return;
    FILE *sink = std::fopen("/dev/null", "w");
    if (!sink) return void(fail(state, "cannot open /dev/null"));
    for (auto _ : state) {
        int status = Cfg_Save(t->object.c_str(), sink);
        if (status != CFG_OK) return std::fclose(sink), void(fail(state, "Cfg_Save", status));
    }
    std::fclose(sink);
    per_item(state, n);
}

void register_all() {
    struct {
        const char *name;
        void (*fn)(benchmark::State &);
    } const all[] = {{"Find", BM_Find},           {"GetRaw", BM_GetRaw},         {"GetDeref", BM_GetDeref},
                     {"GetSubst", BM_GetSubst},   {"Substitute", BM_Substitute}, {"SubstituteText", BM_SubstituteText},
                     {"SubstituteNested", BM_SubstituteNested},
                     {"Set", BM_Set},
                     {"Create", BM_Create},       {"DeleteEach", BM_DeleteEach}, {"DeleteWild", BM_DeleteWild},
                     {"LoadDirect", BM_LoadDirect}, {"LoadUpdate", BM_LoadUpdate}, {"Save", BM_Save}};
    for (const auto &b : all) {
        auto *reg = benchmark::RegisterBenchmark(b.name, b.fn);
        for (unsigned n : kSizes)
            if (n <= g_max_n) reg->Arg(n);
        reg->MinTime(g_min_time);
    }
}

// Takes this program's own options out of argv.
bool take_options(int &argc, char **argv) {
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--max-n=", 8) == 0)
            g_max_n = unsigned(std::strtoul(argv[i] + 8, nullptr, 10));
        else if (std::strncmp(argv[i], "--min-time=", 11) == 0)
            g_min_time = std::strtod(argv[i] + 11, nullptr);
        else
            argv[out++] = argv[i];
    }
    argc = out;
    return g_max_n >= kSizes[0] && g_min_time > 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (!take_options(argc, argv)) {
        std::fprintf(stderr, "usage: cfgtree_bench_micro [--max-n=N] [--min-time=SECONDS] [benchmark options]\n");
        return 2;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/cfgtree-micro-XXXXXX";
    if (!mkdtemp(templ.data())) return std::perror("mkdtemp"), 1;
    g_dir = templ;
    unsetenv("CONFIG_PATH");  // files are named by absolute paths
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(g_dir);
    if (g_failed) std::fprintf(stderr, "cfgtree_bench_micro: some benchmarks stopped on an error\n");
    return g_failed ? 1 : 0;
}
