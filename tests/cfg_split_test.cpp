// Tests of Cfg_Split: identifier, instance and value of a definition text,
// quoting, the in-place cuts, and refusals that leave the text unchanged.
#include <string>
#include <tuple>
#include <utility>

#include "cfg_private.h"
#include "support.h"

namespace {

using cfgtest::LogCapture;

struct SplitRow {
    const char *text;
    int status;
    const char *identifier, *instance, *value;  // nullptr: none
    const char *message;                        // the refusal's message (status != 0)
};

std::string shown(const char *s) { return s ? "'" + std::string(s) + "'" : "null"; }

// Runs Cfg_Split on a writable copy with all three out pointers.
TEST(CfgSplit, Table) {
    const char *const no = nullptr;
    const SplitRow rows[] = {
        {"a.b = 5", CFG_OK, "a.b", no, "5", no},           {"a.b=5  \n", CFG_OK, "a.b", no, "5  \n", no},
        {"  a.b { x=1 }", CFG_OK, "a.b", no, no, no},      {"a = 'it' s'", CFG_OK, "a", no, "it' s", no},
        {"a.b[x:y] = 'hello world'", CFG_OK, "a.b", "x:y", "hello world", no},
        {"a.b[x:y] = \"hello world\"", CFG_OK, "a.b", "x:y", "hello world", no},
        {"a = \"open", CFG_OK, "a", no, "open", no},       {"a = 'x\" y'", CFG_OK, "a", no, "x\" y", no},
        {"a = x 'y'", CFG_OK, "a", no, "x 'y'", no},       {"a =", CFG_OK, "a", no, "", no},
        {"a=   ", CFG_OK, "a", no, "", no},                {"a=''", CFG_OK, "a", no, "", no},
        {"a[x].b", CFG_OK, "a[x].b", no, no, no},          {"a[x].b[y]=1", CFG_OK, "a[x].b", "y", "1", no},
        {"a[]=1", CFG_OK, "a", "", "1", no},               {"!a.b", CFG_OK, "!a.b", no, no, no},
        {"\t\n\v\f\r a=1", CFG_OK, "a", no, "1", no},      {"a{junk", CFG_OK, "a", no, no, no},
        {"a[1]{", CFG_OK, "a", "1", no, no},               {"a[b.c] = v", CFG_OK, "a", "b.c", "v", no},
        {"a=b=c", CFG_OK, "a", no, "b=c", no},
        {"a b", CFG_ERR_SYNTAX, no, no, no, "Cfg_Split: invalid syntax at:\n\t\t'b'"},
        {"a .b", CFG_ERR_SYNTAX, no, no, no, "Cfg_Split: invalid syntax at:\n\t\t'.b'"},
        {"a[1]x=2", CFG_ERR_SYNTAX, no, no, no, "Cfg_Split: invalid syntax at:\n\t\t'x=2'"},
        {"a}", CFG_ERR_SYNTAX, no, no, no, "Cfg_Split: invalid syntax at:\n\t\t'}'"},
        {"=5", CFG_ERR_SYNTAX, no, no, no, "cfg_parse_identifier: invalid attribute name in '=5'"},
        {"a.=5", CFG_ERR_SYNTAX, no, no, no, "cfg_parse_identifier: invalid attribute name in '=5'"},
        {"a.b[x", CFG_ERR_SYNTAX, no, no, no, "cfg_parse_identifier: invalid instance name in 'b[x'"},
        {"", CFG_ERR_SYNTAX, no, no, no, "cfg_parse_identifier: invalid attribute name in ''"},
        {"   ", CFG_ERR_SYNTAX, no, no, no, "cfg_parse_identifier: invalid attribute name in ''"},
    };
    for (const SplitRow &row : rows) {
        SCOPED_TRACE(row.text);
        LogCapture log;
        std::string text = row.text;
        char *identifier = text.data(), *instance = text.data(), *value = text.data();
        EXPECT_STATUS(row.status, Cfg_Split(text.data(), &identifier, &instance, &value));
        if (row.status == CFG_OK) {
            EXPECT_STREQ(row.identifier, identifier);
            EXPECT_EQ(shown(row.instance), shown(instance));
            EXPECT_EQ(shown(row.value), shown(value));
            EXPECT_TRUE(log.at_most(6).empty()) << log.dump();
        } else {
            EXPECT_EQ(std::string(row.text), text) << "a refused text is left unchanged";
            EXPECT_EQ(text.data(), identifier) << "a refusal sets no out pointer";
            EXPECT_EQ(text.data(), instance);
            EXPECT_EQ(text.data(), value);
            EXPECT_TRUE(log.has(5, row.message[0] == 'C' ? "cfg_split" : "cfg_parse", row.message)) << log.dump();
        }
    }
}

TEST(CfgSplit, PiecesPointIntoTheTextWhichIsCutInPlace) {
    char text[] = "  a.b[x:y] = 'v w' tail";
    char *identifier = nullptr, *instance = nullptr, *value = nullptr;
    ASSERT_STATUS(CFG_OK, Cfg_Split(text, &identifier, &instance, &value));
    EXPECT_EQ(text + 2, identifier);
    EXPECT_EQ(text + 6, instance);
    EXPECT_EQ(text + 14, value);
    EXPECT_EQ(std::string("  a.b\0x:y\0 = 'v w\0 tail", sizeof text - 1), std::string(text, sizeof text - 1));
}

// Without an instance pointer the brackets stay in the identifier; the
// identifier and the value are cut even when no pointer is asked for. A null
// text clears the out pointers.
TEST(CfgSplit, OutPointersAreOptional) {
    for (const auto &[input, expected] :
         {std::pair{"a[x]=1", "a[x]"}, {"a.b[1:2] {", "a.b[1:2]"}, {"a[x].b", "a[x].b"}}) {
        std::string text = input;
        char *identifier = nullptr, *value = nullptr;
        ASSERT_STATUS(CFG_OK, Cfg_Split(text.data(), &identifier, nullptr, &value));
        EXPECT_STREQ(expected, identifier) << input;
    }
    char text[] = "a[1] = 'q'", text2[] = "a[1] = 'q'", dummy[] = "x";
    ASSERT_STATUS(CFG_OK, Cfg_Split(text, nullptr, nullptr, nullptr));
    EXPECT_EQ(std::string("a[1]\0= 'q\0", sizeof text - 1), std::string(text, sizeof text - 1));
    char *identifier = dummy, *instance = nullptr, *value = dummy;
    ASSERT_STATUS(CFG_OK, Cfg_Split(text2, nullptr, &instance, nullptr));
    EXPECT_STREQ("1", instance);
    EXPECT_STATUS(CFG_OK, Cfg_Split(nullptr, &identifier, &instance, &value));
    EXPECT_EQ(std::make_tuple(nullptr, nullptr, nullptr), std::make_tuple(identifier, instance, value));
    EXPECT_STATUS(CFG_OK, Cfg_Split(nullptr, nullptr, nullptr, nullptr));
}

TEST(CfgSplit, ALongestComponentSplitsAndALongerOneIsRefused) {
    const std::string name639(639, 'n');
    std::string text = "a." + name639 + " = v", longer = "a." + name639 + "n = v";
    const std::string before = longer;
    char *identifier = nullptr, *value = nullptr;
    ASSERT_STATUS(CFG_OK, Cfg_Split(text.data(), &identifier, nullptr, &value));
    EXPECT_EQ("a." + name639, identifier);
    EXPECT_STREQ("v", value);
    EXPECT_STATUS(CFG_ERR_SYNTAX, Cfg_Split(longer.data(), &identifier, nullptr, &value));
    EXPECT_EQ(before, longer);
}

}  // namespace
