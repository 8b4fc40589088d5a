// Tests of the configuration-file loader: the line reader, includes, the
// search path, the load argument, the error handler and the golden files of
// tests/data/load.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "load_support.h"

namespace {

using namespace loadtest;

constexpr int kNoHandler = INT_MIN;

// Direct-mode loads: files, the load argument, the handler's answer and a
// refused store call, and what the tree, the handler and the log show after.
TEST(LoadFile, DirectLoads) {
    using Files = std::vector<std::pair<std::string, std::string>>;
    std::string hundred_and_one;
    for (int i = 0; i < 101; ++i) hundred_and_one += "%v" + std::to_string(i) + "=1\n";
    struct Case {
        const char *label;
        Files files;
        std::string argument;
        int status;
        std::string tree;
        std::vector<std::string> errors;
        int log_level = 0;
        std::string log_text = "";
        int answer = kGoOn;  // the handler's answer, or kNoHandler
        unsigned fault = 0;  // a store call refused once
    };
    // A line of length characters before its newline is read in pieces of 638
    // that count as lines (a newline just after a piece is a read of its own);
    // the stored value is cut to 637 characters.
    auto long_line = [](const char *label, std::size_t length, int bad_line, std::size_t stored,
                        std::vector<std::string> errors) {
        errors.push_back("a.cfg:" + std::to_string(bad_line) + ": CFG_ERR_SYNTAX: bad");
        return Case{label, {{"a.cfg", "v=" + std::string(length - 2, 'x') + "\nbad\n"}}, "a.cfg", CFG_ERR_SYNTAX,
                    "attr v=" + std::string(stored, 'x') + "\n", errors};
    };
    // The handler decides whether the load goes on after each bad line.
    const Files three_bad = {{"a.cfg", "a = 1\nbad1\nb = 2\nbad2\nc = 3\nbad3\n"}};
    const std::vector<std::string> bad1 = {"a.cfg:2: CFG_ERR_SYNTAX: bad1"};
    const std::vector<std::string> bad123 = {bad1[0], "a.cfg:4: CFG_ERR_SYNTAX: bad2", "a.cfg:6: CFG_ERR_SYNTAX: bad3"};
    const std::string bad1_log = "parse_object: syntax error in file 'a.cfg' at line 2\n\t\t'bad1'";
    const Case cases[] = {
        {"comments and blanks", {{"a.cfg", "# c\n   # indented\n\t\n\r\na = 1 # kept\nc = {x}  \t \r\nf =\n"}},
         "a.cfg", 0, "attr a=1 # kept\nattr c={x}\nattr f=\n", {}},
        {"white space of every kind before a line", {{"a.cfg", " \t  \v\f\r b = 2\n\t\t c = 3\n  \t# c\n \t}\nd = 4\n"}},
         "a.cfg", 0, "attr b=2\nattr c=3\n", {}},
        {"'}' at the top ends the file", {{"a.cfg", "a = 1\n  } anything\nb = 2\n"}}, "a.cfg", 0, "attr a=1\n", {}},
        {"a byte order mark before a file's first line is skipped",
         {{"in.cfg", "\xEF\xBB\xBF" "i = 1\n"}, {"a.cfg", "\xEF\xBB\xBF<in.cfg>\n\xEF\xBB\xBF" "b = 2\n"}}, "a.cfg",
         CFG_ERR_SYNTAX, "attr i=1\n", {"a.cfg:2: CFG_ERR_SYNTAX: \xEF\xBB\xBF" "b = 2"}},
        {"line text keeps blanks and references", {{"a.cfg", "%v=x\n   %(v) bad   \n"}}, "a.cfg", CFG_ERR_SYNTAX,
         "", {"a.cfg:2: CFG_ERR_SYNTAX:    %(v) bad"}},
        {"lines are classified after expansion",
         {{"extra.cfg", "from_extra = %(w)\n"}, {"a.cfg", "%inc=<extra.cfg>\n%def=%w=1\n%(def)\n%(inc)\n"}}, "a.cfg",
         0, "attr from_extra=1\n", {}},
        {"variables live to the end of their block",
         {{"a.cfg", "%a=1\nB {\n  %a=2\n  %b=3\n  x = %(a)\n}\ny = %(a)\nz = %(b)\n"}}, "a.cfg",
         CFG_ERR_FILE_REFERENCE, "obj B\n  attr x=2\nattr y=1\n", {"a.cfg:8: CFG_ERR_FILE_REFERENCE: z = %(b)"}},
        {"includes read in the current context with their own line counts",
         {{"inner.cfg", "\n\nport = %(p)\nbad\n"},
          {"outer.cfg", "Net {\n  <inner.cfg,p=80> trailing text ignored\n  after = 1\n}\nbad\n"}},
         "outer.cfg", CFG_ERR_SYNTAX, "obj Net\n  attr port=80\n  attr after=1\n",
         {"inner.cfg,p=80:4: CFG_ERR_SYNTAX: bad", "outer.cfg:5: CFG_ERR_SYNTAX: bad"}},
        {"include without '>'", {{"a.cfg", "A {\n<missing.cfg\nx = 1\n}\ny = 2\n"}}, "a.cfg", CFG_ERR_SYNTAX,
         "obj A\nattr x=1\n", {"a.cfg:2: CFG_ERR_SYNTAX: <missing.cfg"}},
        {"end of file inside a block", {{"a.cfg", "A {\n  b = 1\n  C {\n    d = 2\n"}}, "a.cfg",
         ERR_UNEXPECTED_EOF, "obj A\n  attr b=1\n  obj C\n    attr d=2\n", {}, 5,
         "cfg_load_file: Unexpected EOF in file 'a.cfg'"},
        {"an include that ends inside its block", {{"open.cfg", "A {\n  b = 1\n"}, {"a.cfg", "<open.cfg>\nx = 1\n"}},
         "a.cfg", ERR_UNEXPECTED_EOF, "obj A\n  attr b=1\n", {}},
        // load-argument variables reach includes; ",," is an empty item
        {"load-argument variables", {{"inc.cfg", "inc = %(A)/%(B)\n"}, {"a.cfg", "top = %(A)[%(B)]\n<inc.cfg>\n"}},
         "a.cfg,A=1,,B", 0, "attr top=1[]\nattr inc=1/\n", {}},
        // a variable that cannot be stored ends the block without the handler
        {"101 variables", {{"a.cfg", hundred_and_one + "after = 1\n"}}, "a.cfg", ERR_NO_MEMORY, "", {}, 3,
         "PutEnv: Too many variable definitions (max=100)"},
        {"a name that starts with commas", {{",,lead.cfg", "lead = %(X)\n"}}, ",,lead.cfg,X=y,", 0, "attr lead=y\n",
         {}},
        long_line("638 characters", 638, 2, 636, {}),
        long_line("639 characters", 639, 3, 637, {}),
        long_line("640 characters", 640, 3, 637, {"a.cfg:2: CFG_ERR_SYNTAX: x"}),
        // a positive answer goes on and becomes the load's status
        {"handler goes on", three_bad, "a.cfg", CFG_ERR_SYNTAX, "attr a=1\nattr b=2\nattr c=3\n", bad123, 5, bad1_log},
        // blank, comment and variable lines after it keep the answer as the status
        {"handler answers 7 last", {{"a.cfg", "a = 1\nbad1\n# c\n\n%v=1\n"}}, "a.cfg", 7, "attr a=1\n", bad1, 5,
         bad1_log, 7},
        {"handler stops", three_bad, "a.cfg", CFG_ERR_SYNTAX, "attr a=1\n", bad1, 5, bad1_log, kStop},
        {"handler answers 7", three_bad, "a.cfg", 7, "attr a=1\nattr b=2\nattr c=3\n", bad123, 5, bad1_log, 7},
        {"no handler", three_bad, "a.cfg", CFG_ERR_SYNTAX, "attr a=1\n", {}, 5, bad1_log, kNoHandler},
        // a new attribute is made holding its name, then set
        {"refused append", {{"a.cfg", "a = 1\nb = 2\n"}}, "a.cfg", ERR_CREATE_FAILED, "attr b=2\n",
         {"a.cfg:1: ERR_CREATE_FAILED: a = 1"}, 0, "", kGoOn, DS_FAULT_APPEND},
        {"refused first set", {{"a.cfg", "a = 1\nb = 2\n"}}, "a.cfg", ERR_MODIFY_FAILED, "attr a\nattr b=2\n",
         {"a.cfg:1: ERR_MODIFY_FAILED: a = 1"}, 0, "", kGoOn, DS_FAULT_MODIFY},
        // an object that cannot be made skips its block, not its lines; its '}' ends the file
        {"refused object", {{"a.cfg", "A {\n  x = 1\n}\ny = 2\n"}}, "a.cfg", ERR_CREATE_FAILED, "attr x=1\n",
         {"a.cfg:1: ERR_CREATE_FAILED: A {"}, 0, "", kGoOn, DS_FAULT_APPEND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ConfigDir dir;
        for (const auto &[name, text] : c.files) dir.write(name, text);
        cfgtest::LogCapture log;
        g_answer = c.answer;
        if (c.fault) ds_inject_fault(c.fault, 0, 1);
        EXPECT_STATUS(c.status, load_direct(c.argument, c.answer == kNoHandler ? nullptr : &record_error));
        if (c.fault) ds_inject_fault(c.fault, 0, 0);
        EXPECT_EQ(c.tree, cfgtest::dump_tree());
        EXPECT_EQ(c.errors, g_errors);
        if (c.log_level) {
            EXPECT_TRUE(log.has(c.log_level, "cfg_f_load", c.log_text)) << log.dump();
        }
        clear_tree();
    }
    g_answer = kGoOn;
}

// An error handler that deletes the object of the block being read: the
// block's later lines can make nothing and fail as a deleted start fails.
TEST(LoadFile, ABlockWhoseObjectTheHandlerDeletedMakesNothing) {
    ConfigDir dir;
    dir.write("a.cfg", "A {\n  bad\n  y = 2\n  B {\n}\nz = 3\n");
    CfgLoadErrorHandler deleting = [](const char *file, int line, const char *text, int status) {
        if (status == CFG_ERR_SYNTAX) {
            EXPECT_EQ(0, cfg_delete_item(0, "A"));
        }
        return record_error(file, line, text, status);
    };
    EXPECT_STATUS(CFG_ERR_SYNTAX, load_direct("a.cfg", deleting));
    EXPECT_EQ(lines({"a.cfg:2: CFG_ERR_SYNTAX:   bad", "a.cfg:3: CFG_ERR_BAD_OBJECT:   y = 2",
                     "a.cfg:4: CFG_ERR_BAD_OBJECT:   B {"}),
              g_errors);
    EXPECT_EQ("attr z=3\n", cfgtest::dump_tree());
    clear_tree();
}

TEST(LoadFile, VariablesEndWithTheFileThatDefinedThem) {
    ConfigDir dir;
    dir.write("a.cfg", "%x=1\nB {\n  %y=2\n}\n");
    cfgtree::LoaderState st{};
    st.files = LS_CreateList(sizeof(cfgtree::FileEntry), 0);
    st.contexts = LS_CreateList(sizeof(cfgtree::LoaderContext), 0);
    LS_SetCallback(st.contexts, 2, &cfgtree::FreeContext);
    Cfg_DirectLoad(1);
    EXPECT_STATUS(0, cfgtree::cfg_load_file(&st, "a.cfg,A=1"));
    EXPECT_EQ(0, st.vars.count);
    EXPECT_STATUS(ERR_NO_LOAD_ARGUMENT, cfgtree::cfg_load_file(&st, nullptr));
    EXPECT_STATUS(ERR_NO_LOAD_ARGUMENT, CfgF_LoadFile(nullptr, nullptr));
    LS_DestroyList(st.files);
    LS_DestroyList(st.contexts);
}

// The line counter is a 32-bit int: a file is read up to its line
// 2147483647 and fails there as one that cannot be read on, rather than
// count on past the largest int.
TEST(LoadFile, AFileIsReadNoFurtherThanTheLargestLineNumber) {
    ConfigDir dir;
    const std::string path = dir.write("a.cfg", "a = 1\nb = 2\n");
    cfgtest::LogCapture log;
    cfgtree::LoaderState st{};
    st.files = LS_CreateList(sizeof(cfgtree::FileEntry), 0);
    st.contexts = LS_CreateList(sizeof(cfgtree::LoaderContext), 0);
    LS_SetCallback(st.contexts, 2, &cfgtree::FreeContext);
    FILE *stream = std::fopen(path.c_str(), "r");
    ASSERT_NE(nullptr, stream);
    cfgtree::FileEntry entry{"a.cfg", INT32_MAX - 1, stream, 0, 0, nullptr};  // as if that many lines were read
    ASSERT_NE(nullptr, LS_Add(st.files, 0, 1, &entry, 1));
    Cfg_DirectLoad(1);
    EXPECT_STATUS(ERR_READ_FAILED, cfgtree::parse_object(&st, nullptr));
    char value[8] = "";
    EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("a", value, sizeof value));  // line 2147483647
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_GetAttrValue("b", value, sizeof value));
    EXPECT_TRUE(log.has(3, "cfg_f_load",
                        "parse_object: read error in file 'a.cfg' line 2147483647\n\t\terrno = " +
                            std::to_string(EOVERFLOW) + "  => " + std::strerror(EOVERFLOW)))
        << log.dump();
    std::fclose(stream);
    LS_DestroyList(st.files);
    LS_DestroyList(st.contexts);
    clear_tree();
}

// A stream that hands out its chunks in turn; a null chunk is a read that
// fails with EINTR, as one on a pipe does when a signal comes in.
struct Chunks {
    std::vector<const char *> chunks;
    std::size_t next = 0;
};
ssize_t read_chunk(void *cookie, char *buffer, size_t size) {
    auto *c = static_cast<Chunks *>(cookie);
    if (c->next == c->chunks.size()) return 0;
    const char *chunk = c->chunks[c->next++];
    if (!chunk) {
        errno = EINTR;
        return -1;
    }
    std::size_t n = std::min(size, std::strlen(chunk));
    std::memcpy(buffer, chunk, n);
    return static_cast<ssize_t>(n);
}

// A read interrupted in the middle of a line goes on with that line: the
// part read before the signal is kept, and the line is counted once.
TEST(LoadFile, AnInterruptedReadKeepsThePartOfTheLineItHadRead) {
    cfgtest::LogCapture log;
    g_errors.clear();
    Chunks chunks{{"a = 1", nullptr, "23\nb = 2\nbad\n", nullptr}};
    FILE *stream = fopencookie(&chunks, "r", cookie_io_functions_t{&read_chunk, nullptr, nullptr, nullptr});
    ASSERT_NE(nullptr, stream);
    cfgtree::LoaderState st{};
    st.handler = &record_error;
    st.files = LS_CreateList(sizeof(cfgtree::FileEntry), 0);
    st.contexts = LS_CreateList(sizeof(cfgtree::LoaderContext), 0);
    LS_SetCallback(st.contexts, 2, &cfgtree::FreeContext);
    cfgtree::FileEntry entry{"pipe", 0, stream, 0, 0, nullptr};
    ASSERT_NE(nullptr, LS_Add(st.files, 0, 1, &entry, 1));
    Cfg_DirectLoad(1);
    EXPECT_STATUS(CFG_OK, cfgtree::parse_object(&st, nullptr));
    char value[8] = "";
    EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("a", value, sizeof value));
    EXPECT_STREQ("123", value);
    EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("b", value, sizeof value));
    EXPECT_EQ(lines({"pipe:3: CFG_ERR_SYNTAX: bad"}), g_errors);
    std::fclose(stream);
    LS_DestroyList(st.files);
    LS_DestroyList(st.contexts);
    clear_tree();
}

// Update-mode loads (without a handler): the tables' answer becomes the
// line's status; an initial context (%%) names the whole file, also when
// empty; an include leaves the including file blocked as it found it (a
// filter given to the include alone, or the re-blocking of an include
// inside a matched block, ends with the included file). A direct-mode load
// of the same argument, where a tree is given, makes it from the root.
TEST(LoadFile, UpdateLoads) {
    using Files = std::vector<std::pair<std::string, std::string>>;
    const Files ab = {{"a.cfg", "a = 1\nb = 2\n"}};
    const Files name = {{"name.cfg", "x = 1\nwhere = %(%%)\nB {\n  up = %(%%:-1)\n}\n"}};
    const struct {
        Files files;
        std::string argument;
        int answer;
        std::vector<std::string> updates;
        const char *tree;
    } cases[] = {
        {ab, "a.cfg", ERR_MODIFY_FAILED, {"a=1"}, nullptr},  // a negative answer ends the load
        {name, "name.cfg,%%=Obj", 0, {"Obj.x=1", "Obj.where=Obj", "Obj.B.up=Obj"},
         "attr x=1\nattr where=Obj\nobj B\n  attr up=Obj\n"},
        {name, "name.cfg,%%=", 0, {".x=1", ".where=", ".B.up="}, nullptr},
        {{{"main.cfg", "<in.cfg,@=S.a>\ny = 2\n"}, {"in.cfg", "S {\n  a = 1\n  b = 2\n}\n"}}, "main.cfg", 0,
         {"S.a=1", "y=2"}, nullptr},
        {{{"main.cfg", "A {\n  B {\n    x = 1\n    <in.cfg>\n    w = 4\n  }\n  z = 3\n}\n"}, {"in.cfg", "e = 5\n"}},
         "main.cfg,@=A.B", 0, {"A.B.x=1", "A.B.w=4"}, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument + " answered " + std::to_string(c.answer));
        ConfigDir dir;
        for (const auto &[file, text] : c.files) dir.write(file, text);
        g_update_answer = c.answer;
        EXPECT_STATUS(c.answer, load_update(c.argument, nullptr));
        g_update_answer = 0;
        EXPECT_EQ(c.updates, g_updates);
        if (!c.tree) continue;
        EXPECT_STATUS(0, load_direct(c.argument));
        EXPECT_EQ(c.tree, cfgtest::dump_tree());
        clear_tree();
    }
}

// The mode is read for each definition: a callback that switches direct mode
// on during an update-mode load has the definitions after its own created,
// those of a block opened in update mode (which made no object) from the
// root; a handler that switches it off hands the rest to the tables.
bool g_switch_armed = false;
int switch_to_direct(char *, void *) {
    if (g_switch_armed) (void)Cfg_DirectLoad(1);
    return 0;
}
int switch_to_update(const char *, int, const char *, int) {
    (void)Cfg_DirectLoad(0);
    return 0;
}

TEST(LoadFile, ASwitchOfTheModeDuringALoadTakesEffectAtTheNextDefinition) {
    ConfigDir dir;
    dir.write("m.cfg", "A {\n  x = 1\n  B {\n    y = 2\n  }\n  z = 3\n}\nw = 4\n");
    dir.write("h.cfg", "A {\n  x = 1\n  bad line\n  z = 3\n}\n");
    static CfgUpdateEntry to_direct[] = {{"A.x", nullptr, switch_to_direct, nullptr, nullptr},
                                         {nullptr, nullptr, nullptr, nullptr, nullptr}};
    ASSERT_STATUS(CFG_OK, Cfg_NotifyRegister(to_direct));
    g_switch_armed = true;
    EXPECT_STATUS(CFG_OK, load_update("m.cfg", nullptr));
    g_switch_armed = false;
    EXPECT_EQ(lines({"A.x=1"}), g_updates);
    EXPECT_EQ("obj B\n  attr y=2\nattr z=3\nattr w=4\n", cfgtest::dump_tree());
    clear_tree();
    g_updates.clear();
    EXPECT_STATUS(CFG_ERR_SYNTAX, load_direct("h.cfg", &switch_to_update));
    EXPECT_EQ("obj A\n  attr x=1\n", cfgtest::dump_tree());
    EXPECT_EQ(lines({"A.z=3"}), g_updates);
    clear_tree();
}

// A handler (or callback) that loads its own file again starts a load inside
// the load; those count with includes, so the chain ends 32 files deep.
int g_again_calls = 0;
int load_again(const char *, int, const char *, int) {
    ++g_again_calls;
    return CfgF_LoadFile("again.cfg", &load_again);
}

TEST(LoadFile, IncludesAndLoadsStartedFromAHandlerNestAtMost32FilesDeep) {
    ConfigDir dir;
    dir.write("again.cfg", "x = 1\nbad\n");
    cfgtest::LogCapture log;
    EXPECT_STATUS(CFG_ERR_FILE_REFERENCE, load_direct("again.cfg", &load_again));
    EXPECT_EQ(32, g_again_calls);
    EXPECT_TRUE(log.has(3, "cfg_f_load", "cfg_load_file: include depth exceeds max (32) in file 'again.cfg'"))
        << log.last();
    clear_tree();
    // the count is back to 0: a file that includes itself reads 32 files deep
    dir.write("self.cfg", "%n=%(n)x\nlevel%(n) = 1\n<self.cfg>\nnot_reached = 1\n");
    EXPECT_STATUS(CFG_ERR_FILE_REFERENCE, load_direct("self.cfg,n="));
    EXPECT_TRUE(log.has(3, "cfg_f_load", "cfg_load_file: include depth exceeds max (32) in file 'self.cfg'"))
        << log.last();
    std::string tree = cfgtest::dump_tree();
    EXPECT_EQ(32, std::count(tree.begin(), tree.end(), '\n'));
    EXPECT_NE(std::string::npos, tree.find("attr level" + std::string(32, 'x') + "=1\n"));
    EXPECT_EQ(std::string::npos, tree.find("not_reached"));
    EXPECT_TRUE(g_errors.empty());
}

// Two includes per file would make 2^depth loads: passing the depth bound
// or the budget of files ends the whole load, whatever the handler says.
int g_fan_calls = 0;
int go_on_counting(const char *, int, const char *, int) {
    ++g_fan_calls;
    return 0;
}

TEST(LoadFile, PassingABoundOnFilesEndsTheWholeLoad) {
    ConfigDir dir;
    dir.write("fan.cfg", "A {\n<fan.cfg>\n}\nB {\n<fan.cfg>\n}\nx = 1\n");
    cfgtest::LogCapture log;
    EXPECT_STATUS(CFG_ERR_FILE_REFERENCE, load_direct("fan.cfg", &go_on_counting));
    EXPECT_TRUE(log.has(3, "cfg_f_load", "cfg_load_file: include depth exceeds max (32) in file 'fan.cfg'"))
        << log.last();
    EXPECT_EQ(0, g_fan_calls);
    EXPECT_EQ(std::string::npos, cfgtest::dump_tree().find("attr x=1"));
    clear_tree();
    // files that each include the next twice, within the depth bound
    for (int i = 0; i < 20; ++i) {
        std::string next = "<f" + std::to_string(i + 1) + ".cfg>\n";
        dir.write("f" + std::to_string(i) + ".cfg", next + next + "x" + std::to_string(i) + " = 1\n");
    }
    dir.write("f20.cfg", "y = 1\n");
    EXPECT_STATUS(CFG_ERR_FILE_REFERENCE, load_direct("f0.cfg", &go_on_counting));
    std::string budget = "cfg_load_file: files loaded exceed max (" + std::to_string(CFG_MAX_LOAD_FILES) + ")";
    // (file 10,001 in the order of reading is an include of f19.cfg)
    EXPECT_TRUE(log.has(3, "cfg_f_load", budget + " in file 'f19.cfg'")) << log.dump();
    EXPECT_EQ(0, g_fan_calls);
    EXPECT_EQ(std::string::npos, cfgtest::dump_tree().find("attr x0=1"));  // f0 ended with its include
    clear_tree();
    // the budget belongs to one load: the next starts afresh (63 files)
    EXPECT_STATUS(CFG_OK, load_direct("f14.cfg", nullptr));
    EXPECT_NE(std::string::npos, cfgtest::dump_tree().find("attr x14=1\n"));
}

TEST(LoadFile, TenThousandNestedBlocksEndInAStatus) {
    ConfigDir dir;
    std::string text;
    for (int i = 0; i < 10000; ++i) text += "a {\n";
    text += "x = 1\n";
    for (int i = 0; i < 10000; ++i) text += "}\n";
    dir.write("deep.cfg", text);
    cfgtest::LogCapture log;
    EXPECT_STATUS(CFG_ERR_SYNTAX, load_direct("deep.cfg", nullptr));
    EXPECT_TRUE(log.has(3, "cfg_f_load", "store_definition: blocks nest deeper than 256 in file 'deep.cfg' line 257"))
        << log.last();
    // With a handler that lets it go on, every line is read once.
    EXPECT_STATUS(CFG_ERR_SYNTAX, load_update("deep.cfg"));
    EXPECT_EQ(10000u - 256u, g_errors.size());
}

// A file of 128 KiB and more makes the store take its memory in huge pages
// from its first block on (a test case runs in a fresh process): every
// value reads back, and a second load of the file finds every name.
TEST(LoadFile, ALargeFileLoadsEveryValue) {
    ConfigDir dir;
    // Past 16,384 lines a block asks the store ahead for each name's index
    // entry: attributes, and (every tenth line) objects.
    constexpr int kCount = 20000;
    std::string text = "Big {\n";
    for (int i = 0; i < kCount; ++i) {
        text += "  a" + std::to_string(i) + " = v" + std::to_string(i * 7) + "\n";
        if (i % 10 == 0) text += "  o" + std::to_string(i) + " {\n    x = 1\n  }\n";
    }
    text += "}\n";
    ASSERT_GE(text.size(), 128u * 1024);
    dir.write("big.cfg", text);
    for (int pass = 0; pass < 2; ++pass) ASSERT_STATUS(0, load_direct("big.cfg", nullptr));
    char value[640];
    for (int i = 0; i < kCount; ++i) {
        std::string id = "Big.a" + std::to_string(i);
        ASSERT_STATUS(0, Cfg_GetAttrValue(id.c_str(), value, sizeof value));
        ASSERT_EQ("v" + std::to_string(i * 7), value) << id;
    }
    std::string tree = cfgtest::dump_tree();
    EXPECT_STATUS(0, Cfg_GetAttrValue("Big.o19990.x", value, sizeof value));
    // The second load made no namesakes: Big, its attributes, and per object two lines.
    EXPECT_EQ(kCount + 1 + kCount / 10 * 2, std::count(tree.begin(), tree.end(), '\n'));
    // In update mode a table that stores each line by its name makes the same tree.
    clear_tree();
    g_update_stores = true;
    EXPECT_STATUS(0, load_update("big.cfg", nullptr));
    g_update_stores = false;
    EXPECT_EQ(tree, cfgtest::dump_tree());
}

TEST(LoadFile, TheFilterStoresOnlyWhatMatches) {
    struct Case {
        const char *filter;
        std::vector<std::string> updates;
        const char *tree;  // direct mode: matched items are made from the root
    } cases[] = {
        {"A.B", {"A.B.y=2"}, "obj B\n  attr y=2\n"},
        {"A.x", {"A.x=1"}, "attr x=1\n"},
        {"Q", {}, ""},
        // an empty filter filters nothing
        {"", {"A.x=1", "A.B.y=2", "A.z=3"}, "obj A\n  attr x=1\n  obj B\n    attr y=2\n  attr z=3\n"},
    };
    for (const Case &c : cases) {
        ConfigDir dir;
        dir.write("f.cfg", "A {\n  x = 1\n  B {\n    y = 2\n  }\n  z = 3\n}\n");
        cfgtest::LogCapture log;
        EXPECT_STATUS(0, load_update(std::string("f.cfg,@=") + c.filter));
        EXPECT_EQ(c.updates, g_updates) << c.filter;
        const bool filtered = *c.filter != '\0';
        EXPECT_EQ(filtered, log.has(6, "cfg_f_load", std::string("Filtering file load for '") + c.filter + "'"));
        EXPECT_EQ(filtered, log.has(10, "cfg_f_load", "parse_object(<NULL>, blocked=TRUE)"));
        EXPECT_STATUS(0, load_direct(std::string("f.cfg,@=") + c.filter));
        EXPECT_EQ(c.tree, cfgtest::dump_tree()) << c.filter;
        clear_tree();
    }
}

// The descriptors this process holds open (the count's own included).
std::size_t open_descriptors() {
    auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

TEST(LoadFile, AReadErrorEndsTheLoad) {
    ConfigDir dir;
    ASSERT_EQ(0, mkdir(dir.dir.file("folder.cfg").c_str(), 0755));
    EXPECT_STATUS(ERR_READ_FAILED, load_direct("folder.cfg"));
}

// However a load ends, every file it opened (a regular file through its
// descriptor, anything else through a stream) is closed.
TEST(LoadFile, EveryEndClosesTheFilesItOpened) {
    ConfigDir dir;
    ASSERT_EQ(0, mkdir(dir.dir.file("folder.cfg").c_str(), 0755));
    dir.write("ok.cfg", "A {\n  a = 1\n}\n");
    dir.write("bad.cfg", "A {\n  bad\n}\n");
    dir.write("open.cfg", "A {\n  a = 1\n");
    dir.write("inc.cfg", "<ok.cfg>\n<missing.cfg>\n<folder.cfg>\n<self.cfg>\n");
    dir.write("self.cfg", "<self.cfg>\n");
    dir.write("range.cfg", "R[1..3] {\n  <ok.cfg>\n  v = 1\n}\n");
    const struct {
        const char *file;
        int status;
    } cases[] = {
        {"ok.cfg", CFG_OK},           {"bad.cfg", CFG_ERR_SYNTAX},         {"open.cfg", ERR_UNEXPECTED_EOF},
        {"missing.cfg", ERR_FILE_ACCESS}, {"folder.cfg", ERR_READ_FAILED}, {"inc.cfg", ERR_FILE_ACCESS},
        {"self.cfg", CFG_ERR_FILE_REFERENCE}, {"range.cfg", CFG_OK},
    };
    const std::size_t descriptors = open_descriptors();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        cfgtest::LogCapture log;
        EXPECT_STATUS(c.status, load_direct(c.file));
        EXPECT_EQ(descriptors, open_descriptors());
        clear_tree();
    }
}

TEST(LoadFile, BinaryJunkWithNulsNeverBreaksTheReader) {
    std::mt19937 random(12345);
    for (int round = 0; round < 20; ++round) {
        ConfigDir dir;
        std::string junk;
        for (int i = 0; i < 4000; ++i) {
            int r = static_cast<int>(random() % 64);
            junk += r < 4 ? '\0' : r < 8 ? '\n' : r < 10 ? '{' : r < 12 ? '}' : r < 14 ? '=' : r < 16 ? '[' :
                   r < 17 ? '%' : r < 18 ? '<' : static_cast<char>(random() % 256);
        }
        dir.write("junk.cfg", junk);
        EXPECT_LE(load_direct("junk.cfg"), 0);
        EXPECT_LE(load_update("junk.cfg", nullptr), 0);
        clear_tree();
    }
}

// ---- the line reader at its read-ahead block's end -------------------------

constexpr std::size_t kBlock = cfgtree::ReadAhead::kSize;  // a regular file's first read

// Comment lines that fill a file up to byte at, and how many there are.
struct Padding {
    std::string text;
    int lines = 0;
};
Padding padding_to(std::size_t at) {
    Padding pad;
    while (pad.text.size() < at) {
        const std::size_t left = at - pad.text.size();
        const std::size_t n = left > 100 ? 100 : left;  // bytes of this line, its '\n' in
        pad.text += n == 1 ? "\n" : "#" + std::string(n - 2, 'p') + "\n";
        ++pad.lines;
    }
    return pad;
}

// A line placed across the end of the first block a regular file is read
// in (it starts at the block's end less back) is read as if it were not
// there: its pieces, their text up to a NUL, and the line count after it.
TEST(LoadFile, ALineAcrossTheReadAheadBlocksEndReadsWhole) {
    const std::string nul(1, '\0');
    const std::string long_value(700, 'v');  // a piece of 639 bytes, then one of 64
    struct Case {
        const char *label;
        std::string line;
        std::size_t back;  // where the line starts: this many bytes before the block's end
        std::string tree;
        std::vector<std::string> pieces;  // errors of the pieces after the first, by line
    } cases[] = {
        {"a definition across the end", "x = 12345678\n", 5, "attr x=12345678\n", {}},
        {"its newline the block's last byte", "x = 12345678\n", 13, "attr x=12345678\n", {}},
        {"its newline the next block's first byte", "x = 12345678\n", 12, "attr x=12345678\n", {}},
        {"its first byte the next block's first", "x = 12345678\n", 0, "attr x=12345678\n", {}},
        {"a CR LF end across the end", "x = 1\r\n", 6, "attr x=1\n", {}},
        {"a long line's first piece across the end", "x=" + long_value + "\n", 300,
         "attr x=" + std::string(637, 'v') + "\n", {std::string(63, 'v')}},
        {"a long line's second piece across the end", "x=" + long_value + "\n", 660,
         "attr x=" + std::string(637, 'v') + "\n", {std::string(63, 'v')}},
        // the blanks before a NUL end the line's text
        {"a NUL as the block's last byte", "x = ab " + nul + "c=d\n", 8, "attr x=ab\n", {}},
        {"a NUL as the next block's first byte", "x = ab " + nul + "c=d\n", 7, "attr x=ab\n", {}},
        // a NUL counts toward its piece's 639 bytes
        {"a NUL in a long line", "x=" + std::string(300, 'a') + nul + std::string(400, 'y') + "\n", 500,
         "attr x=" + std::string(300, 'a') + "\n", {std::string(64, 'y')}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ConfigDir dir;
        Padding pad = padding_to(kBlock - c.back);
        dir.write("b.cfg", pad.text + c.line + "bad\n");
        std::vector<std::string> errors;
        int line = pad.lines + 2;
        for (const std::string &piece : c.pieces)
            errors.push_back("b.cfg:" + std::to_string(line++) + ": CFG_ERR_SYNTAX: " + piece);
        errors.push_back("b.cfg:" + std::to_string(line) + ": CFG_ERR_SYNTAX: bad");
        EXPECT_STATUS(CFG_ERR_SYNTAX, load_direct("b.cfg"));
        EXPECT_EQ(c.tree, cfgtest::dump_tree());
        EXPECT_EQ(errors, g_errors);
        clear_tree();
    }
}

// Writes text into the FIFO at path once a reader has opened it.
void feed_fifo(const std::string &path, const std::string &text) {
    // Without a reader an open for writing fails at once: try for a while.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int fd = -1;
    while ((fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (fd < 0) return;
    ASSERT_EQ(0, fcntl(fd, F_SETFL, 0));  // a reader is there: wait for room from now on
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        ASSERT_GT(n, 0);
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

// A regular file is read ahead in blocks, a pipe a line at a time: both
// hand out the same pieces, so the same text loads the same way through
// either. The text has lines of every length up to 719 bytes (a piece of
// 638, 639 or 640 among them), NULs, CR LF ends, byte order marks on its
// first two lines and a last line without a newline, across many blocks.
TEST(LoadFile, AFileAndAPipeOfTheSameTextLoadAlike) {
    std::string text = "\xEF\xBB\xBF" "first = 1\r\n" "\xEF\xBB\xBF" "second = 2\n";
    for (int i = 0; i < 720; ++i) {
        std::string line = "k" + std::to_string(i) + " = ";
        const std::size_t length = static_cast<std::size_t>(i) * 97 % 720;  // each length once
        while (line.size() < length) line += static_cast<char>('a' + line.size() % 26);
        if (i % 7 == 3 && !line.empty()) line[static_cast<std::size_t>(i) * 31 % line.size()] = '\0';
        text += line + (i % 5 == 0 ? "\r\n" : "\n");
    }
    text += "last = no newline";
    ASSERT_GT(text.size(), 10 * kBlock);
    ConfigDir dir;
    dir.write("f.cfg", text);
    EXPECT_STATUS(CFG_ERR_SYNTAX, load_direct("f.cfg"));
    const std::string from_file = cfgtest::dump_tree();
    std::vector<std::string> file_errors = g_errors;
    clear_tree();
    g_errors.clear();
    const std::string fifo = dir.path() + "/p.cfg";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::thread writer(feed_fifo, fifo, text);
    EXPECT_STATUS(CFG_ERR_SYNTAX, load_direct("p.cfg"));
    writer.join();
    EXPECT_EQ(from_file, cfgtest::dump_tree());
    for (std::string &error : g_errors) error.replace(0, 1, "f");
    EXPECT_EQ(file_errors, g_errors);
    EXPECT_GT(file_errors.size(), 50u);
    EXPECT_NE(std::string::npos, from_file.find("attr last=no newline\n"));
    clear_tree();
}

// A block range reads its block again for each index: a block longer than
// the read-ahead block goes back to its range line after the reader has
// moved on past it, with the line counter.
TEST(LoadFile, ABlockRangeLongerThanTheReadAheadBlockReadsItAgain) {
    ConfigDir dir;
    Padding pad = padding_to(kBlock - 4);  // the range line itself crosses the block's end
    std::string text = pad.text + "R[1..3] {\n";
    std::string expected_block;
    for (int i = 0; text.size() < pad.text.size() + 3 * kBlock; ++i) {
        text += "  a" + std::to_string(i) + " = " + std::to_string(i * 3) + "\n";
        expected_block += "  attr a" + std::to_string(i) + "=" + std::to_string(i * 3) + "\n";
    }
    const int last_line = pad.lines + 1 + static_cast<int>(std::count(expected_block.begin(), expected_block.end(), '\n'));
    text += "  bad\n}\nafter = 1\n";
    dir.write("r.cfg", text);
    EXPECT_STATUS(CFG_ERR_SYNTAX, load_direct("r.cfg"));
    std::string tree;
    for (int r = 1; r <= 3; ++r) tree += "obj R[" + std::to_string(r) + "]\n" + expected_block;
    EXPECT_EQ(tree + "attr after=1\n", cfgtest::dump_tree());
    const std::string bad = "r.cfg:" + std::to_string(last_line + 1) + ": CFG_ERR_SYNTAX:   bad";
    EXPECT_EQ(std::vector<std::string>(3, bad), g_errors);
    clear_tree();
}

TEST(LoadFile, EveryFailedAllocationEndsInNoMemory) {
    ConfigDir dir;
    dir.write("inc.cfg", "Inc[k=a,b] {\n  v = %(k)\n}\n");
    dir.write("a.cfg", "%v=1\n%(top) {\n  x = %(v)\n  R[1..2] {\n    y = 2\n  }\n"
                       "  R[i=1..2] {\n    z = %(i)\n  }\n  <inc.cfg>\n}\n");
    bool scratch_said = false;  // the loader's working buffers are named when they cannot be had
    const std::size_t descriptors = open_descriptors();
    for (int k = 0;; ++k) {
        cfgtest::LogCapture log;
        cfg_inject_alloc_fault(k, 1);
        int status = load_direct("a.cfg,top=T" + std::to_string(k), nullptr);
        cfg_inject_alloc_fault(0, 0);
        ASSERT_EQ(descriptors, open_descriptors()) << "every file opened is closed, at failure " << k;
        if (status == 0) {
            EXPECT_GT(k, 5);
            break;
        }
        ASSERT_EQ(ERR_NO_MEMORY, status) << k << log.dump();
        scratch_said = scratch_said || log.contains("cfg_load_file: scratch malloc(");
        ASSERT_LT(k, 500);
    }
    EXPECT_TRUE(scratch_said);
}

// A definition whose name buffer cannot be had fails with ERR_NO_MEMORY and
// no message, its line going to the error handler. Blocks nest until the
// loader's working memory needs a second piece, with a range definition at
// every level (its copy of the line's rest sits below the name buffer of
// each index), so that at the eighth the name buffer is what needs it (the
// reached check fails should the layout change).
TEST(LoadFile, ADefinitionWhoseNameBufferCannotBeHadFailsSilently) {
    ConfigDir dir;
    std::string text, close;
    for (int level = 1; level <= 8; ++level) {
        std::string indent(2 * (level - 1), ' ');
        text += indent + "b" + std::to_string(level) + std::string(70, 'n') + " {\n";
        text += indent + "  x[1] = " + std::string(400, 'v') + "\n";
        close = indent + "}\n" + close;
    }
    dir.write("n.cfg", text + close);
    bool reached = false;  // a definition failed with nothing logged
    for (int k = 0;; ++k) {
        cfgtest::LogCapture log;
        g_errors.clear();
        cfg_inject_alloc_fault(k, 1);
        int status = load_direct("n.cfg", &record_error);
        cfg_inject_alloc_fault(0, 0);
        clear_tree();
        if (status == 0) break;
        ASSERT_EQ(ERR_NO_MEMORY, status) << k << log.dump();
        bool definition_failed = false;
        for (const std::string &e : g_errors)
            definition_failed = definition_failed || (e.find("ERR_NO_MEMORY:") != std::string::npos &&
                                                      e.find(" x[1] = ") != std::string::npos);
        if (definition_failed) {
            EXPECT_FALSE(log.contains("scratch malloc")) << k << log.dump();
        }
        reached = reached || (definition_failed && log.at_most(3).empty());
        ASSERT_LT(k, 500);
    }
    EXPECT_TRUE(reached);
}

// ---- locating files ----------------------------------------------------------

// A load started from a log sink while a line is expanded (another thread's
// load is the same case) has its own file variables: the outer line goes on
// with the outer load's.
void load_inner_on_report(void *, int, const char *, int, const char *message) {
    static bool done = false;
    if (done || !std::strstr(message, "not defined")) return;
    done = true;
    EXPECT_STATUS(0, CfgF_LoadFile("inner.cfg", nullptr));
}

TEST(LoadFile, ALoadFromALogSinkKeepsItsOwnVariables) {
    ConfigDir dir;
    dir.write("outer.cfg", "%x=outer\nr = %(undefined)%(x)\n");
    dir.write("inner.cfg", "%y=inner\nq = %(y)\n");
    Cfg_DirectLoad(1);
    {
        cfgtest::ScopedSink sink(load_inner_on_report, nullptr);
        EXPECT_STATUS(0, CfgF_LoadFile("outer.cfg", nullptr));
    }
    EXPECT_EQ("attr q=inner\nattr r=outer\n", cfgtest::dump_tree());
}

TEST(LocateFile, TheFirstListedDirectoryWithAReadableFileWins) {
    cfgtest::TempDir a, b;
    b.write("name.cfg", "");
    cfgtest::ScopedEnv env("CONFIG_PATH", (":" + a.path() + "::" + b.path() + ":").c_str());
    cfgtree::reset_search_path();
    cfgtest::LogCapture log;
    char out[cfgtree::kPathSize] = {};
    EXPECT_STATUS(0, cfg_locate_file("name.cfg", out, sizeof out));
    EXPECT_EQ(b.file("name.cfg"), out);
    EXPECT_TRUE(log.has(5, "cfg_f_load", "cfg_locate_file: stat(" + a.file("name.cfg") + "): errno = 2"));
    EXPECT_TRUE(log.has(1, "cfg_f_load", "CONFIG_PATH = :" + a.path() + "::" + b.path() + ":"));
    // The path is read once: later calls log nothing about it.
    log.clear();
    EXPECT_STATUS(0, cfg_locate_file("name.cfg", nullptr, 0));
    EXPECT_FALSE(log.contains("CONFIG_PATH"));
    // A small out gets the start of the path.
    char small[5];
    EXPECT_STATUS(0, cfg_locate_file("name.cfg", small, sizeof small));
    EXPECT_EQ(b.file("name.cfg").substr(0, 4), small);
}

// The path is kept as it was when first read, whatever the program does to
// its environment's text later (here: its own buffer, changed, then taken
// out of the environment and released).
TEST(LocateFile, TheSearchPathIsCopiedWhenFirstRead) {
    cfgtest::TempDir a, b;
    a.write("only-a.cfg", "");
    b.write("only-b.cfg", "");
    ASSERT_EQ(a.path().size(), b.path().size());
    cfgtest::ScopedEnv restore("CONFIG_PATH", nullptr);
    auto entry = std::make_unique<std::string>("CONFIG_PATH=" + a.path());
    ASSERT_EQ(0, putenv(entry->data()));
    cfgtree::reset_search_path();
    EXPECT_STATUS(0, cfg_locate_file("only-a.cfg", nullptr, 0));
    entry->replace(std::strlen("CONFIG_PATH="), b.path().size(), b.path());
    EXPECT_STATUS(0, cfg_locate_file("only-a.cfg", nullptr, 0));
    EXPECT_STATUS(ERR_FILE_ACCESS, cfg_locate_file("only-b.cfg", nullptr, 0));
    ASSERT_EQ(0, unsetenv("CONFIG_PATH"));
    entry.reset();
    EXPECT_STATUS(0, cfg_locate_file("only-a.cfg", nullptr, 0));
    cfgtree::reset_search_path();
}

// An empty search path finds no relative name, not even in the current
// directory; without a search path the current directory is used.
TEST(LocateFile, EmptyAndMissingSearchPaths) {
    cfgtest::TempDir dir;
    std::string path = dir.write("x.cfg", "");
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    char out[cfgtree::kPathSize];
    {
        cfgtest::ScopedEnv env("CONFIG_PATH", "");
        cfgtree::reset_search_path();
        cfgtest::LogCapture log;
        EXPECT_STATUS(ERR_FILE_ACCESS, cfg_locate_file("x.cfg", nullptr, 0));
        EXPECT_TRUE(log.at_most(6).size() <= 1u) << log.dump();  // only "CONFIG_PATH = "
        // An absolute name is tried as it is.
        EXPECT_STATUS(0, cfg_locate_file(path.c_str(), out, sizeof out));
        EXPECT_EQ(path, out);
    }
    cfgtest::ScopedEnv env("CONFIG_PATH", nullptr);
    cfgtree::reset_search_path();
    cfgtest::LogCapture log;
    EXPECT_STATUS(0, cfg_locate_file("x.cfg", out, sizeof out));
    EXPECT_STREQ("x.cfg", out);
    EXPECT_STATUS(ERR_FILE_ACCESS, cfg_locate_file("gone.cfg", out, sizeof out));
    EXPECT_TRUE(log.has(5, "cfg_f_load", "cfg_locate_file: stat(gone.cfg): errno = 2"));
    EXPECT_TRUE(log.has(1, "cfg_f_load", "CONFIG_PATH = <NULL>"));
    ASSERT_EQ(0, chdir(cwd));
}

TEST(LocateFile, RefusalsAreLogged) {
    ConfigDir dir;
    std::string path = dir.write("locked.cfg", "a = 1\n");
    ASSERT_EQ(0, chmod(path.c_str(), 0244));  // only the owner's read bit counts
    cfgtest::LogCapture log;
    EXPECT_STATUS(ERR_FILE_ACCESS, cfg_locate_file("locked.cfg", nullptr, 0));
    EXPECT_TRUE(log.has(5, "cfg_f_load", "cfg_locate_file: file '" + path + "' is not readable"));
    ASSERT_EQ(0, chmod(path.c_str(), 0400));
    EXPECT_STATUS(0, cfg_locate_file("locked.cfg", nullptr, 0));
    // overlong paths are refused, not cut
    std::string name(4095 - dir.path().size(), 'n');  // one more than fits with the '/'
    EXPECT_STATUS(ERR_FILE_ACCESS, cfg_locate_file(name.c_str(), nullptr, 0));
    EXPECT_TRUE(log.contains("exceeds 4095 characters")) << log.dump();
    EXPECT_STATUS(ERR_FILE_ACCESS, cfg_locate_file(("/" + std::string(4095, 'a')).c_str(), nullptr, 0));
    EXPECT_STATUS(ERR_FILE_ACCESS, load_direct(name));
}

// Without memory for the copy of the search path, a relative name cannot
// be searched, while an absolute one is found as it is, with no word of a
// copy it does not need. The path is logged once, before its first copy,
// and copied at the next call.
TEST(LocateFile, NoCopyOfTheSearchPathStillFindsAnAbsoluteName) {
    ConfigDir dir;
    std::string path = dir.write("a.cfg", "a = 1\n");
    char out[4096];
    cfgtest::LogCapture log;
    {
        cfgtest::AllocFault fault(0, 1);
        EXPECT_STATUS(0, cfg_locate_file(path.c_str(), out, sizeof out));
    }
    EXPECT_EQ(path, out);
    {
        cfgtest::AllocFault fault(0, 1);  // nor does a NULL name need it
        EXPECT_STATUS(ERR_FILE_ACCESS, cfg_locate_file(nullptr, out, sizeof out));
    }
    EXPECT_EQ(path, out);
    EXPECT_FALSE(log.contains("strdup")) << log.dump();
    {
        cfgtest::AllocFault fault(0, 1);
        EXPECT_STATUS(ERR_NO_MEMORY, cfg_locate_file("a.cfg", out, sizeof out));
    }
    EXPECT_TRUE(log.contains("cfg_locate_file: strdup(envPath) failed\n\t\terrno = 12  => ")) << log.dump();
    EXPECT_TRUE(log.has(1, "cfg_f_load", "CONFIG_PATH = " + dir.path())) << log.dump();
    EXPECT_STATUS(0, cfg_locate_file("a.cfg", out, sizeof out));
    std::string all = log.dump();
    std::size_t first = all.find("CONFIG_PATH = ");
    EXPECT_EQ(std::string::npos, all.find("CONFIG_PATH = ", first + 1)) << all;
}

// The first lookup logs the search path with the store unlocked: a log
// sink may wait for a thread that uses the library.
std::atomic<bool> g_sink_waited{false};
void waiting_sink(void *, int level, const char *, int, const char *message) {
    if (level != 1 || std::strncmp(message, "CONFIG_PATH = ", 14) != 0) return;
    auto other = std::async(std::launch::async, [] {
        cfg_handle h = 0;
        (void)Cfg_Find("x", &h);
    });
    if (other.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
        std::fputs("the search path was logged under the store lock: deadlock\n", stderr);
        std::_Exit(1);
    }
    g_sink_waited = true;
}

TEST(LocateFile, TheSearchPathIsLoggedWithTheStoreUnlocked) {
    ConfigDir dir;
    {
        cfgtest::ScopedSink sink(waiting_sink, nullptr);
        EXPECT_STATUS(ERR_FILE_ACCESS, cfg_locate_file("none.cfg", nullptr, 0));
    }
    EXPECT_TRUE(g_sink_waited.load());
}

// ---- golden files: tests/data/load/NNN-topic.cfg loads (direct mode, the
// handler goes on) to NNN-topic.tree, with NNN-topic.log holding the handler
// calls and "= STATUS" when a line fails. CFGTREE_UPDATE_GOLDEN=1 rewrites them.

std::vector<std::string> golden_names() {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(CFGTREE_TEST_DATA "/load"))
        if (entry.path().extension() == ".cfg") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Golden : public ::testing::TestWithParam<std::string> {};

TEST_P(Golden, LoadsToTheExpectedTree) {
    const std::string folder = CFGTREE_TEST_DATA "/load/";
    cfgtest::ScopedEnv env("CONFIG_PATH", folder.c_str());
    cfgtree::reset_search_path();
    g_errors.clear();
    int status = load_direct(GetParam() + ".cfg");
    std::string log;
    for (const std::string &e : g_errors) log += e + "\n";
    if (!log.empty() || status != 0) log += std::string("= ") + Cfg_StatusName(status) + "\n";
    if (std::getenv("CFGTREE_UPDATE_GOLDEN")) {  // rewrite the expectations after a reviewed change
        std::ofstream(folder + GetParam() + ".tree") << cfgtest::dump_tree();
        if (!log.empty()) std::ofstream(folder + GetParam() + ".log") << log;
    }
    std::ifstream expected_log(folder + GetParam() + ".log");
    EXPECT_EQ(expected_log ? cfgtest::read_file(folder + GetParam() + ".log") : "", log);
    EXPECT_EQ(cfgtest::read_file(folder + GetParam() + ".tree"), cfgtest::dump_tree());
}

INSTANTIATE_TEST_SUITE_P(Files, Golden, ::testing::ValuesIn(golden_names()),
                         [](const auto &info) {
                             std::string name = info.param;
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return name;
                         });

}  // namespace
