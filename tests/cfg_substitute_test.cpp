// Tests of the reference scanner: nesting, tag tables, unclosed references,
// buffer limits, evaluator statuses and allocation failures. They use tag
// tables of their own with test evaluators, so no configuration tree is
// needed; the default table is used only on texts it never evaluates.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "alloc.h"
#include "cfg_private.h"
#include "support.h"

namespace {

constexpr const char kMod[] = "cfg_substitute";

// What the evaluators saw, in call order.
struct Call {
    std::string reference;
    uint32_t room;
    bool out_zeroed;  // every byte from out to the end of room was zero
};
std::vector<Call> g_calls;

bool all_zero(const char *out, uint32_t room) {
    for (uint32_t i = 0; i < room; ++i)
        if (out[i] != '\0') return false;
    return true;
}

void record(const char *reference, const char *out, uint32_t room) {
    g_calls.push_back({reference, room, all_zero(out, room)});
}

// Appends "(" body ")", the body being the text after the open tag (whose
// length is the evaluator argument, as an integer).
int echo(char *reference, char *out, uint32_t room, void *arg) {
    record(reference, out, room);
    std::string text = "(" + std::string(reference + reinterpret_cast<std::uintptr_t>(arg)) + ")";
    cfgtree::copy_bounded(out, room, text.c_str());
    return 0;
}

// Fails with -1407 when the body is "bad", writing nothing; else echoes.
int picky(char *reference, char *out, uint32_t room, void *arg) {
    if (std::strcmp(reference + reinterpret_cast<std::uintptr_t>(arg), "bad") == 0) {
        record(reference, out, room);
        return CFG_ERR_UNRESOLVED;
    }
    return echo(reference, out, room, arg);
}

// Appends the argument text.
int say(char *reference, char *out, uint32_t room, void *arg) {
    record(reference, out, room);
    cfgtree::copy_bounded(out, room, static_cast<const char *>(arg));
    return 0;
}

// Fills all of its room.
int fill(char *reference, char *out, uint32_t room, void *) {
    record(reference, out, room);
    if (room) std::memset(out, '#', room - 1);
    return 0;
}

void *len_arg(std::uintptr_t n) { return reinterpret_cast<void *>(n); }

// < > evaluated by echo.
CfgRefTag kAngle[] = {{"<", ">", echo, len_arg(1)}, {nullptr, nullptr, nullptr, nullptr}};
CfgRefTag kPicky[] = {{"<", ">", picky, len_arg(1)}, {nullptr, nullptr, nullptr, nullptr}};
// < > evaluated by echo, [ ] by fill.
CfgRefTag kFilling[] = {{"<", ">", echo, len_arg(1)}, {"[", "]", fill, nullptr}, {nullptr, nullptr, nullptr, nullptr}};

class Scanner : public ::testing::Test {
  protected:
    void SetUp() override { g_calls.clear(); }
};

struct Result {
    int status;
    std::string text;
};

// Runs ref_substitute into a buffer of len bytes followed by guard bytes
// and checks the guard and the zero tail.
Result run(const char *source, CfgRefTag *table, uint32_t len = 640) {
    std::vector<char> buffer(len + 8, '\x7f');
    int status = cfgtree::ref_substitute(source, buffer.data(), len, table);
    for (uint32_t i = len; i < len + 8; ++i) EXPECT_EQ('\x7f', buffer[i]) << "written past len at " << i;
    if (status != CFG_OK) return {status, std::string(buffer.data(), len)};
    std::string text(buffer.data());
    for (uint32_t i = static_cast<uint32_t>(text.size()); i < len; ++i)
        EXPECT_EQ('\0', buffer[i]) << "byte " << i << " of the tail is not zero";
    return {status, text};
}

TEST_F(Scanner, TextsWithoutReferencesComeBackUnchanged) {
    // nullptr: the default table through cfg_refSubstitute
    CfgRefTag null_first[] = {{nullptr, "}", echo, nullptr}, {"<", ">", echo, len_arg(1)}};
    const struct {
        const char *source;
        CfgRefTag *table;
    } cases[] = {
        {"", nullptr}, {"a}b", nullptr}, {"x$", nullptr}, {"$ {a}", nullptr}, {"a>b", kAngle}, {"<a>", null_first},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.source);
        char out[64];
        std::memset(out, 'X', sizeof out);
        int status = c.table ? cfgtree::ref_substitute(c.source, out, sizeof out, c.table)
                             : cfg_refSubstitute(c.source, out, sizeof out);
        EXPECT_STATUS(CFG_OK, status);
        EXPECT_STREQ(c.source, out);
        EXPECT_TRUE(all_zero(out + std::strlen(c.source), static_cast<uint32_t>(sizeof out - std::strlen(c.source))));
        EXPECT_TRUE(g_calls.empty());
    }
}

TEST_F(Scanner, ExpansionsCutsAndTagRows) {
    // Inside [ ... ] the text "]x" opens a reference of the second row before
    // "]" could close the first one.
    CfgRefTag rows[] = {{"[", "]", echo, len_arg(1)},
                        {"]x", "!", echo, len_arg(2)},
                        {"%(", ")", say, const_cast<char *>("V")},
                        {"%", ")", say, const_cast<char *>("never")},
                        {nullptr, nullptr, nullptr, nullptr}};
    CfgRefTag again[] = {{"<", ">", say, const_cast<char *>("<z>")}, {nullptr, nullptr, nullptr, nullptr}};
    CfgRefTag empty_tags[] = {{"", ">", echo, len_arg(0)}, {"<", "", echo, len_arg(1)}, {"<", nullptr, echo, len_arg(1)},
                              {nullptr, nullptr, nullptr, nullptr}};
    CfgRefTag silent[] = {{"<", ">", nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}};
    const struct {
        const char *source;
        CfgRefTag *table;
        uint32_t len;
        const char *expected;
    } cases[] = {
        // the result is cut to len - 1 characters
        {"abcdef", kAngle, 1, ""},
        {"abcdef", kAngle, 7, "abcdef"},
        {"abcdef", kAngle, 6, "abcde"},
        {"a<b>cd", kAngle, 4, "a(b"},
        {"ab<", kAngle, 3, "ab"},
        {"1<a>2", again, 640, "1<z>2"},  // expansions are not scanned again
        {"[a]xb!]", rows, 640, "(a(b))"},
        {"[a!b]", rows, 640, "(a!b)"},   // a close tag of another row is plain text
        {"%(x)y", rows, 640, "Vy"},      // %( wins over the later row %
        {"%x)", rows, 640, "never"},
        {"[%(y])]", rows, 640, "(V)"},   // inside %( only ) closes; the first ] is its text
        {"a)b]c!", rows, 640, "a)b]c!"}, // close tags at depth 0 are plain text
        {"a<b>c", empty_tags, 640, "a<b>c"},  // rows with an empty or missing tag never open
        {"a<b>c", nullptr, 640, "a<b>c"},     // a null table has no rows
        {"a<b<c>>d", silent, 640, "ad"},      // no evaluator: expands to nothing
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.source) + " len " + std::to_string(c.len));
        g_calls.clear();
        Result r = run(c.source, c.table, c.len);
        EXPECT_STATUS(CFG_OK, r.status);
        EXPECT_EQ(c.expected, r.text);
        if (c.table == again) {
            EXPECT_EQ(1u, g_calls.size());
        }
    }
}

TEST_F(Scanner, NestedReferencesExpandInnermostFirst) {
    cfgtest::LogCapture log;
    Result r = run("x<a<b>c<d>>y", kAngle);
    EXPECT_STATUS(CFG_OK, r.status);
    EXPECT_EQ("x(a(b)c(d))y", r.text);
    ASSERT_EQ(3u, g_calls.size());
    EXPECT_EQ("<b", g_calls[0].reference);
    EXPECT_EQ("<d", g_calls[1].reference);
    EXPECT_EQ("<a(b)c(d)", g_calls[2].reference) << "the body holds the inner expansions, not the close tag";
    // every tag is traced with the rest of the text
    EXPECT_TRUE(log.has(13, kMod, "  found reference open tag at '<b>c<d>>y'")) << log.dump();
    EXPECT_TRUE(log.has(13, kMod, "  found reference close tag at '>>y'")) << log.dump();
}

// Level 0 holds len(source) + 1 + len bytes; a level opened at p holds
// len(source from p) + 1 + len bytes.
TEST_F(Scanner, EvaluatorGetsZeroedRoomUpToTheEnclosingCapacity) {
    Result r = run("ab<c<d>>", kAngle, 10);
    EXPECT_STATUS(CFG_OK, r.status);
    ASSERT_EQ(2u, g_calls.size());
    EXPECT_EQ((6u + 1 + 10) - 2, g_calls[0].room) << "level 1 opened at 2 holds '<c'";
    EXPECT_EQ((8u + 1 + 10) - 2, g_calls[1].room) << "level 0 holds 'ab'";
    EXPECT_TRUE(g_calls[0].out_zeroed);
    EXPECT_TRUE(g_calls[1].out_zeroed);

    // The inner evaluator fills all the room of level 1; "bc" no longer fits
    // and is dropped; the outer evaluator sees a full, bounded text.
    g_calls.clear();
    r = run("<a[x]bc>", kFilling, 5);
    EXPECT_STATUS(CFG_OK, r.status);
    ASSERT_EQ(2u, g_calls.size());
    const size_t level1_capacity = 8 + 1 + 5;
    EXPECT_EQ("<a" + std::string(level1_capacity - 3, '#'), g_calls[1].reference);
    EXPECT_EQ("(a##", r.text);
}

// A level reopened for each reference must hand every evaluator a room of
// zeros, whatever an evaluator before it wrote there, without clearing the
// rest of a long text again for each reference: large rooms are cleared by
// giving their pages back, and they must read as zeros all the same.
TEST_F(Scanner, ReopenedLevelsGiveZeroedRoomsInLongTexts) {
    const std::string padding(300000, 'p');
    const std::string text = "<[x]><[y]>" + padding;
    Result r = run(text.c_str(), kFilling, 1u << 20);
    EXPECT_STATUS(CFG_OK, r.status);
    ASSERT_EQ(4u, g_calls.size());
    EXPECT_GT(g_calls[2].room, 256u * 1024) << "a room large enough to be given back";
    EXPECT_TRUE(g_calls[2].out_zeroed) << "the first [x] filled the room that [y] gets";
}

// Checks its room's first bytes, its last and one more that moves from call
// to call (the whole room would take the test quadratic time itself), then
// appends "x".
int g_dirty_rooms = 0;
uint32_t g_probe = 0;
int sampled(char *, char *out, uint32_t room, void *) {
    g_probe = g_probe * 1103515245u + 12345u;
    bool zero = room >= 64 && all_zero(out, 64) && out[room - 1] == '\0' && out[g_probe % room] == '\0';
    if (!zero) ++g_dirty_rooms;
    cfgtree::copy_bounded(out, room, "x");
    return 0;
}

TEST_F(Scanner, NestedEvaluatorsOfTheCallersOwnTakeLinearTime) {
    CfgRefTag table[] = {{"<", ">", sampled, nullptr}, {"[", "]", sampled, nullptr}, {nullptr, nullptr, nullptr, nullptr}};
    const int count = 20000;  // a room of 8 MiB for each: cleared byte by byte, 160 GB
    std::string text;
    for (int i = 0; i < count; ++i) text += "<[y]>";
    g_dirty_rooms = 0;
    Result r = run(text.c_str(), table, 8u << 20);
    EXPECT_STATUS(CFG_OK, r.status);
    EXPECT_EQ(std::string(count, 'x'), r.text);
    EXPECT_EQ(0, g_dirty_rooms);
}

TEST_F(Scanner, UnclosedReferencesStayAsWrittenWithAWarning) {
    // The last row: unclosed levels that gathered large expansions are cut
    // to the result's capacity, never overrun.
    const struct {
        const char *source;
        CfgRefTag *table;
        uint32_t len;
        const char *expected;
        int depth;
    } cases[] = {
        {"abc <x", kAngle, 640, "abc <x", 1}, {"<a<b", kAngle, 640, "<a<b", 2}, {"<a<b>c", kAngle, 640, "<a(b)c", 1},
        {"<[x]<[y]", kFilling, 2, "<", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.source);
        cfgtest::LogCapture log;
        Result r = run(c.source, c.table, c.len);
        EXPECT_STATUS(CFG_OK, r.status);
        EXPECT_EQ(c.expected, r.text);
        EXPECT_TRUE(log.has(5, kMod, "ref_substitute: Unclosed reference at depth " + std::to_string(c.depth)))
            << log.dump();
    }
}

TEST_F(Scanner, TenReferencesNestAndAnEleventhIsPlainText) {
    auto nested = [](int n) { return std::string(size_t(n), '<') + "x" + std::string(size_t(n), '>'); };
    {
        cfgtest::LogCapture log;
        Result r = run(nested(10).c_str(), kAngle);
        EXPECT_STATUS(CFG_OK, r.status);
        EXPECT_EQ(std::string(10, '(') + "x" + std::string(10, ')'), r.text);
        EXPECT_FALSE(log.contains("max depth"));
    }
    g_calls.clear();
    cfgtest::LogCapture log;
    std::string source = nested(11);
    Result r = run(source.c_str(), kAngle);
    EXPECT_STATUS(CFG_OK, r.status);
    // The refused tag and what follows belong to the innermost reference;
    // the eleventh close tag is then plain text at depth 0.
    EXPECT_EQ(std::string(10, '(') + "<x" + std::string(10, ')') + ">", r.text);
    EXPECT_EQ("<<x", g_calls.front().reference);
    EXPECT_TRUE(log.has(5, kMod, "ref_substitute: Reference nesting exceeds max depth (10)\n\t\t'" + source + "'"))
        << log.dump();
}

TEST_F(Scanner, StatusIsThatOfTheLastEvaluation) {
    CfgRefTag null_eval[] = {{"<", ">", picky, len_arg(1)}, {"[", "]", nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr}};
    const struct {
        const char *source;
        CfgRefTag *table;
        int status;
        const char *expected;  // when the status is 0
    } cases[] = {
        {"a<bad>b", kPicky, CFG_ERR_UNRESOLVED, nullptr},
        {"<bad>-<x>", kPicky, CFG_OK, "-(x)"},
        {"<<bad>>", kPicky, CFG_OK, "()"},                      // the outer reference succeeds last
        {"<bad>tail<", kPicky, CFG_ERR_UNRESOLVED, nullptr},    // unclosed: status unchanged
        {"<bad>[x]", null_eval, CFG_ERR_UNRESOLVED, nullptr},   // a null evaluator leaves the status
        {"[x]<y>", null_eval, CFG_OK, "(y)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.source);
        char out[32];
        std::memset(out, 'K', sizeof out);
        EXPECT_STATUS(c.status, cfgtree::ref_substitute(c.source, out, sizeof out, c.table));
        if (c.status == CFG_OK) {
            EXPECT_STREQ(c.expected, out);
        } else {
            EXPECT_EQ(std::string(sizeof out, 'K'), std::string(out, sizeof out)) << "output must stay untouched";
        }
    }
}

TEST_F(Scanner, SourceAndOutputMayBeTheSameBuffer) {
    char text[32] = "a<b<c>>d<e";
    EXPECT_STATUS(CFG_OK, cfgtree::ref_substitute(text, text, sizeof text, kAngle));
    EXPECT_STREQ("a(b(c))d<e", text);
    char buffer[8] = "abcdefg";
    EXPECT_STATUS(CFG_OK, cfgtree::ref_substitute(buffer, buffer, 4, kAngle));
    EXPECT_STREQ("abc", buffer);
    EXPECT_EQ('e', buffer[4]) << "nothing past len is written";
}

// A trace quotes the rest of the text, cut to what a message holds: a long
// text with many tags stays linear while a sink listens to every level.
struct LongestMessage {
    std::size_t count = 0, longest = 0;
    static void sink(void *ctx, int, const char *, int, const char *message) {
        auto *self = static_cast<LongestMessage *>(ctx);
        ++self->count;
        self->longest = std::max(self->longest, std::strlen(message));
    }
};

TEST_F(Scanner, TracesOfALongTextQuoteAtMostAMessage) {
    std::string text;
    for (int i = 0; i < 50000; ++i) text += "<x>";
    LongestMessage seen;
    Log_SetSink(&LongestMessage::sink, &seen);
    Result r = run(text.c_str(), kAngle);
    Log_SetSink(nullptr, nullptr);
    EXPECT_STATUS(CFG_OK, r.status);
    EXPECT_EQ(100000u, seen.count);
    EXPECT_EQ(4095u, seen.longest);
}

TEST_F(Scanner, NullArgumentsAndZeroLength) {
    char out[4] = "abc";
    EXPECT_STATUS(ERR_NULL_ARGUMENT, cfgtree::ref_substitute(nullptr, out, sizeof out, kAngle));
    EXPECT_STATUS(ERR_NULL_ARGUMENT, cfgtree::ref_substitute("x", nullptr, 4, kAngle));
    EXPECT_STATUS(CFG_OK, cfgtree::ref_substitute("<x>", out, 0, kAngle));
    EXPECT_STREQ("abc", out) << "len 0 writes nothing";
    EXPECT_TRUE(g_calls.empty()) << "len 0 evaluates nothing";
}

// Allocations: the copy first, then level 0 (12 + 1 + len), then one level
// per reference; a text in which no open tag can start needs none.
TEST_F(Scanner, AllocationFailuresLeaveTheOutputUntouched) {
    const char *source = "a<b>c<d<e>>f";
    const uint32_t len = 32;
    const std::string err = "\n\t\terrno = " + std::to_string(ENOMEM) + " => \"" + std::strerror(ENOMEM) + "\"";
    const std::string expected[] = {
        std::string("ref_substitute: strdup(") + source + ")" + err,
        "ref_substitute: calloc(1," + std::to_string(12 + 1 + len) + ")" + err,
        "ref_substitute: calloc(1," + std::to_string(11 + 1 + len) + ")" + err,
    };
    int failures = 0;
    for (int k = 0; k < 50; ++k) {
        SCOPED_TRACE("fail allocation " + std::to_string(k));
        cfgtest::LogCapture log;
        char out[len];
        std::memset(out, 'K', sizeof out);
        cfg_inject_alloc_fault(k, 1);
        int status = cfgtree::ref_substitute(source, out, len, kAngle);
        cfg_inject_alloc_fault(0, 0);
        if (status == CFG_OK) {
            EXPECT_STREQ("a(b)c(d(e))f", out);
            break;
        }
        ++failures;
        EXPECT_STATUS(ERR_NO_MEMORY, status);
        EXPECT_EQ(std::string(len, 'K'), std::string(out, len));
        ASSERT_EQ(1u, log.at_most(3).size()) << log.dump();
        EXPECT_EQ(2, log.at_most(3)[0].level);
        if (k < 3) {
            EXPECT_TRUE(log.has(2, kMod, expected[k])) << log.dump();
        }
    }
    EXPECT_EQ(4, failures) << "the copy, level 0 and a buffer for each of the two depths (<d reuses that of <b)";

    cfg_inject_alloc_fault(0, 1);
    char out[8];
    EXPECT_STATUS(CFG_OK, cfgtree::ref_substitute("a>b", out, sizeof out, kAngle));
    cfg_inject_alloc_fault(0, 0);
    EXPECT_STREQ("a>b", out);
}

}  // namespace
