// Tests of update tables: registration, the walk of a table with its verdict
// on callback results, sub-tables and their rest, copies given to callbacks,
// the registries, the nesting bound and allocation failures.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cfg_private.h"
#include "support.h"

namespace {

using cfgtest::LogCapture;

// What a recording callback does: its name in the trace and its result.
struct Cb {
    const char *name;
    int result;
};

std::vector<std::string> g_calls;

int record(char *item, void *arg) {
    const Cb *cb = static_cast<const Cb *>(arg);
    g_calls.push_back(std::string(cb->name) + ":" + item);
    return cb->result;
}

std::string calls() {
    std::string out;
    for (const std::string &c : g_calls) out += (out.empty() ? "" : " ") + c;
    g_calls.clear();
    return out;
}

CfgUpdateEntry entry(const char *pattern, Cb *cb, CfgUpdateCallback first, CfgUpdateEntry *sub,
                     CfgUpdateCallback second) {
    return CfgUpdateEntry{pattern, cb, first, sub, second};
}
constexpr CfgUpdateEntry kEnd = {nullptr, nullptr, nullptr, nullptr, nullptr};

TEST(UpdateTables, NothingRegisteredAndEmptyTables) {
    EXPECT_STATUS(CFG_OK, Cfg_ProcessUpdate("a=1"));
    EXPECT_STATUS(CFG_OK, Cfg_Validate("a=1"));
    Cb cb{"cb", 3};
    CfgUpdateEntry empty[] = {{nullptr, &cb, record, nullptr, record}};
    EXPECT_STATUS(CFG_OK, cfg_process_table(empty, "a=1"));
    EXPECT_STATUS(CFG_OK, cfg_process_table(nullptr, "a=1"));
    EXPECT_EQ("", calls());
}

// Entry 1 runs first, its sub-table and second; entry 2 runs next.
TEST(UpdateTables, VerdictOnTheFirstCallbacksResult) {
    const char *all = "first:net.port=5 sub:=5 second:net.port=5 next:net.port=5";
    const struct {
        int first_result;
        bool ignore_warnings;
        const char *ran;
        int status;
    } rows[] = {
        {0, false, all, CFG_OK}, {105, false, all, CFG_OK},          {3, false, "first:net.port=5", 3},
        {3, true, all, CFG_OK},  {-5, true, "first:net.port=5", -5},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "first returns " << r.first_result << (r.ignore_warnings ? ", ignoring" : ""));
        Cb first{"first", r.first_result}, sub{"sub", 0}, second{"second", 0}, next{"next", 0};
        CfgUpdateEntry subtable[] = {entry("**", &sub, record, nullptr, nullptr), kEnd};
        CfgUpdateEntry table[] = {entry("net.port", &first, record, subtable, nullptr),
                                  entry("net.port", &second, nullptr, nullptr, record),
                                  entry("net.**", &next, record, nullptr, nullptr), kEnd};
        const uint32_t previous = Cfg_IgnoreUpdateWarnings(r.ignore_warnings);
        EXPECT_STATUS(r.status, cfg_process_table(table, "net.port=5"));
        EXPECT_EQ(r.ran, calls());
        (void)Cfg_IgnoreUpdateWarnings(previous);
    }
}

// With warnings ignored, a table runs to its end and returns the status of
// the last callback that ran; entries that run nothing leave it alone.
TEST(UpdateTables, TheTableReturnsTheLastStatusThatRan) {
    (void)Cfg_IgnoreUpdateWarnings(1);
    for (int last_result : {CFG_OK, 7}) {
        SCOPED_TRACE(last_result);
        Cb warn{"warn", 7}, last{"last", last_result};
        CfgUpdateEntry table[] = {entry("a", &warn, record, nullptr, nullptr),
                                  entry("a", &last, nullptr, nullptr, record),
                                  entry("a", nullptr, nullptr, nullptr, nullptr),  // matches, runs nothing
                                  entry("b", &warn, record, nullptr, nullptr),     // does not match
                                  kEnd};
        EXPECT_STATUS(last_result, cfg_process_table(table, "a=1"));
        EXPECT_EQ("warn:a=1 last:a=1", calls());
    }
}

TEST(UpdateTables, ANegativeResultStopsParentsAndTheRegistry) {
    // Registered tables stay for the life of the process: static, as are
    // those of the other tests that register.
    static Cb deep{"deep", -7}, after{"after", 0}, second{"second", 0}, later{"later", 0};
    static CfgUpdateEntry inner[] = {entry("**", &deep, record, nullptr, nullptr),
                                     entry("**", &after, record, nullptr, nullptr), kEnd};
    static CfgUpdateEntry middle[] = {entry("b.**", nullptr, nullptr, inner, nullptr), kEnd};
    static CfgUpdateEntry outer[] = {entry("a.**", &second, nullptr, middle, record),
                                     entry("a.**", &after, record, nullptr, nullptr), kEnd};
    static CfgUpdateEntry other[] = {entry("**", &later, record, nullptr, nullptr), kEnd};
    ASSERT_STATUS(CFG_OK, Cfg_NotifyRegister(outer));
    ASSERT_STATUS(CFG_OK, Cfg_NotifyRegister(other));
    EXPECT_STATUS(-7, Cfg_ProcessUpdate("a.b.c=1"));
    EXPECT_EQ("deep:c=1", calls());
}

TEST(UpdateTables, SubTablesSeeTheRestAfterTheMatchedPart) {
    const struct {
        const char *pattern;
        const char *item;
        const char *ran;  // by the sub-table's "port" and "**" entries
    } rows[] = {
        {"net.**", "net.port=5", "named:port=5 any:port=5"},
        {"net.port", "net.port=5", "any:=5"},
        {"net.port", "net.port", "any:"},
        {"**", "!net.port=5", "any:net.port=5"},
        {"net[*].**", "net[2].a.b=x", "any:a.b=x"},
        {"net.**", "net=5", ""},
        {"net.*", "net.port=5", ""},  // malformed pattern: the entry is skipped
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.pattern << " on " << r.item);
        Cb any{"any", 0}, named{"named", 0};
        CfgUpdateEntry subtable[] = {entry("port", &named, record, nullptr, nullptr),
                                     entry("**", &any, record, nullptr, nullptr), kEnd};
        CfgUpdateEntry table[] = {entry(r.pattern, nullptr, nullptr, subtable, nullptr), kEnd};
        EXPECT_STATUS(CFG_OK, cfg_process_table(table, r.item));
        EXPECT_EQ(r.ran, calls());
    }
}

// Tables run in order of registration, twice when registered twice; a
// positive result of a table stops the walk of its registry, not the other.
TEST(Registries, TablesRunInOrderOfRegistrationUntilOneStops) {
    static Cb one{"one", 0}, two{"two", 0}, check{"check", 0}, later{"later", 0};
    static CfgUpdateEntry t1[] = {entry("**", &one, record, nullptr, nullptr), kEnd};
    static CfgUpdateEntry t2[] = {entry("**", &two, record, nullptr, nullptr), kEnd};
    static CfgUpdateEntry tv[] = {entry("**", &check, record, nullptr, nullptr), kEnd};
    static CfgUpdateEntry tl[] = {entry("**", &later, record, nullptr, nullptr), kEnd};
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void *>(t1));
    LogCapture log;
    ASSERT_STATUS(CFG_OK, Cfg_NotifyRegister(t1));
    EXPECT_TRUE(log.has(13, "cfg_update", std::string("Registered notification table at ") + address)) << log.dump();
    ASSERT_STATUS(CFG_OK, Cfg_NotifyRegister(t2));
    ASSERT_STATUS(CFG_OK, Cfg_NotifyRegister(t1));
    ASSERT_STATUS(CFG_OK, Cfg_ValidateRegister(tv));
    ASSERT_STATUS(CFG_OK, Cfg_ValidateRegister(tl));
    std::snprintf(address, sizeof address, "%p", static_cast<void *>(tv));
    EXPECT_TRUE(log.has(13, "cfg_update", std::string("Registered validation table at ") + address)) << log.dump();
    EXPECT_STATUS(CFG_OK, Cfg_ProcessUpdate("a=1"));
    EXPECT_EQ("one:a=1 two:a=1 one:a=1", calls());
    EXPECT_STATUS(CFG_OK, Cfg_Validate("a=1"));
    EXPECT_EQ("check:a=1 later:a=1", calls());
    const struct {
        int first_result;
        bool ignore;
    } rows[] = {{CFG_NOT_CREATED, false}, {4, false}, {4, true}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.first_result);
        check.result = r.first_result;
        const uint32_t previous = Cfg_IgnoreUpdateWarnings(r.ignore);
        EXPECT_STATUS(r.first_result, Cfg_Validate("a=1"));
        EXPECT_EQ("check:a=1", calls()) << "the later table is not consulted";
        (void)Cfg_IgnoreUpdateWarnings(previous);
    }
}

// A callback that registers a table: the new table is applied to the item
// under way too, after the tables before it.
CfgUpdateEntry g_late[] = {{"**", nullptr, record, nullptr, nullptr}, kEnd};
int register_late(char *item, void *arg) {
    record(item, arg);
    return Cfg_NotifyRegister(g_late);
}

TEST(Registries, ATableRegisteredDuringAWalkIsAppliedToTheItemUnderWay) {
    static Cb first{"first", 0}, late{"late", 0};
    g_late[0].arg = &late;
    static CfgUpdateEntry t[] = {entry("a", &first, register_late, nullptr, nullptr), kEnd};
    ASSERT_STATUS(CFG_OK, Cfg_NotifyRegister(t));
    EXPECT_STATUS(CFG_OK, Cfg_ProcessUpdate("a=1"));
    EXPECT_EQ("first:a=1 late:a=1", calls());
    EXPECT_STATUS(CFG_OK, Cfg_ProcessUpdate("b=2"));
    EXPECT_EQ("late:b=2", calls());
}

TEST(Registries, RegistrationSurvivesEveryAllocationFailure) {
    for (auto [reg, run] :
         {std::pair{&Cfg_NotifyRegister, &Cfg_ProcessUpdate}, {&Cfg_ValidateRegister, &Cfg_Validate}}) {
        SCOPED_TRACE(reg == &Cfg_NotifyRegister ? "notification" : "validation");
        static Cb cb{"cb", 0};
        static CfgUpdateEntry table[] = {entry("**", &cb, record, nullptr, nullptr), kEnd};
        int k = 0;
        for (;; ++k) {
            ASSERT_LT(k, 10);
            LogCapture log;
            cfg_inject_alloc_fault(k, 1);
            int status = reg(table);
            cfg_inject_alloc_fault(0, 0);
            if (status == CFG_OK) break;
            EXPECT_STATUS(ERR_NO_MEMORY, status);
            EXPECT_TRUE(log.at_most(6).empty()) << "a failed registration logs nothing: " << log.dump();
            EXPECT_STATUS(CFG_OK, run("a=1"));
            EXPECT_EQ("", calls()) << "a failed registration registers nothing";
        }
        EXPECT_GE(k, 1);
        EXPECT_STATUS(CFG_OK, run("a=1"));
        EXPECT_EQ("cb:a=1", calls()) << "registered exactly once";
    }
}

// Each copy counts as one allocation, whether a load's kept block serves it
// (held: the first copy makes the block, the others reuse it) or not.
TEST(UpdateTables, NoMemoryForACallbacksCopy) {
    for (bool held : {false, true}) {
        SCOPED_TRACE(held ? "kept block" : "fresh blocks");
        std::optional<cfgtree::KeptCallbackCopy> kept;
        if (held) kept.emplace();
        Cb first{"first", 0}, sub{"sub", 0}, second{"second", 0};
        CfgUpdateEntry subtable[] = {entry("**", &sub, record, nullptr, nullptr), kEnd};
        CfgUpdateEntry table[] = {entry("a.**", &first, record, subtable, nullptr),
                                  entry("a.**", &second, nullptr, nullptr, record), kEnd};
        const std::vector<std::string> all = {"first:a.b=1", "sub:b=1", "second:a.b=1"};
        const std::string message =
            "cfg_process_table: strdup(cfgItem) failed\n\t\terrno = 12  => " + std::string(std::strerror(ENOMEM));
        for (int k = 0;; ++k) {
            ASSERT_LT(k, 10);
            LogCapture log;
            g_calls.clear();
            cfg_inject_alloc_fault(k, 1);
            int status = cfg_process_table(table, "a.b=1");
            cfg_inject_alloc_fault(0, 0);
            if (status == CFG_OK) {
                EXPECT_EQ(all, g_calls);
                EXPECT_EQ(3, k) << "one copy per callback";
                break;
            }
            EXPECT_STATUS(ERR_NO_MEMORY, status);
            EXPECT_TRUE(log.has(3, "cfg_update", message)) << log.dump();
            EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + k), g_calls) << "the walk stops at the failure";
        }
    }
}

// What a scribbling callback saw, and the item it applies the table to from
// inside (its own copy is then in use, so the inner one is another block).
std::vector<std::string> g_seen;
const char *g_inner_item = nullptr;
CfgUpdateEntry *g_scribble_table = nullptr;

int scribble(char *item, void *) {
    g_seen.push_back(item);
    if (const char *inner = std::exchange(g_inner_item, nullptr)) {
        EXPECT_STATUS(CFG_OK, cfg_process_table(g_scribble_table, inner));
        EXPECT_EQ(g_seen.front(), item) << "a nested copy left this one alone";
    }
    std::memset(item, 'x', std::strlen(item));
    item[0] = '\0';
    return CFG_OK;
}

// Every callback gets the item exactly, however the one before treated its
// copy, with and without a load's kept block, at the block's size and past
// it, and with a table applied from inside a callback.
TEST(UpdateTables, EveryCallbackGetsTheItemWhateverTheOneBeforeDidToItsCopy) {
    CfgUpdateEntry table[] = {entry("**", nullptr, scribble, nullptr, scribble), kEnd};
    g_scribble_table = table;
    const std::string inner = "inner.item=2";
    for (bool held : {false, true}) {
        std::optional<cfgtree::KeptCallbackCopy> kept;
        if (held) kept.emplace();
        for (std::size_t length : {0ul, 1ul, 638ul, 639ul, 640ul, 700ul}) {
            for (bool nested : {false, true}) {
                SCOPED_TRACE(std::to_string(held) + " " + std::to_string(length) + " " + std::to_string(nested));
                const std::string text = ("a=" + std::string(length, 'v')).substr(0, length);
                g_seen.clear();
                g_inner_item = nested ? inner.c_str() : nullptr;
                ASSERT_STATUS(CFG_OK, cfg_process_table(table, text.c_str()));
                std::vector<std::string> expected = {text};
                if (nested) expected.insert(expected.end(), {inner, inner});
                expected.push_back(text);
                EXPECT_EQ(expected, g_seen);
            }
        }
    }
}

#if defined(CFG_ADDRESS_SANITIZER)
int write_past(char *item, void *) {
    item[std::strlen(item) + 1] = 'x';
    return CFG_OK;
}

// A callback that writes past its copy is caught in the kept block as in a
// fresh one.
TEST(UpdateTablesDeathTest, WritingPastTheKeptCopyIsCaught) {
    CfgUpdateEntry table[] = {entry("**", nullptr, write_past, nullptr, nullptr), kEnd};
    EXPECT_DEATH(
        {
            cfgtree::KeptCallbackCopy kept;
            (void)cfg_process_table(table, "a=1");
        },
        "heap-buffer-overflow|use-after-poison");
}
#endif

// A chain of 65 tables (the top one and 64 sub-tables) is the deepest walk;
// one more level is refused.
TEST(UpdateTables, NestingIsBounded) {
    constexpr int kDeepest = 65;
    Cb leaf{"leaf", 0};
    std::vector<std::vector<CfgUpdateEntry>> chain(kDeepest + 1);
    for (int i = kDeepest; i >= 0; --i) {
        CfgUpdateEntry *below = i < kDeepest ? chain[i + 1].data() : nullptr;
        chain[i] = {entry("**", &leaf, below ? nullptr : record, below, nullptr), kEnd};
    }
    EXPECT_STATUS(CFG_OK, cfg_process_table(chain[1].data(), "a=1"));
    EXPECT_EQ("leaf:a=1", calls());
    LogCapture log;
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfg_process_table(chain[0].data(), "a=1"));
    EXPECT_EQ("", calls());
    EXPECT_TRUE(log.has(3, "cfg_update", "cfg_process_table: sub-tables nested deeper than 64 at '**'")) << log.dump();
}

// A table that descends into itself one component at a time shortens the
// text at every level, so it walks a text to its end; only levels that
// hand on the text unshortened count towards the bound of 64, and every
// level towards the stack's bound of 320.
TEST(UpdateTables, SelfNestingTableThatShortensTheText) {
    const struct {
        int levels;  // components "a." in front of x=1
        int calls;   // callbacks run: one per level entered
        int status;
    } rows[] = {{65, 65, CFG_OK}, {320, 320, CFG_OK}, {321, 321, CFG_ERR_SYNTAX}, {5000, 321, CFG_ERR_SYNTAX}};
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.levels << " levels");
        Cb cb{"cb", 0};
        CfgUpdateEntry table[] = {entry("a.**", &cb, record, nullptr, nullptr), kEnd};
        table[0].sub = table;
        std::string item;
        for (int i = 0; i < r.levels; ++i) item += "a.";
        item += "x=1";
        LogCapture log;
        EXPECT_STATUS(r.status, cfg_process_table(table, item.c_str()));
        EXPECT_EQ(static_cast<std::size_t>(r.calls), g_calls.size());
        if (r.status == CFG_OK) EXPECT_TRUE(log.at_most(5).empty()) << log.dump();
        else EXPECT_TRUE(log.contains("sub-tables nested deeper than 320 at 'a.**'")) << log.dump();
        g_calls.clear();
    }
}

// A callback that applies its own item again, through a registered table or
// a table of its own, is a table that contains itself: the application it
// starts is a level below it, and the 321st level is refused instead of
// recursing until the stack overflows.
CfgUpdateEntry *g_again = nullptr;
int g_again_calls = 0;
int apply_again(char *item, void *arg) {
    ++g_again_calls;
    return arg ? Cfg_ProcessUpdate(item) : cfg_process_table(g_again, item);
}

TEST(UpdateTables, ACallbackThatAppliesItsOwnItemIsBounded) {
    static int registered = 1;
    // The third round finds the level given back when the callbacks returned.
    for (void *arg : {static_cast<void *>(nullptr), static_cast<void *>(&registered), static_cast<void *>(nullptr)}) {
        SCOPED_TRACE(arg ? "Cfg_ProcessUpdate" : "cfg_process_table");
        static CfgUpdateEntry table[] = {entry("net.**", nullptr, apply_again, nullptr, nullptr), kEnd};
        table[0].arg = arg;
        g_again = table;
        if (arg) ASSERT_STATUS(CFG_OK, Cfg_NotifyRegister(table));
        g_again_calls = 0;
        LogCapture log;
        EXPECT_STATUS(CFG_ERR_SYNTAX, arg ? Cfg_ProcessUpdate("net.port=5") : cfg_process_table(table, "net.port=5"));
        EXPECT_EQ(321, g_again_calls);
        EXPECT_TRUE(log.contains("sub-tables nested deeper than 320 at 'net.**'")) << log.dump();
    }
}

// Two callbacks that each apply their item to their own table again and
// ignore the result would dive to the bound of 320 levels once per path,
// 2^320 times: after the first refusal, every application that a callback
// starts under the same outermost one is refused at once.
int g_twice_calls = 0;
int apply_ignoring(char *item, void *arg) {
    ++g_twice_calls;
    (void)cfg_process_table(static_cast<CfgUpdateEntry *>(arg), item);
    return 0;
}

TEST(UpdateTables, CallbacksThatIgnoreTheRefusalAreBounded) {
    CfgUpdateEntry table[] = {entry("**", nullptr, apply_ignoring, nullptr, nullptr),
                              entry("**", nullptr, apply_ignoring, nullptr, nullptr), kEnd};
    table[0].arg = table[1].arg = table;
    for (int round = 0; round < 2; ++round) {
        g_twice_calls = 0;
        LogCapture log;
        EXPECT_STATUS(CFG_OK, cfg_process_table(table, "a=1"));
        EXPECT_EQ(2 * 321, g_twice_calls);
        EXPECT_TRUE(log.contains("sub-tables nested deeper than 320 at '**'")) << log.dump();
    }
}

// A table whose two matching entries both descend into it again doubles the
// sub-tables applied with every component of the text: one application
// stops after 100,000 of them instead of running 2^n, whatever n.
TEST(UpdateTables, FanOutOfSubTablesIsBounded) {
    const struct {
        int levels;  // components "a." in front of x=1
        int status;
    } rows[] = {{15, CFG_OK}, {16, CFG_ERR_SYNTAX}};
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.levels << " levels");
        CfgUpdateEntry table[] = {entry("a.**", nullptr, nullptr, nullptr, nullptr),
                                  entry("a.**", nullptr, nullptr, nullptr, nullptr), kEnd};
        table[0].sub = table[1].sub = table;
        std::string item;
        for (int i = 0; i < r.levels; ++i) item += "a.";
        item += "x=1";
        LogCapture log;
        EXPECT_STATUS(r.status, cfg_process_table(table, item.c_str()));
        if (r.status == CFG_OK) EXPECT_TRUE(log.at_most(5).empty()) << log.dump();
        else EXPECT_TRUE(log.has(3, "cfg_update", "cfg_process_table: more than 100000 sub-tables applied at 'a.**'"))
                 << log.dump();
    }
}

// Callbacks of two matching entries that each apply their table again to
// the rest after the first component stay within the depth bound while they
// double the work with every component: the tables that callbacks apply
// count in with the sub-tables of the outermost application, so the walk
// ends after 100,000 of them instead of running 2^n.
long g_shorter_calls = 0;
int apply_to_rest(char *item, void *arg) {
    const char *dot = std::strchr(item, '.');
    if (++g_shorter_calls < 300000 && dot) (void)cfg_process_table(static_cast<CfgUpdateEntry *>(arg), dot + 1);
    return 0;
}

TEST(UpdateTables, FanOutThroughCallbacksIsBounded) {
    CfgUpdateEntry table[] = {entry("**", nullptr, apply_to_rest, nullptr, nullptr),
                              entry("**", nullptr, apply_to_rest, nullptr, nullptr), kEnd};
    table[0].arg = table[1].arg = table;
    const struct {
        int levels;  // components "a." in front of x=1
        long calls;
    } rows[] = {{15, (1L << 17) - 2}, {16, 2 * 100000 + 2}, {300, 2 * 100000 + 2}, {15, (1L << 17) - 2}};
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.levels << " levels");
        std::string item;
        for (int i = 0; i < r.levels; ++i) item += "a.";
        item += "x=1";
        g_shorter_calls = 0;
        LogCapture log;
        EXPECT_STATUS(CFG_OK, cfg_process_table(table, item.c_str()));
        EXPECT_EQ(r.calls, g_shorter_calls);
        EXPECT_EQ(r.levels > 15, log.contains("more than 100000 sub-tables applied at '**'")) << log.dump();
    }
}

// A log sink called during a walk (a pattern the parser refuses is logged
// each time it is tried) may apply a table of its own while no callback
// runs: that application is no outermost one, and leaves the walk under way
// its count of sub-tables.
CfgUpdateEntry g_sink_table[] = {{"z", nullptr, nullptr, nullptr, nullptr}, kEnd};
long g_sink_messages = 0;
void apply_from_sink(void *, int, const char *, int, const char *) {
    if (++g_sink_messages < 1000000) (void)cfg_process_table(g_sink_table, "z=1");
}

TEST(UpdateTables, ATableAppliedFromTheSinkLeavesTheBoundOfTheWalk) {
    CfgUpdateEntry table[] = {entry("[", nullptr, nullptr, nullptr, nullptr),
                              entry("a.**", nullptr, nullptr, nullptr, nullptr),
                              entry("a.**", nullptr, nullptr, nullptr, nullptr), kEnd};
    table[1].sub = table[2].sub = table;
    std::string item;
    for (int i = 0; i < 18; ++i) item += "a.";
    item += "x=1";
    Log_SetSink(apply_from_sink, nullptr);
    int status = cfg_process_table(table, item.c_str());
    Log_SetSink(nullptr, nullptr);
    EXPECT_STATUS(CFG_ERR_SYNTAX, status);
    EXPECT_EQ(100002, g_sink_messages);  // a refused pattern for each sub-table, and the refusal
}

// An update-mode load that a callback starts hands on every definition the
// load's own limits let through: each definition's tables are counted apart
// from the application under way, so a file of more than 100,000 of them
// loads whole.
long g_delivered = 0;
int count_delivered(char *, void *) {
    ++g_delivered;
    return 0;
}
int g_inner_load = 1;
std::string g_inner_argument;
int load_inner(char *, void *) {
    g_inner_load = CfgF_LoadFile(g_inner_argument.c_str(), nullptr);
    return 0;
}

TEST(UpdateTables, ALoadStartedByACallbackHandsOnEveryDefinition) {
    cfgtest::TempDir dir;
    g_inner_argument = dir.write("big.cfg", "x[1..100001] = 1\n");
    static CfgUpdateEntry notified[] = {entry("**", nullptr, count_delivered, nullptr, nullptr), kEnd};
    ASSERT_STATUS(CFG_OK, Cfg_NotifyRegister(notified));
    CfgUpdateEntry table[] = {entry("go", nullptr, load_inner, nullptr, nullptr), kEnd};
    Cfg_DirectLoad(0);
    LogCapture log;
    EXPECT_STATUS(CFG_OK, cfg_process_table(table, "go=1"));
    EXPECT_STATUS(CFG_OK, g_inner_load);
    EXPECT_EQ(100001, g_delivered);
    EXPECT_FALSE(log.contains("sub-tables applied")) << log.dump();
}

}  // namespace
