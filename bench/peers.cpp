// peers.cpp - cfgtree side by side with libconfig and json-c.
//
// Writes the same logical configuration as a cfgtree file, a libconfig file
// and a JSON file, for three shapes at several sizes, and measures in a fresh
// child process each (so that peak memory is that load's alone): the load or
// parse time, the time per lookup of random existing attributes, and the peak
// resident memory per attribute. A plain fgets pass over the cfgtree file is
// the floor. Times are the CPU time of the measuring process, so that other
// work on the machine does not distort the ratios (files are read from the
// page cache, so a load's time is CPU time too). Every child runs under a
// time budget, and the whole run under a deadline; a measurement that the
// previous sizes predict to overrun either is skipped and shown as such.
// The floor of a lookup is measured too: one dependent read at a random
// place in a block as large as cfgtree's tree of that size (a chain of
// pointers through it), which is what each cache miss of a lookup costs.
// The machine may be shared: every child runs on the same CPU (see
// pin_to_fastest_cpu), and each library but libconfig (whose ratios are
// orders of magnitude) is measured in several children per case (five), in
// rounds that go through the libraries in turn. Other work only ever slows a
// child down, and here it comes in phases that slow every child in them by
// half as much again (a load of 100,000 attributes took 21 or 33 ms, its
// update-mode twin 29 or 49 ms, in runs of consecutive children): each
// library's fastest child gives its times, so that which library's children
// met a slow phase does not decide a comparison; memory is the median.
// The run's first lines say what a system call and a first write to a fresh
// page cost on the chosen CPU, which weigh most in the smallest loads.
// Last, a program's start: the CPU time of small C programs (start.c, one
// per library, each linking only its own) that load a flat file and end,
// against an empty program's.
#include <libconfig.h>
#include <json-c/json.h>
#include <malloc.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "cfgtree.h"

namespace {

// ---- options ---------------------------------------------------------------

struct Options {
    std::vector<unsigned> sizes{1000, 10000, 100000, 1000000};
    unsigned lookups = 100000;  // the same key sequence for every library
    double budget = 20.0;       // CPU seconds one child may use (twice that in wall time,
                                // and no more than is left of the deadline)
    double deadline = 210.0;    // wall seconds for the whole run
    double lookup_cap = 3.0;    // seconds of lookups before a slow library stops early
    std::string dir;            // where the files go (a fresh temp folder by default)
    int start_runs = 200;       // runs of each start program (0: no start measurement)
    int runs = 5;               // children per library and case (fastest times, median memory)
};

Options g_opt;

double clock_s(clockid_t id) {
    timespec ts;
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
double now() { return clock_s(CLOCK_PROCESS_CPUTIME_ID); }
double wall() { return clock_s(CLOCK_MONOTONIC); }

rusage self_usage() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru;
}

// Pages the system has made present so far without I/O, each in a trap of
// its own (some 10 us on a virtual machine) or many in one call: a load's
// count tells first-touch costs apart from work.
long minor_faults() { return self_usage().ru_minflt; }

long peak_rss_kb() { return self_usage().ru_maxrss; }

// Returns freed memory to the system and restarts the peak count at the
// current resident size (Linux clear_refs), which it returns in KiB. The
// keys built just before leave freed blocks that a load would otherwise
// fill without raising the peak. Without clear_refs the old peak is the
// baseline, which is as good when the keys were the peak.
long reset_peak_kb() {
    malloc_trim(0);
    if (FILE *f = std::fopen("/proc/self/clear_refs", "w")) {
        bool ok = std::fputs("5", f) >= 0;
        if (std::fclose(f) == 0 && ok) {
            long pages = 0, resident = 0;
            if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
                std::fclose(statm);
            }
            if (resident > 0) return resident * (sysconf(_SC_PAGESIZE) / 1024);
        }
    }
    return peak_rss_kb();
}

// ---- the configuration -----------------------------------------------------

// flat: Flat holds a0..a(N-1).
// wide: N/10 top-level objects g0.. of ten attributes k0..k9.
// deep: the same groups at the 8th level, below the chain d1.d2...d7.
enum class Shape { Flat, Wide, Deep };
constexpr Shape kShapes[] = {Shape::Flat, Shape::Wide, Shape::Deep};
constexpr unsigned kChain = 7;

const char *shape_name(Shape s) { return s == Shape::Flat ? "flat" : s == Shape::Wide ? "wide" : "deep"; }

// Values hold no reference, so cfgtree's substitution finds nothing to do but
// still runs (it is switched on, as it is by default).
std::string value_of(unsigned i) {
    char text[40];
    std::snprintf(text, sizeof text, "value-%07u-%08x", i, i * 2654435761u);
    return text;
}

std::string numbered(const char *prefix, unsigned i) {
    char text[24];
    std::snprintf(text, sizeof text, "%s%u", prefix, i);
    return text;
}

std::vector<std::string> path_of(Shape s, unsigned i) {
    std::vector<std::string> parts;
    if (s == Shape::Flat) return {"Flat", numbered("a", i)};
    if (s == Shape::Deep)
        for (unsigned d = 1; d <= kChain; ++d) parts.push_back(numbered("d", d));
    parts.push_back(numbered("g", i / 10));
    parts.push_back(numbered("k", i % 10));
    return parts;
}

std::string dotted(const std::vector<std::string> &parts) {
    std::string out;
    for (const auto &p : parts) out += (out.empty() ? "" : ".") + p;
    return out;
}

// Walks the tree in file order, calling the writer's open/attr/close.
template <class W>
void walk(Shape s, unsigned n, W &w) {
    char name[32];
    if (s == Shape::Flat) {
        w.open("Flat", 0);
        for (unsigned i = 0; i < n; ++i) {
            std::snprintf(name, sizeof name, "a%u", i);
            w.attr(name, value_of(i).c_str(), 1);
        }
        w.close(0);
        return;
    }
    int base = 0;
    if (s == Shape::Deep) {
        for (unsigned d = 1; d <= kChain; ++d) {
            std::snprintf(name, sizeof name, "d%u", d);
            w.open(name, int(d) - 1);
        }
        base = int(kChain);
    }
    for (unsigned g = 0; g < n / 10; ++g) {
        std::snprintf(name, sizeof name, "g%u", g);
        w.open(name, base);
        for (unsigned k = 0; k < 10; ++k) {
            std::snprintf(name, sizeof name, "k%u", k);
            w.attr(name, value_of(g * 10 + k).c_str(), base + 1);
        }
        w.close(base);
    }
    for (int d = base - 1; d >= 0; --d) w.close(d);
}

struct Writer {
    FILE *f;
    void indent(int depth) {
        for (int i = 0; i < depth; ++i) std::fputs("  ", f);
    }
};

struct CfgWriter : Writer {
    void open(const char *name, int d) { indent(d), std::fprintf(f, "%s {\n", name); }
    void attr(const char *name, const char *value, int d) { indent(d), std::fprintf(f, "%s = %s\n", name, value); }
    void close(int d) { indent(d), std::fputs("}\n", f); }
};

struct LibconfigWriter : Writer {
    void open(const char *name, int d) { indent(d), std::fprintf(f, "%s = {\n", name); }
    void attr(const char *name, const char *value, int d) { indent(d), std::fprintf(f, "%s = \"%s\";\n", name, value); }
    void close(int d) { indent(d), std::fputs("};\n", f); }
};

struct JsonWriter : Writer {
    bool first[16] = {true};
    void member(int d) {
        std::fputs(first[d] ? "\n" : ",\n", f);
        first[d] = false;
        indent(d + 1);
    }
    void open(const char *name, int d) {
        member(d), std::fprintf(f, "\"%s\": {", name);
        first[d + 1] = true;
    }
    void attr(const char *name, const char *value, int d) { member(d), std::fprintf(f, "\"%s\": \"%s\"", name, value); }
    void close(int d) { std::fputs("\n", f), indent(d + 1), std::fputs("}", f); }
};

template <class W>
bool write_file(const std::string &path, Shape s, unsigned n, const char *head, const char *tail) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) return std::perror(path.c_str()), false;
    static char buffer[1 << 20];
    std::setvbuf(f, buffer, _IOFBF, sizeof buffer);
    W w;
    w.f = f;
    std::fputs(head, f);
    walk(s, n, w);
    std::fputs(tail, f);
    return std::fclose(f) == 0;
}

// ---- the measured libraries ------------------------------------------------

enum Lib { kFgets, kCfgDirect, kCfgUpdate, kLibconfig, kJsonc, kLibs };
const char *const kLibNames[kLibs] = {"fgets", "cfgtree", "cfg-upd", "libconfig", "json-c"};

struct Case {
    Shape shape;
    unsigned n;
    std::string cfg, lcf, json;  // file paths
};

// What a child reports through its pipe.
struct Result {
    enum State { kNone, kOk, kFailed, kTimeout, kSkipped } state = kNone;
    double load_s = 0;
    double lookup_ns = 0;
    double pointer_ns = 0;  // json-c only: json_pointer_get with a "/a/b" path
    unsigned lookups = 0;  // done; fewer than asked when the cap stopped them
    long peak_kb = 0;      // peak resident memory above the baseline
    long load_faults = 0;  // pages the load made present (minor_faults)
    unsigned misses = 0;   // lookups that found nothing, or a wrong value
    uint64_t sum = 0;      // folds every value read, so none is optimised away
    bool too_slow = false; // over the budget: larger sizes are not tried
    char note[80] = "";
};

// Measures one load, from its making to stop(): CPU time and pages made
// present.
struct LoadMeter {
    long faults = minor_faults();
    double t0 = now();
    void stop(Result &r) const {
        r.load_s = now() - t0;
        r.load_faults = minor_faults() - faults;
    }
};

struct Keys {
    std::vector<unsigned> index;
    std::vector<std::string> dotted;                // cfgtree, libconfig
    std::vector<std::vector<std::string>> parts;    // json-c, split
    std::vector<std::string> pointer;               // json-c, "/a/b"
};

// The same pseudo-random sequence of existing attributes for every library.
Keys make_keys(const Case &c, Lib lib) {
    Keys k;
    uint64_t x = 0x9e3779b97f4a7c15ull ^ (uint64_t(c.n) << 8) ^ uint64_t(c.shape);
    k.index.resize(g_opt.lookups);
    for (auto &i : k.index) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        i = unsigned(x % c.n);
    }
    for (unsigned i : k.index) {
        auto parts = path_of(c.shape, i);
        if (lib == kJsonc) {
            std::string ptr;
            for (const auto &p : parts) ptr += "/" + p;
            k.pointer.push_back(std::move(ptr));
            k.parts.push_back(std::move(parts));
        } else {
            k.dotted.push_back(dotted(parts));
        }
    }
    return k;
}

// Each library's read of one key: the value copied into a 640-byte buffer as
// cfgtree hands it out. Returns the length, or -1 when nothing was found.
int copy_out(const char *value, char *buf) {
    if (!value) return -1;
    size_t len = strnlen(value, 639);
    std::memcpy(buf, value, len);
    buf[len] = '\0';
    return int(len);
}

int read_cfgtree(const Keys &k, size_t i, char *buf) {
    if (Cfg_GetAttrValue(k.dotted[i].c_str(), buf, 640) != CFG_OK) return -1;
    return int(std::strlen(buf));
}

int read_libconfig(config_t *cfg, const Keys &k, size_t i, char *buf) {
    const char *value = nullptr;
    if (!config_lookup_string(cfg, k.dotted[i].c_str(), &value)) return -1;
    return copy_out(value, buf);
}

// json-c gets the path already split, as a program with literal keys has it:
// the hardest bar. Its own path lookup (json_pointer_get) is measured too.
int read_json(json_object *root, const Keys &k, size_t i, char *buf) {
    json_object *at = root;
    for (const auto &part : k.parts[i])
        if (!json_object_object_get_ex(at, part.c_str(), &at)) return -1;
    return copy_out(json_object_get_string(at), buf);
}

int read_json_pointer(json_object *root, const Keys &k, size_t i, char *buf) {
    json_object *at = nullptr;
    if (json_pointer_get(root, k.pointer[i].c_str(), &at) != 0) return -1;
    return copy_out(json_object_get_string(at), buf);
}

// The update-mode loader hands each definition to this table; it stores it
// as a program's notification callback would.
int store_update(char *item, void *) {
    char *eq = std::strchr(item, '=');
    if (!eq) return 0;
    *eq = '\0';
    return Cfg_SetAttrValue(item, eq + 1);
}
CfgUpdateEntry g_store_all[] = {{"**", nullptr, store_update, nullptr, nullptr},
                                {nullptr, nullptr, nullptr, nullptr, nullptr}};

template <class Read>
void measure_lookups(const Keys &k, Read read, Result &r) {
    char buf[640];
    uint64_t sum = 0;
    unsigned misses = 0, done = 0;
    double t0 = now(), t1 = t0;
    for (; done < k.index.size(); ++done) {
        int len = read(done, buf);
        if (len < 0)
            ++misses;
        else
            sum = sum * 31 + uint64_t(len) + uint8_t(buf[len ? len - 1 : 0]);
        if ((done & 1023) == 1023 && (t1 = now()) - t0 > g_opt.lookup_cap) {
            ++done;
            break;
        }
    }
    t1 = now();
    r.lookups = done;
    r.lookup_ns = done ? (t1 - t0) * 1e9 / done : 0;
    r.sum = sum;
    // Untimed check: the first keys must give exactly the values written.
    for (unsigned i = 0; i < std::min(done, 2000u); ++i)
        if (read(i, buf) < 0 || value_of(k.index[i]) != buf) ++misses;
    r.misses = misses;
}

Result run_fgets(const Case &c) {
    Result r;
    long base = reset_peak_kb();
    LoadMeter meter;
    FILE *f = std::fopen(c.cfg.c_str(), "r");
    if (!f) return r.state = Result::kFailed, std::snprintf(r.note, sizeof r.note, "fopen failed"), r;
    char line[640];
    uint64_t sum = 0;
    while (std::fgets(line, sizeof line, f)) sum += uint8_t(line[0]) + 1;
    std::fclose(f);
    meter.stop(r);
    r.peak_kb = peak_rss_kb() - base;
    r.sum = sum;
    r.state = Result::kOk;
    return r;
}

Result run_cfgtree(const Case &c, bool update) {
    Result r;
    Keys k = make_keys(c, kCfgDirect);
    if (update) {
        if (Cfg_NotifyRegister(g_store_all) != CFG_OK) return r.state = Result::kFailed, r;
        Cfg_DirectLoad(0);
    } else {
        Cfg_DirectLoad(1);
    }
    long base = reset_peak_kb();
    LoadMeter meter;
    int status = CfgF_LoadFile(c.cfg.c_str(), nullptr);
    meter.stop(r);
    if (status != CFG_OK) std::snprintf(r.note, sizeof r.note, "load: %s", Cfg_StatusName(status));
    measure_lookups(k, [&](size_t i, char *buf) { return read_cfgtree(k, i, buf); }, r);
    r.peak_kb = peak_rss_kb() - base;
    r.state = status == CFG_OK ? Result::kOk : Result::kFailed;
    return r;
}

Result run_libconfig(const Case &c) {
    Result r;
    Keys k = make_keys(c, kLibconfig);
    config_t cfg;
    long base = reset_peak_kb();
    LoadMeter meter;
    config_init(&cfg);
    int ok = config_read_file(&cfg, c.lcf.c_str());
    meter.stop(r);
    if (!ok) {
        std::snprintf(r.note, sizeof r.note, "line %d: %s", config_error_line(&cfg), config_error_text(&cfg));
        return r.state = Result::kFailed, r;
    }
    measure_lookups(k, [&](size_t i, char *buf) { return read_libconfig(&cfg, k, i, buf); }, r);
    r.peak_kb = peak_rss_kb() - base;
    r.state = Result::kOk;
    return r;  // the process ends here; nothing is freed, as for the others
}

Result run_json(const Case &c) {
    Result r;
    Keys k = make_keys(c, kJsonc);
    long base = reset_peak_kb();
    LoadMeter meter;
    json_object *root = json_object_from_file(c.json.c_str());
    meter.stop(r);
    if (!root) return r.state = Result::kFailed, std::snprintf(r.note, sizeof r.note, "%s", json_util_get_last_err()), r;
    Result by_pointer;
    measure_lookups(k, [&](size_t i, char *buf) { return read_json_pointer(root, k, i, buf); }, by_pointer);
    measure_lookups(k, [&](size_t i, char *buf) { return read_json(root, k, i, buf); }, r);
    r.pointer_ns = by_pointer.lookup_ns;
    r.misses += by_pointer.misses;
    r.peak_kb = peak_rss_kb() - base;
    r.state = Result::kOk;
    return r;
}

Result run_in_child_body(Lib lib, const Case &c) {
    switch (lib) {
        case kFgets: return run_fgets(c);
        case kCfgDirect: return run_cfgtree(c, false);
        case kCfgUpdate: return run_cfgtree(c, true);
        case kLibconfig: return run_libconfig(c);
        default: return run_json(c);
    }
}

// On a virtual machine, memory that the system has left unused for a while
// may have been taken back by the host, and touching it again then costs a
// trip to the host per page: here a flat load of a million attributes took
// 150 to 250 ms of system time in a child that followed a small one, and 10
// to 40 ms, for the same pages, in one that followed a child that had just
// freed its huge pages. Which library paid depended on the order of the run
// alone (cfgtree's direct load, after the fgets pass, paid in almost every
// run; its update-mode load, right after it, almost never). So before each
// measured child, a child touches and frees more memory than any library's
// load of the case takes, in huge pages where the system has them, and
// every measured child finds memory in the same state.
void warm_memory(unsigned n) {
    size_t bytes = std::max<size_t>(size_t(n) * 400, size_t(4) << 20);
    pid_t pid = fork();
    if (pid == 0) {
        // In huge pages where the system has them, so that what it frees
        // serves the children's huge pages as well as their small ones.
        void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) _exit(1);
#ifdef MADV_HUGEPAGE
        (void)madvise(p, bytes, MADV_HUGEPAGE);
#endif
        for (size_t i = 0; i < bytes; i += 4096) static_cast<volatile char *>(p)[i] = 1;
        _exit(0);
    }
    if (pid > 0) waitpid(pid, nullptr, 0);
}

// Forks, runs one measurement in the child, and waits at most limit_s
// seconds of wall time for it.
Result run_in_child(Lib lib, const Case &c, double limit_s) {
    warm_memory(c.n);
    int fds[2];
    Result r;
    if (pipe(fds) != 0) return r.state = Result::kFailed, r;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return close(fds[0]), close(fds[1]), r.state = Result::kFailed, r;
    if (pid == 0) {
        close(fds[0]);
        Result out = run_in_child_body(lib, c);
        ssize_t w = write(fds[1], &out, sizeof out);
        _exit(w == ssize_t(sizeof out) ? 0 : 1);
    }
    close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    int ready = poll(&p, 1, int(limit_s * 1000));
    if (ready > 0 && read(fds[0], &r, sizeof r) == ssize_t(sizeof r)) {
        waitpid(pid, nullptr, 0);
    } else {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        r = Result{};
        r.state = ready == 0 ? Result::kTimeout : Result::kFailed;
        std::snprintf(r.note, sizeof r.note, ready == 0 ? "over %.0f s" : "child died", limit_s);
    }
    close(fds[0]);
    return r;
}

// ---- running and reporting -------------------------------------------------

// What the runs of one library and case report: the fastest of their
// times, the median of their peak memory and of their loads' page faults
// (the upper middle of an even count).
Result best_of(std::vector<Result> runs) {
    auto middle = [&](auto field) {
        std::vector<double> v;
        for (const Result &r : runs) v.push_back(double(field(r)));
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    Result m = runs.front();
    for (const Result &r : runs) {
        m.load_s = std::min(m.load_s, r.load_s);
        m.lookup_ns = std::min(m.lookup_ns, r.lookup_ns);
        m.pointer_ns = std::min(m.pointer_ns, r.pointer_ns);
    }
    m.peak_kb = long(middle([](const Result &r) { return r.peak_kb; }));
    m.load_faults = long(middle([](const Result &r) { return r.load_faults; }));
    return m;
}

struct Row {
    Shape shape;
    unsigned n;
    Result res[kLibs];
    double read_ns = 0;  // one dependent random read in a block of cfgtree's size; 0: not measured
};

// The time of one dependent read at a random 64-byte line of a block of
// `bytes` bytes (huge pages advised, as the store's own large blocks are):
// a random cycle through every line is followed for at most 0.2 s of CPU
// time or 2 million steps. 0 when the block cannot be had.
double dependent_read_ns(size_t bytes) {
    constexpr size_t kLine = 64, kHuge = size_t(2) << 20;
    size_t lines = std::max<size_t>(bytes / kLine, 2);
    size_t size = (lines * kLine + kHuge - 1) / kHuge * kHuge;
    auto *block = static_cast<char *>(std::aligned_alloc(kHuge, size));
    if (!block) return 0;
    (void)madvise(block, size, MADV_HUGEPAGE);
    std::vector<uint32_t> order(lines);
    for (size_t i = 0; i < lines; ++i) order[i] = uint32_t(i);
    uint64_t x = 0x2545f4914f6cdd1dull;
    for (size_t i = lines - 1; i > 0; --i) {  // Sattolo: one cycle through all lines
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::swap(order[i], order[x % i]);
    }
    for (size_t i = 0; i < lines; ++i) {
        char *next = block + size_t(order[i]) * kLine;
        std::memcpy(block + i * kLine, &next, sizeof next);
    }
    char *at = block;
    unsigned steps = 0;
    double t0 = now(), t1 = t0;
    while (steps < 2000000u) {
        for (int i = 0; i < 1024; ++i) std::memcpy(&at, at, sizeof(char *));  // the next line's address, kept there
        steps += 1024;
        if ((t1 = now()) - t0 > 0.2) break;
    }
    volatile char sink = *at;  // keeps the chain from being optimised away
    (void)sink;
    std::free(block);
    return (t1 - t0) * 1e9 / steps;
}

// Predicts a child's CPU time from the two previous sizes of its shape: the
// load grows with the exponent seen between them (clamped to 1..2; 2 when
// there is one size only, since a quadratic parse must not be run blind),
// the lookups one power less, and they stop at the cap.
double predicted_s(const std::vector<Row> &rows, Shape s, Lib lib, unsigned n) {
    const Result *prev[2] = {nullptr, nullptr};
    unsigned pn[2] = {0, 0};
    for (const Row &row : rows) {
        if (row.shape != s) continue;
        const Result &r = row.res[lib];
        if (r.too_slow) return 1e9;
        if (r.state != Result::kOk) continue;
        prev[0] = prev[1], pn[0] = pn[1];
        prev[1] = &r, pn[1] = row.n;
    }
    if (!prev[1]) return 0;
    double k = 2.0;
    if (prev[0] && prev[0]->load_s > 0.005)
        k = std::clamp(std::log(prev[1]->load_s / prev[0]->load_s) / std::log(double(pn[1]) / pn[0]), 1.0, 2.0);
    double grow = double(n) / pn[1];
    double passes = lib == kJsonc ? 2 : 1;  // json-c is read two ways
    double lookups = passes * prev[1]->lookup_ns * 1e-9 * std::pow(grow, k - 1) * (g_opt.lookups + 2000);
    return prev[1]->load_s * std::pow(grow, k) + std::min(lookups, passes * 2 * g_opt.lookup_cap);
}

bool make_files(Case &c) {
    std::string base = g_opt.dir + "/" + shape_name(c.shape) + "-" + std::to_string(c.n);
    c.cfg = base + ".cfg", c.lcf = base + ".libconfig", c.json = base + ".json";
    return write_file<CfgWriter>(c.cfg, c.shape, c.n, "", "") &&
           write_file<LibconfigWriter>(c.lcf, c.shape, c.n, "", "") &&
           write_file<JsonWriter>(c.json, c.shape, c.n, "{", "\n}\n");
}

std::string fmt(const Result &r, double v, const char *f = "%.1f") {
    if (r.state == Result::kTimeout) return "timeout";
    if (r.state == Result::kSkipped) return "skipped";
    if (r.state != Result::kOk) return "failed";
    char text[32];
    std::snprintf(text, sizeof text, f, v);
    return text;
}

std::string ratio(const Result &a, double va, const Result &b, double vb) {
    if (a.state != Result::kOk || b.state != Result::kOk || vb <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, va / vb < 0.01 ? "%.4f" : "%.2f", va / vb);
    return text;
}

double load_ms(const Result &r) { return r.load_s * 1e3; }
double load_ns_attr(const Result &r, unsigned n) { return r.load_s * 1e9 / n; }
double bytes_attr(const Result &r, unsigned n) { return double(r.peak_kb) * 1024.0 / n; }

void print_load(const std::vector<Row> &rows) {
    std::printf("\nLoad (ms; ns per attribute for cfgtree); ratios are cfgtree / other, lower is better\n");
    std::printf("%-5s %8s | %9s %9s %7s %9s %10s %9s | %9s %9s %10s %9s\n", "shape", "N", "fgets", "cfgtree", "ns/attr",
                "cfg-upd", "libconfig", "json-c", "/fgets", "/json-c", "/libconfig", "upd/cfg");
    for (const Row &w : rows) {
        const Result *r = w.res;
        const Result &c = r[kCfgDirect];
        std::printf("%-5s %8u | %9s %9s %7s %9s %10s %9s | %9s %9s %10s %9s\n", shape_name(w.shape), w.n,
                    fmt(r[kFgets], load_ms(r[kFgets]), "%.2f").c_str(), fmt(c, load_ms(c), "%.2f").c_str(),
                    fmt(c, load_ns_attr(c, w.n), "%.0f").c_str(),
                    fmt(r[kCfgUpdate], load_ms(r[kCfgUpdate]), "%.2f").c_str(),
                    fmt(r[kLibconfig], load_ms(r[kLibconfig]), "%.2f").c_str(),
                    fmt(r[kJsonc], load_ms(r[kJsonc]), "%.2f").c_str(),
                    ratio(c, c.load_s, r[kFgets], r[kFgets].load_s).c_str(),
                    ratio(c, c.load_s, r[kJsonc], r[kJsonc].load_s).c_str(),
                    ratio(c, c.load_s, r[kLibconfig], r[kLibconfig].load_s).c_str(),
                    ratio(r[kCfgUpdate], r[kCfgUpdate].load_s, c, c.load_s).c_str());
    }
}

void print_lookup(const std::vector<Row> &rows) {
    std::printf("\nLookup (ns per lookup, %u random existing attributes; * = stopped after %.1f s)\n"
                "json-c: keys already split (the targets' bar); json-ptr: json_pointer_get(\"/a/b\");\n"
                "1 read: one dependent random read in a block of the size of cfgtree's tree (the cost of a miss)\n",
                g_opt.lookups, g_opt.lookup_cap);
    std::printf("%-5s %8s | %9s %10s %9s %9s %7s | %9s %10s %9s %7s\n", "shape", "N", "cfgtree", "libconfig", "json-c",
                "json-ptr", "1 read", "/json-c", "/libconfig", "/json-ptr", "/read");
    for (const Row &w : rows) {
        const Result *r = w.res;
        const Result &c = r[kCfgDirect];
        std::string lc = fmt(r[kLibconfig], r[kLibconfig].lookup_ns, "%.0f");
        if (r[kLibconfig].state == Result::kOk && r[kLibconfig].lookups < g_opt.lookups) lc += "*";
        Result read;  // the floor, as a result of its own for the formatting
        read.state = w.read_ns > 0 ? Result::kOk : Result::kSkipped;
        std::printf("%-5s %8u | %9s %10s %9s %9s %7s | %9s %10s %9s %7s\n", shape_name(w.shape), w.n,
                    fmt(c, c.lookup_ns, "%.0f").c_str(), lc.c_str(),
                    fmt(r[kJsonc], r[kJsonc].lookup_ns, "%.0f").c_str(),
                    fmt(r[kJsonc], r[kJsonc].pointer_ns, "%.0f").c_str(),
                    w.read_ns > 0 ? fmt(read, w.read_ns, "%.0f").c_str() : "-",
                    ratio(c, c.lookup_ns, r[kJsonc], r[kJsonc].lookup_ns).c_str(),
                    ratio(c, c.lookup_ns, r[kLibconfig], r[kLibconfig].lookup_ns).c_str(),
                    ratio(c, c.lookup_ns, r[kJsonc], r[kJsonc].pointer_ns).c_str(),
                    ratio(c, c.lookup_ns, read, w.read_ns).c_str());
    }
}

void print_memory(const std::vector<Row> &rows) {
    std::printf("\nPeak resident memory per attribute (bytes, above the baseline before loading)\n");
    std::printf("%-5s %8s | %9s %9s %10s %9s | %9s %10s\n", "shape", "N", "cfgtree", "cfg-upd", "libconfig", "json-c",
                "/json-c", "/libconfig");
    for (const Row &w : rows) {
        const Result *r = w.res;
        const Result &c = r[kCfgDirect];
        auto b = [&](Lib l) { return fmt(r[l], bytes_attr(r[l], w.n), "%.0f"); };
        std::printf("%-5s %8u | %9s %9s %10s %9s | %9s %10s\n", shape_name(w.shape), w.n, b(kCfgDirect).c_str(),
                    b(kCfgUpdate).c_str(), b(kLibconfig).c_str(), b(kJsonc).c_str(),
                    ratio(c, double(c.peak_kb), r[kJsonc], double(r[kJsonc].peak_kb)).c_str(),
                    ratio(c, double(c.peak_kb), r[kLibconfig], double(r[kLibconfig].peak_kb)).c_str());
    }
}

// ---- the targets -----------------------------------------------------------

struct Verdicts {
    int pass = 0, fail = 0;
    void check(bool measured, bool ok, const char *what) {
        if (!measured) return void(std::printf("  n/a   %s\n", what));
        ok ? ++pass : ++fail;
        std::printf("  %-5s %s\n", ok ? "PASS" : "FAIL", what);
    }
};

const Row *find_row(const std::vector<Row> &rows, Shape s, unsigned n) {
    for (const Row &r : rows)
        if (r.shape == s && r.n == n) return &r;
    return nullptr;
}

bool both_ok(const Result &a, const Result &b) { return a.state == Result::kOk && b.state == Result::kOk; }

void print_targets(const std::vector<Row> &rows) {
    std::printf("\nTargets\n");
    Verdicts v;
    char what[160];
    for (Shape s : kShapes) {
        const char *sn = shape_name(s);
        const Row *r10k = find_row(rows, s, 10000), *r1k = find_row(rows, s, 1000), *r1m = find_row(rows, s, 1000000);
        if (r10k) {
            const Result &c = r10k->res[kCfgDirect], &j = r10k->res[kJsonc], &l = r10k->res[kLibconfig];
            std::snprintf(what, sizeof what, "%s: lookup at 10,000 at least 2x faster than json-c (%s)", sn,
                          ratio(c, c.lookup_ns, j, j.lookup_ns).c_str());
            v.check(both_ok(c, j), c.lookup_ns * 2 <= j.lookup_ns, what);
            std::snprintf(what, sizeof what, "%s: lookup at 10,000 at least 100x faster than libconfig (%s)", sn,
                          ratio(c, c.lookup_ns, l, l.lookup_ns).c_str());
            v.check(both_ok(c, l), c.lookup_ns * 100 <= l.lookup_ns, what);
        }
        if (r1k && r1m) {
            const Result &a = r1k->res[kCfgDirect], &b = r1m->res[kCfgDirect];
            std::snprintf(what, sizeof what, "%s: lookup at 1,000,000 within 2x of 1,000 (%s)", sn,
                          ratio(b, b.lookup_ns, a, a.lookup_ns).c_str());
            v.check(both_ok(a, b), b.lookup_ns <= 2 * a.lookup_ns, what);
        }
        for (const Row &w : rows) {
            if (w.shape != s) continue;
            const Result &c = w.res[kCfgDirect], &j = w.res[kJsonc], &f = w.res[kFgets], &u = w.res[kCfgUpdate];
            std::snprintf(what, sizeof what, "%s %u: direct load at least 2x faster than json-c (%s)", sn, w.n,
                          ratio(c, c.load_s, j, j.load_s).c_str());
            v.check(both_ok(c, j), c.load_s * 2 <= j.load_s, what);
            std::snprintf(what, sizeof what, "%s %u: direct load within 10x of fgets (%s)", sn, w.n,
                          ratio(c, c.load_s, f, f.load_s).c_str());
            v.check(both_ok(c, f), c.load_s <= 10 * f.load_s, what);
            std::snprintf(what, sizeof what, "%s %u: update-mode load within 1.5x of direct (%s)", sn, w.n,
                          ratio(u, u.load_s, c, c.load_s).c_str());
            v.check(both_ok(c, u), u.load_s <= 1.5 * c.load_s, what);
        }
        if (r10k && r1m) {
            const Result &a = r10k->res[kCfgDirect], &b = r1m->res[kCfgDirect];
            std::snprintf(what, sizeof what, "%s: load per attribute at 1,000,000 within 1.5x of 10,000 (%s)", sn,
                          both_ok(a, b) ? ratio(b, b.load_s / 100, a, a.load_s).c_str() : "-");
            v.check(both_ok(a, b), b.load_s / 100 <= 1.5 * a.load_s, what);
        }
        if (r1m) {
            const Result &c = r1m->res[kCfgDirect], &j = r1m->res[kJsonc];
            std::snprintf(what, sizeof what, "%s: peak memory per attribute at 1,000,000 at most half of json-c (%s)", sn,
                          ratio(c, double(c.peak_kb), j, double(j.peak_kb)).c_str());
            v.check(both_ok(c, j), c.peak_kb * 2 <= j.peak_kb, what);
        }
    }
    std::printf("targets: %d met, %d missed\n", v.pass, v.fail);
}

// ---- program start -----------------------------------------------------------

constexpr const char *kStartPrograms[] = {"none", "cfgtree", "jsonc", "libconfig"};
constexpr int kStarts = 4;
constexpr unsigned kStartSizes[] = {10, 1000};

struct Start {
    double cpu_ms[kStarts] = {};  // median CPU time (user and system) of one run
    long faults[kStarts] = {};    // median page faults of one run
};

double seconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; }

template <class T>
T median(std::vector<T> v) {
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Runs each program on its file `runs` times, taking turns so that the
// machine's changes hit all of them alike. Fails when a run fails.
bool measure_start(const std::string (&programs)[kStarts], const std::string (&files)[kStarts], Start &out) {
    std::vector<double> cpu[kStarts];
    std::vector<long> faults[kStarts];
    for (int run = 0; run < g_opt.start_runs; ++run) {
        for (int p = 0; p < kStarts; ++p) {
            char *argv[] = {const_cast<char *>(programs[p].c_str()), const_cast<char *>(files[p].c_str()), nullptr};
            pid_t pid;
            if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return false;
            int status = 0;
            rusage ru{};
            if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
            cpu[p].push_back((seconds(ru.ru_utime) + seconds(ru.ru_stime)) * 1e3);
            faults[p].push_back(ru.ru_minflt);
        }
    }
    for (int p = 0; p < kStarts; ++p) out.cpu_ms[p] = median(cpu[p]), out.faults[p] = median(faults[p]);
    return true;
}

// The start programs are built next to this one.
std::string program_dir() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

// Returns the number of failures. Skipped when `left`, the seconds left for
// the whole run, holds less than 50 ms per run (a run starts each program
// on two files: some 25 to 40 ms here).
int run_starts(double left) {
    if (g_opt.start_runs <= 0) return 0;
    if (left < g_opt.start_runs * 0.05)
        return std::printf("\nProgram start: skipped, %.1f s left for the run\n", std::max(left, 0.0)), 0;
    std::string programs[kStarts];
    for (int p = 0; p < kStarts; ++p) {
        programs[p] = program_dir() + "/cfgtree_start_" + kStartPrograms[p];
        if (access(programs[p].c_str(), X_OK) != 0)
            return std::printf("\nProgram start: %s was not built\n", programs[p].c_str()), 1;
    }
    int failed = 0;
    std::printf("\nProgram start (a C program that loads a flat file and ends, linking one library;\n"
                "median CPU ms and page faults of %d runs; above none: what the library and the load add\n"
                "to an empty program's start)\n",
                g_opt.start_runs);
    std::printf("%-5s %8s | %9s %9s %9s %10s | %9s %9s %10s | %9s\n", "shape", "N", "none", "cfgtree", "json-c",
                "libconfig", "+cfgtree", "+json-c", "+libconfig", "+cfg/+j");
    for (unsigned n : kStartSizes) {
        Case c{Shape::Flat, n, {}, {}, {}};
        if (!make_files(c)) return std::printf("start: cannot write the files\n"), failed + 1;
        const std::string files[kStarts] = {c.cfg, c.cfg, c.json, c.lcf};
        Start st;
        if (!measure_start(programs, files, st)) {
            std::printf("flat  %8u | a start program failed\n", n);
            ++failed;
        } else {
            const double *t = st.cpu_ms;
            char cost[kStarts][48];
            for (int p = 0; p < kStarts; ++p)
                std::snprintf(cost[p], sizeof cost[p], "%.2f/%ld", t[p], st.faults[p]);
            std::printf("%-5s %8u | %9s %9s %9s %10s | %9.2f %9.2f %10.2f | %9.2f\n", "flat", n, cost[0], cost[1],
                        cost[2], cost[3], t[1] - t[0], t[2] - t[0], t[3] - t[0],
                        t[2] > t[0] ? (t[1] - t[0]) / (t[2] - t[0]) : 0.0);
        }
        std::filesystem::remove(c.cfg), std::filesystem::remove(c.lcf), std::filesystem::remove(c.json);
    }
    return failed;
}

// ---- main ------------------------------------------------------------------

std::vector<unsigned> parse_sizes(const char *text) {
    std::vector<unsigned> sizes;
    for (const char *p = text; *p;) {
        char *end;
        unsigned long n = std::strtoul(p, &end, 10);
        if (end == p || n < 10 || n % 10) return {};
        sizes.push_back(unsigned(n));
        p = *end == ',' ? end + 1 : end;
        if (*end && *end != ',') return {};
    }
    return sizes;
}

int usage() {
    std::fprintf(stderr,
                 "usage: cfgtree_bench_peers [--sizes=N,...] [--lookups=L] [--budget=SECONDS]\n"
                 "                           [--deadline=SECONDS] [--lookup-cap=SECONDS] [--dir=FOLDER]\n"
                 "                           [--start-runs=R] [--runs=R]\n"
                 "sizes are multiples of 10 (default 1000,10000,100000,1000000)\n");
    return 2;
}

bool parse_options(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto val = [&](const char *key) { return a.rfind(key, 0) == 0 ? a.c_str() + std::strlen(key) : nullptr; };
        if (const char *v = val("--sizes=")) {
            if ((g_opt.sizes = parse_sizes(v)).empty()) return false;
        } else if (const char *v = val("--lookups=")) {
            g_opt.lookups = unsigned(std::strtoul(v, nullptr, 10));
        } else if (const char *v = val("--budget=")) {
            g_opt.budget = std::strtod(v, nullptr);
        } else if (const char *v = val("--deadline=")) {
            g_opt.deadline = std::strtod(v, nullptr);
        } else if (const char *v = val("--lookup-cap=")) {
            g_opt.lookup_cap = std::strtod(v, nullptr);
        } else if (const char *v = val("--dir=")) {
            g_opt.dir = v;
        } else if (const char *v = val("--start-runs=")) {
            g_opt.start_runs = int(std::strtol(v, nullptr, 10));
        } else if (const char *v = val("--runs=")) {
            g_opt.runs = int(std::strtol(v, nullptr, 10));
        } else {
            return false;
        }
    }
    return g_opt.lookups > 0 && g_opt.budget > 0 && g_opt.lookup_cap > 0 && g_opt.runs > 0;
}

// The CPUs of a virtual machine need not be equally fast: here one of the
// two ran a load 35 to 45% slower than the other for minutes at a time (it
// also takes the interrupts of the host's memory reporting), though not
// plain arithmetic, and which one a child landed on followed the order of
// the run (a library's children took either time, in streaks). Every child
// runs on one CPU, the one that filled fresh memory fastest when the run
// started, so that all libraries are measured on the same one. Returns it,
// or -1 when this process may not choose (the children then run where the
// system puts them).
int pin_to_fastest_cpu() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
    auto work = [] {  // 16 MiB of fresh memory mapped, filled and given back: some 50 ms
        constexpr size_t kBytes = size_t(16) << 20;
        double t0 = now();
        void *m = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return 1e9;
        for (size_t i = 0; i < kBytes; i += 64) static_cast<volatile char *>(m)[i] = char(i);
        munmap(m, kBytes);
        return now() - t0;
    };
    int best = -1, tried = 0;
    double best_s = 1e9;
    for (int cpu = 0; cpu < CPU_SETSIZE && tried < 16; ++cpu) {  // a large machine: its first 16
        if (!CPU_ISSET(cpu, &allowed)) continue;
        ++tried;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) continue;
        double s = 1e9;
        for (int k = 0; k < 3; ++k) s = std::min(s, work());
        if (s < best_s) best_s = s, best = cpu;
    }
    cpu_set_t chosen;
    CPU_ZERO(&chosen);
    if (best >= 0) CPU_SET(best, &chosen);
    if (sched_setaffinity(0, sizeof allowed, best >= 0 ? &chosen : &allowed) != 0) return -1;
    return best;
}

// What the machine charges for the two costs that weigh most in a small
// load in a fresh process: a system call, and a first write to a fresh page
// (a trap to the system; on a virtual machine it may cost ten times a
// system call). Each the fastest of three rounds, in microseconds.
struct MachineCosts {
    double syscall_us = 0;
    double first_write_us = 0;
};

MachineCosts machine_costs() {
    constexpr int kCalls = 2000;
    constexpr size_t kPages = 64;
    MachineCosts m{1e9, 1e9};
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    for (int round = 0; round < 3; ++round) {
        double t0 = now();
        for (int i = 0; i < kCalls; ++i) (void)getppid();
        m.syscall_us = std::min(m.syscall_us, (now() - t0) * 1e6 / kCalls);
        void *p = mmap(nullptr, kPages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) continue;
        t0 = now();
        for (size_t i = 0; i < kPages; ++i) static_cast<volatile char *>(p)[i * page] = 1;
        m.first_write_us = std::min(m.first_write_us, (now() - t0) * 1e6 / kPages);
        munmap(p, kPages * page);
    }
    return m;
}

}  // namespace

int main(int argc, char **argv) {
    if (!parse_options(argc, argv)) return usage();
    bool own_dir = g_opt.dir.empty();
    if (own_dir) {
        const char *tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/cfgtree-peers-XXXXXX";
        if (!mkdtemp(templ.data())) return std::perror("mkdtemp"), 1;
        g_opt.dir = templ;
    }
    unsetenv("CONFIG_PATH");  // the files are named by absolute paths
    int cpu = pin_to_fastest_cpu();
    if (cpu >= 0) std::printf("every child runs on CPU %d, the fastest to fill fresh memory at the start of the run\n", cpu);
    MachineCosts costs = machine_costs();
    if (costs.first_write_us < 1e9)  // else no fresh memory could be mapped
        std::printf("on this CPU a system call takes %.2f us and a first write to a fresh page %.2f us\n",
                    costs.syscall_us, costs.first_write_us);
    std::printf("cfgtree vs libconfig %d.%d vs json-c %s; %u lookups per case; CPU times; "
                "%.0f s budget per child, %.0f s for the run; the fastest of up to %d children per case "
                "(libconfig: one)\n",
                LIBCONFIG_VER_MAJOR, LIBCONFIG_VER_MINOR, json_c_version(), g_opt.lookups, g_opt.budget,
                g_opt.deadline, g_opt.runs);
    std::vector<Row> rows;
    int bad = 0;
    double start = wall();
    for (unsigned n : g_opt.sizes) {
        for (Shape s : kShapes) {
            Case c{s, n, {}, {}, {}};
            if (!make_files(c)) return 1;
            Row row{s, n, {}};
            double took[kLibs] = {};  // wall seconds of each library's first child
            for (int lib = 0; lib < kLibs; ++lib) {
                Result &r = row.res[lib];
                double estimate = predicted_s(rows, s, Lib(lib), n);
                double left = g_opt.deadline - (wall() - start);
                if (estimate > g_opt.budget) {
                    r.state = Result::kSkipped, r.too_slow = true;
                    if (estimate >= 1e9)
                        std::snprintf(r.note, sizeof r.note, "a smaller size was over the budget");
                    else
                        std::snprintf(r.note, sizeof r.note, "estimated %.0f s, over the budget", estimate);
                } else if (estimate > left || left < 0.5) {
                    r.state = Result::kSkipped;
                    std::snprintf(r.note, sizeof r.note, "estimated %.1f s, %.1f s left for the run", estimate,
                                  std::max(left, 0.0));
                } else {
                    double limit = std::min(2 * g_opt.budget, left);
                    double t0 = wall();
                    r = run_in_child(Lib(lib), c, limit);
                    r.too_slow = r.state == Result::kTimeout && limit >= 2 * g_opt.budget;
                    took[lib] = wall() - t0;
                }
            }
            // The next rounds, while the deadline leaves room for them.
            std::vector<Result> runs[kLibs];
            for (int lib = 0; lib < kLibs; ++lib) runs[lib].push_back(row.res[lib]);
            for (int round = 1; round < g_opt.runs; ++round) {
                for (int lib = 0; lib < kLibs; ++lib) {
                    if (lib == kLibconfig || row.res[lib].state != Result::kOk) continue;
                    double left = g_opt.deadline - (wall() - start);
                    if (2 * took[lib] > left) continue;
                    Result again = run_in_child(Lib(lib), c, std::min(2 * g_opt.budget, left));
                    if (again.state != Result::kOk || again.misses) {
                        row.res[lib] = again;  // a failure is reported as it is
                        continue;
                    }
                    runs[lib].push_back(again);
                }
            }
            for (int lib = 0; lib < kLibs; ++lib) {
                Result &r = row.res[lib];
                if (r.state == Result::kOk) r = best_of(runs[lib]);
                bool wrong = r.state == Result::kFailed || (r.state == Result::kOk && r.misses);
                if (wrong) ++bad;
                std::string done = "done, " + std::to_string(runs[lib].size()) + " run(s), load ms:";
                for (const Result &one : runs[lib]) {
                    done += ' ';
                    done += fmt(one, one.load_s * 1e3, "%.2f");
                }
                done += ", page faults " + std::to_string(r.load_faults);
                std::fprintf(stderr, "%s %u %s: %s%s%s\n", shape_name(s), n, kLibNames[lib],
                             r.state == Result::kOk ? done.c_str() : fmt(r, 0).c_str(), *r.note ? " - " : "", r.note);
                if (r.state == Result::kOk && r.misses)
                    std::fprintf(stderr, "  %u of the lookups found nothing or a wrong value\n", r.misses);
            }
            const Result &tree = row.res[kCfgDirect];
            if (tree.state == Result::kOk && tree.peak_kb > 0 && g_opt.deadline - (wall() - start) > 1.0)
                row.read_ns = dependent_read_ns(size_t(tree.peak_kb) * 1024);
            rows.push_back(row);
            std::filesystem::remove(c.cfg), std::filesystem::remove(c.lcf), std::filesystem::remove(c.json);
        }
    }
    bad += run_starts(g_opt.deadline - (wall() - start));
    if (own_dir) std::filesystem::remove_all(g_opt.dir);
    print_load(rows);
    print_lookup(rows);
    print_memory(rows);
    print_targets(rows);
    if (bad) std::printf("\n%d measurement(s) failed or read wrong values (see above)\n", bad);
    return bad ? 1 : 0;
}
