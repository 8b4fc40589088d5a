// Tests of the typed converters: booleans, integers, ranges, byte strings
// and server addresses, as text and through attributes.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"

namespace {

using cfgtest::LogCapture;

constexpr const char kBytesModule[] = "cfg_cvtBytes";
constexpr size_t kHostSize = 640;  // what a host read through an attribute needs at most
constexpr const char kOddMessage[] = "Cfg_GetBytes: Invalid bytes string - odd number of characters";

// ---- text-level tables ------------------------------------------------------

// The readers of every kind, on tables of texts.
TEST(TextLevel, Reads) {
    const struct {
        const char *text;
        uint32_t flag;
    } rows[] = {
        {"false", 0}, {"F", 0}, {"0x1", 0}, {"", 0}, {"TRUE", 1}, {"no", 1}, {" false", 1}, {"-0", 1},
    };
    for (const auto &c : rows) {
        uint32_t flag = 7;
        EXPECT_STATUS(CFG_OK, Cfg_GetBool(c.text, &flag));
        EXPECT_EQ(c.flag, flag) << "'" << c.text << "'";
    }
    const struct {
        const char *text;
        int32_t value;
    } ints[] = {
        {"0x1A", 26}, {"017", 15}, {"08", 0} /* octal stops at the 8 */, {"  \t-42", -42}, {"12abc", 12}, {"", 0},
        {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX}, {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN},
        {"99999999999999999999999999", INT32_MAX},
        // no binary prefix, whatever the C library's strtol reads
        {"0b101", 0}, {" -0B11", 0}, {"0b", 0},
    };
    for (const auto &c : ints) {
        int32_t value = 7;
        EXPECT_STATUS(CFG_OK, Cfg_GetInt(c.text, &value));
        EXPECT_EQ(c.value, value) << "'" << c.text << "'";
    }
    const struct {
        const char *text;
        int status;
        int32_t low, high;
    } ranges[] = {
        {"-3..0x10", CFG_OK, -3, 16},   {"010..5", CFG_OK, 8, 5},        {" 1.. 2", CFG_OK, 1, 2},
        {"1..5..9", CFG_OK, 1, 5},      {"-2147483649..2147483648", CFG_OK, INT32_MIN, INT32_MAX},
        {"5", CFG_ERR_SYNTAX, 0, 0},    {"1 .. 5", CFG_ERR_SYNTAX, 0, 0}, {"08..10", CFG_ERR_SYNTAX, 0, 0},
        {"", CFG_ERR_SYNTAX, 0, 0},      {"1..", CFG_ERR_SYNTAX, 0, 0},
        {"0b1..3", CFG_ERR_SYNTAX, 0, 0}, {"1..0b11", CFG_OK, 1, 0},    {"1.. -0B11", CFG_OK, 1, 0},
        // "0x" with no hex digit is no number, whatever this C library's scanf reads
        {"0x..5", CFG_ERR_SYNTAX, 0, 0}, {" -0X..1", CFG_ERR_SYNTAX, 0, 0}, {"1..0x", CFG_ERR_SYNTAX, 0, 0},
        {"1.. +0xg", CFG_ERR_SYNTAX, 0, 0}, {"0x1..0Xf", CFG_OK, 1, 15},
    };
    for (const auto &c : ranges) {
        int32_t low = 77, high = 88;
        EXPECT_STATUS(c.status, Cfg_GetRange(c.text, &low, &high));
        EXPECT_EQ(c.status == CFG_OK ? c.low : 77, low) << "'" << c.text << "'";
        EXPECT_EQ(c.status == CFG_OK ? c.high : 88, high) << "'" << c.text << "'";
    }
    const struct {
        const char *text;
        const char *host;
        int32_t port;
    } servers[] = {
        {"a:b:80", "a:b", 80}, {"host", "host", 0},        {"host:x", "host", 0},
        {":80", "", 80},       {"h:99999999999", "h", INT32_MAX}, {"host: 443", "host", 443},
    };
    for (const auto &c : servers) {
        char host[64];
        std::memset(host, 'z', sizeof host);
        int32_t port = 7;
        EXPECT_STATUS(CFG_OK, Cfg_GetServer(c.text, host, &port));
        EXPECT_STREQ(c.host, host) << "'" << c.text << "'";
        EXPECT_EQ(c.port, port) << "'" << c.text << "'";
    }
}

// Each writer writes exactly its text, nothing past the documented size.
TEST(TextLevel, Writes) {
    const struct {
        uint32_t flag;
        const char *text;
    } bools[] = {{0, "FALSE"}, {0xFFFFFFFFu, "TRUE"}};
    for (const auto &c : bools) {
        char text[8];
        std::memset(text, '#', sizeof text);
        EXPECT_STATUS(CFG_OK, Cfg_SetBool(c.flag, text));
        EXPECT_STREQ(c.text, text);
        EXPECT_EQ('#', text[6]);
    }
    for (int32_t v : {0, INT32_MAX, INT32_MIN}) {
        char text[13];
        std::memset(text, '#', sizeof text);
        EXPECT_STATUS(CFG_OK, Cfg_SetInt(v, text));
        EXPECT_EQ(std::to_string(v), text);
        EXPECT_EQ('#', text[12]);
    }
    char range[26];
    std::memset(range, '#', sizeof range);
    EXPECT_STATUS(CFG_OK, Cfg_SetRange(INT32_MIN, INT32_MIN, range));
    EXPECT_STREQ("-2147483648..-2147483648", range);
    EXPECT_EQ('#', range[25]);
    const struct {
        const char *host;
        int32_t port;
        const char *text;
    } servers[] = {{"host", 1, "host:1"}, {"host", 0, "host"}, {"h", INT32_MAX, "h:2147483647"}};
    for (const auto &c : servers) {
        char text[32];
        EXPECT_STATUS(CFG_OK, Cfg_SetServer(c.host, c.port, text));
        EXPECT_STREQ(c.text, text);
        // the host may lie inside the text, at its start or further on
        for (std::size_t at : {0, 2}) {
            std::strcpy(text + at, c.host);
            EXPECT_STATUS(CFG_OK, Cfg_SetServer(text + at, c.port, text));
            EXPECT_STREQ(c.text, text);
        }
    }
}

TEST(TextLevel, NullArgumentsAndNoMemory) {
    int32_t low = 0, high = 0, port = 0;
    EXPECT_STATUS(CFG_OK, Cfg_GetRange("3..4", nullptr, &high));
    EXPECT_EQ(4, high);
    EXPECT_STATUS(CFG_OK, Cfg_GetRange("3..4", &low, nullptr));
    EXPECT_EQ(3, low);
    EXPECT_STATUS(ERR_NULL_BUFFER, Cfg_GetRange(nullptr, &low, &high));
    EXPECT_STATUS(ERR_NULL_BUFFER, Cfg_SetRange(1, 2, nullptr));

    EXPECT_STATUS(CFG_OK, Cfg_GetServer("h:5", nullptr, &port));
    EXPECT_EQ(5, port);
    char host[8] = {};
    EXPECT_STATUS(CFG_OK, Cfg_GetServer("h:5", host, nullptr));
    EXPECT_STREQ("h", host);
    EXPECT_STATUS(ERR_NULL_BUFFER, Cfg_GetServer(nullptr, host, &port));
    EXPECT_STATUS(ERR_NULL_BUFFER, Cfg_SetServer("h", 1, nullptr));
    std::strcpy(host, "keep");
    EXPECT_STATUS(ERR_NULL_ARGUMENT, Cfg_SetServer(nullptr, 1, host));
    EXPECT_STREQ("keep", host);

    port = 77;
    cfg_inject_alloc_fault(0, 1);
    EXPECT_STATUS(ERR_NO_MEMORY, Cfg_GetServer("other:1", host, &port));
    cfg_inject_alloc_fault(0, 0);
    EXPECT_STREQ("keep", host);
    EXPECT_EQ(77, port);
}

// ---- byte strings -----------------------------------------------------------

std::string hex_text(size_t pairs) {
    std::string text = "0x";
    for (size_t i = 0; i < pairs; ++i) text += "a5";
    return text;
}

TEST(Bytes, EncodesUpperCaseOnlyWhenItFits) {
    const unsigned char two[] = {0x00, 0xAB};
    const struct {
        uint32_t count, size;
        int status;
        const char *text;
    } cases[] = {
        {2, 7, CFG_OK, "0x00AB"},  // 2 * 2 + 3 == 7: exactly fits
        {2, 6, CFG_NO_MATCH, nullptr}, {0, 3, CFG_OK, "0x"}, {0, 2, CFG_NO_MATCH, nullptr},
    };
    for (const auto &c : cases) {
        char text[16];
        std::memset(text, '#', sizeof text);
        SCOPED_TRACE("count " + std::to_string(c.count) + " size " + std::to_string(c.size));
        EXPECT_STATUS(c.status, Cfg_SetBytes(two, c.count, text, c.size));
        if (c.text) {
            EXPECT_STREQ(c.text, text);
            EXPECT_EQ('#', text[c.size]);
        } else {
            EXPECT_EQ('#', text[0]) << "nothing is written when it does not fit";
        }
    }
    EXPECT_STATUS(ERR_NULL_BUFFER, Cfg_SetBytes(two, 2, nullptr, 7));
}

TEST(Bytes, EveryByteValueRoundTrips) {
    unsigned char all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    std::vector<char> text(2 * 256 + 3);
    ASSERT_STATUS(CFG_OK, Cfg_SetBytes(all, 256, text.data(), static_cast<uint32_t>(text.size())));
    EXPECT_EQ(std::string("0x000102"), std::string(text.data(), 8));
    EXPECT_EQ(std::string("FDFEFF"), std::string(text.data() + 2 + 2 * 253));
    unsigned char back[257];
    uint32_t count = 0;
    ASSERT_STATUS(CFG_OK, Cfg_GetBytes(text.data(), back, 256, &count));
    EXPECT_EQ(256u, count);
    EXPECT_EQ(0, std::memcmp(all, back, 256));
    EXPECT_EQ(0, back[256]);
}

TEST(Bytes, DecodesPairsAndReportsWhatItCouldNotRead) {
    // A pair is what "%02x" reads there: white space before it is skipped,
    // a sign takes one of its two characters.
    const struct {
        const char *text;
        uint32_t size;
        int status;
        std::vector<unsigned char> bytes;  // decoded, before the zero byte
        bool logs_odd;
    } cases[] = {
        {"0x00ab", 2, CFG_OK, {0x00, 0xAB}, false},
        {"0x", 4, CFG_OK, {}, false},
        {"0x+a", 4, CFG_OK, {0x0A}, false},
        {"0x a5", 4, CFG_NO_MATCH, {0xA5}, true},  // reads " a5", then one character is left
        {"0xabc", 2, CFG_NO_MATCH, {0xAB}, true},
        {"0Xab", 2, CFG_NO_MATCH, {0xAB}, false},  // bad prefix: the rest is decoded all the same
        {"ab12", 2, CFG_NO_MATCH, {0x12}, false},
        {"0x12zz", 4, CFG_NO_MATCH, {0x12}, true},
        {"0x120xab", 4, CFG_NO_MATCH, {0x12}, true},  // "0x" has no digit: no pair (C17's scanf)
        {"0x 0Xab", 4, CFG_NO_MATCH, {}, true},
        {"", 4, CFG_NO_MATCH, {}, false},
    };
    for (const auto &c : cases) {
        LogCapture log;
        unsigned char out[8];
        std::memset(out, 0xEE, sizeof out);
        uint32_t count = 99;
        SCOPED_TRACE(std::string("'") + c.text + "'");
        EXPECT_STATUS(c.status, Cfg_GetBytes(c.text, out, c.size, &count));
        ASSERT_EQ(c.bytes.size(), count);
        EXPECT_EQ(c.bytes, std::vector<unsigned char>(out, out + count));
        EXPECT_EQ(0, out[count]) << "a zero byte follows the decoded ones";
        EXPECT_EQ(c.logs_odd, log.has(3, kBytesModule, kOddMessage)) << log.dump();
    }
}

TEST(Bytes, TextLongerThanTheOutputIsRefusedUntouched) {
    for (uint32_t size : {0u, 1u, 10u}) {
        std::vector<unsigned char> out(size + 2, 0xEE);
        uint32_t count = 99;
        EXPECT_STATUS(CFG_OK, Cfg_GetBytes(hex_text(size).c_str(), out.data(), size, &count));
        EXPECT_EQ(size, count);
        EXPECT_EQ(0, out[size]);
        EXPECT_EQ(0xEE, out[size + 1]) << "nothing past size + 1 bytes is written";
        std::fill(out.begin(), out.end(), 0xEE);
        count = 99;
        EXPECT_STATUS(CFG_NO_MATCH, Cfg_GetBytes((hex_text(size) + "a").c_str(), out.data(), size, &count));
        EXPECT_EQ(99u, count);
        EXPECT_EQ(0xEE, out[0]);
    }
}

// Regression: scanf skips white space before every pair, and the decoder
// skipped a run of it again for each pair inside the run (hours on a run of
// two million blanks); a decoder that rescans the rest of the text for each
// pair fails here too. Every pair in the run reads the digits behind it.
TEST(Bytes, ARunOfWhiteSpaceDecodesInLinearTime) {
    const uint32_t size = 1000000;
    std::string text = "0x" + std::string(2 * size - 2, ' ') + "ab";
    std::vector<unsigned char> out(size + 1);
    uint32_t count = 0;
    ASSERT_STATUS(CFG_OK, Cfg_GetBytes(text.c_str(), out.data(), size, &count));
    EXPECT_EQ(size, count);
    EXPECT_EQ(0xAB, out[0]);
    EXPECT_EQ(0xAB, out[size - 1]);
}

// ---- attribute-level operations --------------------------------------------

std::string raw(const char *identifier) {
    const char *value = nullptr;
    if (Cfg_GetAttrValuePtr(identifier, &value) != CFG_OK || !value) return "<none>";
    return value;
}

void put(const char *identifier, const char *value) { ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(identifier, value)); }

// What each kind reads back through an attribute the C++ layer's tests check.
TEST(Attributes, EachKindStoresItsText) {
    LogCapture log;
    ASSERT_STATUS(CFG_OK, Cfg_SetBoolAttrValue("dev.on", 5));
    ASSERT_STATUS(CFG_OK, Cfg_SetIntAttrValue("dev.n", INT32_MIN));
    ASSERT_STATUS(CFG_OK, Cfg_SetRangeAttrValue("dev.r", -3, 16));
    const unsigned char bytes[] = {0x00, 0xAB, 0x7F};
    ASSERT_STATUS(CFG_OK, Cfg_SetBytesAttrValue("dev.b", bytes, 3));
    ASSERT_STATUS(CFG_OK, Cfg_SetServerAttrValue("dev.s", "gw.local", 8443));
    ASSERT_STATUS(CFG_OK, Cfg_SetServerAttrValue("dev.h", "gw.local", 0));
    const char *stored[][2] = {{"dev.on", "TRUE"},    {"dev.n", "-2147483648"},  {"dev.r", "-3..16"},
                               {"dev.b", "0x00AB7F"}, {"dev.s", "gw.local:8443"}, {"dev.h", "gw.local"}};
    for (const auto &row : stored) EXPECT_EQ(row[1], raw(row[0])) << row[0];

    // Outputs are optional for every kind but byte strings.
    EXPECT_STATUS(CFG_OK, Cfg_GetBoolAttrValue("dev.on", nullptr));
    EXPECT_STATUS(CFG_OK, Cfg_GetIntAttrValue("dev.n", nullptr));
    EXPECT_STATUS(CFG_OK, Cfg_GetRangeAttrValue("dev.r", nullptr, nullptr));
    EXPECT_STATUS(CFG_OK, Cfg_GetServerAttrValue("dev.s", nullptr, nullptr));
    EXPECT_TRUE(log.at_most(5).empty()) << log.dump();
}

// A stored value holds at most 637 characters; a substituted one is seen up to 638.
TEST(Attributes, ReadsSeeSubstitutedValuesCutTo638Characters) {
    put("a", std::string(400, 'h').c_str());
    put("b", std::string(400, 'h').c_str());
    put("ab", "${a}${b}");
    char host[kHostSize];
    int32_t port = 7;
    EXPECT_STATUS(CFG_OK, Cfg_GetServerAttrValue("ab", host, &port));
    EXPECT_EQ(638u, std::strlen(host));
    EXPECT_EQ(0, port);
}

TEST(Attributes, ValuesUpToTheBufferLimit) {
    std::vector<unsigned char> bytes(319);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    // 317 bytes: "b=0x" and 634 digits, 638 characters stored.
    ASSERT_STATUS(CFG_OK, Cfg_SetBytesAttrValue("b", bytes.data(), 317));
    std::vector<unsigned char> out(320, 0xEE);
    uint32_t count = 0;
    EXPECT_STATUS(CFG_OK, Cfg_GetBytesAttrValue("b", out.data(), 317, &count));
    EXPECT_EQ(317u, count);
    EXPECT_EQ(0, std::memcmp(bytes.data(), out.data(), 317));
    count = 99;
    EXPECT_STATUS(CFG_NO_MATCH, Cfg_GetBytesAttrValue("b", out.data(), 316, &count));
    EXPECT_EQ(99u, count);

    // 319 bytes, or a host of 640 characters, do not fit the 640-byte
    // text: refused before the store, as are missing bytes and host.
    EXPECT_STATUS(CFG_OK, Cfg_SetServerAttrValue("s", std::string(630, 'h').c_str(), 0));
    std::string before = cfgtest::dump_tree();
    EXPECT_STATUS(CFG_NO_MATCH, Cfg_SetBytesAttrValue("b", bytes.data(), 319));
    EXPECT_STATUS(CFG_NO_MATCH, Cfg_SetBytesAttrValue("c", bytes.data(), 319));
    EXPECT_STATUS(CFG_NO_MATCH, Cfg_SetServerAttrValue("s", std::string(640, 'h').c_str(), 0));
    EXPECT_STATUS(CFG_NO_MATCH, Cfg_SetServerAttrValue("s", std::string(630, 'h').c_str(), 123456789));
    EXPECT_STATUS(ERR_NULL_ARGUMENT, Cfg_SetServerAttrValue("s", nullptr, 1));
    EXPECT_STATUS(ERR_NULL_BUFFER, Cfg_SetBytesAttrValue("b", nullptr, 2));
    EXPECT_EQ(before, cfgtest::dump_tree());
}

// One row per kind, for the failures every kind shares. get reads with
// sentinels and returns the status, or -999 when a failed read changed them.
struct Kind {
    const char *name;
    int (*get)(const char *identifier);
    int (*set)(const char *identifier);
};

int get_bool(const char *id) {
    uint32_t flag = 77;
    int s = Cfg_GetBoolAttrValue(id, &flag);
    return s != CFG_OK && flag != 77 ? -999 : s;
}
int get_int(const char *id) {
    int32_t v = 77;
    int s = Cfg_GetIntAttrValue(id, &v);
    return s != CFG_OK && v != 77 ? -999 : s;
}
int get_range(const char *id) {
    int32_t low = 77, high = 77;
    int s = Cfg_GetRangeAttrValue(id, &low, &high);
    return s != CFG_OK && (low != 77 || high != 77) ? -999 : s;
}
int get_bytes(const char *id) {
    unsigned char out[8] = {77};
    uint32_t count = 77;
    int s = Cfg_GetBytesAttrValue(id, out, 4, &count);
    // A failed conversion (1) reports what it decoded; a failed read must not.
    return s != CFG_OK && s != CFG_NO_MATCH && (count != 77 || out[0] != 77) ? -999 : s;
}
int get_server(const char *id) {
    char host[kHostSize] = "keep";
    int32_t port = 77;
    int s = Cfg_GetServerAttrValue(id, host, &port);
    return s != CFG_OK && (port != 77 || std::strcmp(host, "keep") != 0) ? -999 : s;
}
int set_bool(const char *id) { return Cfg_SetBoolAttrValue(id, 1); }
int set_int(const char *id) { return Cfg_SetIntAttrValue(id, 12); }
int set_range(const char *id) { return Cfg_SetRangeAttrValue(id, 1, 2); }
int set_bytes(const char *id) {
    const unsigned char b[] = {1, 2};
    return Cfg_SetBytesAttrValue(id, b, 2);
}
int set_server(const char *id) { return Cfg_SetServerAttrValue(id, "h", 1); }

const Kind kKinds[] = {
    {"bool", get_bool, set_bool},    {"int", get_int, set_int},          {"range", get_range, set_range},
    {"bytes", get_bytes, set_bytes}, {"server", get_server, set_server},
};

// Failed lookups and refused store calls pass their status on.
TEST(Attributes, LookupAndStoreRefusalsPassThrough) {
    const struct {
        int fault, status;
        const char *id;
    } refusals[] = {{DS_FAULT_MODIFY, ERR_MODIFY_FAILED, "dev.x"}, {DS_FAULT_APPEND, ERR_CREATE_FAILED, "dev.fresh"}};
    put("dev.x", "old");
    const std::string before = cfgtest::dump_tree();
    for (const Kind &k : kKinds) {
        SCOPED_TRACE(k.name);
        EXPECT_STATUS(CFG_NOT_FOUND, k.get("dev.missing"));
        EXPECT_STATUS(CFG_NOT_FOUND, k.get("nodev.x"));
        EXPECT_STATUS(CFG_ERR_NOT_ATTRIBUTE, k.get("dev"));
        for (const auto &r : refusals) {
            SCOPED_TRACE(r.id);
            ds_inject_fault(r.fault, 0, 1);
            EXPECT_STATUS(r.status, k.set(r.id));
            ds_inject_fault(r.fault, 0, 0);
            EXPECT_EQ(before, cfgtest::dump_tree());
        }
    }
}

TEST(Attributes, NoMemorySweepLeavesOutputsAndTree) {
    put("dev.x", "5");
    put("dev.s", "h:${dev.x}");
    for (const Kind &k : kKinds) {
        SCOPED_TRACE(k.name);
        const char *id = std::strcmp(k.name, "server") == 0 ? "dev.s" : "dev.x";
        int status = ERR_NO_MEMORY;
        for (int skip = 0; status == ERR_NO_MEMORY && skip < 50; ++skip) {
            cfg_inject_alloc_fault(skip, 1);
            status = k.get(id);
            cfg_inject_alloc_fault(0, 0);
            EXPECT_NE(-999, status) << "outputs changed on a failed read, skip " << skip;
        }
        EXPECT_NE(ERR_NO_MEMORY, status) << "the sweep ends once nothing fails";
        std::string before = cfgtest::dump_tree();
        status = ERR_NO_MEMORY;
        for (int skip = 0; status == ERR_NO_MEMORY && skip < 50; ++skip) {
            cfg_inject_alloc_fault(skip, 1);
            status = k.set(id);
            cfg_inject_alloc_fault(0, 0);
            if (status == ERR_NO_MEMORY) {
                EXPECT_EQ(before, cfgtest::dump_tree()) << "skip " << skip;
            }
        }
        EXPECT_STATUS(CFG_OK, status);
        put("dev.x", "5");
        put("dev.s", "h:${dev.x}");
    }
}

}  // namespace
