// Tests of the C++ layer (cfgtree.hpp): typed getters and setters carrying
// statuses, the context and flag guards, the collecting loader and update
// tables built from lambdas.
#include "cfgtree.hpp"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support.h"

namespace {

using cfgtree::Bytes;
using cfgtree::Range;
using cfgtree::Server;
using cfgtree::Status;

std::string raw(const char *identifier) {
    char buffer[640] = {};
    EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue(identifier, buffer, sizeof buffer));
    return buffer;
}

void put(const char *identifier, const char *value) { ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(identifier, value)); }

TEST(CxxGet, ReadsEveryKindThroughItsConverter) {
    for (auto [id, value] : {std::pair{"S.count", "0x1A"}, {"S.on", "yes"}, {"S.host", "gw"}, {"S.url", "http://${S.host}/"},
                             {"S.span", "-3..0x10"}, {"S.peer", "a:b:80"}, {"S.key", "0x00ab"}})
        put(id, value);
    EXPECT_EQ(26, cfgtree::get<int32_t>("S.count").value());
    EXPECT_TRUE(cfgtree::get<bool>("S.on").value());
    EXPECT_EQ("http://gw/", cfgtree::get<std::string>(std::string("S.url")).value());
    EXPECT_EQ((Range{-3, 16}), cfgtree::get<Range>("S.span").value());
    EXPECT_EQ((Server{"a:b", 80}), cfgtree::get<Server>("S.peer").value());
    EXPECT_EQ((Bytes{0x00, 0xAB}), cfgtree::get<Bytes>("S.key").value());
}

TEST(CxxGet, FailuresCarryTheLibraryStatus) {
    for (auto [id, value] : {std::pair{"S.word", "abc"}, {"S.odd", "0xabc"}, {"S.loop", "${S.nothing}"}}) put(id, value);
    struct Case {
        const char *what;
        std::function<Status()> read;
        int expected;
    } cases[] = {
        {"missing attribute", [] { return cfgtree::get<std::string>("S.none").status(); }, CFG_NOT_FOUND},
        {"object, not attribute", [] { return cfgtree::get<int32_t>("S").status(); }, CFG_ERR_NOT_ATTRIBUTE},
        {"text that is no range", [] { return cfgtree::get<Range>("S.word").status(); }, CFG_ERR_SYNTAX},
        {"text that is no byte string", [] { return cfgtree::get<Bytes>("S.odd").status(); }, CFG_NO_MATCH},
        {"unresolved reference", [] { return cfgtree::get<std::string>("S.loop").status(); }, CFG_ERR_UNRESOLVED},
        {"missing server", [] { return cfgtree::get<Server>("S.none").status(); }, CFG_NOT_FOUND},
        {"substitution", [] { return cfgtree::substitute("${nope}").status(); }, CFG_ERR_UNRESOLVED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_STATUS(c.expected, c.read().code());
    }
}

TEST(CxxGet, ResultBehavesLikeExpected) {
    put("n", "7");
    auto found = cfgtree::get<int32_t>("n");
    ASSERT_TRUE(found);
    EXPECT_TRUE(found.status().ok());
    EXPECT_EQ(7, *found);
    EXPECT_EQ(7, found.value_or(1));
    auto missing = cfgtree::get<std::string>("m");
    EXPECT_FALSE(missing.has_value());
    EXPECT_EQ("fallback", missing.value_or("fallback"));
    EXPECT_STREQ("CFG_NOT_FOUND", missing.status().name());
    try {
        (void)missing.value();
        FAIL() << "value() of a failure must throw";
    } catch (const cfgtree::BadResultAccess &e) {
        EXPECT_EQ(CFG_NOT_FOUND, e.status().code());
        EXPECT_STREQ("CFG_NOT_FOUND", e.what());
    }
}

TEST(CxxSet, WritesEveryKindInTheConvertersForm) {
    struct Case {
        const char *identifier;
        std::function<Status()> write;
        const char *stored;
    } cases[] = {
        {"T.i", [] { return cfgtree::set("T.i", -5); }, "-5"},
        {"T.b", [] { return cfgtree::set(std::string("T.b"), false); }, "FALSE"},
        {"T.r", [] { return cfgtree::set("T.r", Range{1, 5}); }, "1..5"},
        {"T.s", [] { return cfgtree::set("T.s", Server{"host", 80}); }, "host:80"},
        {"T.h", [] { return cfgtree::set("T.h", Server{"host", 0}); }, "host"},
        {"T.x", [] { return cfgtree::set("T.x", Bytes{0x00, 0xAB}); }, "0x00AB"},
        {"T.t", [] { return cfgtree::set("T.t", "a ${b}"); }, "a ${b}"},
        {"T.u", [] { return cfgtree::set("T.u", std::string("")); }, ""},
        {"T.l", [] { return cfgtree::set("T.l", int64_t{-2147483648LL}); }, "-2147483648"},
        {"T.m", [] { return cfgtree::set("T.m", 4294967295u - 2147483648u); }, "2147483647"},
    };
    cfgtree::Dereference plain(false);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.identifier);
        EXPECT_STATUS(CFG_OK, c.write().code());
        EXPECT_EQ(c.stored, raw(c.identifier));
    }
}

// What the library or the integer's range refuses stores nothing.
TEST(CxxSet, PassesRefusalsOn) {
    put("R.v", "1");
    EXPECT_EQ(Status(CFG_READ_ONLY), cfgtree::set("!R.v", 2));
    const char *no_text = nullptr;
    EXPECT_EQ(Status(CFG_ERR_NO_VALUE), cfgtree::set("R.v", no_text));
    EXPECT_EQ(Status(CFG_NO_MATCH), cfgtree::set("R.v", 3000000000u));
    EXPECT_EQ(Status(CFG_NO_MATCH), cfgtree::set("R.v", int64_t{1} << 40));
    EXPECT_EQ(Status(CFG_NO_MATCH), cfgtree::set("R.v", int64_t{-2147483649LL}));
    EXPECT_EQ("1", raw("R.v"));
}

// A std::string with a NUL inside stands for no item and no storable text:
// its C form is a shorter text that names something else.
TEST(CxxStrings, ATextWithANulInsideIsRefusedNotCut) {
    put("N.a", "1");
    const std::string id("N.a\0x", 5), value("2\0tail", 6);
    struct Case {
        const char *what;
        std::function<Status()> call;
    } cases[] = {
        {"get", [&] { return cfgtree::get<std::string>(id).status(); }},
        {"set by identifier", [&] { return cfgtree::set(id, "2"); }},
        {"set a text", [&] { return cfgtree::set("N.a", value); }},
        {"set a server", [&] { return cfgtree::set("N.a", Server{value, 80}); }},
        {"substitute", [&] { return cfgtree::substitute("${N.a}" + value).status(); }},
        {"context", [&] { return cfgtree::ContextGuard(std::string("N\0x", 3)).status(); }},
        {"apply",
         [&] {
             cfgtree::UpdateTable table;
             table.on("N.a", [](char *) { return 7; });
             return table.apply(std::string("N.a\0=1", 7));
         }},
        {"load", [&] { return cfgtree::load_file(std::string("/dev/null\0,X=1", 14)).status; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_STATUS(CFG_ERR_SYNTAX, c.call().code());
    }
    EXPECT_FALSE(cfgtree::exists(id));
    cfgtree::UpdateTable table;
    EXPECT_THROW(table.on(std::string("N.a\0x", 5), [](char *) { return 0; }), std::invalid_argument);
    EXPECT_EQ("1", raw("N.a"));
    EXPECT_STREQ("", Cfg_GetContext());
}

// A switch's guard reports the state it found, switches and restores it,
// from either state.
template <class Guard>
void check_guard(const char *name, uint32_t bit) {
    const uint32_t saved = cfgCtl & bit;
    for (bool start : {false, true}) {
        SCOPED_TRACE(std::string(name) + (start ? " from on" : " from off"));
        cfg_ctl(bit, start ? bit : 0);
        uint32_t before = cfgCtl;
        {
            Guard g(!start);
            EXPECT_EQ(start, g.was_on());
            EXPECT_EQ(!start, (cfgCtl & bit) != 0);
        }
        EXPECT_EQ(before, cfgCtl);
    }
    cfg_ctl(bit, saved);  // later tests in the same process see the flags as they were
}

TEST(CxxGuards, EverySwitchIsRestoredWhateverItsStartingState) {
    check_guard<cfgtree::CreateOnSet>("CreateOnSet", CFG_CTL_CREATE_ON_SET);
    check_guard<cfgtree::IgnoreReadOnly>("IgnoreReadOnly", CFG_CTL_IGNORE_READ_ONLY);
    check_guard<cfgtree::IgnoreUpdateWarnings>("IgnoreUpdateWarnings", CFG_CTL_IGNORE_WARNINGS);
    check_guard<cfgtree::Dereference>("Dereference", CFG_CTL_DEREFERENCE);
    check_guard<cfgtree::DereferenceEnv>("DereferenceEnv", CFG_CTL_DEREFERENCE_ENV);
    check_guard<cfgtree::DirectLoad>("DirectLoad", CFG_CTL_DIRECT_LOAD);
}

TEST(CxxGuards, ContextGuardPopsOnlyWhatItPushed) {
    put("A.B.x", "1");
    {
        cfgtree::ContextGuard a("A");
        ASSERT_TRUE(a.ok());
        EXPECT_STREQ("A.", Cfg_GetContext());
        {
            cfgtree::ContextGuard missing("B");  // contexts are absolute: there is no top-level B
            EXPECT_FALSE(missing.ok());
            EXPECT_STATUS(CFG_ERR_BAD_OBJECT, missing.status().code());
            cfgtree::ContextGuard ab(std::string("A.B"));
            ASSERT_TRUE(ab.ok());
            EXPECT_EQ("1", cfgtree::get<std::string>("x").value());
        }
        EXPECT_STREQ("A.", Cfg_GetContext());
        EXPECT_TRUE(cfgtree::exists("B.x"));
    }
    EXPECT_STREQ("", Cfg_GetContext());
    EXPECT_EQ(&emptyContext, cfgContext);
}

TEST(CxxGet, AllocationFailuresComeBackAsNoMemory) {
    put("h", "gw");
    put("u", "http://${h}/");
    bool saw_no_memory = false;
    for (int k = 0; k < 100; ++k) {
        cfg_inject_alloc_fault(k, 1);
        auto url = cfgtree::get<std::string>("u");
        auto text = cfgtree::substitute("${u}");
        cfg_inject_alloc_fault(0, 0);
        for (const Status &st : {url.status(), text.status()}) {
            if (!st.ok()) EXPECT_STATUS(ERR_NO_MEMORY, st.code());
            saw_no_memory |= !st.ok();
        }
        if (url && text) {
            EXPECT_EQ("http://gw/", *url);
            EXPECT_EQ("http://gw/", *text);
            break;
        }
    }
    EXPECT_TRUE(saw_no_memory);
}

TEST(CxxLoad, CollectsEveryFailingLineGoesOnOrStopsAndReportsAMissingFile) {
    cfgtest::ScopedEnv no_path("CONFIG_PATH", nullptr);
    cfgtest::TempDir dir;
    cfgtree::DirectLoad direct(true);
    std::string file = dir.write("bad.cfg", "a = 1\nno equals here\n  b$ = 2\nc = 3\n");
    cfgtree::LoadResult stopped = cfgtree::load_file(file, cfgtree::OnError::stop);
    ASSERT_EQ(1u, stopped.diagnostics.size());
    EXPECT_EQ(2, stopped.diagnostics[0].line);
    EXPECT_FALSE(cfgtree::exists("c"));
    cfgtree::LoadResult r = cfgtree::load_file(file + ",X=1");
    EXPECT_FALSE(r.ok());
    EXPECT_STATUS(CFG_ERR_SYNTAX, r.status.code());
    ASSERT_EQ(2u, r.diagnostics.size());
    EXPECT_EQ(file, r.diagnostics[0].file) << "the load argument's variables are not part of the name";
    EXPECT_EQ(Status(CFG_ERR_SYNTAX), r.diagnostics[0].status);
    EXPECT_EQ((std::pair{2, std::string("no equals here")}), std::pair(r.diagnostics[0].line, r.diagnostics[0].text));
    EXPECT_EQ((std::pair{3, std::string("  b$ = 2")}), std::pair(r.diagnostics[1].line, r.diagnostics[1].text));
    EXPECT_EQ("3", raw("c")) << "the lines after the failures were loaded";

    file = dir.write("ok.cfg", "A {\n    b = %(V)\n}\n");
    EXPECT_TRUE(cfgtree::load_file(file + ",V=7").ok());
    EXPECT_EQ(7, cfgtree::get<int32_t>("A.b").value());
    cfgtree::LoadResult missing = cfgtree::load_file(dir.file("none.cfg"));
    EXPECT_STATUS(ERR_FILE_ACCESS, missing.status.code());
    EXPECT_TRUE(missing.diagnostics.empty());
}

TEST(CxxUpdateTable, LambdasSeeTheirItemsRestsAndOwnCopies) {
    // A registered table, the sub-tables it names and what its lambdas
    // capture live to the end of the process.
    static std::vector<std::string> seen;
    static cfgtree::UpdateTable ports;
    ports.on("port", [&](char *item) {
        seen.push_back(std::string("sub:") + item);
        return 0;
    });
    static cfgtree::UpdateTable table;
    table.on(
        "net.**",
        [&](char *item) {
            seen.push_back(std::string("first:") + item);
            item[0] = 'X';  // a copy: the next callback does not see this
            return 0;
        },
        &ports,
        [&](char *item) {
            seen.push_back(std::string("second:") + item);
            return 0;
        });
    table.on("other", [&](char *) { return 0; });
    ASSERT_TRUE(table.register_notification().ok());
    EXPECT_STATUS(CFG_OK, Cfg_ProcessUpdate("net.port=5"));
    EXPECT_EQ((std::vector<std::string>{"first:net.port=5", "sub:port=5", "second:net.port=5"}), seen);
    EXPECT_THROW(table.on("late", [](char *) { return 0; }), std::logic_error);
    EXPECT_THROW(ports.on("late", [](char *) { return 0; }), std::logic_error) << "sub-tables freeze too";
}

// Applies the registered tables while the process exits, after the static
// tables a test registered were destroyed (they were made later).
bool g_apply_at_exit = false;
struct ApplyAtExit {
    ~ApplyAtExit() {
        if (g_apply_at_exit) (void)Cfg_ProcessUpdate("net.port=1");
    }
} g_apply_at_exit_object;

// Registers a static table with a sub-table whose lambda ends the process
// with 42 when it sees port=1, then exits.
[[noreturn]] void register_and_exit() {
    static cfgtree::UpdateTable sub, table;
    sub.on("port", [](char *item) {
        if (std::strcmp(item, "port=1") == 0) std::_Exit(42);
        return 0;
    });
    table.on("net.**", {}, &sub);
    if (!table.register_notification().ok()) std::_Exit(1);
    g_apply_at_exit = true;
    std::exit(0);
}

// A registered table and its sub-tables keep what the library reads of them
// past their destructors: the library keeps them until the process ends.
TEST(CxxUpdateTable, RegisteredTablesOutliveTheirStaticObjects) {
    EXPECT_EXIT(register_and_exit(), testing::ExitedWithCode(42), "");
}

TEST(CxxUpdateTable, ALambdasBadAllocBecomesNoMemory) {
    cfgtree::UpdateTable throwing;
    throwing.on("b", [](char *) -> int { throw std::bad_alloc(); });
    EXPECT_STATUS(ERR_NO_MEMORY, throwing.apply("b=1").code());
}

TEST(CxxUpdateTable, ATableThatNamesItselfIsRefusedNotRecursedInto) {
    static cfgtree::UpdateTable self, ping, pong;
    self.on("**", {}, &self);
    ping.on("**", {}, &pong);
    pong.on("**", {}, &ping);
    EXPECT_EQ(self.c_table(), self.c_table()[0].sub);
    EXPECT_EQ(ping.c_table(), pong.c_table()[0].sub);
    // "**" matches every rest, so the walk only ends at the library's bound
    EXPECT_STATUS(CFG_ERR_SYNTAX, self.apply("a=1").code());
    EXPECT_STATUS(CFG_ERR_SYNTAX, ping.apply("a=1").code());
}

// A chain of sub-tables far longer than the library ever descends is built
// without recursing down it; every table in it holds its entries, and one
// near the end runs its callbacks.
TEST(CxxUpdateTable, ALongChainOfSubTablesIsBuiltWithoutRecursion) {
    std::vector<cfgtree::UpdateTable> chain(100000);
    int seen = 0;
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) chain[i].on("**", {}, &chain[i + 1]);
    chain.back().on("**", [&](char *) { return ++seen, 0; });
    EXPECT_STATUS(CFG_ERR_SYNTAX, chain.front().apply("a=1").code());
    CfgUpdateEntry *table = chain[25].c_table();
    for (std::size_t below = 25; below + 1 < chain.size(); ++below, table = table[0].sub)
        ASSERT_EQ(chain[below + 1].c_table(), table[0].sub) << below;
    EXPECT_STATUS(CFG_OK, chain[chain.size() - 3].apply("a=1").code());
    EXPECT_EQ(1, seen);
}

TEST(CxxUpdateTable, UpdateModeLoadFeedsLambdasAndNestedLoadsCollectApart) {
    cfgtest::ScopedEnv no_path("CONFIG_PATH", nullptr);
    cfgtest::TempDir dir;
    std::string inner = dir.write("inner.cfg", "broken line\n");
    std::string outer = dir.write("outer.cfg", "A {\n    b = 1\n}\nstray line\n");
    static std::vector<std::string> items;  // static: the registered table's lambda keeps them
    static std::vector<cfgtree::Diagnostic> inner_diagnostics;
    static cfgtree::UpdateTable table;
    table.on("**", [&](char *item) {
        items.push_back(item);
        inner_diagnostics = cfgtree::load_file(inner).diagnostics;
        return 0;
    });
    ASSERT_TRUE(table.register_notification().ok());
    cfgtree::DirectLoad update_mode(false);
    cfgtree::LoadResult r = cfgtree::load_file(outer);
    EXPECT_EQ((std::vector<std::string>{"A.b=1"}), items);
    ASSERT_EQ(1u, inner_diagnostics.size());
    EXPECT_EQ(inner, inner_diagnostics[0].file);
    ASSERT_EQ(1u, r.diagnostics.size()) << "the inner load's lines are not the outer load's";
    EXPECT_EQ(outer, r.diagnostics[0].file);
    EXPECT_EQ(4, r.diagnostics[0].line);
}

}  // namespace
