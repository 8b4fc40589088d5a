// Tests of the platform layer: the data store, the list library, the log
// service and the allocation fault hook.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "alloc.h"
#include "ds_index.h"
#include "support.h"

namespace {

using namespace cfgtest::raw;

const char *value(cfg_handle h) { return static_cast<const char *>(ds_get_av_ptr(h)); }
uint16_t xid_of(cfg_handle h) { return static_cast<uint16_t>(ds_get_attr_id(h)); }
int set_text(cfg_handle h, const std::string &text) {
    return ds_modify_av(h, text.c_str(), static_cast<uint16_t>(text.size() + 1));
}

TEST(DataStore, ChildrenKeepAppendOrderAndSearchesSkipOtherKinds) {
    EXPECT_EQ(0u, oa_xid_of("OID_NOT_A_THING"));
    EXPECT_EQ(0u, oa_xid_of(nullptr));
    EXPECT_EQ(0u, ds_get_cntl_info(2));
    cfg_handle root = ds_get_cntl_info(1);
    cfg_handle a1 = append(root, kItem, "a=1");
    cfg_handle r1 = append(root, kRef, "xxxx");
    cfg_handle a2 = append(root, kItem, "b=2");
    cfg_handle r2 = append(root, kRef, "yyyy");
    cfg_handle a3 = append(root, kItem, "c=3");
    EXPECT_EQ((std::vector<cfg_handle>{a1, a2, a3}), children(root, kItem));
    EXPECT_EQ((std::vector<cfg_handle>{r1, r2}), children(root, kRef));
    EXPECT_EQ(r1, ds_get_next_avp(a1));
    EXPECT_EQ(0u, ds_get_next_avp(a3));
    cfg_handle found = 12345;
    EXPECT_EQ(nullptr, ds_srch_av_ptr(a3, 2, kRef, &found));
    EXPECT_EQ(12345u, found) << "found is untouched when nothing matches";
    EXPECT_STREQ("b=2", static_cast<const char *>(ds_srch_av_ptr(r1, 2, kItem, &found)));
    EXPECT_EQ(a2, found);
    // from within a run of other kinds: the search steps over the rest of it
    cfg_handle r3 = append(root, kRef, "zzzz");
    cfg_handle r4 = append(root, kRef, "wwww");
    cfg_handle a4 = append(root, kItem, "d=4");
    EXPECT_STREQ("d=4", static_cast<const char *>(ds_srch_av_ptr(r4, 2, kItem, &found)));
    EXPECT_EQ(a4, found);
    EXPECT_EQ(nullptr, ds_srch_av_ptr(r3, 2, kIdent, &found));
    EXPECT_EQ(a4, found);
}

// A reference binds only to a standalone node that is no root and no bound
// reference: a target lives as long as its references, which nothing else
// may end. An empty value is a plain change.
TEST(DataStore, ReferencesBindOnlyToStandaloneTargets) {
    cfg_handle root = ds_get_cntl_info(1);
    cfg_handle parent = append(0, kIdent, "p");
    cfg_handle bound = ds_append_avp2(root, 2, kRef, 0, &parent, sizeof parent);
    ASSERT_EQ(1, ds_bind_reference(bound));
    const struct {
        const char *what;
        cfg_handle target;
    } refused[] = {
        {"the root", root}, {"a child of an object", append(parent, kIdent, "child")},
        {"a bound reference", bound}, {"a deleted node", 0xFFFFFFF0u}};
    for (const auto &r : refused) {
        SCOPED_TRACE(r.what);
        cfg_handle ref = ds_append_avp2(root, 2, kRef, 0, &r.target, sizeof r.target);
        EXPECT_EQ(0, ds_bind_reference(ref));
        EXPECT_EQ(DS_E_BAD_HANDLE, ds_get_error());
        EXPECT_NE(0, ds_delete_avp3(root, ref));
    }
    // The root is never a reference, whatever its value holds.
    cfg_handle other = append(0, kIdent, "other");
    const void *was = ds_get_av_ptr(root);
    std::string kept(static_cast<const char *>(was), 1);
    ASSERT_NE(0, ds_modify_av(root, &other, sizeof other));
    EXPECT_EQ(0, ds_bind_reference(root));
    EXPECT_NE(0, ds_modify_av(root, kept.c_str(), 1)) << "the root's value stays free";
    EXPECT_NE(0, ds_delete_obj(other));
    cfg_handle unbound = ds_append_avp2(root, 2, kRef, 0, &parent, sizeof parent);
    EXPECT_NE(0, ds_modify_av(unbound, nullptr, 0));
    EXPECT_STREQ("", value(unbound));
    EXPECT_NE(0, ds_delete_avp3(root, unbound));
    ASSERT_NE(0, ds_delete_avp3(root, bound));
    EXPECT_EQ(nullptr, ds_get_av_ptr(parent)) << "its last reference gone, the target goes";
}

// A store loaded and deleted again and again keeps a bounded slot table:
// a freed slot serves again once 65,536 others wait, under a new handle, and
// the old handle stays invalid.
TEST(DataStore, FreedSlotsServeAgainUnderNewHandles) {
    constexpr uint32_t kIndexMask = 0xFFFFFFu, kQuarantine = 1u << 16;
    cfg_handle root = ds_get_cntl_info(1);
    cfg_handle first = append(root, kItem, "first=1");
    ASSERT_NE(0, ds_delete_avp3(root, first));
    uint32_t highest = 0;
    bool reused = false;
    for (uint32_t i = 0; i < 3 * kQuarantine; ++i) {
        cfg_handle obj = append(root, kRef, "x");  // a parent with a child: two slots a round
        ASSERT_NE(0u, obj);
        ASSERT_NE(0u, append(obj, kItem, "y=1"));
        ASSERT_NE(0, ds_delete_avp3(root, obj));
        highest = std::max(highest, obj & kIndexMask);
        reused = reused || (obj & kIndexMask) == (first & kIndexMask);
        ASSERT_EQ(nullptr, ds_get_av_ptr(first)) << "round " << i;
        ASSERT_EQ(DS_E_BAD_HANDLE, ds_get_error());
    }
    EXPECT_TRUE(reused) << "the first slot must have served again";
    EXPECT_LT(highest, (first & kIndexMask) + kQuarantine + 8) << "the table must stop growing";
    cfg_handle last = append(root, kItem, "last=1");
    EXPECT_STREQ("last=1", value(last));
    EXPECT_EQ((std::vector<cfg_handle>{last}), children(root, kItem));
    EXPECT_EQ(0, ds_delete_avp3(root, first)) << "the old handle names nothing";
}

// An append the store refuses after reserving a handle gives the handle
// back unspent: the next append gets it, fresh or from the freed slots, so
// refused appends do not bring a deleted handle's return nearer.
TEST(DataStore, ARefusedAppendSpendsNoHandle) {
    constexpr uint32_t kIndexMask = 0xFFFFFFu, kQuarantine = 1u << 16;
    cfg_handle root = ds_get_cntl_info(1);
    auto refused_then_made = [&] {
        ds_inject_fault(DS_FAULT_MEMORY, 0, 1);
        EXPECT_EQ(0u, append(root, kItem, "refused=1"));
        ds_inject_fault(DS_FAULT_MEMORY, 0, 0);
        return append(root, kItem, "made=1");
    };
    cfg_handle before = append(root, kItem, "before=1");
    EXPECT_EQ(before + 1, refused_then_made()) << "a fresh slot";
    // Freed slots serve again, oldest first, once kQuarantine others wait.
    cfg_handle oldest = append(root, kItem, "oldest=1");
    ASSERT_NE(0, ds_delete_avp3(root, oldest));
    for (uint32_t i = 0; i < kQuarantine; ++i) ASSERT_NE(0, ds_delete_avp3(root, append(root, kItem, "x=1")));
    cfg_handle made = refused_then_made();
    EXPECT_EQ(oldest & kIndexMask, made & kIndexMask) << "the oldest freed slot";
    EXPECT_EQ(((oldest >> 24) + 1) & 0xFFu, made >> 24) << "one generation on";
}

// The root is made on first use; when the store has no memory for it, the
// store's error says so, as for any node it cannot make.
TEST(DataStore, ARootThatCannotBeMadeReportsNoMemory) {
    (void)ds_get_attr_id(0);  // leaves DS_E_BAD_HANDLE behind
    ds_inject_fault(DS_FAULT_MEMORY, 0, 1);
    cfg_handle root = ds_get_cntl_info(1);
    int error = ds_get_error();
    ds_inject_fault(DS_FAULT_MEMORY, 0, 0);
    // ctest runs each case in a process of its own, where no root exists yet.
    if (root != 0) GTEST_SKIP() << "the root was made earlier in this process";
    EXPECT_EQ(DS_E_NO_MEMORY, error);
    EXPECT_NE(0u, ds_get_cntl_info(1)) << "made once memory is there";
}

// Nodes whose values fill the 16-bit length (a bare name gets room to grow,
// a growing value some slack) are freed as the blocks they were given.
TEST(DataStore, ValuesOfTheLargestLengthsAreFreedWhole) {
    cfg_handle root = ds_get_cntl_info(1);
    for (uint16_t length : {uint16_t{65511}, uint16_t{65535}}) {
        std::string bare(length - 1u, 'n');  // no '=': a name only
        cfg_handle h = ds_append_avp2(root, 2, kItem, 0, bare.c_str(), length);
        ASSERT_NE(0u, h) << length;
        EXPECT_EQ(bare, value(h));
        EXPECT_NE(0, ds_delete_avp3(root, h));
    }
    cfg_handle grown = append(root, kItem, "g=1");
    for (uint32_t length : {1000u, 52428u, 52429u, 65535u}) {
        std::string text(length - 1u, 'v');
        ASSERT_NE(0, ds_modify_av(grown, text.c_str(), static_cast<uint16_t>(length))) << length;
        EXPECT_EQ(text, value(grown));
    }
    EXPECT_NE(0, ds_delete_avp3(root, grown));
}

// The kinds of children a parent holds are counted in 16 bits: past 32,768
// of them every child is still found.
TEST(DataStore, AParentHoldsChildrenOfManyKinds) {
    cfg_handle parent = append(0, kIdent, "kinds");
    constexpr uint32_t kKinds = 32770;
    std::vector<cfg_handle> made;
    for (uint32_t k = 0; k < kKinds; ++k) {
        auto xid = static_cast<uint16_t>(0x100u + k);
        made.push_back(ds_append_avp2(parent, 2, xid, 0, "c", 2));
        ASSERT_NE(0u, made.back()) << k;
    }
    for (uint32_t k : {0u, 32767u, 32768u, kKinds - 1}) {
        cfg_handle found = 0;
        EXPECT_NE(nullptr, ds_srch_av_ptr(parent, 2, static_cast<uint16_t>(0x100u + k), &found)) << k;
        EXPECT_EQ(made[k], found) << k;
    }
    EXPECT_NE(0, ds_delete_obj(parent));
}

// A deletion frees what only the deleted subtree keeps: targets reached
// through references at any depth, a target once its last reference goes,
// an attribute's own children; a target still referenced from outside stays.
TEST(DataStore, DeletionFreesExactlyWhatOnlyTheSubtreeKeeps) {
    cfg_handle root = ds_get_cntl_info(1);
    cfg_handle a = append(0, kIdent, "A"), b = append(0, kIdent, "B");
    cfg_handle c = append(0, kIdent, "C"), d = append(0, kIdent, "D");
    cfg_handle ra = ref(root, a), rd = ref(root, d);
    std::vector<cfg_handle> gone = {a, b, c};
    for (const char *t : {"a1=1", "a2=2", "a3=3"}) gone.push_back(append(a, kItem, t));
    gone.push_back(append(gone[3], kItem, "x=1"));  // an attribute's own child
    for (cfg_handle h : {ref(a, b), ref(a, c), ref(b, c), ref(a, d), append(b, kItem, "b=1"),
                         append(c, kItem, "c=1")})
        gone.push_back(h);
    cfg_handle kept = append(d, kItem, "d=1");
    ASSERT_NE(0, ds_delete_avp3(root, ra));
    for (cfg_handle h : gone) EXPECT_EQ(nullptr, ds_get_av_ptr(h)) << "handle " << h;
    for (cfg_handle h : {d, rd, kept}) EXPECT_NE(nullptr, ds_get_av_ptr(h)) << "handle " << h;
    EXPECT_EQ(0, ds_delete_obj(d)) << "D is still referenced from the root";
    ASSERT_NE(0, ds_delete_avp3(root, rd));
    EXPECT_EQ(nullptr, ds_get_av_ptr(d));
    EXPECT_EQ(nullptr, ds_get_av_ptr(kept));
}

TEST(DataStore, DeepNestingIsFreedWithoutRecursion) {
    cfg_handle root = ds_get_cntl_info(1), parent = root, first = 0;
    for (int i = 0; i <= 200000; ++i) {
        cfg_handle r = 0;
        parent = object(parent, "n", &r);
        if (!first) first = r;
    }
    EXPECT_NE(0, ds_delete_avp3(root, first));
    EXPECT_EQ(nullptr, ds_get_av_ptr(parent));
}

// Attributes are the store's compact kind: one made a parent or a reference
// target through the raw API still keeps children and references.
TEST(DataStore, AnAttributeCanBeAParentAndAReferenceTarget) {
    cfg_handle root = ds_get_cntl_info(1);
    cfg_handle attr = append(0, kItem, "a=1");
    cfg_handle child = append(attr, kItem, "c=2");
    ASSERT_NE(0u, child);
    EXPECT_EQ((std::vector<cfg_handle>{child}), children(attr, kItem));
    cfg_handle to_attr = ref(root, attr);
    const char grown[] = "a=a value longer than the room it had";
    ASSERT_NE(0, ds_modify_av(attr, grown, sizeof grown));
    EXPECT_STREQ(grown, value(attr));
    EXPECT_EQ((std::vector<cfg_handle>{child}), children(attr, kItem)) << "children stay with a moved node";
    EXPECT_EQ(0, ds_delete_obj(attr)) << "a bound reference keeps its target";
    ASSERT_NE(0, ds_delete_avp3(root, to_attr));
    EXPECT_EQ(nullptr, ds_get_av_ptr(attr));
    EXPECT_EQ(nullptr, ds_get_av_ptr(child));
}

// A lookup's scan visits what ds_srch_av_ptr steps through, each node with
// the name a lookup compares, and survives a visitor that deletes the node.
struct Visits {
    std::vector<cfg_handle> handles;
    std::vector<std::string> texts;
    size_t stop_at = 0;        // stop at the n-th node (0: never)
    cfg_handle parent = 0;     // nonzero: delete each visited node from it
    static int visit(cfg_handle c, const char *text, void *arg) {
        auto *v = static_cast<Visits *>(arg);
        v->handles.push_back(c);
        v->texts.push_back(text ? text : "(null)");
        if (v->parent) {
            EXPECT_NE(0, ds_delete_avp3(v->parent, c));
        }
        return v->handles.size() == v->stop_at;
    }
};

TEST(DataStore, ScanVisitsOneKindWithTheNamesALookupCompares) {
    cfg_handle p = append(0, kIdent, "p");
    cfg_handle a = append(p, kItem, "a=1");
    cfg_handle obj = append(0, kIdent, "!o[2]");
    cfg_handle to_obj = ds_append_avp2(p, 2, kRef, 0, &obj, sizeof obj);
    cfg_handle b = append(p, kItem, "b=2");
    cfg_handle to_attr = ds_append_avp2(p, 2, kRef, 0, &a, sizeof a);  // refers to no object
    cfg_handle c = append(p, kItem, "c");
    struct Case {
        cfg_handle start;
        uint16_t xid;
        std::vector<cfg_handle> handles;
        std::vector<std::string> texts;
    };
    const Case cases[] = {{p, kItem, {a, b, c}, {"a=1", "b=2", "c"}},
                          {p, kRef, {to_obj, to_attr}, {"!o[2]", "(null)"}},
                          {b, kItem, {b, c}, {"b=2", "c"}},  // from a child: that node on
                          {to_obj, kItem, {b, c}, {"b=2", "c"}},
                          {obj, kItem, {}, {}}};
    for (const Case &k : cases) {
        Visits all;
        EXPECT_EQ(0u, ds_scan_named(k.start, k.xid, &Visits::visit, &all));
        EXPECT_EQ(k.handles, all.handles);
        EXPECT_EQ(k.texts, all.texts);
    }
    Visits two;
    two.stop_at = 2;
    EXPECT_EQ(b, ds_scan_named(p, kItem, &Visits::visit, &two));
    EXPECT_EQ(0u, ds_scan_named(0xFFFFFF00u, kItem, &Visits::visit, &two));
    Visits deleting;
    deleting.parent = p;
    EXPECT_EQ(0u, ds_scan_named(p, kItem, &Visits::visit, &deleting));
    EXPECT_EQ((std::vector<cfg_handle>{a, b, c}), deleting.handles) << "the scan goes on after each node that went";
    EXPECT_EQ((std::vector<cfg_handle>{}), children(p, kItem));
}

// A store of some 25 MiB: past the size where the pool takes large slabs
// (and asks for huge pages), every node still keeps exactly its own value,
// also where freed blocks are used again.
TEST(DataStore, ALargeStoreKeepsEveryValue) {
    cfg_handle p = append(0, kIdent, "large");
    auto text_of = [](size_t i) {
        std::string t = "big" + std::to_string(i) + "=";
        t.resize(400 + i % 200, static_cast<char>('a' + i % 26));
        return t;
    };
    std::vector<cfg_handle> nodes;
    for (size_t i = 0; i < 50000; ++i) {
        nodes.push_back(append(p, kItem, text_of(i).c_str()));
        ASSERT_NE(0u, nodes.back());
    }
    for (size_t i = 0; i < nodes.size(); i += 2) ASSERT_NE(0, ds_delete_avp3(p, nodes[i]));
    for (size_t i = 0; i < nodes.size(); i += 2) {
        nodes[i] = append(p, kItem, text_of(i).c_str());
        ASSERT_NE(0u, nodes[i]);
    }
    for (size_t i = 0; i < nodes.size(); ++i)
        ASSERT_EQ(text_of(i), value(nodes[i])) << "node " << i;
    std::string name = "big49999";
    EXPECT_EQ(nodes.back(), ds_first_named(p, kItem, name.c_str(), name.size()));
    EXPECT_NE(0, ds_delete_obj(p));
}

// Nodes too large for the pool's own block sizes come from malloc, and only
// the store's mapped handle slots point to them: a leak checker must scan
// those, or it reports such a node, alive when the process ends, as leaked
// (this test's process ends with one).
TEST(DataStore, ALargeNodeAliveAtTheEndIsNoLeak) {
    for (int i = 0; i < 40; ++i) {  // more large sizes than the pool keeps lists for
        std::string text(9000 + 300 * i, 'v');
        cfg_handle n = append(0, kItem, text.c_str());
        ASSERT_NE(0u, n);
        ASSERT_NE(0, ds_delete_obj(n));
    }
    std::string big(20000, 'x');
    ASSERT_NE(0u, append(0, kItem, big.c_str()));
}

TEST(DataStore, LockNestsAndExcludesOtherThreads) {
    ds_lock();
    ds_lock();
    std::atomic<bool> entered{false};
    std::thread other([&] {
        ds_lock();
        entered = true;
        ds_unlock();
    });
    ds_unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load()) << "one unlock of two must keep the lock";
    ds_unlock();
    other.join();
    EXPECT_TRUE(entered.load());
    ds_unlock();  // unbalanced: ignored
}

struct Rec {
    int value;
    char *text;
};

int g_released = 0;
int on_leave(LS_List, void *record) {
    ++g_released;
    cfg_mem_free(static_cast<Rec *>(record)->text);
    return 1;
}

// Adds at either end (also to an empty list), releases the tail through the
// callback, refuses what cannot be allocated, empties and destroys.
TEST(Lists, AddWalkReleaseAndEmpty) {
    cfg_inject_alloc_fault(0, 1);
    EXPECT_EQ(nullptr, LS_CreateList(4, 0));
    g_released = 0;
    LS_List l = LS_CreateList(sizeof(Rec), 0);
    ASSERT_NE(nullptr, l);
    LS_SetCallback(l, 2, on_leave);
    Rec a{1, cfg_mem_strdup("one")}, b{2, cfg_mem_strdup("two")}, c{3, cfg_mem_strdup("three")}, d{4, nullptr};
    ASSERT_NE(nullptr, LS_Add(l, 0, 1, &a, 1));
    void *eb = LS_Add(l, 0, 0, &b, 1);
    auto *front = static_cast<Rec *>(LS_Add(l, 0, 1, &c, 1));
    ASSERT_NE(nullptr, eb);
    ASSERT_NE(nullptr, front);
    front->value = 30;  // callers write through the element
    auto walk = [&l] {
        std::vector<int> seen;
        for (void *e = LS_Next(l, nullptr, 0, 1); e; e = LS_Next(nullptr, e, 0, 1))
            seen.push_back(static_cast<Rec *>(e)->value);
        EXPECT_EQ(seen.size(), LS_ListSize(l, 0));
        return seen;
    };
    EXPECT_EQ((std::vector<int>{30, 1, 2}), walk());
    LS_Release(eb, 0x7fffffff);
    EXPECT_EQ(1, g_released);
    EXPECT_EQ((std::vector<int>{30, 1}), walk());
    cfg_inject_alloc_fault(0, 1);
    EXPECT_EQ(nullptr, LS_Add(l, 0, 0, &d, 1));
    EXPECT_EQ((std::vector<int>{30, 1}), walk());
    int flag = 7;
    LS_EmptyList(l, &flag);
    EXPECT_EQ(0, flag);
    EXPECT_EQ(3, g_released);
    EXPECT_EQ(0u, LS_ListSize(l, 0));
    ASSERT_NE(nullptr, LS_Add(l, 0, 0, &d, 1));  // at the tail of an empty list
    EXPECT_EQ((std::vector<int>{4}), walk());
    LS_DestroyList(l);
    EXPECT_EQ(4, g_released) << "destroying releases what is left";
}

// Two sinks that each check they are called with their own context, swapped
// while another thread logs: a sink never sees the other one's context.
std::atomic<long> g_sink_calls{0}, g_mixed_sink_calls{0};
template <char Id>
void paired_sink(void *ctx, int, const char *, int, const char *) {
    ++g_sink_calls;
    if (*static_cast<const char *>(ctx) != Id) ++g_mixed_sink_calls;
}

TEST(Log, SinkAndContextChangeTogether) {
    static const char a = 'a', b = 'b';
    std::atomic<bool> stop{false};
    std::thread switcher([&] {
        while (!stop.load()) {
            Log_SetSink(&paired_sink<'a'>, const_cast<char *>(&a));
            Log_SetSink(&paired_sink<'b'>, const_cast<char *>(&b));
        }
    });
    while (g_sink_calls.load() < 100000) Log_Entry(13, "cfg_test", 1, "%s", "message");
    stop = true;
    switcher.join();
    Log_SetSink(nullptr, nullptr);
    EXPECT_EQ(0, g_mixed_sink_calls.load());
}

// A program frees a sink's context once Log_SetSink has replaced the sink:
// another thread must not be running that sink any more. A sink that
// replaces itself does not wait for its own call.
struct SlowSinkState {
    std::atomic<bool> running{false};
    std::atomic<bool> uninstall{false};
};
void slow_sink(void *ctx, int, const char *, int, const char *) {
    auto *state = static_cast<SlowSinkState *>(ctx);
    state->running = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (state->uninstall) Log_SetSink(nullptr, nullptr);
    state->running = false;
}

TEST(Log, ReplacingASinkWaitsForItsCallsInOtherThreads) {
    SlowSinkState state;
    Log_SetSink(&slow_sink, &state);
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) Log_Entry(13, "cfg_test", 1, "%s", "from the worker");
    });
    while (!state.running) std::this_thread::yield();
    Log_SetSink(nullptr, nullptr);
    EXPECT_FALSE(state.running) << "the replaced sink still ran when Log_SetSink returned";
    stop = true;
    worker.join();

    state.uninstall = true;
    Log_SetSink(&slow_sink, &state);
    Log_Entry(13, "cfg_test", 2, "%s", "the sink removes itself");
    EXPECT_FALSE(state.running);
}

TEST(Log, ALevelThatIsNoNumberKeepsTheDefault) {
    // The threshold is read once per process, and ctest runs each test case
    // in its own: this case's process reads "debug".
    cfgtest::ScopedEnv level("CFGTREE_LOG_LEVEL", "debug");
    testing::internal::CaptureStderr();
    Log_Entry(5, "cfg_test", 1, "hidden warning");
    Log_Entry(3, "cfg_test", 2, "shown error");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string::npos, err.find("hidden"));
    EXPECT_NE(std::string::npos, err.find("cfg_test:2: shown error"));
}

TEST(Log, ANegativeLevelShowsNothing) {
    // Read once per process, as above: levels 1 to N are shown, none for N < 1.
    cfgtest::ScopedEnv level("CFGTREE_LOG_LEVEL", "-1");
    testing::internal::CaptureStderr();
    Log_Entry(3, "cfg_test", 1, "an error");
    Log_Entry(2, "cfg_test", 2, "a failed call");
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

// ---- the name index: indexed answers equal a plain scan of the children ----

struct Model {
    std::string name, inst;
    bool wild;
    bool odd() const { return name.empty(); }  // no name character: unreadable
};

// Splits a stored name the way the index does: one leading '!' dropped,
// bare name up to '[', instance up to the first ']'.
Model model_of(const std::string &stored) {
    std::string s = stored.substr(0, stored.find('='));
    if (!s.empty() && s[0] == '!') s.erase(0, 1);
    Model m;
    size_t open = s.find('[');
    m.name = s.substr(0, open);
    if (open != std::string::npos) m.inst = s.substr(open + 1, s.find(']', open) - open - 1);
    m.wild = false;
    size_t start = 0;
    for (size_t i = 0; i <= m.inst.size(); ++i)
        if (i == m.inst.size() || m.inst[i] == ':') {
            std::string tok = m.inst.substr(start, i - start);
            m.wild = m.wild || tok == "*" || tok == "**";
            start = i + 1;
        }
    return m;
}

std::string stored_name(cfg_handle h) {
    if (xid_of(h) == kItem) return value(h);
    return value(target_of(h));
}

class IndexModel {
  public:
    explicit IndexModel(unsigned seed) : rng_(seed) { parent_ = append(0, kIdent, "p"); }

    void add_random() {
        static const char *names[] = {"a", "b", "line", "srv", "x-1", ""};
        static const char *insts[] = {"", "[]", "[1]", "[2]", "[*]", "[1:2]", "[1:*]", "[**]", "[x]"};
        std::string text = std::string(rng_() % 4 == 0 ? "!" : "") + names[rng_() % 6] + insts[rng_() % 9];
        // an attribute "text=v", or an object named text and its reference
        bool object = rng_() % 2 == 0;
        children_.push_back(object ? ref(parent_, append(0, kIdent, text)) : append(parent_, kItem, text + "=v"));
    }

    void delete_random() {
        if (children_.empty()) return;
        size_t i = rng_() % children_.size();
        ASSERT_NE(0, ds_delete_avp3(parent_, children_[i]));
        children_.erase(children_.begin() + static_cast<long>(i));
    }

    void rename_random() {
        if (children_.empty()) return;
        cfg_handle h = children_[rng_() % children_.size()];
        static const char *renamed[] = {"a[2]", "b", "line[*]", "srv[1:2]", ""};
        std::string text = renamed[rng_() % 5];
        ASSERT_NE(0, xid_of(h) == kItem ? set_text(h, text + "=w") : set_text(target_of(h), text));
    }

    // New values that keep the name, or change it subtly: "a=x" -> "a=y=z",
    // "a" -> "a=", "a=1" -> "a" (the index is left alone only when the
    // name truly stays).
    void revalue_random() {
        if (children_.empty()) return;
        cfg_handle h = children_[rng_() % children_.size()];
        if (xid_of(h) != kItem) return;
        std::string name = stored_name(h).substr(0, stored_name(h).find('='));
        static const char *tails[] = {"=y=z", "=", "", "x=1", "[3]=q"};
        ASSERT_NE(0, set_text(h, name + tails[rng_() % 5]));
    }

    // Every query the finder makes, answered by the index and by a scan.
    void check() {
        for (uint16_t xid : {kItem, kRef}) {
            std::vector<cfg_handle> same_kind;
            for (cfg_handle c : children_)
                if (xid_of(c) == xid) same_kind.push_back(c);
            for (const char *name : {"a", "b", "line", "srv", "x-1", "zz"}) {
                std::vector<cfg_handle> want, got;
                for (cfg_handle c : same_kind)
                    if (model_of(stored_name(c)).name == name) want.push_back(c);
                for (cfg_handle c = ds_first_named(parent_, xid, name, std::strlen(name)); c; c = ds_next_named(c))
                    got.push_back(c);
                ASSERT_EQ(want, got) << "named " << name;
                for (const char *inst : {"", "1", "2", "1:2", "x", "3"}) {
                    cfg_handle expect = 0;
                    for (cfg_handle c : same_kind) {
                        Model m = model_of(stored_name(c));
                        if (m.name == name && m.inst == inst && !m.wild) {
                            expect = c;
                            break;
                        }
                    }
                    ASSERT_EQ(expect, ds_first_keyed(parent_, xid, name, std::strlen(name), inst, std::strlen(inst)))
                        << name << "[" << inst << "]";
                    cfg_handle exact = 7, wild = 7;
                    int ready = ds_lookup_keyed(parent_, xid, name, std::strlen(name), inst, std::strlen(inst),
                                                &exact, &wild);
                    ASSERT_EQ(ds_index_ready(parent_), ready);
                    ASSERT_EQ(ready ? expect : 7u, exact) << name << "[" << inst << "]";
                    ASSERT_EQ(ready ? ds_first_wild(parent_, xid) : 7u, wild);
                }
            }
            std::vector<cfg_handle> want, got, want_odd, got_odd;
            for (cfg_handle c : same_kind) {
                Model m = model_of(stored_name(c));
                if (m.wild || m.odd()) want.push_back(c);
                if (m.odd()) want_odd.push_back(c);
            }
            for (cfg_handle c = ds_first_wild(parent_, xid); c; c = ds_next_wild(c)) got.push_back(c);
            ASSERT_EQ(want, got) << "aside list";
            for (cfg_handle c = ds_first_odd(parent_, xid); c; c = ds_next_odd(c)) got_odd.push_back(c);
            ASSERT_EQ(want_odd, got_odd) << "odd list";
            for (size_t i = 1; i < same_kind.size(); ++i) ASSERT_LT(ds_seq(same_kind[i - 1]), ds_seq(same_kind[i]));
            Visits scanned;
            ASSERT_EQ(0u, ds_scan_named(parent_, xid, &Visits::visit, &scanned));
            ASSERT_EQ(same_kind, scanned.handles);
            for (size_t i = 0; i < same_kind.size(); ++i) ASSERT_EQ(stored_name(same_kind[i]), scanned.texts[i]);
        }
    }

  private:
    std::mt19937 rng_;
    cfg_handle parent_;
    std::vector<cfg_handle> children_;
};

class NameIndex : public testing::TestWithParam<unsigned> {};

TEST_P(NameIndex, AnswersEqualAScanThroughAppendsRenamesAndDeletions) {
    IndexModel model(GetParam());
    // Small parents are scanned; growing past the threshold builds the index,
    // and deleting back down keeps it: check at every size on the way.
    for (int step = 0; step < 400; ++step) {
        int op = static_cast<int>(step % 10);
        if (op < 6) model.add_random();
        else if (op < 8) model.delete_random();
        else if (step % 20 < 10) model.rename_random();
        else model.revalue_random();
        if (step % 7 == 0 || step < 20) model.check();
        if (testing::Test::HasFatalFailure()) return;
    }
    model.check();
}

INSTANTIATE_TEST_SUITE_P(Seeds, NameIndex, testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u));

// The store's one-call step of a plain component: a sure answer (the child,
// or none) where the quick reading decides, "ask" where the caller must
// compare names itself.
// A walk's step, which holds the store lock as a lookup does.
int step(cfg_handle parent, uint16_t xid, const char *name, const char *inst, cfg_handle *child, cfg_handle *target,
         void **text = nullptr) {
    ds_lock();
    int sure = ds_step_plain_locked(parent, xid, name, std::strlen(name), inst, std::strlen(inst), child, target, text);
    ds_unlock();
    return sure;
}

TEST(NameIndex, StepOfAPlainComponentIsSureOrAsks) {
    constexpr int kAsk = -1;
    const struct {
        std::vector<const char *> children;  // attribute texts, in order
        const char *name, *inst;
        int want;  // index of the child found, -2 none, kAsk
    } cases[] = {
        // how odd names read is cfg_index_test's: one row per answer here
        {{"a=1", "b=2"}, "c", "", -2},
        {{"b[2]=1", "b=2", "b[1]=3"}, "b", "1", 2},
        {{"=1", "b=2"}, "b", "", kAsk},      // an unreadable name before any match
        {{"b=2", "=1"}, "b", "", 0},         // ... after the match does not matter
        {{"b[*]=1", "b=2"}, "b", "", kAsk},  // a wildcard instance matches many names
        // past four children the index answers; a wildcard anywhere asks
        {{"a=1", "c=2", "d=3", "e=4", "f=5", "b=6"}, "b", "", 5},
        {{"a=1", "c=2", "d=3", "e=4", "f=5", "=6"}, "b", "", kAsk},  // the search reports it
        {{"a=1", "c=2", "d=3", "e=4", "b=5", "=6"}, "b", "", kAsk},
        {{"a=1", "c=2", "d=3", "e=4", "f=5", "z[*]=6"}, "b", "", kAsk},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + "[" + c.inst + "] among " + std::to_string(c.children.size()));
        cfg_handle p = append(0, kIdent, "step");
        std::vector<cfg_handle> kids;
        for (const char *text : c.children) kids.push_back(append(p, kItem, text));
        cfg_handle child = 99, target = 99;
        void *text = &child;
        int sure = step(p, kItem, c.name, c.inst, &child, &target, &text);
        if (sure) {  // the found child's stored text comes with it
            EXPECT_EQ(child ? ds_get_av_ptr_of(child, kItem) : nullptr, text);
        }
        if (c.want == kAsk) {
            EXPECT_EQ(0, sure);
            EXPECT_EQ(99u, child) << "nothing is written when the store asks";
        } else {
            EXPECT_EQ(1, sure);
            EXPECT_EQ(c.want < 0 ? 0u : kids[static_cast<std::size_t>(c.want)], child);
            EXPECT_EQ(0u, target) << "an attribute refers to nothing";
        }
        ASSERT_NE(0, ds_delete_obj(p));
    }
    // A node that is some parent's child is no object to step from.
    cfg_handle p = append(0, kIdent, "outer");
    cfg_handle inner = append(p, kItem, "x=1");
    cfg_handle child = 0, target = 0;
    // A sub-object is found through its reference node, which names it.
    cfg_handle sub = append(0, kIdent, "sub[2]");
    cfg_handle ref = ds_append_avp2(p, 2, kRef, 0, &sub, sizeof sub);
    ASSERT_NE(0, ds_bind_reference(ref));
    EXPECT_EQ(1, step(p, kRef, "sub", "2", &child, &target));
    EXPECT_EQ(ref, child);
    EXPECT_EQ(sub, target);
    EXPECT_EQ(1, step(p, kRef, "sub", "", &child, &target));
    EXPECT_EQ(0u, child);
    EXPECT_EQ(0, step(inner, kItem, "x", "", &child, nullptr));
    EXPECT_EQ(0, step(0xFFFFFF00u, kItem, "x", "", &child, nullptr));
    ASSERT_NE(0, ds_delete_obj(p));
}

// A new attribute made and set in one store step, from the joined text or
// (a plain name) from its name and value, is what an append of its name and
// a set make: the same text, found under the same key (a name the index
// cannot read may become readable with its value), and a refused set leaves
// the name.
TEST(NameIndex, AnAppendAndSetEqualsAnAppendOfTheNameThenASet) {
    const struct {
        const char *text;  // name '=' value
        std::size_t name_length;
        const char *key_name, *key_inst;  // what the index finds it by afterwards
        int plain;                        // the name is vouched for as '!' and name characters
    } cases[] = {
        {"a=1", 1, "a", "", 0},
        {"a=1", 1, "a", "", 1},
        {"!e=1", 2, "e", "", 1},
        {"!b[2]=x", 5, "b", "2", 0},
        {"c[x=1]", 3, "c", "x=1", 0},  // "c[x" is closed by the value
        {"d e=1", 3, "d", "", 0},
        {"g=", 1, "g", "", 1},
        {"long=a value longer than the room a new attribute has for one", 4, "long", "", 1},
    };
    enum Step { kTwo, kJoined, kParts };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        for (Step step : {kTwo, kJoined, kParts}) {
            if (step == kParts && !c.plain) continue;
            cfg_handle p = append(0, kIdent, "p");
            for (const char *filler : {"f1=1", "f2=2", "f3=3", "f4=4", "f5=5"}) append(p, kItem, filler);
            auto length = static_cast<uint16_t>(std::strlen(c.text) + 1);
            cfg_handle h = 0;
            if (step == kJoined) {
                int set = 0;
                h = ds_append_set(p, c.text, static_cast<uint16_t>(c.name_length), length, c.plain, &set, nullptr);
                EXPECT_EQ(1, set);
            } else if (step == kParts) {
                int set = 0;
                std::string name(c.text, c.name_length);
                const char *value = c.text + c.name_length + 1;
                h = ds_append_value(p, name.c_str(), static_cast<uint16_t>(c.name_length), value,
                                    static_cast<uint16_t>(std::strlen(value)), &set, nullptr);
                EXPECT_EQ(1, set);
            } else {
                std::string name(c.text, c.name_length);
                h = ds_append_avp2(p, 2, kItem, 0, name.c_str(), static_cast<uint16_t>(name.size() + 1));
                EXPECT_NE(0, ds_modify_av(h, c.text, length));
            }
            ASSERT_NE(0u, h);
            EXPECT_STREQ(c.text, static_cast<const char *>(ds_get_av_ptr(h)));
            cfg_handle exact = 0, wild = 0;
            ASSERT_EQ(1, ds_lookup_keyed(p, kItem, c.key_name, std::strlen(c.key_name), c.key_inst,
                                         std::strlen(c.key_inst), &exact, &wild));
            EXPECT_EQ(h, exact);
            ASSERT_NE(0, ds_delete_obj(p));
        }
    }
    cfg_handle p = append(0, kIdent, "p");
    int set = 1;
    ds_inject_fault(DS_FAULT_MODIFY, 0, 1);
    cfg_handle h = ds_append_set(p, "a=1", 1, 4, 1, &set, nullptr);
    ds_inject_fault(DS_FAULT_MODIFY, 0, 0);
    EXPECT_EQ(0, set);
    ASSERT_NE(0u, h);
    EXPECT_STREQ("a", static_cast<const char *>(ds_get_av_ptr(h)));
    ds_inject_fault(DS_FAULT_APPEND, 0, 1);
    EXPECT_EQ(0u, ds_append_set(p, "b=1", 1, 4, 1, &set, nullptr));
    ds_inject_fault(DS_FAULT_APPEND, 0, 0);
    EXPECT_EQ((std::vector<cfg_handle>{h}), children(p, kItem));
    ASSERT_NE(0, ds_delete_obj(p));
}

// Whichever of the store's allocations fails, or when the set is refused,
// an attribute made from its name and value is left as one made from the
// joined text: refused, holding its name, or set.
TEST(NameIndex, AnAppendFromPartsFailsAsAnAppendOfTheJoinedText) {
    const std::string text = "name=a value longer than the room a new attribute has for one";
    const std::string name = "name", value = text.substr(name.size() + 1);
    auto outcome = [&](bool parts, unsigned ops, int skip) {
        cfg_handle p = append(0, kIdent, "p");
        for (const char *filler : {"f1=1", "f2=2", "f3=3", "f4=4", "f5=5", "f6=6", "f7=7"}) append(p, kItem, filler);
        int set = 7;
        ds_inject_fault(ops, skip, 1);
        cfg_handle h = parts ? ds_append_value(p, name.c_str(), static_cast<uint16_t>(name.size()), value.c_str(),
                                               static_cast<uint16_t>(value.size()), &set, nullptr)
                             : ds_append_set(p, text.c_str(), static_cast<uint16_t>(name.size()),
                                             static_cast<uint16_t>(text.size() + 1), 1, &set, nullptr);
        ds_inject_fault(0, 0, 0);
        std::string got = h ? std::to_string(set) + ":" + static_cast<const char *>(ds_get_av_ptr(h)) : "refused";
        cfg_handle exact = 0, wild = 0;
        EXPECT_EQ(1, ds_lookup_keyed(p, kItem, "name", 4, "", 0, &exact, &wild));
        EXPECT_EQ(h, exact);
        EXPECT_NE(0, ds_delete_obj(p));
        return got;
    };
    for (unsigned ops : {DS_FAULT_MEMORY, DS_FAULT_MODIFY, DS_FAULT_APPEND}) {
        for (int skip = 0; skip < 4; ++skip) {
            SCOPED_TRACE("ops " + std::to_string(ops) + ", skip " + std::to_string(skip));
            EXPECT_EQ(outcome(false, ops, skip), outcome(true, ops, skip));
        }
    }
    EXPECT_EQ("0:name", outcome(true, DS_FAULT_MODIFY, 0));
    EXPECT_EQ("1:" + text, outcome(true, DS_FAULT_MODIFY, 1));
}

// The children of kind kItem named name: by the index's name chain, and by
// a scan of every child in store order.
std::vector<cfg_handle> chain_of(cfg_handle p, const std::string &name) {
    std::vector<cfg_handle> found;
    for (cfg_handle c = ds_first_named(p, kItem, name.c_str(), name.size()); c; c = ds_next_named(c))
        found.push_back(c);
    return found;
}
std::vector<cfg_handle> scan_of(cfg_handle p, const std::string &name) {
    std::vector<cfg_handle> found;
    for (cfg_handle c : children(p, kItem)) {
        std::string text = static_cast<const char *>(ds_get_av_ptr(c));
        if (text.substr(0, text.find('=')) == name) found.push_back(c);
    }
    return found;
}

// A creation's lookup leaves the append of the name it missed a hint (its
// hash and the empty slot its probe stopped at). Whatever changes the index
// between the two (the name made meanwhile, a chain dropped, a table grown)
// must make the append probe again: trusted, the hint would put the name
// in a slot that no longer is its first empty one, or over a chain.
TEST(NameIndex, AnAppendIgnoresAHintTheIndexHasChangedSince) {
    const struct {
        const char *what;
        void (*change)(cfg_handle p, const std::vector<cfg_handle> &kids);
    } cases[] = {
        {"nothing", [](cfg_handle, const std::vector<cfg_handle> &) {}},
        {"the name appended", [](cfg_handle p, const std::vector<cfg_handle> &) { append(p, kItem, "x=0"); }},
        {"a child renamed to it",
         [](cfg_handle, const std::vector<cfg_handle> &kids) { ASSERT_NE(0, ds_modify_av(kids[3], "x=3", 4)); }},
        {"children deleted",
         [](cfg_handle p, const std::vector<cfg_handle> &kids) {
             for (std::size_t i = 0; i < kids.size(); i += 2) ASSERT_NE(0, ds_delete_avp3(p, kids[i]));
         }},
        {"the table grown",
         [](cfg_handle p, const std::vector<cfg_handle> &) {
             for (int i = 0; i < 200; ++i) append(p, kItem, "g" + std::to_string(i) + "=1");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        cfg_handle p = append(0, kIdent, "p");
        std::vector<cfg_handle> kids;
        for (int i = 0; i < 40; ++i) kids.push_back(append(p, kItem, "f" + std::to_string(i) + "=1"));
        ds_lock();
        ds_slot_hint hint{};
        cfg_handle missing = 99;
        ASSERT_EQ(1, ds_step_attr_locked(p, "x", 1, "", 0, &missing, &hint));
        EXPECT_EQ(0u, missing);
        EXPECT_NE(nullptr, hint.index) << "an indexed parent leaves a hint";
        c.change(p, kids);
        int set = 0;
        cfg_handle h = ds_append_set(p, "x=1", 1, 4, 1, &set, &hint);
        ds_unlock();
        ASSERT_NE(0u, h);
        EXPECT_EQ(1, set);
        for (cfg_handle k : children(p, kItem)) {
            std::string text = static_cast<const char *>(ds_get_av_ptr(k));
            std::string name = text.substr(0, text.find('='));
            EXPECT_EQ(scan_of(p, name), chain_of(p, name)) << name;
        }
        EXPECT_EQ(h, scan_of(p, "x").back());
        ASSERT_NE(0, ds_delete_obj(p));
    }
}

// A step that finds no attribute tells whether the parent holds children of
// the reference kind at all: without any, a lookup of the name as an object
// need not be made.
TEST(NameIndex, AMissedStepTellsWhetherObjectsAreThere) {
    const struct {
        const char *what;
        int attributes;
        bool object;          // a bound sub-object
        bool object_deleted;  // deleted again before the step
        uint32_t no_objects;
    } cases[] = {
        {"no child", 0, false, false, 1},
        {"a scanned parent", 2, false, false, 1},
        {"an indexed parent", 40, false, false, 1},
        {"scanned, with an object", 2, true, false, 0},
        {"indexed, with an object", 40, true, false, 0},
        {"its object deleted", 40, true, true, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        cfg_handle p = append(0, kIdent, "p");
        for (int i = 0; i < c.attributes; ++i) append(p, kItem, "f" + std::to_string(i) + "=1");
        if (c.object) {
            cfg_handle sub = append(0, kIdent, "sub");
            cfg_handle ref = ds_append_avp2(p, 2, kRef, 0, &sub, sizeof sub);
            ASSERT_NE(0, ds_bind_reference(ref));
            if (c.object_deleted) {
                ASSERT_NE(0, ds_delete_avp3(p, ref));
            }
        }
        ds_lock();
        ds_slot_hint hint{};
        hint.no_objects = 7;
        cfg_handle missing = 99;
        ASSERT_EQ(1, ds_step_attr_locked(p, "x", 1, "", 0, &missing, &hint));
        EXPECT_EQ(0u, missing);
        EXPECT_EQ(c.no_objects, hint.no_objects);
        if (c.attributes) {  // a step that finds the attribute leaves it as it is
            hint.no_objects = 7;
            cfg_handle found = 0;
            ASSERT_EQ(1, ds_step_attr_locked(p, "f1", 2, "", 0, &found, &hint));
            EXPECT_NE(0u, found);
            EXPECT_EQ(7u, hint.no_objects);
        }
        ds_unlock();
        ASSERT_NE(0, ds_delete_obj(p));
    }
}

// The names of parent's references, as a lookup compares them: their
// targets' names, in store order.
std::vector<std::string> reference_names(cfg_handle parent) {
    std::vector<std::string> names;
    for (cfg_handle r : children(parent, kRef)) names.push_back(value(target_of(r)));
    return names;
}

// A reference appended bound leaves what an append and then a bind leave:
// the same children and index entries, the target kept alive by it alone;
// the same refusals, with nothing appended and the target as it was. Each
// of the store's allocations that fails leaves that too.
TEST(NameIndex, AReferenceAppendedBoundEqualsAnAppendThenABind) {
    cfg_handle root = ds_get_cntl_info(1);
    // A scanned parent, then indexed ones: at some of these sizes the append
    // grows the index, which can fail after the reference is bound.
    for (int siblings = 2; siblings < 70; siblings += siblings < 4 ? 2 : 1) {
        SCOPED_TRACE(std::to_string(siblings) + " siblings");
        cfg_handle p = append(0, kIdent, "p");
        for (int i = 0; i < siblings; ++i) object(p, "o" + std::to_string(i), nullptr);
        cfg_handle bound = 0;
        object(p, "b", &bound);
        cfg_handle loose_target = append(0, kIdent, "l");
        cfg_handle loose = ds_append_avp2(0, 2, kRef, 0, &loose_target, sizeof loose_target);
        ASSERT_EQ(1, ds_bind_reference(loose));
        const struct {
            const char *what;
            cfg_handle parent, target;
            int error;
        } refused[] = {
            {"no target", p, 0, DS_E_BAD_HANDLE},
            {"the root", p, root, DS_E_BAD_HANDLE},
            {"a child of an object", p, append(p, kIdent, "child"), DS_E_BAD_HANDLE},
            {"a bound reference", p, bound, DS_E_BAD_HANDLE},
            {"a bound reference of no parent", p, loose, DS_E_BAD_HANDLE},
            {"a deleted parent", 0xFFFFFFF0u, append(0, kIdent, "t"), DS_E_BAD_HANDLE},
        };
        const std::vector<std::string> before = reference_names(p);
        for (const auto &r : refused) {
            SCOPED_TRACE(r.what);
            EXPECT_EQ(0u, ds_append_reference(r.parent, r.target, nullptr));
            EXPECT_EQ(r.error, ds_get_error());
            EXPECT_EQ(before, reference_names(p));
        }
        cfg_handle target = append(0, kIdent, "x");
        ds_inject_fault(DS_FAULT_APPEND, 0, 1);
        EXPECT_EQ(0u, ds_append_reference(p, target, nullptr));
        ds_inject_fault(DS_FAULT_APPEND, 0, 0);
        EXPECT_EQ(DS_E_REFUSED, ds_get_error());
        int failures = 0;
        cfg_handle made = 0;
        for (int skip = 0; !made; ++skip) {
            ASSERT_LT(skip, 50) << "an append must succeed once its allocations do";
            ds_inject_fault(DS_FAULT_MEMORY, skip, 1);
            made = ds_append_reference(p, target, nullptr);
            ds_inject_fault(DS_FAULT_MEMORY, 0, 0);
            if (made) break;
            ++failures;
            EXPECT_EQ(DS_E_NO_MEMORY, ds_get_error());
            EXPECT_EQ(before, reference_names(p)) << "failed at allocation " << skip;
            EXPECT_EQ(0u, ds_first_named(p, kRef, "x", 1));
        }
        EXPECT_GT(failures, 0) << "an append takes memory";
        std::vector<std::string> after = before;
        after.push_back("x");
        EXPECT_EQ(after, reference_names(p));
        EXPECT_EQ(target, target_of(made));
        EXPECT_EQ(made, ds_first_named(p, kRef, "x", 1));
        EXPECT_EQ(0u, ds_next_named(made));
        EXPECT_EQ(0, ds_delete_obj(target)) << "a referred object is kept";
        EXPECT_EQ(0u, ds_append_reference(p, made, nullptr)) << "a reference refers to no reference";
        ASSERT_NE(0, ds_delete_avp3(p, made));
        EXPECT_EQ(nullptr, ds_get_av_ptr(target)) << "its only reference gone, the target goes";
        ASSERT_NE(0, ds_delete_obj(p));
    }
}

// ds_append_reference takes the hint its object step left (as an attribute's
// append takes its step's), and ignores it when the index changed since.
TEST(NameIndex, AReferenceAppendIgnoresAHintTheIndexHasChangedSince) {
    const struct {
        const char *what;
        void (*change)(cfg_handle p, const std::vector<cfg_handle> &targets);
    } cases[] = {
        {"nothing", [](cfg_handle, const std::vector<cfg_handle> &) {}},
        {"the name appended", [](cfg_handle p, const std::vector<cfg_handle> &) { object(p, "x", nullptr); }},
        {"an object renamed to it",
         [](cfg_handle, const std::vector<cfg_handle> &targets) { ASSERT_NE(0, ds_modify_av(targets[3], "x", 2)); }},
        {"references deleted",
         [](cfg_handle p, const std::vector<cfg_handle> &) {
             std::vector<cfg_handle> refs = children(p, kRef);
             for (std::size_t i = 0; i < refs.size(); i += 2) ASSERT_NE(0, ds_delete_avp3(p, refs[i]));
         }},
        {"the table grown",
         [](cfg_handle p, const std::vector<cfg_handle> &) {
             for (int i = 0; i < 200; ++i) object(p, "g" + std::to_string(i), nullptr);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        cfg_handle p = append(0, kIdent, "p");
        std::vector<cfg_handle> targets;
        for (int i = 0; i < 40; ++i) targets.push_back(object(p, "f" + std::to_string(i), nullptr));
        cfg_handle x = append(0, kIdent, "x");
        ds_lock();
        ds_slot_hint hint{};
        cfg_handle missing = 99, missing_target = 99;
        ASSERT_EQ(1, ds_step_object_locked(p, "x", 1, "", 0, &missing, &missing_target, &hint));
        EXPECT_EQ(0u, missing);
        EXPECT_EQ(0u, missing_target);
        EXPECT_NE(nullptr, hint.index) << "an indexed parent leaves a hint";
        c.change(p, targets);
        cfg_handle h = ds_append_reference(p, x, &hint);
        ds_unlock();
        ASSERT_NE(0u, h);
        std::vector<cfg_handle> scanned, chained;
        for (cfg_handle r : children(p, kRef))
            if (std::string(value(target_of(r))) == "x") scanned.push_back(r);
        for (cfg_handle r = ds_first_named(p, kRef, "x", 1); r; r = ds_next_named(r)) chained.push_back(r);
        EXPECT_EQ(scanned, chained);
        EXPECT_EQ(h, scanned.back());
        ASSERT_NE(0, ds_delete_obj(p));
    }
}

// Indexes of a few thousand children come from the pool, with a free list
// per size: blocks an index left while growing, and the index of a deleted
// parent, serve the next parents that reach those sizes. Each parent must
// still find every child of its own, and only those.
TEST(NameIndexScale, MidSizedIndexesServeParentAfterParent) {
    constexpr int kChildren = 4000;  // the table passes 18, 27 and 40 KiB
    auto grow = [](const char *name) {
        cfg_handle p = append(0, kIdent, name);
        char text[32];
        for (int i = 0; i < kChildren; ++i) {
            std::snprintf(text, sizeof text, "%s%d=x", name, i);
            if (!append(p, kItem, text)) return cfg_handle{0};
        }
        return p;
    };
    auto all_found = [](cfg_handle p, const char *name) {
        char key[32];
        for (int i = 0; i < kChildren; ++i) {
            int n = std::snprintf(key, sizeof key, "%s%d", name, i);
            cfg_handle h = ds_first_named(p, kItem, key, static_cast<size_t>(n));
            if (!h || ds_seq(h) != static_cast<uint32_t>(i)) return false;
        }
        return ds_first_named(p, kItem, "a0", 2) == 0 || std::strcmp(name, "a") == 0;
    };
    cfg_handle a = grow("a"), b = grow("b"), c = grow("c");
    ASSERT_TRUE(a && b && c);
    ASSERT_NE(0, ds_delete_obj(b));
    cfg_handle d = grow("d");  // takes what b and the growth of all three left
    ASSERT_NE(0u, d);
    EXPECT_TRUE(all_found(a, "a"));
    EXPECT_TRUE(all_found(c, "c"));
    EXPECT_TRUE(all_found(d, "d"));
    for (cfg_handle p : {a, c, d}) ASSERT_NE(0, ds_delete_obj(p));
}

// Resident memory of this process in KiB, or -1 where the system does not tell.
long resident_kb() {
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long pages = 0, resident = -1;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A large index goes back to the system with its parent, also after the
// program freed a large block of its own (from then on malloc would keep a
// block that size resident). The nodes stay in the pool for reuse; many of
// them were made in the tables the index outgrew on its way.
TEST(NameIndexScale, ALargeIndexIsGivenBackWhenFreed) {
    void *volatile large = std::malloc(16 << 20);  // kept from being optimised away
    std::free(large);  // malloc now keeps blocks up to 16 MiB
    cfg_handle p = append(0, kIdent, "big");
    char text[32];
    constexpr int kChildren = 200000;  // an index of some 2.4 MB
    for (int i = 0; i < kChildren; ++i) {
        std::snprintf(text, sizeof text, "n%d=x", i);
        ASSERT_NE(0u, append(p, kItem, text));
    }
    for (int i = 0; i < kChildren; ++i) {
        int n = std::snprintf(text, sizeof text, "n%d", i);
        cfg_handle h = ds_first_named(p, kItem, text, static_cast<size_t>(n));
        ASSERT_EQ(static_cast<uint32_t>(i), ds_seq(h)) << text;
        ASSERT_EQ(std::string(text) + "=x", value(h));
    }
    long before = resident_kb();
    if (before < 0) GTEST_SKIP() << "no /proc/self/statm";
    ASSERT_NE(0, ds_delete_obj(p));
    EXPECT_GE(before - resident_kb(), 1024) << "the index is still resident";
}

}  // namespace
