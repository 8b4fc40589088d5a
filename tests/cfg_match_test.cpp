// Tests of identifier matching: single tokens, whole identifiers with marks,
// instance wildcards, the trailing "**" and the rest position.
#include <string>

#include "cfg_private.h"
#include "support.h"

namespace {

using cfgtest::LogCapture;

const unsigned char *u(const char *s) { return reinterpret_cast<const unsigned char *>(s); }
const char *shown(const char *s) { return s ? s : "(null)"; }

// A null token matches only a wildcard.
TEST(MatchToken, Table) {
    const struct { const char *a, *b; int result; } rows[] = {
        {"a", "a", 1},   {"a", "A", 0},     {"a", "ab", 0},     {"", "", 1},       {"a", "", 0},
        {"*", "x", 1},   {"x", "*", 1},     {"*", "", 1},       {"**", "", 1},     {"", "**", 1},
        {"**", "*", 1},  {"***", "x", 0},   {"x", "***", 0},    {"*x", "x", 0},    {"%", "%", 1},
        {"1-5", "3", 0}, {"*", nullptr, 1}, {nullptr, "**", 1}, {nullptr, "a", 0}, {"a", nullptr, 0},
    };
    for (const auto &r : rows) EXPECT_EQ(r.result, cfg_match_token(u(r.a), u(r.b))) << shown(r.a) << " vs " << shown(r.b);
}

TEST(CompareItems, Table) {
    // rest_at: offset of the rest position in the subject (status 0); after a mark
    const struct { const char *pattern, *subject; int status, rest_at; } rows[] = {
        {"a.b", "a.b=5", CFG_OK, 3},              {"a.b", "a.b", CFG_OK, 3},
        {"a", "a.b", CFG_NO_MATCH, 0},            {"a.b", "a", CFG_NO_MATCH, 0},
        {"!a", "a", CFG_OK, 1},                   {"a", "!a=1", CFG_OK, 2},
        {"A", "a", CFG_NO_MATCH, 0},              {"a[*]", "a[3]", CFG_OK, 4},
        {"a[*]", "a", CFG_OK, 1},                 {"a[3]", "a[*]", CFG_OK, 4},
        {"a[3]", "a", CFG_NO_MATCH, 0},           {"a[1:*]", "a[1:7]", CFG_OK, 6},
        {"a[1:*]", "a[1]", CFG_NO_MATCH, 0},      {"a[**]", "a[1:2:3]", CFG_OK, 8},
        {"a[1:**]", "a[1]", CFG_NO_MATCH, 0},     {"x[1].y", "x[1].y[2]", CFG_NO_MATCH, 0},
        {"x[*].y", "x[5].y", CFG_OK, 6},          {"**", "!x.y=1", CFG_OK, 1},
        {"a.**", "a.b.c=1", CFG_OK, 2},           {"a.**", "a", CFG_NO_MATCH, 0},
        {"a.*", "a.b", CFG_ERR_SYNTAX, 0},        {"a[1:*].b", "!a[1:2].b=x:y", CFG_OK, 9},
        {"!a.!b", "a.b", CFG_OK, 3},              {"a.b", "!a.!b=1", CFG_OK, 5},
        {"!**", "a", CFG_OK, 0},                  {"**", "", CFG_OK, 0},
        {"a.**", "!a.!b", CFG_OK, 4},             {"a.b", "a.bc", CFG_NO_MATCH, 0},
        {"a.!**", "a.!b=1", CFG_OK, 3},           {"!**", "!!a", CFG_OK, 1},
        {"**", "a..b[", CFG_OK, 0},               {"!a.**", "a.!!b", CFG_OK, 3},
        {"a", "a[]", CFG_OK, 3},                  {"a[]", "a", CFG_OK, 1},
        {"a[**]", "a", CFG_OK, 1},                {"a[1]", "a[**]", CFG_OK, 5},
        {"a[1:2]", "a[**]", CFG_NO_MATCH, 0},     {"a[1:2]", "a[1:2:3]", CFG_NO_MATCH, 0},
        {"a[1:2:3]", "a[1:2]", CFG_NO_MATCH, 0},  {"a[x:*:z]", "a[x:y:z]", CFG_OK, 8},
        {"a[1-5]", "a[3]", CFG_NO_MATCH, 0},      {"a[%]", "a[%]", CFG_OK, 4},
        {"a[b.c]", "a[b.c]=1", CFG_OK, 6},        {"a", "a b", CFG_OK, 1},
        {"a", "a { x=1 }", CFG_OK, 1},            {"a", "a\t=1", CFG_OK, 1},
        {"a.**.b", "a.x.b", CFG_ERR_SYNTAX, 0},   {"a.**=1", "a.b", CFG_ERR_SYNTAX, 0},
        {"a", "=1", CFG_ERR_SYNTAX, 0},           {"a.b", "a.[1]", CFG_ERR_SYNTAX, 0},
        {"a[1", "a[1]", CFG_ERR_SYNTAX, 0},       {"a", "", CFG_ERR_SYNTAX, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "'" << row.pattern << "' vs '" << row.subject << "'");
        LogCapture log;
        const char *rest = "not reset";
        EXPECT_STATUS(row.status, cfg_compare_items(row.pattern, row.subject, &rest));
        EXPECT_EQ(row.status == CFG_OK ? row.subject + row.rest_at : nullptr, rest) << "rest: '" << shown(rest) << "'";
        // a bare * is reported as such: no component matches it
        if (std::string(row.pattern) == "a.*")
            EXPECT_TRUE(log.has(5, "cfg_parse", "cfg_parse_identifier: invalid attribute name in '*'")) << log.dump();
        else if (row.status == CFG_ERR_SYNTAX)
            EXPECT_TRUE(log.contains("cfg_parse_identifier: invalid ")) << log.dump();
        else
            EXPECT_TRUE(log.at_most(6).empty()) << log.dump();
        EXPECT_STATUS(row.status, cfg_compare_items(row.pattern, row.subject, nullptr));
    }
}

TEST(CompareItems, NullTextsAreRefusedSilently) {
    LogCapture log;
    const char *rest = "kept";
    EXPECT_STATUS(ERR_NULL_ARGUMENT, cfg_compare_items(nullptr, "a", &rest));
    EXPECT_STATUS(ERR_NULL_ARGUMENT, cfg_compare_items("a", nullptr, &rest));
    EXPECT_STATUS(ERR_NULL_ARGUMENT, cfg_compare_items(nullptr, nullptr, nullptr));
    EXPECT_STREQ("kept", rest);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST(CompareItems, ComponentsAtTheBufferBound) {
    const std::string n639(639, 'n'), n640(640, 'n'), i639 = "a[" + std::string(636, 'i') + "]",
        other = "a[" + std::string(635, 'i') + "x]", subject = "x." + i639 + ".y";
    const char *rest = nullptr;
    EXPECT_STATUS(CFG_OK, cfg_compare_items(n639.c_str(), (n639 + "=1").c_str(), nullptr));
    EXPECT_STATUS(CFG_NO_MATCH, cfg_compare_items(("x." + i639).c_str(), ("x." + i639 + ".y").c_str(), nullptr));
    EXPECT_STATUS(CFG_OK, cfg_compare_items(("x." + i639 + ".**").c_str(), subject.c_str(), &rest));
    EXPECT_EQ(subject.c_str() + subject.size() - 1, rest);
    EXPECT_STATUS(CFG_OK, cfg_compare_items(i639.c_str(), i639.c_str(), &rest));
    EXPECT_STATUS(CFG_NO_MATCH, cfg_compare_items(i639.c_str(), other.c_str(), nullptr));
    EXPECT_STATUS(CFG_OK, cfg_compare_items("a[*]", i639.c_str(), nullptr));
    LogCapture log;
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfg_compare_items(n640.c_str(), n640.c_str(), nullptr));
    // The mark is stepped over before the component is parsed, so a stored
    // name of a mark and 639 characters still matches.
    EXPECT_STATUS(CFG_OK, cfg_compare_items(n639.c_str(), ("!" + n639).c_str(), nullptr));
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfg_compare_items("**x", "a", nullptr));
}

}  // namespace
