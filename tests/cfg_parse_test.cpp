// Tests of the identifier grammar: the lenient parser, the component
// splitter, the strict validators and the 639-character component bound.
#include <cstring>
#include <string>

#include "cfg_private.h"
#include "support.h"

namespace {

using cfgtest::LogCapture;

constexpr const char kNameChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-/0123456789";

TEST(NameChars, ExactlyTheSixtyFourNameCharactersAreAccepted) {
    for (int c = 0; c < 256; ++c) {
        bool expected = c != 0 && std::strchr(kNameChars, c) != nullptr;
        EXPECT_EQ(expected, cfgtree::is_name_char(static_cast<unsigned char>(c))) << "byte " << c;
        char text[2] = {static_cast<char>(c), '\0'};
        EXPECT_EQ(expected ? CFG_OK : CFG_ERR_SYNTAX, cfg_parse_identifier(text, nullptr, nullptr)) << "byte " << c;
        EXPECT_EQ(expected ? CFG_OK : CFG_ERR_SYNTAX, is_valid_identifier(text)) << "byte " << c;
    }
}

struct ParseRow {
    const char *text;
    int status;
    int instance_at;  // offset of the instance start, -1 for none
    int end_at;       // offset of the component end (success only)
    const char *message;
};

TEST(ParseIdentifier, Table) {
    const ParseRow rows[] = {
        {"abc=5", CFG_OK, -1, 3, nullptr},
        {"!abc", CFG_OK, -1, 4, nullptr},
        {"a-b/c_1", CFG_OK, -1, 7, nullptr},
        {"server.port", CFG_OK, -1, 6, nullptr},
        {"a[x]y", CFG_OK, 2, 4, nullptr},
        {"a[b.c]", CFG_OK, 2, 6, nullptr},
        {"line[*]", CFG_OK, 5, 7, nullptr},
        {"a[]", CFG_OK, 2, 3, nullptr},
        {"a[x]]", CFG_OK, 2, 4, nullptr},
        {"a]", CFG_OK, -1, 1, nullptr},
        {"!a[1:2] {", CFG_OK, 3, 7, nullptr},
        {"a[x", CFG_ERR_SYNTAX, -1, 0, "cfg_parse_identifier: invalid instance name in 'a[x'"},
        {"=5", CFG_ERR_SYNTAX, -1, 0, "cfg_parse_identifier: invalid attribute name in '=5'"},
        {"", CFG_ERR_SYNTAX, -1, 0, "cfg_parse_identifier: invalid attribute name in ''"},
        {"!", CFG_ERR_SYNTAX, -1, 0, "cfg_parse_identifier: invalid attribute name in '!'"},
        {"!!a", CFG_ERR_SYNTAX, -1, 0, "cfg_parse_identifier: invalid attribute name in '!!a'"},
        {"*", CFG_ERR_SYNTAX, -1, 0, "cfg_parse_identifier: invalid attribute name in '*'"},
        {"[x]", CFG_ERR_SYNTAX, -1, 0, "cfg_parse_identifier: invalid attribute name in '[x]'"},
        {".a", CFG_ERR_SYNTAX, -1, 0, "cfg_parse_identifier: invalid attribute name in '.a'"},
    };
    for (const ParseRow &row : rows) {
        SCOPED_TRACE(row.text);
        LogCapture log;
        const char *instance = "garbage";
        const char *end = nullptr;
        EXPECT_STATUS(row.status, cfg_parse_identifier(row.text, &instance, &end));
        if (row.status == CFG_OK) {
            if (row.instance_at < 0)
                EXPECT_EQ(nullptr, instance);
            else
                EXPECT_EQ(row.text + row.instance_at, instance);
            EXPECT_EQ(row.text + row.end_at, end);
            EXPECT_TRUE(log.at_most(6).empty()) << log.dump();
        } else {
            EXPECT_TRUE(log.has(5, "cfg_parse", row.message)) << log.dump();
            EXPECT_EQ(1u, log.lines().size()) << log.dump();
        }
    }
}

TEST(ParseIdentifier, NullTextAndOmittedOutPointers) {
    LogCapture log;
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfg_parse_identifier(nullptr, nullptr, nullptr));
    EXPECT_TRUE(log.has(5, "cfg_parse", "cfg_parse_identifier: invalid attribute name in '(null)'")) << log.dump();
    EXPECT_STATUS(CFG_OK, cfg_parse_identifier("a[1]", nullptr, nullptr));
}

// A component of n characters: mark, name and (optionally) an instance.
std::string component(std::size_t n, bool mark, bool with_instance) {
    std::string s = mark ? "!" : "";
    if (with_instance) {
        s += "a[";
        s += std::string(n - s.size() - 1, 'i');
        s += "]";
    } else {
        s += std::string(n - s.size(), 'n');
    }
    return s;
}

struct LengthRow {
    std::size_t length;
    bool mark;
    bool instance;
    int status;
};

TEST(ParseIdentifier, ComponentsAreBoundedTo639Characters) {
    const LengthRow rows[] = {
        {638, false, false, CFG_OK},        {639, false, false, CFG_OK},        {640, false, false, CFG_ERR_SYNTAX},
        {639, true, false, CFG_OK},         {640, true, false, CFG_ERR_SYNTAX}, {638, false, true, CFG_OK},
        {639, false, true, CFG_OK},         {640, false, true, CFG_ERR_SYNTAX}, {639, true, true, CFG_OK},
        {640, true, true, CFG_ERR_SYNTAX},  {5000, false, false, CFG_ERR_SYNTAX},
    };
    for (const LengthRow &row : rows) {
        std::string text = component(row.length, row.mark, row.instance) + ".next=1";
        SCOPED_TRACE(testing::Message() << row.length << (row.mark ? " mark" : "") << (row.instance ? " instance" : ""));
        ASSERT_EQ(row.length, text.find('.'));
        LogCapture log;
        const char *end = nullptr;
        EXPECT_STATUS(row.status, cfg_parse_identifier(text.c_str(), nullptr, &end));
        if (row.status == CFG_OK) {
            EXPECT_EQ(text.c_str() + row.length, end);
        } else {
            std::string expected = "cfg_parse_identifier: component longer than 639 characters in '" +
                                   text.substr(0, 64) + "...'";
            EXPECT_TRUE(log.has(5, "cfg_parse", expected)) << log.dump();
        }
    }
}

// Buffers of 640 bytes followed by canaries, to catch writes past the end.
struct Guarded {
    char name[cfgtree::kTextSize];
    char name_canary[16];
    char instance[cfgtree::kTextSize];
    char instance_canary[16];
    Guarded() {
        std::memset(this, 'Z', sizeof *this);
        std::strcpy(name, "untouched");
        std::strcpy(instance, "untouched");
    }
    bool canaries_intact() const {
        for (char c : name_canary)
            if (c != 'Z') return false;
        for (char c : instance_canary)
            if (c != 'Z') return false;
        return true;
    }
};

struct SplitRow {
    const char *text;
    bool want_name;
    bool want_instance;
    int status;
    const char *name;      // expected name buffer
    const char *instance;  // expected instance buffer
    int end_at;
};

TEST(SplitIdentifier, Table) {
    const SplitRow rows[] = {
        {"!a[x:y]=1", true, true, CFG_OK, "!a", "x:y", 7},
        {"!a[x:y]=1", true, false, CFG_OK, "!a[x:y]", "untouched", 7},
        {"!a[x:y]=1", false, true, CFG_OK, "untouched", "x:y", 7},
        {"a.b", true, true, CFG_OK, "a", "untouched", 1},
        {"a[].b", true, true, CFG_OK, "a", "", 3},
        {"port { x", true, true, CFG_OK, "port", "untouched", 4},
        {"a[b.c]=1", true, true, CFG_OK, "a", "b.c", 6},
        {"=5", true, true, CFG_ERR_SYNTAX, "untouched", "untouched", 0},
        {"a[x", true, true, CFG_ERR_SYNTAX, "untouched", "untouched", 0},
    };
    for (const SplitRow &row : rows) {
        SCOPED_TRACE(testing::Message() << row.text << " name=" << row.want_name << " instance=" << row.want_instance);
        LogCapture log;
        Guarded g;
        const char *end = nullptr;
        EXPECT_STATUS(row.status, cfg_split_identifier(row.text, row.want_name ? g.name : nullptr,
                                                       row.want_instance ? g.instance : nullptr, &end));
        EXPECT_STREQ(row.name, g.name);
        EXPECT_STREQ(row.instance, g.instance);
        if (row.status == CFG_OK) {
            EXPECT_EQ(row.text + row.end_at, end);
        } else {
            EXPECT_EQ(nullptr, end);
            ASSERT_EQ(1u, log.lines().size()) << "a bad component is logged once: " << log.dump();
            EXPECT_TRUE(log.contains("cfg_parse_identifier: ")) << log.dump();
        }
    }
}

TEST(SplitIdentifier, LongestComponentsFillButNeverOverrunTheBuffers) {
    const std::string plain = component(639, true, false) + "=1";
    const std::string bracketed = component(639, false, true) + "=1";
    {
        Guarded g;
        ASSERT_STATUS(CFG_OK, cfg_split_identifier(plain.c_str(), g.name, g.instance, nullptr));
        EXPECT_EQ(plain.substr(0, 639), g.name);
        EXPECT_TRUE(g.canaries_intact());
    }
    {
        Guarded g;
        ASSERT_STATUS(CFG_OK, cfg_split_identifier(bracketed.c_str(), g.name, g.instance, nullptr));
        EXPECT_STREQ("a", g.name);
        EXPECT_EQ(std::string(636, 'i'), g.instance);
        EXPECT_TRUE(g.canaries_intact());
    }
    {
        Guarded g;
        ASSERT_STATUS(CFG_OK, cfg_split_identifier(bracketed.c_str(), g.name, nullptr, nullptr));
        EXPECT_EQ(bracketed.substr(0, 639), g.name);
        EXPECT_TRUE(g.canaries_intact());
    }
    for (const std::string &text : {component(640, false, false), component(640, true, true)}) {
        Guarded g;
        EXPECT_STATUS(CFG_ERR_SYNTAX, cfg_split_identifier(text.c_str(), g.name, g.instance, nullptr));
        EXPECT_STREQ("untouched", g.name);
        EXPECT_STREQ("untouched", g.instance);
        EXPECT_TRUE(g.canaries_intact());
    }
}

struct ValidRow {
    const char *text;
    const char *message;  // nullptr: valid
};

TEST(IsValidIdentifier, Table) {
    const ValidRow rows[] = {
        {"a", nullptr},
        {"a.b", nullptr},
        {"a.$", nullptr},  // only the first component is examined
        {"a=1", nullptr},
        {"a {", nullptr},
        {"a\t", nullptr},
        {"!a", nullptr},
        {"a[]", nullptr},
        {"a[1-2:x]", nullptr},
        {"a[::]", nullptr},
        {"a[%]", nullptr},
        {"a[#]", nullptr},
        {"a[x]$$", nullptr},  // nothing after the instance is examined
        {"a-b/c_1", nullptr},
        {"!", "is_valid_identifier: invalid attribute name in '!'"},
        {"!=1", "is_valid_identifier: invalid attribute name in '!=1'"},
        {"a*", "is_valid_identifier: invalid attribute name in 'a*'"},
        {"a$", "is_valid_identifier: invalid attribute name in 'a$'"},
        {"a\n", "is_valid_identifier: invalid attribute name in 'a\n'"},
        {"[x]", "is_valid_identifier: invalid attribute name in '[x]'"},
        {"", "is_valid_identifier: invalid attribute name in ''"},
        {"!!a", "is_valid_identifier: invalid attribute name in '!!a'"},
        {"a[*]", "is_valid_identifier: invalid instance name in 'a[*]'"},
        {"a[x", "is_valid_identifier: invalid instance name in 'a[x'"},
        {"a[2.5]", "is_valid_identifier: invalid instance name in 'a[2.5]'"},
        {"a[x:*]", "is_valid_identifier: invalid instance name in 'a[x:*]'"},
        {"a[%x]", "is_valid_identifier: invalid instance name in 'a[%x]'"},
        {"a[%", "is_valid_identifier: invalid instance name in 'a[%'"},
        {"a[x y]", "is_valid_identifier: invalid instance name in 'a[x y]'"},
    };
    for (const ValidRow &row : rows) {
        SCOPED_TRACE(row.text);
        LogCapture log;
        if (!row.message) {
            EXPECT_STATUS(CFG_OK, is_valid_identifier(row.text));
            EXPECT_TRUE(log.at_most(6).empty()) << log.dump();
        } else {
            EXPECT_STATUS(CFG_ERR_SYNTAX, is_valid_identifier(row.text));
            EXPECT_TRUE(log.has(5, "cfg_parse", row.message)) << log.dump();
        }
    }
}

TEST(IsValidItem, Table) {
    const ValidRow rows[] = {
        {"a", nullptr},
        {"a..b.", nullptr},
        {"", nullptr},
        {"...", nullptr},
        {"!a.b[1:2].c[%]", nullptr},
        {"a.b$", "is_valid_identifier: invalid attribute name in 'b$'"},
        {"a.b$.c", "is_valid_identifier: invalid attribute name in 'b$'"},
        {"a.b[*].c", "is_valid_identifier: invalid instance name in 'b[*]'"},
        {"x[2.5]", "is_valid_identifier: invalid instance name in 'x[2'"},
        {"a b.c", nullptr},  // a blank ends a component
        {"ok.*.bad$", "is_valid_identifier: invalid attribute name in '*'"},
    };
    for (const ValidRow &row : rows) {
        SCOPED_TRACE(row.text);
        LogCapture log;
        if (!row.message) {
            EXPECT_STATUS(CFG_OK, is_valid_item(row.text));
            EXPECT_TRUE(log.at_most(6).empty()) << log.dump();
        } else {
            EXPECT_STATUS(CFG_ERR_SYNTAX, is_valid_item(row.text));
            EXPECT_TRUE(log.has(5, "cfg_parse", row.message)) << log.dump();
            EXPECT_EQ(1u, log.lines().size()) << "checking stops at the first failure: " << log.dump();
        }
    }
}

TEST(IsValidItem, NullIsRefused) {
    LogCapture log;
    EXPECT_STATUS(CFG_ERR_SYNTAX, is_valid_item(nullptr));
    EXPECT_TRUE(log.has(5, "cfg_parse", "is_valid_item: invalid attribute name in '(null)'")) << log.dump();
}

TEST(IsValidItem, NoMemoryForTheCopy) {
    LogCapture log;
    cfg_inject_alloc_fault(0, 1);
    EXPECT_STATUS(ERR_NO_MEMORY, is_valid_item("a.b"));
    EXPECT_TRUE(log.has(3, "cfg_parse",
                        "is_valid_item: strdup() failed\n\t\terrno = 12  => " + std::string(std::strerror(ENOMEM))))
        << log.dump();
    EXPECT_STATUS(CFG_OK, is_valid_item("a.b"));  // the fault was used up
}

}  // namespace
