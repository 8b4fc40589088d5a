// Tests of reading values: the raw value pointer, copies into the caller's
// buffer (cut, NUL-ended, substituted while dereferencing is on) and the two
// lookups by identifier.
#include <cstring>
#include <string>

#include "cfg_private.h"
#include "support.h"

namespace {

const uint16_t kItem = static_cast<uint16_t>(oa_xid_of("OID_ATT_CONFIG_ITEM"));

cfg_handle root() { return ds_get_cntl_info(1); }

cfg_handle raw_attr(cfg_handle parent, const char *text) {
    return ds_append_avp2(parent, 2, kItem, 0, text, static_cast<uint16_t>(std::strlen(text) + 1));
}

// With no reference in it, the value is copied alike whether references are
// substituted or not: cut to the buffer, the rest of it zero.
TEST(GetAttrValue, CopiesTheTextAfterTheFirstEqualsCutToTheBuffer) {
    const std::string long_stored = "long=" + std::string(700, 'v'), cut(639, 'v');
    const struct { const char *stored; uint32_t size; const char *expected; } cases[] = {
        {"port=515", 640, "515"},  {"port=515", 4, "515"}, {"port=515", 3, "51"},
        {"port=515", 1, ""},       {"port=", 640, ""},     {"port", 640, ""},
        {"a=b=c", 640, "b=c"},     {"!ro=v", 640, "v"},    {"s[2]=x y ", 640, "x y "},
        {long_stored.c_str(), 640, cut.c_str()},
    };
    for (int on : {0, 1}) {
        Cfg_Dereference(on);
        for (const auto &k : cases) {
            SCOPED_TRACE(std::string(k.stored).substr(0, 10) + " size " + std::to_string(k.size) + " on " +
                         std::to_string(on));
            cfg_handle h = raw_attr(root(), k.stored);
            char buffer[700];
            std::memset(buffer, '#', sizeof buffer);
            ds_lock();
            EXPECT_STATUS(CFG_OK, cfg_get_attr_value(h, buffer, k.size));
            ds_unlock();
            EXPECT_STREQ(k.expected, buffer);
            for (std::size_t i = std::strlen(k.expected); i < k.size; ++i)
                ASSERT_EQ('\0', buffer[i]) << "the rest of the buffer is zero, at " << i;
            EXPECT_EQ('#', buffer[k.size]) << "nothing is written past size";
        }
    }
    Cfg_Dereference(1);
}

// Size 0 or no buffer only tells whether it is an attribute; the value
// pointer is null for anything but a readable attribute.
TEST(GetAttrValue, SizeZeroOrNoBufferAndWhatIsNoAttribute) {
    cfg_handle h = raw_attr(root(), "port=515"), bare = raw_attr(root(), "k"), obj = 0;
    char buffer[4] = "xyz";
    for (uint32_t on : {0, 1}) {
        Cfg_Dereference(static_cast<int>(on));
        EXPECT_STATUS(CFG_OK, cfg_get_attr_value(h, buffer, 0));
        EXPECT_STREQ("xyz", buffer);
        EXPECT_STATUS(CFG_OK, cfg_get_attr_value(h, nullptr, 640));
    }
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "obj", static_cast<uint16_t>(oa_xid_of("OID_OC_CONFIG")), &obj));
    EXPECT_STATUS(CFG_ERR_NOT_ATTRIBUTE, cfg_get_attr_value(obj, nullptr, 0));
    EXPECT_STATUS(CFG_ERR_NOT_ATTRIBUTE, cfg_get_attr_value(0, buffer, 4));
    EXPECT_STREQ("xyz", buffer);
    EXPECT_STREQ("", cfg_get_av_ptr(bare)) << "no '=' reads as the empty value";
    for (cfg_handle none : {cfg_handle{0}, obj, root()}) EXPECT_EQ(nullptr, cfg_get_av_ptr(none)) << none;
    ASSERT_NE(0, ds_delete_avp3(root(), bare));
    EXPECT_EQ(nullptr, cfg_get_av_ptr(bare)) << "a deleted handle reads as nothing";
    EXPECT_STATUS(CFG_ERR_NOT_ATTRIBUTE, cfg_get_attr_value(bare, buffer, sizeof buffer));
}

TEST(GetAttrValue, SubstitutesReferencesWhileDereferencing) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("host.name", "alpha"));
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("url", "http://${host.name}/x"));
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("bad", "${no.such.item}"));
    char buffer[640];
    EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("url", buffer, sizeof buffer));
    EXPECT_STREQ("http://alpha/x", buffer);
    EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("url", buffer, 10));
    EXPECT_STREQ("http://al", buffer) << "the substituted value is cut to size - 1";
    // a failed substitution keeps the buffer but ends it
    char small[8] = {'k', 'e', 'e', 'p', 'm', 'e', '!', 'X'};
    EXPECT_STATUS(CFG_ERR_UNRESOLVED, Cfg_GetAttrValue("bad", small, sizeof small));
    EXPECT_EQ(std::string("keepme!", 8), std::string(small, sizeof small));
    EXPECT_EQ(8u, Cfg_Dereference(0));
    EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("url", buffer, sizeof buffer));
    EXPECT_STREQ("http://${host.name}/x", buffer);
}

// The store holds texts longer than the library writes (up to 65,535
// bytes); one is read whole into a buffer large enough, with or without a
// reference in it, and substituted whole.
TEST(GetAttrValue, AStoredTextLongerThan639IsReadWhole) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("port", "515"));
    const std::string head(900, 'a');
    const struct { std::string stored, expected; } cases[] = {
        {"plain=" + head + "TAIL", head + "TAIL"}, {"ref=" + head + "${port}TAIL", head + "515TAIL"}};
    for (const auto &k : cases) {
        cfg_handle h = raw_attr(root(), k.stored.c_str());
        char buffer[2000];
        for (int on : {0, 1}) {
            SCOPED_TRACE(k.stored.substr(0, 4) + (on ? " dereferenced" : " raw"));
            Cfg_Dereference(on);
            ds_lock();
            EXPECT_STATUS(CFG_OK, cfg_get_attr_value(h, buffer, sizeof buffer));
            ds_unlock();
            const std::string raw = k.stored.substr(k.stored.find('=') + 1);
            EXPECT_EQ(on ? k.expected : raw, buffer);
        }
    }
    Cfg_Dereference(1);
}

TEST(GetAttrValuePtr, HandsOutTheRawStoredValue) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.b", "x=${y}"));
    ASSERT_NE(0u, cfgCtl & CFG_CTL_DEREFERENCE);
    const char *value = nullptr;
    EXPECT_STATUS(CFG_OK, Cfg_GetAttrValuePtr("a.b", &value));
    EXPECT_STREQ("x=${y}", value);
    cfg_handle h = 0;
    ASSERT_STATUS(CFG_OK, Cfg_Find("a.b", &h));
    EXPECT_EQ(cfg_get_av_ptr(h), value);
    EXPECT_EQ(cfg_avp(h) + 2, value) << "a pointer into the stored text";
}

// A lookup that reads the name in place hands the value on: it must be the
// one the handle gives, whatever follows the name, under a parent that is
// scanned (few children) and one that is indexed.
TEST(GetAttrValue, ByIdentifierReadsTheValueAfterTheFirstEquals) {
    const struct { const char *stored, *identifier, *expected; } cases[] = {
        {"p=1", "p", "1"},        {"!m=2", "m", "2"},       {"v", "v", ""},          {"!w", "w", ""},
        {"n=a=b", "n", "a=b"},    {"i[3]=4", "i[3]", "4"},  {"e[a=b]=5", "e[a=b]", "b]=5"},
        {"q[]=6", "q[]", "6"},
    };
    for (int children : {0, 20}) {
        const std::string object = "held" + std::to_string(children);
        ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue((object + ".first").c_str(), "0"));
        cfg_handle parent = 0;
        ASSERT_STATUS(CFG_OK, Cfg_Find(object.c_str(), &parent));
        for (int i = 0; i < children; ++i) raw_attr(parent, ("filler" + std::to_string(i) + "=f").c_str());
        for (const auto &c : cases) raw_attr(parent, c.stored);
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.stored) + " under " + object);
            const std::string id = object + "." + c.identifier;
            cfg_handle h = 0;
            ASSERT_STATUS(CFG_OK, Cfg_Find(id.c_str(), &h));
            const char *value = nullptr;
            ASSERT_STATUS(CFG_OK, Cfg_GetAttrValuePtr(id.c_str(), &value));
            EXPECT_EQ(cfg_get_av_ptr(h), value);
            char buffer[16];
            ASSERT_STATUS(CFG_OK, Cfg_GetAttrValue(id.c_str(), buffer, sizeof buffer));
            EXPECT_STREQ(c.expected, buffer);
        }
    }
}

// Both reads by identifier pass the lookup's refusals on and leave the
// output as it was; a lookup allocates only for 640 characters or more.
TEST(GetAttrValue, ByIdentifierRefusalsLeaveTheOutput) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.b", "1"));
    const std::string long_id = "a." + std::string(640, 'b');
    const struct { const char *identifier; int status; bool no_memory; } cases[] = {
        {"a", CFG_ERR_NOT_ATTRIBUTE, false}, {"a.c", CFG_NOT_FOUND, false}, {long_id.c_str(), ERR_NO_MEMORY, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.identifier).substr(0, 8));
        char buffer[16] = "untouched";
        const char *value = "untouched";
        cfg_inject_alloc_fault(0, c.no_memory);
        EXPECT_STATUS(c.status, Cfg_GetAttrValue(c.identifier, buffer, sizeof buffer));
        cfg_inject_alloc_fault(0, c.no_memory);
        EXPECT_STATUS(c.status, Cfg_GetAttrValuePtr(c.identifier, &value));
        cfg_inject_alloc_fault(0, 0);
        EXPECT_STREQ("untouched", buffer);
        EXPECT_STREQ("untouched", value);
    }
    EXPECT_STATUS(CFG_ERR_NOT_ATTRIBUTE, Cfg_GetAttrValuePtr("a.b", nullptr));
    char buffer[16];
    EXPECT_STATUS(CFG_OK, Cfg_GetAttrValue("a.b", buffer, sizeof buffer));
    EXPECT_STREQ("1", buffer);
}

}  // namespace
