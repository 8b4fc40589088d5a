// Tests of the loader's file variables, its block (context) stack and the
// expansion of file references %(...).
#include <string>

#include "cfg_private.h"
#include "support.h"

namespace {

using cfgtree::LoaderContext;
using cfgtree::LoaderState;

// A loader state with both lists, as a load makes it, for calling the
// variable and context functions directly.
struct Loader {
    LoaderState st{};
    Loader() {
        st.files = LS_CreateList(sizeof(cfgtree::FileEntry), 0);
        st.contexts = LS_CreateList(sizeof(LoaderContext), 0);
        LS_SetCallback(st.contexts, 2, &cfgtree::FreeContext);
    }
    ~Loader() {
        cfgtree::TruncEnv(&st.vars, 0);
        LS_DestroyList(st.contexts);
        LS_DestroyList(st.files);
    }
    int put(const std::string &text) { return cfgtree::PutEnv(&st.vars, text.c_str()); }
    std::string get(const std::string &name) {
        const char *v = cfgtree::GetEnv(&st.vars, name.c_str());
        return v ? v : "<none>";
    }
    void push(const char *name) { ASSERT_NE(nullptr, cfgtree::PushContext(st.contexts, 0, name)); }
    // Expands a line; "<status N>" when it fails (the output is then unchanged).
    std::string expand(const std::string &line) {
        char out[cfgtree::kTextSize] = "untouched";
        int status = cfgtree::cfg_substitute_line(&st, line.c_str(), out, sizeof out);
        if (status != 0) {
            EXPECT_STREQ("untouched", out);
            return "<status " + std::to_string(status) + ">";
        }
        return out;
    }
};

TEST(FileVariables, DefinitionsAreStoredAsWrittenWithinTheirLimits) {
    struct Case {
        std::string text, name, value;
    };
    const std::string name40(40, 'n');
    const std::string long_value(200, 'v');
    const Case cases[] = {
        {"site=lab", "site", "lab"},
        {"B", "B", ""},                        // no '=': empty value
        {"x = 1", "x ", " 1"},                 // nothing is trimmed
        {"=empty-name", "", "empty-name"},
        {name40 + "=v", name40.substr(0, 32), "v"},           // name cut to 32
        {"n=" + long_value, "n", long_value.substr(0, 125)},  // entry cut to 127
        {name40 + "=" + long_value, name40.substr(0, 32), long_value.substr(0, 127 - 33)},
    };
    for (const Case &c : cases) {
        Loader l;
        int index = l.put(c.text);
        ASSERT_EQ(0, index) << c.text;
        EXPECT_EQ(c.name + "=" + c.value, l.st.vars.entries[0]) << c.text;
        EXPECT_LE(std::string(l.st.vars.entries[0]).size(), 127u);
        EXPECT_EQ(c.value, l.get(c.name)) << c.text;
    }
    Loader l;  // a long name is found only by its first 32 characters
    ASSERT_EQ(0, l.put(name40 + "=long"));
    EXPECT_EQ("<none>", l.get(name40));
    EXPECT_EQ("<none>", l.get(name40.substr(0, 31)));
}

TEST(FileVariables, RefusedDefinitionsDefineNothing) {
    cfgtest::LogCapture log;
    Loader l;
    cfg_inject_alloc_fault(0, 1);
    EXPECT_EQ(-1, l.put("a=1"));
    cfg_inject_alloc_fault(0, 0);
    EXPECT_EQ(0, l.st.vars.count);
    EXPECT_TRUE(log.contains("PutEnv: env. malloc(128) failure\n\t\terrno = 12  => ")) << log.dump();
    EXPECT_EQ(-1, cfgtree::PutEnv(&l.st.vars, nullptr));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(i, l.put("v" + std::to_string(i) + "=" + std::to_string(i)));
    EXPECT_EQ(-1, l.put("extra=1"));
    EXPECT_TRUE(log.has(3, "cfg_f_load", "PutEnv: Too many variable definitions (max=100)")) << log.dump();
    EXPECT_EQ(100, l.st.vars.count);
    EXPECT_EQ("<none>", l.get("extra"));
    cfgtree::TruncEnv(&l.st.vars, 99);
    EXPECT_EQ(99, l.put("extra=1"));
}

TEST(FileVariables, NewerDefinitionsHideOlderOnesUntilTheirMark) {
    cfgtest::LogCapture log;
    Loader l;
    ASSERT_EQ(0, l.put("a=1"));
    int mark = l.st.vars.count;
    ASSERT_EQ(1, l.put("a=2"));
    ASSERT_EQ(2, l.put("b=3"));
    log.clear();
    EXPECT_EQ("2", l.get("a"));
    ASSERT_GE(log.lines().size(), 2u);  // lookups are traced, newest first
    EXPECT_EQ("  comparing 'a' to env 'b=3'", log.lines()[0].message);
    EXPECT_EQ("  comparing 'a' to env 'a=2'", log.lines()[1].message);
    EXPECT_EQ(13, log.lines()[0].level);
    EXPECT_EQ(1, cfgtree::FindEnv(&l.st.vars, "a"));
    EXPECT_EQ(mark, cfgtree::TruncEnv(&l.st.vars, mark));
    EXPECT_EQ(nullptr, l.st.vars.entries[1]);
    EXPECT_EQ("1", l.get("a"));
    EXPECT_EQ("<none>", l.get("b"));
    // An emptied entry is skipped by lookups; a mark above the count only moves the count.
    cfg_mem_free(l.st.vars.entries[0]);
    l.st.vars.entries[0] = nullptr;
    EXPECT_EQ(-1, cfgtree::FindEnv(&l.st.vars, "a"));
    EXPECT_EQ(5, cfgtree::TruncEnv(&l.st.vars, 5));
    EXPECT_EQ(5, l.st.vars.count);
}

TEST(LoaderContexts, NamesGrowFromTheEnclosingEntry) {
    Loader l;
    LoaderContext *a = cfgtree::PushContext(l.st.contexts, 7, "A");
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(7u, a->item);
    l.push("B[2].C");
    EXPECT_EQ("A.B[2].C", l.expand("%(%%)"));
    LoaderContext *head = cfgtree::PopContext(l.st.contexts);
    ASSERT_NE(nullptr, head);
    EXPECT_STREQ("A", head->name);
    EXPECT_EQ(nullptr, cfgtree::PopContext(l.st.contexts));
    EXPECT_EQ(nullptr, cfgtree::PopContext(nullptr));
}

TEST(LoaderContexts, PushFailuresLeaveTheStackAsItWas) {
    cfgtest::LogCapture log;
    Loader l;
    l.push("A");
    cfg_inject_alloc_fault(0, 1);  // the copy of the name
    EXPECT_EQ(nullptr, cfgtree::PushContext(l.st.contexts, 0, "B"));
    EXPECT_TRUE(log.contains("PushContext: strdup(): errno=12 => ")) << log.dump();
    cfg_inject_alloc_fault(1, 1);  // the list entry
    EXPECT_EQ(nullptr, cfgtree::PushContext(l.st.contexts, 0, "B"));
    cfg_inject_alloc_fault(0, 0);
    EXPECT_TRUE(log.has(3, "cfg_f_load", "PushContext: cannot add 'A.B' to context stack")) << log.dump();
    EXPECT_EQ(1u, LS_ListSize(l.st.contexts, 0));
    // A name that would pass 639 characters is refused, never cut.
    std::string long_name(639, 'x');
    EXPECT_EQ(nullptr, cfgtree::PushContext(l.st.contexts, 0, long_name.c_str()));
    EXPECT_NE(nullptr, cfgtree::PushContext(l.st.contexts, 0, long_name.substr(0, 637).c_str()));
}

TEST(FileReferences, VariablesExpandAndUndefinedOnesFail) {
    cfgtest::LogCapture log;
    Loader l;
    ASSERT_GE(l.put("site=lab"), 0);
    ASSERT_GE(l.put("ab=nested"), 0);
    ASSERT_GE(l.put("a=a"), 0);
    struct Case {
        const char *line, *expected;
    } cases[] = {
        {"name = %(site)-gw", "name = lab-gw"},
        {"%(%(a)b)", "nested"},  // the inner reference names the outer one
        {"no references ${HOME} %site", "no references ${HOME} %site"},
        {"unclosed %(site", "unclosed %(site"},
        {"x = %(nope)", "<status -1406>"},
        {"x = %(nope) %(site)", "x =  lab"},  // the last reference decides
    };
    for (const Case &c : cases) EXPECT_EQ(c.expected, l.expand(c.line)) << c.line;
    EXPECT_TRUE(log.has(3, "cfg_f_load", "cfg_evalContext: context variable 'nope' not defined")) << log.dump();
    EXPECT_TRUE(log.has(13, "cfg_f_load", "  substituting 'lab' for 'site'"));
    ASSERT_GE(l.put("=blank"), 0);
    EXPECT_EQ("x = blank", l.expand("x = %()"));
}

TEST(FileReferences, ContextModifiersCutTheInnermostBlockName) {
    const char *abc = "A.B[2].C";
    struct Case {
        const char *context, *reference, *expected;
    } cases[] = {
        {abc, "%(%%anything)", "A.B[2].C"}, {abc, "%(%%:)", "A.B[2].C"}, {abc, "%(%%:-1)", "A.B[2]"},
        {abc, "%(%%:-3)", "<status -1406>"}, {abc, "%(%%:+2)", "A.B[2]"}, {abc, "%(%%:3)", "<status -1406>"},
        {abc, "%(%%:0)", ""}, {abc, "%(%%:x)", ""}, {abc, "%(%%:/[2])", "A.B[2]"}, {abc, "%(%%:\\C)", "A.B[2].C"},
        {abc, "%(%%:/Z)", "<status -1406>"}, {abc, "%(%%:\\Z)", "<status -1406>"},
        {abc, "%(%%:/)", "A"},            // empty text occurs first at the start
        {abc, "%(%%:\\)", "A.B[2].C"},    // and last at the end
        {abc, "%(%%:b)", "A.B[2].C"}, {"A.B[2]", "%(%%:b)", "A.B"},
        {"A.x]", "%(%%:b)", "A.x]"},             // no '[': left whole
        {abc, "%(%%: -1)", ""},                   // a count read as negative keeps nothing
        {"A.B.A.B", "%(%%:/A)", "A"}, {"A.B.A.B", "%(%%:\\A)", "A.B.A"}, {"A.B.A.B", "%(%%:-1)/%(%%:1)", "A.B.A/A"},
    };
    for (const Case &c : cases) {
        Loader l;
        l.push(c.context);
        EXPECT_EQ(c.expected, l.expand(c.reference)) << c.context << " " << c.reference;
    }
}

// cfg_evalContext is given the text after "%(" (the scanner cuts the ')').
TEST(FileReferences, EvaluatedDirectly) {
    cfgtest::LogCapture log;
    char out[16] = {};
    LoaderState bare{};  // no lists at all
    char ref[] = "%(%%:1";
    EXPECT_STATUS(CFG_ERR_FILE_REFERENCE, cfgtree::cfg_evalContext(ref, out, sizeof out, &bare));
    Loader l;
    EXPECT_EQ("[]", l.expand("[%(%%)]"));
    EXPECT_EQ("<status -1406>", l.expand("%(%%:-1)"));
    EXPECT_TRUE(log.has(5, "cfg_f_load", "cfg_evalContext: Context modification '%%:-1' with empty/no context"))
        << log.dump();
    // No memory for the copy of the context.
    l.push("Alpha.Beta");
    char cut[] = "%(%%:-1";
    cfg_inject_alloc_fault(0, 1);
    EXPECT_STATUS(ERR_NO_MEMORY, cfgtree::cfg_evalContext(cut, out, sizeof out, &l.st));
    cfg_inject_alloc_fault(0, 0);
    EXPECT_TRUE(log.contains("cfg_evalContext: strdup(Alpha.Beta)\n\t\terrno = 12 => \"")) << log.dump();
    EXPECT_STREQ("", out);
    // Expansions stop at their room, and a line at 639 characters.
    std::memset(out, 'z', sizeof out);
    char whole[] = "%(%%";
    EXPECT_EQ(0, cfgtree::cfg_evalContext(whole, out, 6, &l.st));
    EXPECT_STREQ("Alpha", out);
    ASSERT_GE(l.put("v=0123456789"), 0);
    char var[] = "%(v";
    EXPECT_EQ(0, cfgtree::cfg_evalContext(var, out, 6, &l.st));
    EXPECT_STREQ("01234", out);
    EXPECT_EQ(0, cfgtree::cfg_evalContext(var, out, 0, &l.st));  // no room: nothing written
    EXPECT_STREQ("01234", out);
    ASSERT_GE(l.put("w=" + std::string(100, 'x')), 0);
    EXPECT_EQ(std::string(639, 'x'), l.expand("%(w)%(w)%(w)%(w)%(w)%(w)%(w)%(w)"));
}

}  // namespace
