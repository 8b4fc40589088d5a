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

// A scanned parent judges each stored name against the component looked
// for; a name without an instance is judged from its name alone, and must
// get the answer the full reading of the component gives (matched, differs,
// or cannot tell), for attributes and objects alike.
TEST(JudgeName, EqualsTheFullReadingOfTheComponent) {
    using cfgtree::judge_instanced;
    using cfgtree::judge_name;
    const std::string longest(639, 'n'), over(640, 'n');
    const std::string texts[] = {
        "k3=v",  "k3",    "!k3=v",   "!!k3=v", "k3x=v",  "k=v",    "k3.a=v", "k3.a",      "k3 =v",  "=v",
        "",      "!",     "!=v",     "k3[]=v", "k3[1]",  "k3[*]",  "k3[1",   "k3[1].a",   "[1]=v",  "k3-/_9",
        longest, over,    "!" + longest, longest + "=v", over + "=v", longest + "[]", longest + ".a"};
    struct Key {
        std::string name, inst;
    };
    const Key keys[] = {{"k3", ""}, {"k", ""}, {"k3x", ""}, {"k3", "1"}, {"k3-/_9", ""}, {longest, ""}, {over, ""}};
    for (const std::string &text : texts) {
        for (const Key &key : keys) {
            for (bool object : {false, true}) {
                SCOPED_TRACE("'" + text.substr(0, 12) + "' (" + std::to_string(text.size()) + ") against '" +
                             key.name.substr(0, 12) + "[" + key.inst + "]'" + (object ? " as an object" : ""));
                EXPECT_EQ(judge_instanced(text.c_str(), object, key.name.data(), key.name.size(), key.inst.data(),
                                          key.inst.size()),
                          judge_name(text.c_str(), object, key.name.data(), key.name.size(), key.inst.data(),
                                     key.inst.size()));
            }
        }
    }
    EXPECT_EQ(cfgtree::Judgement::kAsk, judge_name(nullptr, false, "k", 1, "", 0));
}

// Which message a refused text logs: "invalid <kind> name in '<text>'".
enum Refusal { kValid, kAttribute, kInstance };

std::string refusal(const char *function, Refusal kind, const std::string &text) {
    return std::string(function) + ": invalid " + (kind == kAttribute ? "attribute" : "instance") + " name in '" +
           text + "'";
}

TEST(ParseIdentifier, Table) {
    // offsets of the instance start (-1: none) and of the component end
    const struct { const char *text; Refusal refusal; int instance_at, end_at; } rows[] = {
        {"abc=5", kValid, -1, 3}, {"!abc", kValid, -1, 4}, {"a-b/c_1", kValid, -1, 7}, {"server.port", kValid, -1, 6},
        {"a[x]y", kValid, 2, 4},  {"a[b.c]", kValid, 2, 6}, {"line[*]", kValid, 5, 7},  {"a[]", kValid, 2, 3},
        {"a[x]]", kValid, 2, 4},  {"a]", kValid, -1, 1},    {"!a[1:2] {", kValid, 3, 7}, {"a[x", kInstance, -1, 0},
        {"=5", kAttribute, -1, 0}, {"", kAttribute, -1, 0}, {"!", kAttribute, -1, 0},    {"!!a", kAttribute, -1, 0},
        {"*", kAttribute, -1, 0}, {"[x]", kAttribute, -1, 0}, {".a", kAttribute, -1, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        LogCapture log;
        const char *instance = "garbage", *end = nullptr;
        EXPECT_STATUS(row.refusal == kValid ? CFG_OK : CFG_ERR_SYNTAX, cfg_parse_identifier(row.text, &instance, &end));
        if (row.refusal == kValid) {
            EXPECT_EQ(row.instance_at < 0 ? nullptr : row.text + row.instance_at, instance);
            EXPECT_EQ(row.text + row.end_at, end);
            EXPECT_TRUE(log.at_most(6).empty()) << log.dump();
        } else {
            EXPECT_TRUE(log.has(5, "cfg_parse", refusal("cfg_parse_identifier", row.refusal, row.text))) << log.dump();
            EXPECT_EQ(1u, log.lines().size()) << log.dump();
        }
    }
}

TEST(ParseIdentifier, NullTextsAndNoMemory) {
    LogCapture log;
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfg_parse_identifier(nullptr, nullptr, nullptr));
    EXPECT_TRUE(log.has(5, "cfg_parse", "cfg_parse_identifier: invalid attribute name in '(null)'")) << log.dump();
    EXPECT_STATUS(CFG_OK, cfg_parse_identifier("a[1]", nullptr, nullptr));
    EXPECT_STATUS(CFG_ERR_SYNTAX, is_valid_item(nullptr));
    EXPECT_TRUE(log.has(5, "cfg_parse", "is_valid_item: invalid attribute name in '(null)'")) << log.dump();

    cfg_inject_alloc_fault(0, 1);
    EXPECT_STATUS(ERR_NO_MEMORY, is_valid_item("a.b"));
    EXPECT_TRUE(log.has(3, "cfg_parse",
                        "is_valid_item: strdup() failed\n\t\terrno = 12  => " + std::string(std::strerror(ENOMEM))))
        << log.dump();
    EXPECT_STATUS(CFG_OK, is_valid_item("a.b"));  // the fault was used up
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

TEST(ParseIdentifier, ComponentsAreBoundedTo639Characters) {
    const struct { std::size_t length; bool mark, instance; int status; } rows[] = {
        {638, false, false, CFG_OK},        {639, false, false, CFG_OK},        {640, false, false, CFG_ERR_SYNTAX},
        {639, true, false, CFG_OK},         {640, true, false, CFG_ERR_SYNTAX}, {638, false, true, CFG_OK},
        {639, false, true, CFG_OK},         {640, false, true, CFG_ERR_SYNTAX}, {639, true, true, CFG_OK},
        {640, true, true, CFG_ERR_SYNTAX},  {5000, false, false, CFG_ERR_SYNTAX},
    };
    for (const auto &row : rows) {
        std::string text = component(row.length, row.mark, row.instance) + ".next=1";
        SCOPED_TRACE(testing::Message() << row.length << (row.mark ? " mark" : "") << (row.instance ? " instance" : ""));
        ASSERT_EQ(row.length, text.find('.'));
        LogCapture log;
        const char *end = nullptr;
        EXPECT_STATUS(row.status, cfg_parse_identifier(text.c_str(), nullptr, &end));
        EXPECT_EQ(row.status == CFG_OK ? text.c_str() + row.length : nullptr, end);
        if (row.status != CFG_OK) {
            EXPECT_TRUE(log.has(5, "cfg_parse", "cfg_parse_identifier: component longer than 639 characters in '" +
                                                    text.substr(0, 64) + "...'")) << log.dump();
        }
    }
}

// Buffers of 640 bytes followed by canaries, to catch writes past the end.
struct Guarded {
    char name[cfgtree::kTextSize], name_canary[16], instance[cfgtree::kTextSize], instance_canary[16];
    Guarded() {
        std::memset(this, 'Z', sizeof *this);
        std::strcpy(name, "untouched");
        std::strcpy(instance, "untouched");
    }
    bool canaries_intact() const {
        return std::string(name_canary, 16) + std::string(instance_canary, 16) == std::string(32, 'Z');
    }
};

TEST(SplitIdentifier, Table) {
    const struct {
        const char *text;
        bool want_name, want_instance;
        int status;
        const char *name, *instance;  // expected buffers
        int end_at;
    } rows[] = {
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
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.text << " name=" << row.want_name << " instance=" << row.want_instance);
        LogCapture log;
        Guarded g;
        const char *end = nullptr;
        EXPECT_STATUS(row.status, cfg_split_identifier(row.text, row.want_name ? g.name : nullptr,
                                                       row.want_instance ? g.instance : nullptr, &end));
        EXPECT_STREQ(row.name, g.name);
        EXPECT_STREQ(row.instance, g.instance);
        EXPECT_EQ(row.status == CFG_OK ? row.text + row.end_at : nullptr, end);
        if (row.status != CFG_OK) {
            ASSERT_EQ(1u, log.lines().size()) << "a bad component is logged once: " << log.dump();
            EXPECT_TRUE(log.contains("cfg_parse_identifier: ")) << log.dump();
        }
    }
}

TEST(SplitIdentifier, LongestComponentsFillButNeverOverrunTheBuffers) {
    const std::string plain = component(639, true, false) + "=1";
    const std::string bracketed = component(639, false, true) + "=1";
    const struct { std::string text; bool want_instance; int status; std::string name, instance; } rows[] = {
        {plain, true, CFG_OK, plain.substr(0, 639), "untouched"},
        {bracketed, true, CFG_OK, "a", std::string(636, 'i')},
        {bracketed, false, CFG_OK, bracketed.substr(0, 639), "untouched"},
        {component(640, false, false), true, CFG_ERR_SYNTAX, "untouched", "untouched"},
        {component(640, true, true), true, CFG_ERR_SYNTAX, "untouched", "untouched"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text.substr(0, 8) + "... " + std::to_string(row.text.size()));
        Guarded g;
        EXPECT_STATUS(row.status,
                      cfg_split_identifier(row.text.c_str(), g.name, row.want_instance ? g.instance : nullptr, nullptr));
        EXPECT_EQ(row.name, g.name);
        EXPECT_EQ(row.instance, g.instance);
        EXPECT_TRUE(g.canaries_intact());
    }
}

// is_valid_identifier examines the first component only; is_valid_item
// checks each one and names the first bad one (component: what the message
// quotes, when not the whole text), stopping there.
TEST(IsValid, IdentifierAndItemTable) {
    const auto id = is_valid_identifier, item = is_valid_item;
    const struct {
        int (*fn)(const char *);
        const char *text;
        Refusal refusal;
        const char *component = nullptr;
    } rows[] = {
        {id, "a", kValid}, {id, "a.b", kValid}, {id, "a.$", kValid}, {id, "a=1", kValid}, {id, "a {", kValid},
        {id, "a\t", kValid}, {id, "!a", kValid}, {id, "a[]", kValid}, {id, "a[1-2:x]", kValid}, {id, "a[::]", kValid},
        {id, "a[%]", kValid}, {id, "a[#]", kValid}, {id, "a[x]$$", kValid}, {id, "a-b/c_1", kValid}, {id, "!", kAttribute},
        {id, "!=1", kAttribute}, {id, "a*", kAttribute}, {id, "a$", kAttribute}, {id, "a\n", kAttribute},
        {id, "[x]", kAttribute}, {id, "", kAttribute}, {id, "!!a", kAttribute}, {id, "a[*]", kInstance},
        {id, "a[x", kInstance}, {id, "a[2.5]", kInstance}, {id, "a[x:*]", kInstance}, {id, "a[%x]", kInstance},
        {id, "a[%", kInstance}, {id, "a[x y]", kInstance}, {item, "a", kValid}, {item, "a..b.", kValid},
        {item, "", kValid}, {item, "...", kValid}, {item, "!a.b[1:2].c[%]", kValid},
        {item, "a b.c", kValid},  // a blank ends a component
        {item, "a.b$", kAttribute, "b$"}, {item, "a.b$.c", kAttribute, "b$"}, {item, "a.b[*].c", kInstance, "b[*]"},
        {item, "x[2.5]", kInstance, "x[2"}, {item, "ok.*.bad$", kAttribute, "*"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.fn == id ? "identifier '" : "item '") + row.text + "'");
        LogCapture log;
        EXPECT_STATUS(row.refusal == kValid ? CFG_OK : CFG_ERR_SYNTAX, row.fn(row.text));
        if (row.refusal == kValid) {
            EXPECT_TRUE(log.at_most(6).empty()) << log.dump();
        } else {
            const char *quoted = row.component ? row.component : row.text;
            EXPECT_TRUE(log.has(5, "cfg_parse", refusal("is_valid_identifier", row.refusal, quoted))) << log.dump();
            EXPECT_EQ(1u, log.lines().size()) << "checking stops at the first failure: " << log.dump();
        }
    }
}

}  // namespace
