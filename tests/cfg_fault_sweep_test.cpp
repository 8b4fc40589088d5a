// Fault sweeps over the public operations: each operation runs again and
// again with the k-th allocation, the k-th store append, modification or
// deletion, or the k-th of the store's own allocations made to fail, for
// k = 0, 1, 2, ... until a run leaves the fault unused (the operation then
// ran to its end). Every failing run must end in the status the operation
// documents and leave the tree as it was, or changed only as far as the
// operation documents (a load keeps what it stored before the failure, a
// create-on-set keeps the objects it made). In the sanitizer build
// LeakSanitizer checks that no failure path leaks.
#include <climits>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cfg_private.h"
#include "support.h"

namespace {

using cfgtree::StoreLock;

enum class Fault { kAlloc, kAppend, kModify, kDelete, kStoreMemory };

// Per kind: its name, the status a refused call ends in, the store's plan.
const struct {
    const char *name;
    int status;
    unsigned store_op;
} kFaults[] = {{"allocation", ERR_NO_MEMORY, 0},
               {"store append", ERR_CREATE_FAILED, DS_FAULT_APPEND},
               {"store modification", ERR_MODIFY_FAILED, DS_FAULT_MODIFY},
               {"store deletion", ERR_DELETE_FAILED, DS_FAULT_DELETE},
               {"store memory", ERR_CREATE_FAILED, DS_FAULT_MEMORY}};  // what runs out is a new node
const char *name_of(Fault f) { return kFaults[static_cast<int>(f)].name; }
int status_of(Fault f) { return kFaults[static_cast<int>(f)].status; }

using namespace cfgtest::raw;

// The tree as a set of paths: "a.b {" per object, "a.b.x=1" per attribute
// (its stored text, so an attribute created but never set shows as "a.b.x").
using Items = std::multiset<std::string>;

void collect(cfg_handle object, const std::string &prefix, Items &out) {
    for (cfg_handle a : children(object, kItem)) out.insert(prefix + static_cast<const char *>(ds_get_av_ptr(a)));
    for (cfg_handle r : children(object, kRef)) {
        cfg_handle t = target_of(r);
        std::string name = prefix + static_cast<const char *>(ds_get_av_ptr(t));
        out.insert(name + " {");
        collect(t, name + ".", out);
    }
}

Items items() {
    Items out;
    StoreLock lock;
    collect(ds_get_cntl_info(1), "", out);
    return out;
}

std::string show(const Items &set) {
    std::string out;
    for (const auto &s : set) out += "  " + s + "\n";
    return out;
}

// True when every item of part is in whole, or is an attribute of whole
// that was created but has no value yet.
bool within(const Items &part, const Items &whole) {
    for (const auto &s : part) {
        if (whole.count(s)) continue;
        bool bare = s.find('=') == std::string::npos && s.find(" {") == std::string::npos;
        bool of_whole = false;
        for (const auto &w : whole) of_whole = of_whole || (bare && w.rfind(s + "=", 0) == 0);
        if (!of_whole) return false;
    }
    return true;
}

void clear_tree() {
    StoreLock lock;
    cfg_handle root = ds_get_cntl_info(1);
    for (cfg_handle a : children(root, kItem)) ASSERT_NE(0, ds_delete_avp3(root, a));
    for (cfg_handle r : children(root, kRef)) ASSERT_NE(0, ds_delete_avp3(root, r));
}

// Every run starts from the same state: no fault plan, flags as at start.
void reset_state() {
    cfg_inject_alloc_fault(0, 0);
    ds_inject_fault(0, 0, 0);
    (void)cfg_ctl(0xffffffffu, 0x19);
    while (cfgContext != &emptyContext) (void)Cfg_PopContext();
    clear_tree();
}

void set_all(const std::vector<std::pair<const char *, const char *>> &values) {
    for (const auto &[id, value] : values) ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(id, value));
}

// Arms one fault after k faultable calls, and tells afterwards whether the
// operation used it.
class Injector {
  public:
    explicit Injector(Fault f) : fault_(f) {
        scratch_ = ds_append_avp2(0, 2, kItem, 0, "scratch", 8);
        EXPECT_NE(0u, scratch_);
    }
    ~Injector() {
        disarm();
        for (cfg_handle h : leftovers_) (void)ds_delete_obj(h);
        (void)ds_delete_obj(scratch_);
    }
    void arm(int k) {
        if (fault_ == Fault::kAlloc) cfg_inject_alloc_fault(k, 1);
        else ds_inject_fault(kFaults[static_cast<int>(fault_)].store_op, k, 1);
    }
    // After the operation: makes up to k + 1 faultable calls of its own. When
    // one of them is refused, the operation left the fault unused.
    bool used(int k) {
        bool refused = false;
        for (int i = 0; i <= k && !refused; ++i) refused = !probe();
        disarm();
        return !refused;
    }

  private:
    void disarm() {
        cfg_inject_alloc_fault(0, 0);
        ds_inject_fault(0, 0, 0);
    }
    bool probe() {
        switch (fault_) {
        case Fault::kAlloc: {
            void *p = cfg_mem_alloc(1);
            cfg_mem_free(p);
            return p != nullptr;
        }
        case Fault::kAppend:
        case Fault::kStoreMemory: {  // a new node is one of the store's allocations
            cfg_handle h = ds_append_avp2(0, 2, kItem, 0, "p", 2);
            if (h) leftovers_.push_back(h);
            return h != 0;
        }
        case Fault::kModify: return ds_modify_av(scratch_, "q", 2) != 0;
        case Fault::kDelete: {
            cfg_handle h = ds_append_avp2(0, 2, kItem, 0, "p", 2);
            if (ds_delete_obj(h)) return true;
            leftovers_.push_back(h);
            return false;
        }
        }
        return true;
    }
    Fault fault_;
    cfg_handle scratch_ = 0;
    std::vector<cfg_handle> leftovers_;
};

constexpr int kMaxFaults = 5000;

struct Sweep {
    const char *what;
    Fault fault;
    std::function<void()> prepare;  // builds the state before each run
    std::function<int()> op;
    std::function<void(int status)> failed;  // judges a run whose fault was used
    std::function<void()> complete;          // judges the run that used none (it ends in CFG_OK)
};

// Runs the sweep; returns the number of faults injected (failing runs).
int run(const Sweep &s) {
    for (int k = 0; k < kMaxFaults; ++k) {
        reset_state();
        s.prepare();
        Injector injector(s.fault);
        injector.arm(k);
        int status = s.op();
        bool used = injector.used(k);
        SCOPED_TRACE(std::string(s.what) + ": " + name_of(s.fault) + " fault after " + std::to_string(k) +
                     " calls, status " + cfgtest::status_text(status));
        if (!used) {
            EXPECT_STATUS(CFG_OK, status);
            s.complete();
            std::printf("[   sweep  ] %s, %s faults: %d\n", s.what, name_of(s.fault), k);
            return k;
        }
        s.failed(status);
        if (::testing::Test::HasFailure()) return k;
    }
    ADD_FAILURE() << s.what << ": still failing after " << kMaxFaults << " faults";
    return kMaxFaults;
}

// ---- loading ----------------------------------------------------------------

struct LoadFiles {
    cfgtest::TempDir dir;
    cfgtest::ScopedEnv env{"CONFIG_PATH", dir.path().c_str()};
    LoadFiles() {
        cfgtree::reset_search_path();
        dir.write("main.cfg",
                  "# includes, ranges, variables and blocks\n"
                  "%site=lab\n"
                  "Server {\n"
                  "    name = %(site)-gw\n"
                  "    port = 443\n"
                  "    Iface[i=1..2] {\n"
                  "        label = eth%(i) in %(%%)\n"
                  "    }\n"
                  "    <inc.cfg,X=%(site)>\n"
                  "}\n"
                  "list[a, b].v[1..2] = x\n"
                  "top = ${Server.name}\n");
        dir.write("inc.cfg",
                  "inc = %(X)\n"
                  "Sub {\n"
                  "    deep[3..1] = %(%%:-1)\n"
                  "}\n");
    }
};

int g_go_on_calls = 0;
int go_on(const char *, int, const char *, int) {
    ++g_go_on_calls;
    return 0;
}

// A program's notification table: stores what it is told.
int store_update(char *item, void *) {
    char *eq = std::strchr(item, '=');
    if (!eq) return CFG_OK;
    *eq = '\0';
    return Cfg_SetAttrValue(item, eq + 1);
}
CfgUpdateEntry g_store_table[] = {{"**", nullptr, &store_update, nullptr, nullptr},
                                  {nullptr, nullptr, nullptr, nullptr, nullptr}};

void register_store_table() {
    static const int status = Cfg_NotifyRegister(g_store_table);
    EXPECT_STATUS(CFG_OK, status);
}

// The whole tree the file loads to.
const Items &loaded_tree() {
    static const Items tree = {"Server {",
                               "Server.name=lab-gw",
                               "Server.port=443",
                               "Server.Iface[1] {",
                               "Server.Iface[1].label=eth1 in Server.Iface[1]",
                               "Server.Iface[2] {",
                               "Server.Iface[2].label=eth2 in Server.Iface[2]",
                               "Server.inc=lab",
                               "Server.Sub {",
                               "Server.Sub.deep[1]=Server",
                               "Server.Sub.deep[2]=Server",
                               "Server.Sub.deep[3]=Server",
                               "list[a] {",
                               "list[a].v[1]=x",
                               "list[a].v[2]=x",
                               "list[b] {",
                               "list[b].v[1]=x",
                               "list[b].v[2]=x",
                               "top=${Server.name}"};
    return tree;
}

void sweep_load(bool direct, Fault fault, bool with_handler) {
    LoadFiles files;
    if (!direct) register_store_table();
    std::string what = std::string(direct ? "direct" : "update") + " load" + (with_handler ? ", lines skipped" : "");
    Sweep s{what.c_str(),
            fault,
            [direct] { (void)Cfg_DirectLoad(direct ? 1 : 0); },
            [with_handler] { return CfgF_LoadFile("main.cfg", with_handler ? &go_on : nullptr); },
            [fault, with_handler](int status) {
                // The store absorbs a failed allocation of a name index (the
                // parent is scanned until a later append builds it): the
                // load then ends as if nothing had failed.
                if (fault == Fault::kStoreMemory && status == CFG_OK) {
                    EXPECT_EQ(show(loaded_tree()), show(items()));
                    return;
                }
                EXPECT_STATUS(status_of(fault), status);
                // Without a handler the first failure ends the load: what it
                // stored before stays. A handler that goes on makes the
                // lines of a block whose opening failed land in the
                // enclosing block (as documented), so only the status is
                // judged then.
                Items now = items();
                if (!with_handler) {
                    EXPECT_TRUE(within(now, loaded_tree())) << show(now);
                }
            },
            [] { EXPECT_EQ(show(loaded_tree()), show(items())); }};
    EXPECT_GT(run(s), 10);
}

// An update load goes through a storing table.
TEST(FaultSweep, LoadWithIncludesAndRanges) {
    for (bool direct : {true, false})
        for (Fault f : {Fault::kAlloc, Fault::kAppend, Fault::kModify, Fault::kStoreMemory}) {
            sweep_load(direct, f, false);
            sweep_load(direct, f, true);
        }
}

// ---- setting ------------------------------------------------------------------

const std::vector<std::pair<const char *, const char *>> kNet = {
    {"net.name", "lan"}, {"net.if[1].addr", "10.0.0.1"}, {"net.if[1].mask", "8"}};

TEST(FaultSweep, SetCreatesTheMissingPath) {
    for (Fault f : {Fault::kAlloc, Fault::kAppend, Fault::kModify, Fault::kStoreMemory}) {
        Items before, after;
        Sweep s{"create-on-set",
                f,
                [&] {
                    set_all(kNet);
                    before = items();
                },
                [] { return Cfg_SetAttrValue("net.if[2].opt.mtu", "1500"); },
                [&](int status) {
                    EXPECT_STATUS(status_of(f), status);
                    Items now = items();
                    // No memory: nothing made. A refused append or
                    // modification: the objects made before it stay.
                    if (f == Fault::kAlloc) {
                        EXPECT_EQ(show(before), show(now));
                    } else {
                        EXPECT_TRUE(within(now, after) && within(before, now)) << show(now);
                    }
                },
                [&] {
                    Items expected = before;
                    for (const char *s : {"net.if[2] {", "net.if[2].opt {", "net.if[2].opt.mtu=1500"})
                        expected.insert(s);
                    EXPECT_EQ(show(expected), show(items()));
                }};
        after = [&] {
            reset_state();
            set_all(kNet);
            EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue("net.if[2].opt.mtu", "1500"));
            return items();
        }();
        run(s);
    }
}

// ---- deleting -----------------------------------------------------------------

TEST(FaultSweep, DeleteWithAWildcardRemovesAPrefixOfTheMatches) {
    const std::vector<std::pair<const char *, const char *>> pool = {
        {"pool.item[1]", "a"}, {"pool.item[2].x", "b"}, {"pool.item[3]", "c"},
        {"pool.item[4].y", "d"}, {"pool.keep", "e"}};
    for (Fault f : {Fault::kAlloc, Fault::kDelete}) {
        Items before, after;
        Sweep s{"delete pool.item[*]",
                f,
                [&] {
                    set_all(pool);
                    before = items();
                },
                [] { return Cfg_Delete("pool.item[*]"); },
                [&](int status) {
                    EXPECT_STATUS(status_of(f), status);
                    Items now = items();
                    EXPECT_TRUE(within(now, before) && within(after, now)) << show(now);
                },
                [&] { EXPECT_EQ(show(after), show(items())); }};
        reset_state();
        set_all(pool);
        ASSERT_STATUS(CFG_OK, Cfg_Delete("pool.item[*]"));
        after = items();
        EXPECT_EQ("  pool {\n  pool.keep=e\n", show(after));
        run(s);
    }
}

// ---- saving -------------------------------------------------------------------

// One reference per value: with several, a failure in any but the last is
// not the substitution's status.
const std::vector<std::pair<const char *, const char *>> kSaved = {
    {"grp.a", "1"}, {"grp.ref", "${grp.a}+"}, {"grp.b", "two"}, {"grp.chain", "<${grp.ref}>"},
    {"grp.sub.c", "  spaced "}};

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A save that could not substitute an attribute's references writes the
// comment line and the stored text instead: each line is the substituted
// one, or the stored one after the comment.
void expect_saved(const std::string &text, const std::string &substituted, const std::string &stored) {
    const std::string comment = "# Reference failure on the following attribute:";
    std::vector<std::string> got = lines_of(text), want = lines_of(substituted), raw = lines_of(stored);
    std::size_t w = 0;
    for (std::size_t g = 0; g < got.size(); ++g, ++w) {
        bool after_comment = false;
        if (got[g].find(comment) != std::string::npos) {
            after_comment = true;
            ++g;
        }
        ASSERT_LT(g, got.size()) << text;
        ASSERT_LT(w, want.size()) << text;
        EXPECT_EQ(after_comment ? raw[w] : want[w], got[g]) << text;
    }
    EXPECT_EQ(want.size(), w) << text;
}

std::string save_to_text(const char *identifier) {
    cfgtest::Saved saved = cfgtest::capture([identifier](FILE *f) { return Cfg_Save(identifier, f); });
    EXPECT_STATUS(CFG_OK, saved.status);
    return saved.text;
}

TEST(FaultSweep, SaveWritesTheStoredTextWhereSubstitutionRunsOutOfMemory) {
    cfgtest::TempDir dir;
    const std::string path = dir.file("saved.cfg");
    reset_state();
    set_all(kSaved);
    const std::string substituted = save_to_text(nullptr);
    (void)Cfg_Dereference(0);
    const std::string stored = save_to_text(nullptr);
    const std::string grp_substituted = [] {
        (void)Cfg_Dereference(1);
        return save_to_text("grp");
    }();
    ASSERT_NE(substituted, stored);
    Items before;
    Sweep whole{"save whole tree",
                Fault::kAlloc,
                [&] {
                    set_all(kSaved);
                    before = items();
                },
                [&] { return Cfg_SaveFile(nullptr, path.c_str()); },
                [&](int status) {
                    EXPECT_STATUS(CFG_OK, status);
                    expect_saved(cfgtest::read_file(path), substituted, stored);
                    EXPECT_EQ(show(before), show(items()));
                },
                [&] { EXPECT_EQ(substituted, cfgtest::read_file(path)); }};
    EXPECT_GT(run(whole), 3);
    Sweep one{"save by identifier",
              Fault::kAlloc,
              [&] { set_all(kSaved); },
              [&] { return Cfg_SaveFile("grp", path.c_str()); },
              [&](int status) {
                  // The lookup's copy: nothing written; later, substitutions.
                  if (status == ERR_NO_MEMORY) {
                      EXPECT_EQ("", cfgtest::read_file(path));
                  } else {
                      EXPECT_STATUS(CFG_OK, status);
                  }
              },
              [&] { EXPECT_EQ(grp_substituted, cfgtest::read_file(path)); }};
    run(one);
}

// ---- references -----------------------------------------------------------------

// Only the scanner's own buffers allocate (lookups of short identifiers do
// not): running out of memory fails the whole call, also after a reference
// was substituted, and writes nothing.
TEST(FaultSweep, SubstitutionEndsInNoMemoryAndLeavesTheBufferAlone) {
    cfgtest::ScopedEnv env("CFG_SWEEP_ENV", "env");
    const std::vector<std::pair<const char *, const char *>> chain = {
        {"a", "A"}, {"chain.a", "A${chain.b}"}, {"chain.b", "B${CFG_SWEEP_ENV}"}};
    Items before;
    char out[64];
    Sweep text{"Cfg_Substitute",
               Fault::kAlloc,
               [&] {
                   set_all(chain);
                   before = items();
                   std::strcpy(out, "untouched");
               },
               [&] { return Cfg_Substitute("${a}-<${chain.a}>", out, sizeof out); },
               [&](int status) {
                   EXPECT_STATUS(ERR_NO_MEMORY, status);
                   EXPECT_STREQ("untouched", out);
                   EXPECT_EQ(show(before), show(items()));
               },
               [&] { EXPECT_STREQ("A-<ABenv>", out); }};
    EXPECT_GT(run(text), 3);
    Sweep read{"Cfg_GetAttrValue",
               Fault::kAlloc,
               [&] {
                   set_all(chain);
                   std::strcpy(out, "untouched");
               },
               [&] { return Cfg_GetAttrValue("chain.a", out, sizeof out); },
               [&](int status) {
                   EXPECT_STATUS(ERR_NO_MEMORY, status);
                   EXPECT_STREQ("untouched", out);
               },
               [&] { EXPECT_STREQ("ABenv", out); }};
    EXPECT_GT(run(read), 3);
}

TEST(FaultSweep, AssigningReferenceCreatesNoMoreThanItsItem) {
    for (Fault f : {Fault::kAlloc, Fault::kAppend, Fault::kModify}) {
        char out[32];
        Items after;
        Sweep s{"${made.here:=x}",
                f,
                [&] { std::strcpy(out, "untouched"); },
                [&] { return Cfg_Substitute("${made.here:=x}", out, sizeof out); },
                [&](int status) {
                    EXPECT_STATUS(status_of(f), status);
                    EXPECT_STREQ("untouched", out);
                    Items now = items();
                    EXPECT_TRUE(within(now, after)) << show(now);
                },
                [&] {
                    EXPECT_STREQ("x", out);
                    EXPECT_EQ(show(after), show(items()));
                }};
        after = Items{"made {", "made.here=x"};
        run(s);
    }
}

}  // namespace
