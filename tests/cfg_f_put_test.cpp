// Tests of CfgF_PutItem: the exact bytes written for each combination of
// pieces, refusals and what was already written, and allocation failures
// inside the validators.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cfg_private.h"
#include "load_support.h"
#include "support.h"

namespace {

using cfgtest::LogCapture;

struct Put {
    int status;
    std::string written;
};

// Puts to a stream in memory.
Put put(const char *object, const char *avp, int close) {
    char *buffer = nullptr;
    std::size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    EXPECT_NE(nullptr, stream);
    int status = CfgF_PutItem(stream, object, avp, close);
    std::fclose(stream);
    Put out{status, std::string(buffer, size)};
    std::free(buffer);
    return out;
}

TEST(PutItem, Table) {
    // module: of the level 5 message logged, or null when nothing is
    const char *const no = nullptr;
    const struct {
        const char *object, *avp;
        int close, status;
        const char *written, *module, *message;
    } rows[] = {
        {"o", "x=1", 1, CFG_OK, "o {\nx=1\n}\n", no, no},         {no, no, 1, CFG_OK, "}\n", no, no},
        {no, no, 0, CFG_OK, "", no, no},                         {"o", no, 0, CFG_OK, "o {\n", no, no},
        {no, "x=1", 0, CFG_OK, "x=1\n", no, no},                  {no, "x =", 0, CFG_OK, "x =\n", no, no},
        {no, "x = \"a b\"", 0, CFG_OK, "x = \"a b\"\n", no, no},
        {no, "  x='it' s'  ", 0, CFG_OK, "  x='it' s'  \n", no, no},
        {"!srv[1].net", "!port = 80", -1, CFG_OK, "!srv[1].net {\n!port = 80\n}\n", no, no},
        {"o=1", "x=1", 1, CFG_NO_MATCH, "", "cfg_f_put", "CfgF_PutItem: Invalid object name 'o=1'"},
        {"o = ", no, 0, CFG_NO_MATCH, "", "cfg_f_put", "CfgF_PutItem: Invalid object name 'o = '"},
        {"o", "x", 1, CFG_NO_MATCH, "o {\n", "cfg_f_put", "CfgF_PutItem: Invalid AVP 'x'"},
        {no, "x {", 1, CFG_NO_MATCH, "", "cfg_f_put", "CfgF_PutItem: Invalid AVP 'x {'"},
        // texts that break the definition syntax are not refused here: the
        // splitter reports them and they are written unchanged
        {"a b", no, 0, CFG_OK, "a b {\n", "cfg_split", "Cfg_Split: invalid syntax at:\n\t\t'b'"},
        {no, "=5", 0, CFG_OK, "=5\n", "cfg_parse", "cfg_parse_identifier: invalid attribute name in '=5'"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << (r.object ? r.object : "-") << " | " << (r.avp ? r.avp : "-") << " | "
                                        << r.close);
        LogCapture log;
        Put got = put(r.object, r.avp, r.close);
        EXPECT_STATUS(r.status, got.status);
        EXPECT_EQ(r.written, got.written);
        if (!r.module) {
            EXPECT_TRUE(log.at_most(6).empty()) << log.dump();
        } else {
            EXPECT_TRUE(log.has(5, r.module, r.message)) << log.dump();
            EXPECT_EQ(std::strcmp(r.module, "cfg_f_put") == 0, log.contains("CfgF_PutItem: Invalid"));
        }
    }
    LogCapture log;
    EXPECT_STATUS(ERR_NULL_ARGUMENT, CfgF_PutItem(nullptr, "o", "x=1", 1));
    EXPECT_STATUS(ERR_NULL_ARGUMENT, CfgF_PutItem(nullptr, nullptr, nullptr, 0));
    EXPECT_TRUE(log.has(5, "cfg_f_put", "CfgF_PutItem: NULL stream")) << log.dump();
}

TEST(PutItem, NoMemoryInsideAValidator) {
    const std::string no_memory = "strdup() failed\n\t\terrno = 12  => " + std::string(std::strerror(ENOMEM));
    const struct { int status; const char *written, *validator_message, *refusal; } steps[] = {
        {ERR_NO_MEMORY, "", "validate_object_syntax: ", "CfgF_PutItem: Invalid object name 'o'"},
        {ERR_NO_MEMORY, "o {\n", "validate_AVP_syntax: ", "CfgF_PutItem: Invalid AVP 'x=1'"},
        {CFG_OK, "o {\nx=1\n}\n", nullptr, nullptr},
    };
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const auto &s = steps[k];  // the k-th allocation fails
        LogCapture log;
        cfg_inject_alloc_fault(k, 1);
        Put got = put("o", "x=1", 1);
        cfg_inject_alloc_fault(0, 0);
        EXPECT_STATUS(s.status, got.status);
        EXPECT_EQ(s.written, got.written);
        if (s.refusal) {
            EXPECT_TRUE(log.has(3, "cfg_util", s.validator_message + no_memory)) << log.dump();
            EXPECT_TRUE(log.has(5, "cfg_f_put", s.refusal)) << log.dump();
        }
    }
}

// What the writer produces is read back by the loader.
TEST(PutItem, WrittenDefinitionsLoadBack) {
    loadtest::ConfigDir dir;
    const std::string path = dir.path() + "/put.cfg";
    FILE *file = std::fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, file);
    EXPECT_STATUS(CFG_OK, CfgF_PutItem(file, "server", "host = \"a b\"", 0));
    EXPECT_STATUS(CFG_OK, CfgF_PutItem(file, "iface[2]", "mtu=1500", 1));
    EXPECT_STATUS(CFG_OK, CfgF_PutItem(file, nullptr, "port=80", 1));
    EXPECT_STATUS(CFG_OK, CfgF_PutItem(file, nullptr, "top = \"x\"", 0));
    std::fclose(file);
    ASSERT_STATUS(CFG_OK, loadtest::load_direct("put.cfg"));
    EXPECT_TRUE(loadtest::g_errors.empty());
    EXPECT_EQ("obj server\n  attr host=a b\n  obj iface[2]\n    attr mtu=1500\n  attr port=80\nattr top=x\n",
              cfgtest::dump_tree());
}

}  // namespace
