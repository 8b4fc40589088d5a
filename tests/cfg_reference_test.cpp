// Tests of reference evaluation against a real tree: item paths, every
// modifier, the environment fallback, defaults that are stored, value maps,
// self-reference and the limits of depth and evaluations (faults of the store
// and the heap are swept in cfg_fault_sweep_test).
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace {

constexpr const char kMod[] = "cfg_substitute";

struct Result {
    int status;
    std::string text;
};

void set(const char *identifier, const char *value) {
    ASSERT_EQ(CFG_OK, Cfg_SetAttrValue(identifier, value)) << identifier;
}

Result substitute(const std::string &text, uint32_t len = 640) {
    std::string buffer(len, 'K');
    int status = Cfg_Substitute(text.c_str(), buffer.data(), len);
    if (status != CFG_OK) {
        EXPECT_EQ(std::string(len, 'K'), buffer) << "a failed substitution writes nothing";
        return {status, ""};
    }
    return {status, buffer.c_str()};
}

Result read(const char *identifier) {
    char buffer[640];
    int status = Cfg_GetAttrValue(identifier, buffer, sizeof buffer);
    return {status, status == CFG_OK ? buffer : ""};
}

// The tree most cases read.
class Reference : public ::testing::Test {
  protected:
    void SetUp() override {
        set("a.b", "abcdef");
        set("obj.x", "1");
        set("one", "1");
        set("zero", "0");
        set("seven", "7");
        set("empty", "");
        set("bname", "b");
        set("two", "2");
        set("srv[2].port", "80");
        set("ref", "${a.b}");
        set("chain", "[${ref}]");
    }
};

struct Case {
    const char *text;
    int status;
    const char *expected;  // when the status is 0
};

void check(const Case &c) {
    SCOPED_TRACE(c.text);
    Result r = substitute(c.text);
    EXPECT_STATUS(c.status, r.status);
    if (c.status == CFG_OK) {
        EXPECT_EQ(c.expected, r.text);
    }
}

void check_all(std::initializer_list<Case> cases) {
    for (const Case &c : cases) check(c);
}

constexpr int kUnresolved = CFG_ERR_UNRESOLVED;

TEST_F(Reference, ItemPathsResolveFromTheRootNotTheContext) {
    check_all({
        {"x${a.b}y${one}", CFG_OK, "xabcdefy1"}, {"${!a.b}", CFG_OK, "abcdef"},   {"${srv[*].port}", CFG_OK, "80"},
        {"${a.${bname}}", CFG_OK, "abcdef"},     {"${chain}", CFG_OK, "[abcdef]"}, {"${empty}", CFG_OK, ""},
        {"${obj}", kUnresolved, nullptr},        {"${a.c}", kUnresolved, nullptr},
    });
    ASSERT_EQ(CFG_OK, Cfg_PushContext("a"));
    EXPECT_EQ("abcdef", read("b").text) << "the lookup by identifier starts at the context";
    check_all({{"${b}", kUnresolved, nullptr}, {"${a.b}", CFG_OK, "abcdef"}});
    Cfg_PopContext();
}

TEST_F(Reference, PartOfTheValue) {
    check_all({
        {"${a.b:#-2}", CFG_OK, "ef"},     {"${a.b:#1,3}", CFG_OK, "bc"},     {"${a.b:#6}", CFG_OK, ""},
        {"${a.b:#0,1}", CFG_OK, ""},      {"${a.b:#-99,3}", CFG_OK, "ab"},   {"${a.b:#x}", CFG_OK, "abcdef"},
        {"${a.b:#2x,3}", CFG_OK, "cd"},   {"${a.b:#2,-1}", CFG_OK, "cdef"},  {"${a.b:#1,}", CFG_OK, ""},
        {"${a.b:#1,99}", CFG_OK, "bcdef"}, {"${a.b:#${two}}", CFG_OK, "cdef"}, {"${missing:#1}", kUnresolved, nullptr},
    });
}

TEST_F(Reference, AlternateDefaultAndMessage) {
    check_all({
        {"${empty:+yes}", CFG_OK, "yes"},        {"${missing:+yes}", kUnresolved, nullptr}, {"${a.b:-dflt}", CFG_OK, "abcdef"},
        {"${missing:-a:b=c}", CFG_OK, "a:b=c"},  {"${a.b:?gone}", CFG_OK, "abcdef"},      {"${a.b:*junk}", CFG_OK, "abcdef"},
        {"${missing:*junk}", kUnresolved, nullptr},
        // inner references of a default are evaluated first; the status is that of the last evaluation
        {"${missing:-${one}}", CFG_OK, "1"},     {"${missing:-${gone}}", CFG_OK, ""},
        {"${a.b:-${gone}}", CFG_OK, "abcdef"},   {"${missing:-x}${gone}", kUnresolved, nullptr},
        {"${gone}${missing:-x}", CFG_OK, "x"},
    });
    cfgtest::LogCapture log;
    check({"${missing:?no X}", kUnresolved, nullptr});
    EXPECT_TRUE(log.has(3, kMod, "cfg_evalReference: alternate substitution error for 'missing':\n\t\tno X"))
        << log.dump();
    log.clear();
    check({"${missing}", kUnresolved, nullptr});
    EXPECT_TRUE(log.at_most(5).empty()) << "without ? a missing item is not reported:\n" << log.dump();
}

TEST_F(Reference, ValueMaps) {
    check_all({
        {"${zero:/1=on/0=off/other}", CFG_OK, "off"},    {"${missing:/1=on/0=off/other}", CFG_OK, "other"},
        {"${seven:\\1=on\\0=off\\other}", CFG_OK, "other"}, {"${missing:\\1=on\\0=off\\other}", kUnresolved, nullptr},
        {"${seven:/0=off/$$}", CFG_OK, "7"},             {"${missing:/0=off/$$}", CFG_OK, "$$"},
        {"${seven:/7=<$$>}", CFG_OK, "<$$>"},            {"${seven:/7=$$}", CFG_OK, "7"},
        {"${seven:/1=on}", CFG_OK, ""},                  {"${missing:/1=on}", kUnresolved, nullptr},
        {"${one://1=on//}", CFG_OK, "on"},
        {"${seven:/d1/7x=no/7=yes/d2}", CFG_OK, "yes"},  {"${missing:/d1/1=x/d2}", CFG_OK, "d2"},
        {"${one:/1=a=b}", CFG_OK, "a=b"},                {"${one:\\1=a/b\\c}", CFG_OK, "a/b"},
        {"${ref:/abcdef=deref}", CFG_OK, "deref"},       {"${one:/${one}=computed}", CFG_OK, "computed"},
    });
}

TEST_F(Reference, EnvironmentFallback) {
    cfgtest::ScopedEnv var("CFGTREE_REF_VAR", "envval");
    cfgtest::ScopedEnv lower("cfgtree_ref_lower", "lower");
    cfgtest::ScopedEnv unset("CFGTREE_REF_UNSET", nullptr);
    check_all({
        {"${CFGTREE_REF_VAR:+yes}", CFG_OK, "yes"},       {"${CFGTREE_REF_VAR:#2}", CFG_OK, "envval"},
        {"${CFGTREE_REF_VAR:/envval=mapped/x}", CFG_OK, "envval"},
        {"${cfgtree_ref_lower}", kUnresolved, nullptr},   {"${CFGTREE_REF_UNSET:-d}", CFG_OK, "d"},
    });
    EXPECT_EQ("env", substitute("${CFGTREE_REF_VAR}", 4).text);

    EXPECT_EQ(0x10u, Cfg_DereferenceEnv(0));
    check_all({{"${CFGTREE_REF_VAR}", kUnresolved, nullptr}, {"${CFGTREE_REF_VAR:-d}", CFG_OK, "d"}});
    Cfg_DereferenceEnv(1);

    set("CFGTREE_REF_VAR", "attr");
    check({"${CFGTREE_REF_VAR}", CFG_OK, "attr"});
    EXPECT_STATUS(CFG_OK, Cfg_Delete("CFGTREE_REF_VAR"));  // the binary's later tests share the tree
}

TEST_F(Reference, AssignedDefaultIsStored) {
    std::string before = cfgtest::dump_tree();
    check({"${a.b:=other}", CFG_OK, "abcdef"});
    EXPECT_EQ(before, cfgtest::dump_tree()) << "an existing item is not changed";

    check({"${new.obj.attr:=hello}", CFG_OK, "hello"});
    check({"${new.obj.attr:=other}", CFG_OK, "hello"});
    EXPECT_EQ("hello", read("new.obj.attr").text);
    check({"${blank:=}", CFG_OK, ""});
    EXPECT_STATUS(CFG_OK, read("blank").status);

    cfgtest::ScopedEnv var("CFGTREE_REF_VAR", "envval");
    before = cfgtest::dump_tree();
    check({"${CFGTREE_REF_VAR:=x}", CFG_OK, "envval"});
    EXPECT_EQ(before, cfgtest::dump_tree()) << "the environment comes before the assigned default";

    set("holder", "${stored:=v}");
    EXPECT_EQ("v", read("holder").text);
    EXPECT_EQ("v", read("stored").text);
}

TEST_F(Reference, SyntaxErrors) {
    cfgtest::LogCapture log;
    check({"${a.b=x}", CFG_ERR_SYNTAX, nullptr});
    EXPECT_TRUE(log.has(3, kMod, "cfg_evalReference: invalid component separator character '='")) << log.dump();
    check_all({
        {"${}", CFG_ERR_SYNTAX, nullptr},   {"${a..b}", CFG_ERR_SYNTAX, nullptr}, {"${a[1}", CFG_ERR_SYNTAX, nullptr},
        {"${:-x}", CFG_ERR_SYNTAX, nullptr}, {"${a b}${one}", CFG_OK, "1"},
    });
}

TEST_F(Reference, EvaluatorAppendsWithinItsRoom) {
    struct Direct {
        const char *reference;
        uint32_t room;
        int status;
        const char *expected;
    };
    const Direct cases[] = {
        {"${a.b}", 4, CFG_OK, "abc"},         {"${a.b}", 1, CFG_OK, ""},
        {"${a.b:+yes}", 3, CFG_OK, "ye"},     {"${missing:-dflt}", 2, CFG_OK, "d"},
        {"${one:/1=long}", 3, CFG_OK, "lo"},  {"${a.b:#1}", 3, CFG_OK, "bc"},
        {"${a.b:#1,9}", 4, CFG_OK, "bcd"},    {"${a.b:#0,9}", 4, CFG_OK, "abc"},
        {"${seven:/7=$$$}", 3, CFG_OK, "$$"}, {"${missing}", 8, CFG_ERR_UNRESOLVED, ""},
        {"${a b}", 8, CFG_ERR_SYNTAX, ""},    {"${obj}", 8, CFG_ERR_UNRESOLVED, ""},
    };
    for (const Direct &c : cases) {
        SCOPED_TRACE(std::string(c.reference) + " room " + std::to_string(c.room));
        // the evaluator gets the open tag and the body, without the close tag
        char reference[64];
        std::strcpy(reference, c.reference);
        reference[std::strlen(reference) - 1] = '\0';
        char out[16] = {};
        out[c.room] = 'G';  // a guard right behind the room
        ds_lock();
        int status = cfg_evalReference(reference, out, c.room, nullptr);
        ds_unlock();
        EXPECT_STATUS(c.status, status);
        EXPECT_STREQ(c.expected, out);
        EXPECT_EQ('G', out[c.room]);
    }
}

TEST_F(Reference, SelfReferenceEndsAtTheRecursionLimit) {
    set("self", "${self}");
    set("p", "<${q}>");
    set("q", "${p}");
    set("twice", "${twice}${twice}");
    const std::string limit = "cfg_evalReference: reference recursion exceeds max depth (" +
                              std::to_string(CFG_MAX_REFERENCE_RECURSION) + ") at '";
    // a read reports the limit once (at the innermost item), however often
    // its references reach it
    for (const auto &[identifier, innermost] : {std::pair{"self", "self"}, {"p", "q"}, {"twice", "twice"}}) {
        SCOPED_TRACE(identifier);
        cfgtest::LogCapture log;
        char buffer[64];
        std::memset(buffer, 'K', sizeof buffer);
        EXPECT_STATUS(CFG_ERR_UNRESOLVED, Cfg_GetAttrValue(identifier, buffer, sizeof buffer));
        EXPECT_EQ(std::string(sizeof buffer - 1, 'K'), std::string(buffer, sizeof buffer - 1));
        size_t reported = 0;
        for (const auto &line : log.lines()) reported += line.message.find("recursion exceeds") != std::string::npos;
        EXPECT_EQ(1u, reported) << log.dump();
        EXPECT_TRUE(log.has(3, kMod, limit + innermost + "'")) << log.dump();
    }
    // the next read starts afresh
    check({"${self}-${a.b}", CFG_OK, "-abcdef"});

    // Only the evaluation beyond the limit fails: the references beside a
    // self-reference read the same through one more reference or with a default.
    set("mixed", "${self}${one}");
    set("outer", "${mixed}");
    set("more", "${self:-d}|${a.b:-x}|${seven}");
    check_all({{"${mixed}", CFG_OK, "1"},
               {"${outer:-fallback}", CFG_OK, "1"},
               {"[${more}]", CFG_OK, "[|abcdef|7]"},
               {"${one}${twice}", kUnresolved, nullptr},
               // a fan-out spends the read's whole budget: what follows it fails
               {"${twice}${one}", kUnresolved, nullptr}});
}

TEST_F(Reference, ThirtyTwoNestedEvaluationsAreAllowed) {
    // ${c1} evaluates c1, whose value evaluates ${c2}, ... ${cN}
    auto build_chain = [](int n) {
        for (int i = 1; i < n; ++i) set(("c" + std::to_string(i)).c_str(), ("${c" + std::to_string(i + 1) + "}").c_str());
        set(("c" + std::to_string(n)).c_str(), "end");
    };
    build_chain(CFG_MAX_REFERENCE_RECURSION);
    check({"${c1}", CFG_OK, "end"});
    build_chain(CFG_MAX_REFERENCE_RECURSION + 1);
    cfgtest::LogCapture log;
    check({"${c1}", CFG_ERR_UNRESOLVED, nullptr});
    EXPECT_TRUE(log.contains("at 'c33'")) << log.dump();
}

TEST_F(Reference, FanningOutValuesStopAtTheEvaluationBudget) {
    // f0 = ${f1}x8, f1 = ${f2}x8, ... : 8^7 evaluations without a budget
    for (int i = 0; i < 7; ++i) {
        std::string next = "${f" + std::to_string(i + 1) + "}";
        std::string value;
        for (int k = 0; k < 8; ++k) value += next;
        set(("f" + std::to_string(i)).c_str(), value.c_str());
    }
    set("f7", "v");
    const std::string v512(512, 'v');  // ${f4}: 8 + 64 + 512 evaluations
    check({"${f4}", CFG_OK, v512.c_str()});
    cfgtest::LogCapture log;
    check({"${f0}", CFG_ERR_UNRESOLVED, nullptr});
    EXPECT_TRUE(log.contains("reference evaluations exceed max (" + std::to_string(CFG_MAX_REFERENCE_EVALUATIONS) +
                             ")"))
        << log.dump();
    check({"${f4}", CFG_OK, v512.c_str()});  // the next read starts with a fresh budget
    // The budget is the whole read's: each ${f4} costs 585 evaluations,
    // each ${f2} 37,449.
    auto times = [](const char *ref, int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text += ref;
        return text;
    };
    const int fit = CFG_MAX_REFERENCE_EVALUATIONS / 585;
    char out[640];
    EXPECT_STATUS(CFG_OK, Cfg_Substitute(times("${f4}", fit).c_str(), out, sizeof out));
    EXPECT_STATUS(CFG_ERR_UNRESOLVED, Cfg_Substitute(times("${f4}", fit + 1).c_str(), out, sizeof out));
    const int fit2 = CFG_MAX_REFERENCE_EVALUATIONS / 37449;
    set("many", times("${f2}", fit2).c_str());
    EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("many", out, sizeof out));
    set("many", times("${f2}", fit2 + 1).c_str());
    EXPECT_STATUS(CFG_ERR_UNRESOLVED, Cfg_GetAttrValue("many", out, sizeof out));
}

// Values that refer to others many times without any cycle read like any
// other: w holds 159 references (639 characters), y 159 references to w.
TEST_F(Reference, WideAcyclicFanOutReads) {
    set("v", "abcdef");
    std::string w;
    for (int i = 0; i < 159; ++i) w += "${v}";
    set("w", w.c_str());
    std::string expected;
    while (expected.size() < 639) expected += "abcdef";
    expected.resize(639);
    std::string y;
    for (int i = 0; i < 159; ++i) y += "${w}";
    set("y", y.c_str());
    Result r = read("y");
    EXPECT_STATUS(CFG_OK, r.status);
    EXPECT_EQ(expected, r.text);
}

// Regression: every reference zero-filled a level buffer, and its value
// the room, as large as the rest of the text and the output together, so a
// long text took time in the square of its length (seconds at 40,000
// references, hours at a million). The references of a long text, plain
// and holding references themselves, are substituted in one pass.
TEST_F(Reference, LongTextsSubstituteInLinearTime) {
    // 82,500 evaluations: within the budget of one read
    const int count = 80000;
    std::string text, expected;
    for (int i = 0; i < count; ++i) {
        text += i % 64 ? "${obj.x}-" : "${chain}-";
        expected += i % 64 ? "1-" : "[abcdef]-";
    }
    Result r = substitute(text, static_cast<uint32_t>(2 * text.size()));
    EXPECT_STATUS(CFG_OK, r.status);
    EXPECT_TRUE(r.text == expected) << "the result differs";
}

// An evaluator of the caller's own, in a table beside the library's, still
// gets a room of zeros, wherever the library's evaluator wrote before it.
int seen_zero_room = 0;
int check_room(char *, char *out, uint32_t room, void *) {
    seen_zero_room += std::all_of(out, out + room, [](char c) { return c == '\0'; }) ? 1 : -1000;
    if (room > 2) std::memcpy(out, "<>", 3);
    return 0;
}

TEST_F(Reference, OwnEvaluatorsBesideTheLibrarysGetZeroedRooms) {
    CfgRefTag table[] = {{"${", "}", cfg_evalReference, nullptr},
                         {"[[", "]]", check_room, nullptr},
                         {nullptr, nullptr, nullptr, nullptr}};
    char out[200];
    std::memset(out, 'K', sizeof out);
    seen_zero_room = 0;
    EXPECT_STATUS(CFG_OK, ref_substitute("${a.b}[[x${chain}[[y]]${one}]]${a.b:#2,3}[[z]]${ref}", out, sizeof out,
                                         table));
    EXPECT_STREQ("abcdef<>cd<>abcdef", out);
    EXPECT_EQ(3, seen_zero_room);
    EXPECT_TRUE(std::all_of(out + std::strlen(out), out + sizeof out, [](char c) { return c == '\0'; }));
}

// An evaluator of the caller's own that reads values through the library
// makes reads of their own: each has the whole budget of evaluations and
// reports the depth limit itself, whatever the reads before it spent.
int read_named(char *reference, char *out, uint32_t room, void *) {
    return Cfg_GetAttrValue(reference + 2, out, room);
}

TEST_F(Reference, ReadsOfTheCallersOwnEvaluatorAreReadsOfTheirOwn) {
    set("self", "${self}");
    set("twice", "${twice}${twice}");
    CfgRefTag table[] = {{"@{", "}", read_named, nullptr}, {nullptr, nullptr, nullptr, nullptr}};
    char out[64];
    cfgtest::LogCapture log;
    EXPECT_STATUS(kUnresolved, ref_substitute("@{self}@{self}@{self}", out, sizeof out, table));
    size_t reported = 0;
    for (const auto &line : log.lines()) reported += line.message.find("recursion exceeds") != std::string::npos;
    EXPECT_EQ(3u, reported) << log.dump();
    // the first read spends its whole budget; the next one reads as usual
    EXPECT_STATUS(CFG_OK, ref_substitute("@{twice}[@{ref}]", out, sizeof out, table));
    EXPECT_STREQ("[abcdef]", out);
}

// An evaluator that substitutes what it reads with its own table: a value
// that refers to itself through it recurses through ref_substitute.
CfgRefTag g_own_table[] = {{"@{", "}", nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}};
int substitute_named(char *reference, char *out, uint32_t room, void *) {
    const char *value = nullptr;
    int status = Cfg_GetAttrValuePtr(reference + 2, &value);
    return status != CFG_OK ? status : ref_substitute(value, out, room, g_own_table);
}

TEST_F(Reference, ACycleThroughTheCallersOwnEvaluatorEndsAtTheDepthLimit) {
    g_own_table[0].evaluate = substitute_named;
    set("loop", "x@{loop}");
    char out[640];
    cfgtest::LogCapture log;
    EXPECT_STATUS(kUnresolved, ref_substitute("@{loop}", out, sizeof out, g_own_table));
    EXPECT_TRUE(log.has(3, "cfg_substitute", "ref_substitute: reference recursion exceeds max depth (32) at '@{loop'"))
        << log.dump();
}

// An evaluator that substitutes two references of its own table each time
// and ignores their failure would dive to the depth limit once per path,
// 2^32 times: its calls count over the whole read, and past
// CFG_MAX_REFERENCE_EVALUATIONS each fails at once. A reference beside one
// that failed at the depth limit is still evaluated.
CfgRefTag g_twice_table[] = {{"@{", "}", nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}};
long g_twice_calls = 0;
int substitute_twice(char *reference, char *out, uint32_t room, void *) {
    char inner[64];
    const char *text = std::strcmp(reference, "@{x") == 0      ? "@{x}@{x}"
                       : std::strcmp(reference, "@{loop") == 0 ? "@{loop}"
                                                               : "";
    if (++g_twice_calls < 300000) (void)ref_substitute(text, inner, sizeof inner, g_twice_table);
    if (room > 1) std::strcpy(out, room > 2 ? "ab" : "a");
    return CFG_OK;
}

TEST_F(Reference, AnEvaluatorThatIgnoresTheRefusalIsBounded) {
    g_twice_table[0].evaluate = substitute_twice;
    const long budget = CFG_MAX_REFERENCE_EVALUATIONS;
    const struct {
        const char *text;
        int status;
        long calls;
        const char *result;
        bool spent;  // the budget of the read ran out
    } rows[] = {
        {"@{x}", CFG_OK, budget, "ab", true},
        {"@{x}-@{x}", kUnresolved, budget, "", true},  // the second reference finds the budget spent
        {"@{loop}-@{ok}", CFG_OK, 33, "ab-ab", false},  // 32 levels of loop, then ok
        {"@{x}", CFG_OK, budget, "ab", true},           // a new read has the whole budget
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        g_twice_calls = 0;
        char out[64] = "";
        cfgtest::LogCapture log;
        EXPECT_STATUS(r.status, ref_substitute(r.text, out, sizeof out, g_twice_table));
        EXPECT_EQ(r.calls, g_twice_calls);
        EXPECT_STREQ(r.result, out);
        EXPECT_EQ(r.spent, log.contains("ref_substitute: evaluations of the caller's own exceed max (100000) at '@{x'"))
            << log.last();
    }
}

// Values that hold references of their own are substituted while the text
// that refers to them is, each in the buffers the one before it left: a
// text reads as its references do one by one, cut to the buffer.
TEST_F(Reference, ATextReadsAsItsReferencesDoOneByOne) {
    std::mt19937 rng(7);
    auto below = [&rng](unsigned n) { return unsigned(rng() % n); };
    constexpr unsigned kValues = 40;
    for (unsigned i = 0; i < kValues; ++i) {
        std::string value(below(200), 'a');
        for (char &c : value) c = char('a' + below(26));
        if (i > 0 && below(2)) value += "${r" + std::to_string(below(i)) + "}";
        if (i > 1 && below(3) == 0) value = "${r" + std::to_string(below(i)) + "}" + value;
        set(("r" + std::to_string(i)).c_str(), value.c_str());
    }
    std::vector<std::string> alone;
    for (unsigned i = 0; i < kValues; ++i) alone.push_back(substitute("${r" + std::to_string(i) + "}", 100000).text);
    for (int round = 0; round < 300; ++round) {
        std::string text, expected;
        for (unsigned k = 1 + below(30); k > 0; --k) {
            unsigned i = below(kValues);
            text += "${r" + std::to_string(i) + "}|";
            expected += alone[i] + "|";
        }
        uint32_t len = 1 + below(4000);
        Result got = substitute(text, len);
        ASSERT_EQ(CFG_OK, got.status) << text;
        ASSERT_EQ(expected.substr(0, len - 1), got.text) << text << " in " << len << " bytes";
    }
}

TEST_F(Reference, WithoutDereferenceAReferencedValueIsNotSubstituted) {
    EXPECT_EQ(8u, Cfg_Dereference(0));
    check({"${chain}", CFG_OK, "[${ref}]"});
}

// A log sink called while a read is past its depth limit may substitute on
// its own: its read is not counted in the one under way.
TEST_F(Reference, ASinkSubstitutesAfreshDuringAReadPastItsLimit) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("self", "${self}"));
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("b", "1"));
    struct Inner {
        int status = 1;
        char text[32] = "";
        static void log(void *ctx, int level, const char *, int, const char *) {
            auto *in = static_cast<Inner *>(ctx);
            if (level == 3 && in->status == 1) in->status = Cfg_Substitute("[${b}]", in->text, sizeof in->text);
        }
    };
    Inner inner;
    char out[64];
    Log_SetSink(&Inner::log, &inner);
    int status = Cfg_Substitute("${self}", out, sizeof out);
    Log_SetSink(nullptr, nullptr);
    EXPECT_STATUS(kUnresolved, status);
    EXPECT_STATUS(CFG_OK, inner.status);
    EXPECT_STREQ("[1]", inner.text);
}

}  // namespace
