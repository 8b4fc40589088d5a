// Tests of saving: the exact text written for objects and attributes,
// quoting, names, references, files and their mode, null handles, deep and
// wide trees.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cfg_private.h"
#include "load_support.h"

namespace {

using cfgtest::capture;
using cfgtest::LogCapture;
using cfgtest::Saved;
using cfgtest::ScopedSink;
using namespace cfgtest::raw;

constexpr const char kModule[] = "cfg_d_save";
constexpr const char kFailureLine[] = "# Reference failure on the following attribute:\n";

// An attribute holding text exactly as given, under parent (0: the root).
cfg_handle raw_attr(cfg_handle parent, const std::string &text) {
    cfg_handle h = append(parent ? parent : root(), kItem, text);
    EXPECT_NE(0u, h);
    return h;
}

void put(const char *identifier, const char *value) { ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(identifier, value)); }

Saved save(const char *identifier) {
    return capture([&](FILE *s) { return Cfg_Save(identifier, s); });
}

std::string lines(std::initializer_list<const char *> list) {
    std::string out;
    for (const char *l : list) out += std::string(l) + "\n";
    return out;
}

// ---- the text written -------------------------------------------------------

// Each row saves the tree that its puts make (a row without puts saves the
// tree of the row before), in a context and with dereferencing as given;
// none of them logs a warning.
TEST(Save, TheTextWritten) {
    using Puts = std::vector<std::pair<const char *, const char *>>;
    const std::string whole =
        lines({"top = t", "a {", "    x = 1", "    b {", "        y = 2", "    }", "}", "c {", "    z = 3", "}"});
    const struct {
        const char *label;
        Puts puts;
        const char *context;
        const char *identifier;
        int dereference;
        std::string text;
    } rows[] = {
        {"attributes come before sub-objects, in store order",
         {{"o.p1.z", "1"}, {"o.a", "1"}, {"o.p2.z", "2"}, {"o.b", "2"}, {"o.p1.y", "3"}}, nullptr, "o", 1,
         lines({"o {", "    a = 1", "    b = 2", "    p1 {", "        z = 1", "        y = 3", "    }", "    p2 {",
                "        z = 2", "    }", "}"})},
        // a null identifier saves the context's contents without braces
        {"whole tree", {{"top", "t"}, {"a.x", "1"}, {"a.b.y", "2"}, {"c.z", "3"}}, nullptr, nullptr, 1, whole},
        {"in a context", {}, "a", nullptr, 1, lines({"x = 1", "b {", "    y = 2", "}"})},
        {"identifiers are found from the context", {}, "a", "b", 1, lines({"b {", "    y = 2", "}"})},
        {"whole tree after the context", {}, nullptr, nullptr, 1, whole},
        // values are saved substituted unless dereferencing is off
        {"substituted", {{"o.x", "1"}, {"o.y", "${o.x}-${o.x}"}, {"o.z", " ${o.x}"}}, nullptr, "o", 1,
         lines({"o {", "    x = 1", "    y = 1-1", "    z = \" 1\"", "}"})},
        {"as stored", {}, nullptr, "o", 0,
         lines({"o {", "    x = 1", "    y = ${o.x}-${o.x}", "    z = \" ${o.x}\"", "}"})},
        // an unresolved reference is flagged, and the value saved as stored
        {"unresolved", {{"o.ok", "fine"}, {"o.p.bad", "${missing.item}"}, {"o.p.after", "x"}}, nullptr, "o", 1,
         std::string("o {\n    ok = fine\n    p {\n        ") + kFailureLine +
             "        bad = ${missing.item}\n        after = x\n    }\n}\n"},
        {"unresolved, not dereferenced", {}, nullptr, "o", 0,
         "o {\n    ok = fine\n    p {\n        bad = ${missing.item}\n        after = x\n    }\n}\n"},
        // a reference that stores a default while the save runs
        {"default stored", {{"o.x", "${o.made:=5}"}}, nullptr, "o", 1,
         lines({"o {", "    x = 5", "    made = 5", "}"})},
        {"the default", {}, nullptr, "o.made", 1, "o.made = 5\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.label);
        if (!r.puts.empty()) loadtest::clear_tree();
        for (const auto &[id, value] : r.puts) put(id, value);
        if (r.context) ASSERT_STATUS(CFG_OK, Cfg_PushContext(r.context));
        Cfg_Dereference(r.dereference);
        LogCapture log;
        Saved s = save(r.identifier);
        Cfg_Dereference(1);
        if (r.context) Cfg_PopContext();
        EXPECT_STATUS(CFG_OK, s.status);
        EXPECT_EQ(r.text, s.text);
        EXPECT_TRUE(log.at_most(5).empty()) << log.dump();
    }
}

// Values that are empty or start or end with white space are quoted;
// nothing is escaped.
TEST(Save, QuotesValuesThatAreEmptyOrStartOrEndWithWhiteSpace) {
    const struct {
        const char *value;
        const char *line;
    } cases[] = {
        {"a b", "v = a b"},     {" a", "v = \" a\""},     {"a\t", "v = \"a\t\""}, {"\va", "v = \"\va\""},
        {"a\n", "v = \"a\n\""}, {"", "v = \"\""},         {"\"q\"", "v = \"q\""}, {"# x { } = y", "v = # x { } = y"},
    };
    Cfg_Dereference(0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        put("v", c.value);
        Saved s = save("v");
        EXPECT_STATUS(CFG_OK, s.status);
        EXPECT_EQ(std::string(c.line) + "\n", s.text);
    }
}

// Stored names keep their marks and instances and bare texts read empty;
// the named item carries the identifier as passed.
TEST(Save, RawTreesByIdentifier) {
    cfg_handle ro = object(0, "!ro");
    raw_attr(ro, "!x=1");
    raw_attr(ro, "bare");
    raw_attr(ro, "port[2]=80");
    raw_attr(object(ro, "line[1]"), "k=");
    cfg_handle a = object(0, "a");
    raw_attr(object(a, "!b"), "c=1");
    raw_attr(object(a, "srv[2]"), "port=80");
    const struct {
        const char *identifier;
        int status;
        std::string text;
    } cases[] = {
        {nullptr, CFG_OK,
         lines({"!ro {", "    !x = 1", "    bare = \"\"", "    port[2] = 80", "    line[1] {", "        k = \"\"",
                "    }", "}", "a {", "    !b {", "        c = 1", "    }", "    srv[2] {", "        port = 80", "    }",
                "}"})},
        {"!a.b", CFG_OK, "!a.b {\n    c = 1\n}\n"},
        {"a.srv[*]", CFG_OK, "a.srv[*] {\n    port = 80\n}\n"},
        {"a.srv[2].port", CFG_OK, "a.srv[2].port = 80\n"},
        {"a.b.c.d", CFG_NOT_FOUND, ""},
        {"", CFG_NOT_FOUND, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.identifier ? c.identifier : "(null)");
        Saved s = save(c.identifier);
        EXPECT_STATUS(c.status, s.status);
        EXPECT_EQ(c.text, s.text);
    }
}

// ---- references -------------------------------------------------------------

// A log sink may change the attribute being saved while its references are
// substituted (here on the first reference it sees): the substitution reads
// a copy, and the failed line is written as the attribute is now stored.
void grow_on_reference(void *, int, const char *, int, const char *message) {
    static bool done = false;
    if (done || !std::strstr(message, "found reference open tag")) return;
    done = true;
    (void)Cfg_SetAttrValue("t.v", std::string(600, 'y').c_str());  // the node moves
}

TEST(Save, ASinkThatChangesTheSavedAttributeMeanwhile) {
    put("t.v", "${${${${${${${${${${${x}}}}}}}}}}}");  // eleven opens: the scan reports its depth limit
    Saved s = [] {
        ScopedSink sink(grow_on_reference, nullptr);
        return save("t");
    }();
    EXPECT_STATUS(CFG_OK, s.status);
    EXPECT_EQ("t {\n    # Reference failure on the following attribute:\n    v = " + std::string(600, 'y') + "\n}\n",
              s.text);
    const char *now = nullptr;
    ASSERT_STATUS(CFG_OK, Cfg_GetAttrValuePtr("t.v", &now));
    EXPECT_EQ(std::string(600, 'y'), now);
}

// A sink that deletes the attribute or object being saved (and maybe those
// after it) while its references are substituted: what it deleted is left
// out, with no comment line and no nameless line; the children after those
// are still written.
std::vector<const char *> g_victims;
void delete_victims(void *, int, const char *, int, const char *message) {
    if (std::strstr(message, "alternate substitution error"))
        for (const char *victim : g_victims) (void)cfg_delete_item(0, victim);
}

TEST(Save, ASinkThatDeletesTheItemBeingSavedLeavesOutOnlyWhatItDeletes) {
    const std::string rs = "    r {\n        z = 3\n    }\n    s {\n        u = 5\n    }\n}\n";
    const struct {
        std::vector<const char *> victims;
        std::string text;
    } rows[] = {
        {{"o.p.x"}, "o {\n    a = 1\n    p {\n        y = 2\n        w = 4\n    }\n" + rs},
        {{"o.p"}, "o {\n    a = 1\n    p {\n    }\n" + rs},
        // those after it deleted as well
        {{"o.p.x", "o.p.y"}, "o {\n    a = 1\n    p {\n        w = 4\n    }\n" + rs},
        {{"o.p.x", "o.p.y", "o.p.w"}, "o {\n    a = 1\n    p {\n    }\n" + rs},
        {{"o.p", "o.r"}, "o {\n    a = 1\n    p {\n    }\n    s {\n        u = 5\n    }\n}\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.victims.size() == 1 ? r.victims[0] : r.victims.back());
        (void)cfg_delete_item(0, "o");
        for (auto [id, v] : {std::pair{"o.a", "1"}, {"o.p.x", "${nope:?gone}"}, {"o.p.y", "2"}, {"o.p.w", "4"},
                             {"o.r.z", "3"}, {"o.s.u", "5"}})
            put(id, v);
        g_victims = r.victims;
        ScopedSink sink(delete_victims, nullptr);
        Saved s = save("o");
        EXPECT_STATUS(CFG_OK, s.status);
        EXPECT_EQ(r.text, s.text);
    }
}

// The only child deleted: nothing follows it.
TEST(Save, ASinkThatDeletesTheSavedAttributeMeanwhile) {
    put("t.v", "${nope:?gone}");
    g_victims = {"t.v"};
    ScopedSink sink(delete_victims, nullptr);
    Saved s = save("t");
    EXPECT_STATUS(CFG_OK, s.status);
    EXPECT_EQ("t {\n}\n", s.text);
}

// ---- limits and handles -----------------------------------------------------

TEST(Save, AttributeTextIsCutTo639Characters) {
    raw_attr(0, "k=" + std::string(700, 'v'));
    raw_attr(0, "m=" + std::string(637, 'w'));
    const std::string expected = "k = " + std::string(637, 'v') + "\nm = " + std::string(637, 'w') + "\n";
    for (int dereference : {8, 0}) {
        Cfg_Dereference(dereference);
        Saved s = save(nullptr);
        EXPECT_STATUS(CFG_OK, s.status);
        EXPECT_EQ(expected, s.text) << "dereference " << dereference;
    }
}

TEST(Save, DepthSetsTheIndentation) {
    cfg_handle o = object(0, "o");
    cfg_handle x = raw_attr(o, "x=1");
    object(o, "p");
    const struct {
        bool contents;  // cfg_save_object_contents rather than cfg_save_item
        cfg_handle item;
        const char *name;
        int depth;
        int status;
        const char *text;
    } cases[] = {
        {false, x, nullptr, 0, CFG_OK, "x = 1\n"},
        {false, x, "alias", 2, CFG_OK, "        alias = 1\n"},
        {false, x, nullptr, -3, CFG_OK, "x = 1\n"},
        {false, o, "named", 0, CFG_OK, "named {\n    x = 1\n    p {\n    }\n}\n"},
        {false, root(), nullptr, 1, CFG_OK,
         "    o {\n        x = 1\n        p {\n        }\n    }\n"},
        {true, o, nullptr, 1, CFG_OK, "    x = 1\n    p {\n    }\n"},
        {false, 0, "x", 0, ERR_NULL_HANDLE, ""},
        {true, 0, nullptr, 0, ERR_NULL_HANDLE, ""},
    };
    for (const auto &c : cases) {
        Saved s = capture([&](FILE *f) {
            return c.contents ? cfg_save_object_contents(f, c.item, c.depth)
                              : cfg_save_item(f, c.item, c.name, c.depth);
        });
        EXPECT_STATUS(c.status, s.status);
        EXPECT_EQ(c.text, s.text) << "depth " << c.depth;
    }
    EXPECT_STATUS(ERR_NULL_ARGUMENT, Cfg_Save(nullptr, nullptr));
    EXPECT_STATUS(ERR_NULL_ARGUMENT, cfg_save_item(nullptr, root(), nullptr, 0));
    EXPECT_STATUS(ERR_NULL_ARGUMENT, cfg_save_object_contents(nullptr, root(), 0));
}

TEST(Save, ReferenceHoldingNullSkipsTheRestOfItsObject) {
    cfg_handle o = object(0, "o");
    object(o, "p");
    ref(o, 0);
    object(o, "q");
    raw_attr(o, "late=1");  // attributes are all written before any sub-object
    raw_attr(0, "top=1");
    ref(0, 0);
    object(0, "after");

    Saved inner = save("o");
    EXPECT_STATUS(CFG_OK, inner.status);  // the enclosing object's own save yields 0
    EXPECT_EQ(lines({"o {", "    late = 1", "    p {", "    }", "}"}), inner.text);
    Saved all = save(nullptr);
    EXPECT_STATUS(ERR_NULL_HANDLE, all.status);
    EXPECT_EQ(lines({"top = 1", "o {", "    late = 1", "    p {", "    }", "}"}), all.text);
}

// A save opens at most 256 blocks, as many as a load reads: an object
// deeper down is left out whole.
TEST(Save, NestingIsBoundedAt256LevelsBelowTheSavedItem) {
    cfg_handle parent = 0;
    for (int i = 0; i < 100000; ++i) {
        parent = object(parent, "d" + std::to_string(i));
        raw_attr(parent, "n=" + std::to_string(i));
    }
    LogCapture log;
    Saved s = save(nullptr);
    EXPECT_STATUS(CFG_OK, s.status);
    // d0 .. d255 are written whole; d256 is left out.
    const std::string deepest(255 * 4, ' ');
    EXPECT_NE(std::string::npos, s.text.find("\n" + deepest + "d255 {\n" + deepest + "    n = 255\n" + deepest + "}\n"));
    EXPECT_EQ(std::string::npos, s.text.find("d256"));
    EXPECT_TRUE(log.has(3, kModule, "cfg_save_item: object 'd256' lies more than 256 levels deep; it is not saved"))
        << log.dump();
    EXPECT_EQ(1u, log.at_most(3).size());

    // The bound counts from the saved item, not from the root.
    log.clear();
    EXPECT_EQ(0u, save("d0.d1.d2").text.find("d0.d1.d2 {\n    n = 2\n"));
    EXPECT_TRUE(log.contains("object 'd258' lies more than 256 levels deep")) << log.dump();
}

// References back to an object open around them, or to the root (only a
// program writing to the store makes them), are not followed: two of them
// would otherwise write 2^256 copies.
TEST(Save, AnObjectThatHoldsItselfIsWrittenOnce) {
    cfg_handle o = object(0, "loop");
    raw_attr(o, "v=1");
    ref(o, o);
    ref(o, o);
    LogCapture log;
    Saved s = save("loop");
    EXPECT_STATUS(CFG_OK, s.status);
    EXPECT_EQ(lines({"loop {", "    v = 1", "}"}), s.text);
    EXPECT_TRUE(log.has(3, kModule, "cfg_save_item: object 'loop' holds itself; it is not saved again")) << log.dump();
    ASSERT_STATUS(CFG_OK, cfg_delete_item(0, "loop"));
    cfg_handle top = root();
    raw_attr(0, "top=1");
    ASSERT_NE(0u, ds_append_avp2(top, 2, kRef, 0, &top, sizeof top));
    ASSERT_NE(0u, ds_append_avp2(object(0, "o"), 2, kRef, 0, &top, sizeof top));
    log.clear();
    s = save(nullptr);
    EXPECT_STATUS(CFG_OK, s.status);
    EXPECT_EQ(lines({"top = 1", "o {", "}"}), s.text);
    EXPECT_TRUE(log.contains("holds itself; it is not saved again")) << log.dump();
}

// Regression: rescanning siblings per child took minutes on wide objects.
TEST(Save, WideObjectsSaveInLinearTime) {
    cfg_handle o = object(0, "wide");
    const int n = 100000;
    for (int i = 0; i < n; ++i) {
        raw_attr(o, "a" + std::to_string(i) + "=" + std::to_string(i));
        object(o, "s" + std::to_string(i));
    }
    Saved s = save("wide");
    EXPECT_STATUS(CFG_OK, s.status);
    EXPECT_EQ(static_cast<long>(2 + n + 2 * n), std::count(s.text.begin(), s.text.end(), '\n'));
    EXPECT_LT(s.text.find("    a99999 = 99999\n"), s.text.find("    s0 {\n"));
}

// ---- files ------------------------------------------------------------------

mode_t mode_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
    return st.st_mode & 07777;
}

TEST(SaveFile, EmptiesTheFileAndGivesItMode0644WhateverTheUmask) {
    put("o.x", "1");
    cfgtest::TempDir dir;
    const std::string fresh = dir.file("fresh.cfg");
    const std::string existing = dir.write("existing.cfg", "old contents that are longer than the new ones\n");
    const std::string missing = dir.write("missing.cfg", "previous\n");
    ASSERT_EQ(0, ::chmod(existing.c_str(), 0600));
    mode_t old_mask = ::umask(077);
    EXPECT_STATUS(CFG_OK, Cfg_SaveFile("o", fresh.c_str()));
    EXPECT_STATUS(CFG_OK, Cfg_SaveFile("o", existing.c_str()));
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_SaveFile("nothing", missing.c_str()));
    ::umask(old_mask);
    const std::string expected = lines({"o {", "    x = 1", "}"});
    EXPECT_EQ(expected, cfgtest::read_file(fresh));
    EXPECT_EQ(expected, cfgtest::read_file(existing));
    EXPECT_EQ("", cfgtest::read_file(missing));
    for (const std::string &path : {fresh, existing, missing}) EXPECT_EQ(0644u, mode_of(path)) << path;
}

// Regression: the mode was set on whatever the path named, so a save to a
// device (/dev/null, as root) or a pipe took its permissions away from
// other users. Only a regular file gets mode 0644.
TEST(SaveFile, APipeWrittenThroughKeepsItsMode) {
    put("o.x", "1");
    cfgtest::TempDir dir;
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));
    std::string received;
    std::thread reader([&] { received = cfgtest::read_file(pipe); });
    EXPECT_STATUS(CFG_OK, Cfg_SaveFile("o", pipe.c_str()));
    reader.join();
    EXPECT_EQ(lines({"o {", "    x = 1", "}"}), received);
    EXPECT_EQ(0600u, mode_of(pipe));
}

TEST(SaveFile, FileThatCannotBeOpened) {
    cfgtest::TempDir dir;
    put("o.x", "1");
    const struct {
        std::string path;
        int err;
    } cases[] = {{dir.file("no/such/dir/out.cfg"), ENOENT}, {dir.path(), EISDIR}};
    LogCapture log;
    for (const auto &c : cases) {
        EXPECT_STATUS(ERR_FILE_ACCESS, Cfg_SaveFile("o", c.path.c_str()));
        EXPECT_TRUE(log.has(2, kModule, "Cfg_SaveFile: fopen(" + c.path + ")\n\t\terrno = " + std::to_string(c.err) +
                                            " => \"" + std::strerror(c.err) + "\""))
            << log.dump();
    }
    EXPECT_STATUS(ERR_FILE_ACCESS, Cfg_SaveFile("o", nullptr));
    EXPECT_TRUE(log.contains("Cfg_SaveFile: fopen((null))")) << log.dump();
}

}  // namespace
