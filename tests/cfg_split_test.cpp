// Tests of Cfg_Split: identifier, instance and value of a definition text,
// quoting, the in-place cuts, and refusals that leave the text unchanged.
#include <string>
#include <utility>

#include "cfg_private.h"
#include "support.h"

namespace {

using cfgtest::LogCapture;

struct SplitRow {
    const char *text;
    int status;
    const char *identifier;
    const char *instance;  // nullptr: none
    const char *value;     // nullptr: none
    const char *message;   // the refusal's message (status != 0)
};

std::string shown(const char *s) { return s ? "'" + std::string(s) + "'" : "null"; }

// Runs Cfg_Split on a writable copy with all three out pointers.
TEST(CfgSplit, Table) {
    const SplitRow rows[] = {
        {"a.b = 5", CFG_OK, "a.b", nullptr, "5", nullptr},
        {"a.b=5  \n", CFG_OK, "a.b", nullptr, "5  \n", nullptr},
        {"  a.b { x=1 }", CFG_OK, "a.b", nullptr, nullptr, nullptr},
        {"a.b[x:y] = 'hello world'", CFG_OK, "a.b", "x:y", "hello world", nullptr},
        {"a.b[x:y] = \"hello world\"", CFG_OK, "a.b", "x:y", "hello world", nullptr},
        {"a = 'it' s'", CFG_OK, "a", nullptr, "it' s", nullptr},
        {"a = \"open", CFG_OK, "a", nullptr, "open", nullptr},
        {"a = 'x\" y'", CFG_OK, "a", nullptr, "x\" y", nullptr},
        {"a = x 'y'", CFG_OK, "a", nullptr, "x 'y'", nullptr},
        {"a =", CFG_OK, "a", nullptr, "", nullptr},
        {"a=   ", CFG_OK, "a", nullptr, "", nullptr},
        {"a=''", CFG_OK, "a", nullptr, "", nullptr},
        {"a[x].b", CFG_OK, "a[x].b", nullptr, nullptr, nullptr},
        {"a[x].b[y]=1", CFG_OK, "a[x].b", "y", "1", nullptr},
        {"a[]=1", CFG_OK, "a", "", "1", nullptr},
        {"!a.b", CFG_OK, "!a.b", nullptr, nullptr, nullptr},
        {"\t\n\v\f\r a=1", CFG_OK, "a", nullptr, "1", nullptr},
        {"a{junk", CFG_OK, "a", nullptr, nullptr, nullptr},
        {"a[1]{", CFG_OK, "a", "1", nullptr, nullptr},
        {"a[b.c] = v", CFG_OK, "a", "b.c", "v", nullptr},
        {"a=b=c", CFG_OK, "a", nullptr, "b=c", nullptr},
        {"a b", CFG_ERR_SYNTAX, nullptr, nullptr, nullptr, "Cfg_Split: invalid syntax at:\n\t\t'b'"},
        {"a .b", CFG_ERR_SYNTAX, nullptr, nullptr, nullptr, "Cfg_Split: invalid syntax at:\n\t\t'.b'"},
        {"a[1]x=2", CFG_ERR_SYNTAX, nullptr, nullptr, nullptr, "Cfg_Split: invalid syntax at:\n\t\t'x=2'"},
        {"a}", CFG_ERR_SYNTAX, nullptr, nullptr, nullptr, "Cfg_Split: invalid syntax at:\n\t\t'}'"},
        {"=5", CFG_ERR_SYNTAX, nullptr, nullptr, nullptr, "cfg_parse_identifier: invalid attribute name in '=5'"},
        {"a.=5", CFG_ERR_SYNTAX, nullptr, nullptr, nullptr, "cfg_parse_identifier: invalid attribute name in '=5'"},
        {"a.b[x", CFG_ERR_SYNTAX, nullptr, nullptr, nullptr, "cfg_parse_identifier: invalid instance name in 'b[x'"},
        {"", CFG_ERR_SYNTAX, nullptr, nullptr, nullptr, "cfg_parse_identifier: invalid attribute name in ''"},
        {"   ", CFG_ERR_SYNTAX, nullptr, nullptr, nullptr, "cfg_parse_identifier: invalid attribute name in ''"},
    };
    for (const SplitRow &row : rows) {
        SCOPED_TRACE(row.text);
        LogCapture log;
        std::string text = row.text;
        char *identifier = text.data();
        char *instance = text.data();
        char *value = text.data();
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
            const char *module = row.message[0] == 'C' ? "cfg_split" : "cfg_parse";
            EXPECT_TRUE(log.has(5, module, row.message)) << log.dump();
        }
    }
}

TEST(CfgSplit, PiecesPointIntoTheTextWhichIsCutInPlace) {
    char text[] = "  a.b[x:y] = 'v w' tail";
    char *identifier = nullptr;
    char *instance = nullptr;
    char *value = nullptr;
    ASSERT_STATUS(CFG_OK, Cfg_Split(text, &identifier, &instance, &value));
    EXPECT_EQ(text + 2, identifier);
    EXPECT_EQ(text + 6, instance);
    EXPECT_EQ(text + 14, value);
    const std::string cut(text, sizeof text - 1);
    EXPECT_EQ(std::string("  a.b\0x:y\0 = 'v w\0 tail", sizeof text - 1), cut);
}

// Without an instance pointer the brackets stay in the identifier; the
// identifier and the value are cut even when no pointer is asked for.
TEST(CfgSplit, OutPointersAreOptional) {
    for (const auto &[input, expected] :
         {std::pair{"a[x]=1", "a[x]"}, {"a.b[1:2] {", "a.b[1:2]"}, {"a[x].b", "a[x].b"}}) {
        std::string text = input;
        char *identifier = nullptr, *value = nullptr;
        ASSERT_STATUS(CFG_OK, Cfg_Split(text.data(), &identifier, nullptr, &value));
        EXPECT_STREQ(expected, identifier) << input;
    }
    char text[] = "a[1] = 'q'";
    ASSERT_STATUS(CFG_OK, Cfg_Split(text, nullptr, nullptr, nullptr));
    EXPECT_EQ(std::string("a[1]\0= 'q\0", sizeof text - 1), std::string(text, sizeof text - 1));
    char text2[] = "a[1] = 'q'";
    char *instance = nullptr;
    ASSERT_STATUS(CFG_OK, Cfg_Split(text2, nullptr, &instance, nullptr));
    EXPECT_STREQ("1", instance);
}

TEST(CfgSplit, NullTextClearsTheOutPointers) {
    char dummy[] = "x";
    char *identifier = dummy;
    char *instance = dummy;
    char *value = dummy;
    EXPECT_STATUS(CFG_OK, Cfg_Split(nullptr, &identifier, &instance, &value));
    EXPECT_EQ(nullptr, identifier);
    EXPECT_EQ(nullptr, instance);
    EXPECT_EQ(nullptr, value);
    EXPECT_STATUS(CFG_OK, Cfg_Split(nullptr, nullptr, nullptr, nullptr));
}

TEST(CfgSplit, ALongestComponentSplitsAndALongerOneIsRefused) {
    const std::string name639(639, 'n');
    std::string text = "a." + name639 + " = v";
    char *identifier = nullptr;
    char *value = nullptr;
    ASSERT_STATUS(CFG_OK, Cfg_Split(text.data(), &identifier, nullptr, &value));
    EXPECT_EQ("a." + name639, identifier);
    EXPECT_STREQ("v", value);
    std::string longer = "a." + name639 + "n = v";
    const std::string before = longer;
    EXPECT_STATUS(CFG_ERR_SYNTAX, Cfg_Split(longer.data(), &identifier, nullptr, &value));
    EXPECT_EQ(before, longer);
}

}  // namespace
