// Tests of the context stack: pushes of absolute identifiers, pops back to
// emptyContext, refused pushes that change nothing, and lookups that start
// at the current context.
#include <cerrno>
#include <cstring>
#include <string>

#include "cfg_private.h"
#include "support.h"

namespace {

// a { b=1  b2 { c=2 } }   x=1
void build_tree() {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.b", "1"));
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.b2.c", "2"));
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("x", "1"));
}

cfg_handle find(const char *identifier) {
    cfg_handle h = 0;
    return cfg_find_item(0, identifier, &h, nullptr, nullptr) == CFG_OK ? h : 0;
}

cfg_handle find_here(const char *identifier) {
    cfg_handle h = 0;
    return Cfg_Find(identifier, &h) == CFG_OK ? h : 0;
}

TEST(Context, PushesNestAndPopsUnwind) {
    build_tree();
    EXPECT_EQ(find("a.b"), find_here("a.b"));  // the empty context is the root
    cfgtest::LogCapture log;
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    EXPECT_STREQ("a.", Cfg_GetContext());
    EXPECT_EQ(find("a"), cfgContext->handle);
    EXPECT_EQ(find("a.b"), find_here("b"));
    EXPECT_TRUE(log.has(7, "cfg_context", "Cfg_PushContext(a)")) << log.dump();
    EXPECT_TRUE(log.has(9, "cfg_context", "Cfg_PushContext: new context: <" + std::to_string(find("a")) + "> = 'a.'"));

    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a.b2"));
    EXPECT_STREQ("a.b2.", Cfg_GetContext());
    EXPECT_EQ(find("a.b2.c"), find_here("c"));
    EXPECT_EQ(0u, find_here("b"));

    log.clear();
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
    EXPECT_STREQ("a.", Cfg_GetContext());
    EXPECT_EQ(find("a.b"), find_here("b"));
    EXPECT_TRUE(log.has(9, "cfg_context", "Cfg_PopContext: new context: <" + std::to_string(find("a")) + "> = 'a.'"))
        << log.dump();

    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
    EXPECT_EQ(&emptyContext, cfgContext);
    EXPECT_TRUE(log.has(9, "cfg_context", "Cfg_PopContext: new context: <0> = ''")) << log.dump();
    EXPECT_EQ(find("x"), find_here("x"));
}

TEST(Context, IdentifiersAreAbsoluteAndKeepInstanceAndMark) {
    build_tree();
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("srv[2].port", "1"));
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    EXPECT_STATUS(CFG_ERR_BAD_OBJECT, Cfg_PushContext("b2"));  // a.b2 is no top-level b2
    // the instance and the mark stay in the context's name
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("srv[2]"));
    EXPECT_STREQ("srv[2].", Cfg_GetContext());
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("!srv[*]"));
    EXPECT_STREQ("!srv[*].", Cfg_GetContext());
    EXPECT_EQ(find("srv[2]"), cfgContext->handle);
}

TEST(Context, RefusedPushesChangeNothing) {
    build_tree();
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    CfgContext *before = cfgContext;
    const struct {
        const char *identifier;
        int status;
        std::string message;
    } cases[] = {
        {"a.b", CFG_ERR_BAD_OBJECT, "Cfg_PushContext: 'a.b' is not a configuration object"},
        {"x=1", CFG_ERR_SYNTAX, "Cfg_PushContext: AVP is invalid for context: 'x=1'"},
        {"$x", CFG_ERR_SYNTAX, "Cfg_PushContext: invalid context identifier: '$x'"},
        {"", CFG_ERR_SYNTAX, "Cfg_PushContext: invalid context identifier: ''"},
        {"a.nothing", CFG_ERR_BAD_OBJECT, "Cfg_PushContext: 'a.nothing' does not exist"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.identifier);
        cfgtest::LogCapture log;
        EXPECT_STATUS(k.status, Cfg_PushContext(k.identifier));
        EXPECT_TRUE(log.has(5, "cfg_context", k.message)) << log.dump();
        EXPECT_TRUE(log.has(7, "cfg_context", std::string("Cfg_PushContext(") + k.identifier + ")"));
        EXPECT_EQ(before, cfgContext);
        EXPECT_STREQ("a.", Cfg_GetContext());
    }
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
    EXPECT_EQ(&emptyContext, cfgContext) << "nothing was left on the stack";
}

// The object is found as any lookup finds it, and named by the text as
// passed: text after a blank is not read, and an attribute of the object's
// name is what the lookup takes.
TEST(Context, APushFindsWhatALookupFinds) {
    build_tree();
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a {"));
    EXPECT_EQ(find("a"), cfgContext->handle);
    EXPECT_STREQ("a {.", Cfg_GetContext());
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
    cfg_handle object = 0;
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "a.b", cfgtree::xid_reference(), &object));
    EXPECT_STATUS(CFG_ERR_BAD_OBJECT, Cfg_PushContext("a.b"));
    EXPECT_EQ(&emptyContext, cfgContext);
}

TEST(Context, NullPushesTheRootAndOnePopUndoesIt) {
    build_tree();
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    cfgtest::LogCapture log;
    ASSERT_STATUS(CFG_OK, Cfg_PushContext(nullptr));
    EXPECT_TRUE(log.has(7, "cfg_context", "Cfg_PushContext(<NULL>)"));
    EXPECT_NE(&emptyContext, cfgContext) << "a root record of its own";
    EXPECT_EQ(0u, cfgContext->handle);
    EXPECT_STREQ("", Cfg_GetContext());
    EXPECT_EQ(find("a.b"), find_here("a.b"));
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
    EXPECT_STREQ("a.", Cfg_GetContext());
    EXPECT_EQ(find("a.b"), find_here("b"));
}

TEST(Context, PopWithNothingPushedKeepsEmptyContext) {
    cfgtest::LogCapture log;
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());  // before any list exists
    EXPECT_TRUE(log.has(9, "cfg_context", "Cfg_PopContext: new context: <0> = ''")) << log.dump();
    EXPECT_EQ(&emptyContext, cfgContext);
    EXPECT_EQ(0u, emptyContext.handle);
    EXPECT_STREQ("", Cfg_GetContext());
    build_tree();
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
    log.clear();
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());  // the list exists, but is empty
    EXPECT_TRUE(log.has(9, "cfg_context", "Cfg_PopContext: new context: <0> = ''")) << log.dump();
    EXPECT_EQ(&emptyContext, cfgContext);
    cfgContext = nullptr;
    EXPECT_STREQ("", Cfg_GetContext());
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
    cfgContext = &emptyContext;
}

// A program may make an older record current: a pop then takes that one
// out and makes the record pushed before it current.
TEST(Context, APopTakesOutTheCurrentRecordWhereverItStands) {
    build_tree();
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    CfgContext *a = cfgContext;
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a.b2"));
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    cfgContext = a;
    cfgtest::LogCapture log;
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
    EXPECT_EQ(&emptyContext, cfgContext);
    EXPECT_TRUE(log.has(9, "cfg_context", "Cfg_PopContext: new context: <0> = ''")) << log.dump();
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());  // emptyContext is not listed: nothing to take out
    EXPECT_EQ(&emptyContext, cfgContext);
}

// A first push also makes the list of records, which stays once made.
TEST(Context, RefusedAllocationsLeaveTheStackAsItWas) {
    build_tree();
    for (const char *outer : {static_cast<const char *>(nullptr), "a"}) {
        SCOPED_TRACE(outer ? "in a context" : "first push");
        if (outer) ASSERT_STATUS(CFG_OK, Cfg_PushContext(outer));
        CfgContext *before = cfgContext;
        int failures = 0;
        for (int k = 0;; ++k) {
            cfgtest::LogCapture log;
            cfg_inject_alloc_fault(k, 1);
            int status = Cfg_PushContext("a.b2");
            cfg_inject_alloc_fault(0, 0);
            if (status == CFG_OK) break;
            ASSERT_STATUS(ERR_NO_MEMORY, status);
            ASSERT_LT(k, 20);
            if (k == (outer ? 0 : 1)) {
                EXPECT_TRUE(log.has(2, "cfg_context",
                                    "Cfg_PushContext: strdup(a.b2)\n\t\terrno = " + std::to_string(ENOMEM) + " => \"" +
                                        std::strerror(ENOMEM) + "\""))
                    << log.dump();
            }
            ++failures;
            EXPECT_EQ(before, cfgContext) << "allocation " << k;
        }
        EXPECT_EQ(3, failures) << "copy, name, list entry (the list, once made, stays)";
        EXPECT_STREQ("a.b2.", Cfg_GetContext());
        ASSERT_STATUS(CFG_OK, Cfg_PopContext());
    }
    cfg_inject_alloc_fault(0, 1);
    EXPECT_STATUS(ERR_NO_MEMORY, Cfg_PushContext(nullptr));
    cfg_inject_alloc_fault(0, 0);
    EXPECT_STREQ("a.", Cfg_GetContext());
}

// A log sink that pops while a pop is reported: both pops take effect.
void pop_on_report(void *, int, const char *, int, const char *message) {
    static bool done = false;
    if (done || !std::strstr(message, "Cfg_PopContext: new context")) return;
    done = true;
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
}

TEST(Context, APopFromALogSinkDuringAPop) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.b.x", "1"));
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a.b"));
    Log_SetSink(pop_on_report, nullptr);
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
    Log_SetSink(nullptr, nullptr);
    EXPECT_STREQ("", Cfg_GetContext());
    EXPECT_EQ(&emptyContext, cfgContext);
}

TEST(Context, ADeletedContextObjectIsHarmless) {
    build_tree();
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    ASSERT_STATUS(CFG_OK, cfg_delete_item(0, "a"));  // the context's object is gone
    cfg_handle h = 0;
    char buffer[8] = "same";
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_Find("b", &h));
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_GetAttrValue("b", buffer, sizeof buffer));
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_Delete("b"));
    EXPECT_STATUS(ERR_CREATE_FAILED, Cfg_SetAttrValue("b", "1"));  // nowhere to create it
    EXPECT_STATUS(ERR_CREATE_FAILED, Cfg_SetAttrValue("n.m", "1"));
    EXPECT_STREQ("same", buffer);
    EXPECT_EQ("attr x=1\n", cfgtest::dump_tree());
    EXPECT_STATUS(CFG_OK, Cfg_PopContext());
    EXPECT_EQ(&emptyContext, cfgContext);
}

}  // namespace
