// Tests of definition lines: names, quoting, index ranges, range variables
// and blocks that are read once for each index. Most cases load a small
// file in update mode and compare the texts that reach the update tables.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "load_support.h"

namespace {

using namespace loadtest;

struct Outcome {
    int status;
    std::vector<std::string> updates;
};

// Loads text as a file in update mode without an error handler.
Outcome load_text(const std::string &text) {
    ConfigDir dir;
    dir.write("r.cfg", text);
    int status = load_update("r.cfg", nullptr);
    return {status, g_updates};
}

void expect_outcome(const std::string &text, int status, const std::vector<std::string> &updates) {
    Outcome got = load_text(text);
    EXPECT_EQ(status, got.status) << text << " -> " << Cfg_StatusName(got.status);
    EXPECT_EQ(updates, got.updates) << text;
}

TEST(DefinitionLines, WhatReachesTheUpdateTables) {
    std::string hundred;  // as many variables as a load holds
    for (int i = 0; i < 100; ++i) hundred += "%v" + std::to_string(i) + "=1\n";
    struct Case {
        std::string text;
        int status;
        std::vector<std::string> updates;
        int answer = 0;  // what the update table answers
    } cases[] = {
        // quotes: the value runs to the last quote, and each index of a range
        // reads it whole
        {"v = \"ab", CFG_ERR_SYNTAX, {}},
        {"v = \"a \"b\" c\"  ", 0, {"v=a \"b\" c"}},
        {"A[1,2].b[c..d,e] = \" x \"", 0, {"A[1].b[c..d]= x ", "A[1].b[e]= x ", "A[2].b[c..d]= x ", "A[2].b[e]= x "}},
        {"A[1..2] = \"%(x)\"", CFG_ERR_FILE_REFERENCE, {}},
        {"bad$ = \"v\"", CFG_ERR_SYNTAX, {}},
        {"A[1,2].b$ = \"v\"", CFG_ERR_SYNTAX, {}},
        // names
        {".a = 1", 0, {".a=1"}},  // empty segments pass unchecked
        {"a b = 1", 0, {"ab=1"}},  // a segment is checked up to its first blank
        {"bad$ = 1", CFG_ERR_SYNTAX, {}},
        {"no value", CFG_ERR_SYNTAX, {}},
        {"= 1", 0, {"=1"}},  // an empty name goes to the tables as it is
        {"A {\n= 1\n}", 0, {"A.=1"}},
        {"{\nx = 1\n}", 0, {".x=1"}},
        {"A {   \t\nx = 1\n}", 0, {"A.x=1"}},
        // numeric and text ranges
        {"A[-1..1] = 0", 0, {"A[-1]=0", "A[0]=0", "A[1]=0"}},
        {"A[1..2,x,5..4] = 0", 0, {"A[1]=0", "A[2]=0", "A[x]=0", "A[5]=0", "A[4]=0"}},
        {"A [1..2] = 0", 0, {"A[1]=0", "A[2]=0"}},
        {"A[0x..2,0x1..0x2] = 0", 0, {"A[0x..2]=0", "A[1]=0", "A[2]=0"}},  // a "0x" without digits is text
        {"A[1..2]", CFG_ERR_SYNTAX, {}},
        {"A[1..2] junk", CFG_ERR_SYNTAX, {}},
        {"b$[1..2] = 0", CFG_ERR_SYNTAX, {}},
        // range variables hold the current index and end with their range;
        // the range line itself is expanded before the range is read
        {"A[i=1..2].v[j=x,y] {\n  k = %(i)%(j)\n}\n", 0,
         {"A[1].v[x].k=1x", "A[1].v[y].k=1y", "A[2].v[x].k=2x", "A[2].v[y].k=2y"}},
        {"%i=outer\nA[i=1..2] = %(i)\nafter = %(i)\n", 0, {"A[1]=outer", "A[2]=outer", "after=outer"}},
        {"A[i=1..2] = 0\nafter = %(i)\n", CFG_ERR_FILE_REFERENCE, {"A[1]=0", "A[2]=0"}},
        {hundred + "A[i=1..2] = 0\n", ERR_NO_MEMORY, {}},  // no room for the variable
        {hundred + "A[1..2] = 0\n", 0, {"A[1]=0", "A[2]=0"}},
        // a negative answer stops the numeric series at once; a positive one
        // finishes the series but ends the list
        {"A[1..3,x] = 0\n", ERR_MODIFY_FAILED, {"A[1]=0"}, ERR_MODIFY_FAILED},
        {"A[1..3,x] = 0\n", CFG_NOT_CREATED, {"A[1]=0", "A[2]=0", "A[3]=0"}, CFG_NOT_CREATED},
    };
    for (const Case &c : cases) {
        g_update_answer = c.answer;
        expect_outcome(c.text, c.status, c.updates);
    }
    g_update_answer = 0;
}

// Each index reads the block's lines again and counts them again; a later
// index that fails is reported at the range line, since the stream and the
// line counter go back there before each index, as for the first (the
// block's lines are then read outside the range).
TEST(DefinitionLines, EachIndexGoesBackToTheRangeLine) {
    const std::string item(130, 'y');  // too long for the range variable's entry
    struct Case {
        std::string text;
        std::vector<std::string> errors, updates;
    } cases[] = {
        {"R[1..3] {\n  bad\n}\nlast bad\n",
         {"r.cfg:2: CFG_ERR_SYNTAX:   bad", "r.cfg:2: CFG_ERR_SYNTAX:   bad", "r.cfg:2: CFG_ERR_SYNTAX:   bad",
          "r.cfg:4: CFG_ERR_SYNTAX: last bad"},
         {}},
        {"A[i=x," + item + "] {\n  v = %(i)\n}\n",
         {"r.cfg:1: CFG_ERR_SYNTAX: A[i=x," + item + "] {", "r.cfg:2: CFG_ERR_FILE_REFERENCE:   v = %(i)"},
         {"A[x].v=x"}},
    };
    for (const Case &c : cases) {
        ConfigDir dir;
        dir.write("r.cfg", c.text);
        EXPECT_STATUS(CFG_ERR_SYNTAX, load_update("r.cfg"));
        EXPECT_EQ(c.errors, g_errors);
        EXPECT_EQ(c.updates, g_updates);
    }
}

// A stream that cannot be repositioned (a pipe) expands a range whose
// indexes read no lines; a block in a range needs the stream to go back.
TEST(DefinitionLines, RangesInAPipeFailOnlyWhereTheStreamMustGoBack) {
    ConfigDir dir;
    const std::string path = dir.path() + "/p.cfg";
    ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    std::thread writer([&] {
        // Without a reader an open for writing fails at once: try for a while.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int fd = -1;
        while ((fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (fd < 0) return;
        const std::string text = "A[1..2] = 0\nB[1..2] {\n  x = 1\n}\nz = 1\n";
        EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
        close(fd);
    });
    cfgtest::LogCapture log;
    EXPECT_STATUS(ERR_READ_FAILED, load_update("p.cfg"));
    writer.join();
    EXPECT_EQ(lines({"A[1]=0", "A[2]=0", "B[1].x=1", "z=1"}), g_updates);
    // The stream stays after the block, and so does the line counter.
    EXPECT_EQ(lines({"p.cfg:4: ERR_READ_FAILED: B[1..2] {"}), g_errors);
    EXPECT_TRUE(log.contains("parse_definition: cannot reposition file 'p.cfg'\n\t\terrno = " +
                             std::to_string(ESPIPE)))
        << log.dump();
}

TEST(DefinitionLines, OverlongNamesAndValuesAreRefused) {
    cfgtest::LogCapture log;
    // The full name in a block, and the text for the update tables.
    const std::string block(10, 'B'), name(630, 'n'), value(630, 'v');
    expect_outcome(block + " {\n" + name + "=1\n}\n", CFG_ERR_SYNTAX, {});
    EXPECT_TRUE(log.contains("store_definition: full name of 'nnn")) << log.last();
    expect_outcome(block + " {\n" + name.substr(0, 626) + "=1\n}\n", 0, {block + "." + name.substr(0, 626) + "=1"});
    // The text for the update tables may be longer than a line: 641 characters,
    // on the heap; every allocation of that load failing in turn ends it in -109.
    const std::string long_text = block + " {\na = " + value + "\n}\n";
    expect_outcome(long_text, 0, {block + ".a=" + value});
    for (int k = 0;; ++k) {
        ASSERT_LT(k, 100) << "the load still fails";
        cfg_inject_alloc_fault(k, 1);
        Outcome got = load_text(long_text);
        cfg_inject_alloc_fault(0, 0);
        if (got.status == CFG_OK) {
            EXPECT_EQ(lines({(block + ".a=" + value).c_str()}), got.updates);
            break;
        }
        EXPECT_STATUS(ERR_NO_MEMORY, got.status);
        EXPECT_TRUE(got.updates.empty());
    }
    // A range variable's value must fit its 127-character entry.
    const std::string var(32, 'N'), item(94, 'i');
    expect_outcome("A[" + var + "=" + item + "] = 0\n", 0, {"A[" + item + "]=0"});
    expect_outcome("A[" + var + "=" + item + "j] = 0\n", CFG_ERR_SYNTAX, {});
    EXPECT_TRUE(log.contains("parse_definition: value '" + item + "j' of range variable '" + var + "=")) << log.last();
}

// A definition that fails goes to the error handler as its line was read
// (leading blanks kept, trailing ones cut), whatever form of name and value
// it has, and the next line is read as it stands.
TEST(DefinitionLines, AFailedDefinitionReachesTheHandlerAsRead) {
    const char *const forms[] = {"  a = 1", "!b\t=v", "c=", "d = \"q\" ", "e.f = 1", "g[1] = 2", "h =  x = y"};
    for (const char *form : forms) {
        SCOPED_TRACE(form);
        ConfigDir dir;
        dir.write("r.cfg", std::string(form) + "\nnext = 1\n");
        g_update_answer = ERR_MODIFY_FAILED;
        EXPECT_STATUS(ERR_MODIFY_FAILED, load_update("r.cfg"));
        g_update_answer = 0;
        std::string line = form;
        line.erase(line.find_last_not_of(" \t") + 1);
        ASSERT_EQ(2u, g_errors.size());
        EXPECT_EQ(": ERR_MODIFY_FAILED: " + line, g_errors[0].substr(g_errors[0].find(": ")));
        EXPECT_EQ(": ERR_MODIFY_FAILED: next = 1", g_errors[1].substr(g_errors[1].find(": ")));
    }
}

TEST(DefinitionLines, CalledDirectlyWithAPrefix) {
    cfgtest::LogCapture log;
    use_update_mode();
    g_updates.clear();
    cfgtree::LoaderState st{};
    st.contexts = LS_CreateList(sizeof(cfgtree::LoaderContext), 0);
    LS_SetCallback(st.contexts, 2, &cfgtree::FreeContext);
    EXPECT_STATUS(0, cfgtree::parse_definition(&st, "pre.", "x[1..2] = 1"));
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfgtree::parse_definition(&st, nullptr, "   "));
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfgtree::parse_definition(&st, std::string(640, 'p').c_str(), "x = 1"));
    EXPECT_EQ(lines({"pre.x[1]=1", "pre.x[2]=1"}), g_updates);
    // an instance that would take the name past 639 characters ("x[9]" makes 639)
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfgtree::parse_definition(&st, std::string(635, 'p').c_str(), "x[9..10] {"));
    EXPECT_TRUE(log.contains("parse_definition: name with instance exceeds 639 characters")) << log.last();
    cfg_inject_alloc_fault(0, 1);
    EXPECT_STATUS(ERR_NO_MEMORY, cfgtree::parse_definition(&st, nullptr, "y = 1"));
    cfg_inject_alloc_fault(0, 0);
    cfgtree::TruncEnv(&st.vars, 0);
    LS_DestroyList(st.contexts);
}

// The ranges of one load make at most CFG_MAX_RANGE_DEFINITIONS definitions
// in all, so a short line cannot keep a load busy for hours. Filtered out,
// the definitions cost only their expansion.
TEST(DefinitionLines, RangesOfALoadExpandToABoundedNumberOfDefinitions) {
    ConfigDir dir;
    const std::string half = std::to_string(CFG_MAX_RANGE_DEFINITIONS / 2);
    dir.write("at.cfg", "x[1.." + half + "] = 1\ny[1.." + half + "] = 1\n");
    dir.write("over.cfg", "x[1.." + half + "] = 1\ny[0.." + half + "] = 1\nz = 1\n");
    dir.write("huge.cfg", "x[0..2147483647] = 1\n");
    // A block of two lines read again: 1 + 2 for each index after the first.
    const int blocks = (CFG_MAX_RANGE_DEFINITIONS + 2) / 3;
    const std::string block = "] {\n a = 1\n}\n";
    dir.write("block-at.cfg", "b[1.." + std::to_string(blocks) + block);
    dir.write("block-over.cfg", "b[1.." + std::to_string(blocks + 1) + block);
    std::string comments = "c[1..1000] {\n";  // 1,000 + 999 x 1,001 lines read again
    for (int i = 0; i < 1000; ++i) comments += "#\n";
    dir.write("comments.cfg", comments + "}\n");
    EXPECT_STATUS(CFG_OK, load_direct("at.cfg,@=none"));
    EXPECT_STATUS(CFG_OK, load_direct("block-at.cfg,@=none"));
    for (const char *file : {"over.cfg", "huge.cfg", "block-over.cfg", "comments.cfg"}) {
        cfgtest::LogCapture log;
        EXPECT_STATUS(CFG_ERR_SYNTAX, load_direct(std::string(file) + ",@=none"));
        EXPECT_TRUE(log.contains("ranges expand to more than " + std::to_string(CFG_MAX_RANGE_DEFINITIONS) +
                                 " definitions in file"))
            << log.dump();
    }
}

// A load that a handler or callback starts counts its ranges in with those
// of the load under way, as it counts its files: a handler that loads a
// file of a long range for each failing line would otherwise make up to
// CFG_MAX_LOAD_FILES times as many definitions.
int g_nested_status = 1;
std::string g_nested_argument;
int load_nested(const char *, int, const char *, int) {
    g_nested_status = CfgF_LoadFile(g_nested_argument.c_str(), nullptr);
    return 0;
}

TEST(DefinitionLines, LoadsStartedInsideALoadShareItsRangeBound) {
    ConfigDir dir;
    const std::string half = std::to_string(CFG_MAX_RANGE_DEFINITIONS / 2);
    dir.write("half.cfg", "x[1.." + half + "] = 1\n");
    dir.write("more.cfg", "y[0.." + half + "] = 1\n");
    dir.write("outer.cfg", "x[1.." + half + "] = 1\nnot a definition\n");
    const struct {
        const char *nested;  // loaded by the handler for the failing line
        int status;          // of that load
    } rows[] = {{"half.cfg,@=none", CFG_OK}, {"more.cfg,@=none", CFG_ERR_SYNTAX}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.nested);
        g_nested_argument = r.nested;
        g_nested_status = 1;
        cfgtest::LogCapture log;
        EXPECT_STATUS(CFG_ERR_SYNTAX, load_direct("outer.cfg,@=none", &load_nested));
        EXPECT_STATUS(r.status, g_nested_status);
        EXPECT_EQ(r.status != CFG_OK, log.contains("ranges expand to more than " +
                                                   std::to_string(CFG_MAX_RANGE_DEFINITIONS) + " definitions in file"))
            << log.dump();
    }
    // the next load starts afresh: its one range is no longer past the bound
    dir.write("small.cfg", "x[1..2] = 1\n");
    EXPECT_STATUS(CFG_OK, load_direct("small.cfg,@=none"));
}

}  // namespace
