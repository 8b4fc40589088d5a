// Tests of the item model: node kinds and names, read-only marks, the control
// flag word and its switches, the two definition validators, status names.
#include <cstring>
#include <string>
#include <utility>

#include "cfg_private.h"
#include "support.h"

namespace {

using cfgtest::LogCapture;

const uint16_t kItem = static_cast<uint16_t>(oa_xid_of("OID_ATT_CONFIG_ITEM"));
const uint16_t kRef = static_cast<uint16_t>(oa_xid_of("OID_OC_CONFIG"));
const uint16_t kIdent = static_cast<uint16_t>(oa_xid_of("OID_ATT_CONFIG_IDENTIFIER"));

cfg_handle append_text(cfg_handle parent, uint16_t xid, const char *text) {
    return ds_append_avp2(parent, 2, xid, 0, text, static_cast<uint16_t>(std::strlen(text) + 1));
}

// An object named name under parent: its identifier node and the bound
// reference node under the parent.
struct Object {
    cfg_handle ident, ref;
};
Object make_object(cfg_handle parent, const char *name) {
    Object o{append_text(0, kIdent, name), 0};
    o.ref = ds_append_avp2(parent, 2, kRef, 0, &o.ident, sizeof o.ident);
    EXPECT_EQ(1, ds_bind_reference(o.ref));
    return o;
}

std::string text_or_null(const char *t) { return t ? std::string("'") + t + "'" : "NULL"; }

// Starting from the initial word 0x19.
TEST(ControlFlags, CtlChangesOnlyTheMaskedBitsAndLogsTheChange) {
    const struct { uint32_t mask, value, previous, after; } steps[] = {
        {0x04, 0xFF, 0x00, 0x1D},         // only bit 0x04 is taken from value
        {0x00, 0xFFFFFFFF, 0x00, 0x1D},   // an empty mask changes nothing
        {0x19, 0x00, 0x19, 0x04},         // several bits at once; previous is masked
        {0x100, 0x100, 0x00, 0x104},      // undefined bits are carried along
        {0xFFFFFFFF, 0x19, 0x104, 0x19},  // the whole word
        {0x08, 0x08, 0x08, 0x19},         // setting a set bit reports it
    };
    LogCapture log;
    for (const auto &s : steps) {
        SCOPED_TRACE(testing::Message() << std::hex << "mask 0x" << s.mask << " value 0x" << s.value);
        EXPECT_EQ(s.previous, cfg_ctl(s.mask, s.value));
        EXPECT_EQ(s.after, cfgCtl);
    }
    EXPECT_TRUE(log.has(9, "cfg_util", "cfg_ctl: flags=0x0004 => value=0x00ff, prev=0x0000, cfgCtl=0x001d"))
        << log.dump();
}

TEST(ControlFlags, EachSwitchReturnsItsPreviousStateAndRestores) {
    const struct { const char *name; uint32_t (*fn)(int); uint32_t bit; } switches[] = {
        {"Cfg_CreateOnSet", Cfg_CreateOnSet, 0x01},      {"Cfg_IgnoreReadOnly", Cfg_IgnoreReadOnly, 0x02},
        {"Cfg_IgnoreUpdateWarnings", Cfg_IgnoreUpdateWarnings, 0x04}, {"Cfg_Dereference", Cfg_Dereference, 0x08},
        {"Cfg_DereferenceEnv", Cfg_DereferenceEnv, 0x10}, {"Cfg_DirectLoad", Cfg_DirectLoad, 0x20},
    };
    EXPECT_EQ(0x19u, cfgCtl);
    for (const auto &s : switches) {
        SCOPED_TRACE(s.name);
        const uint32_t initial = cfgCtl & s.bit, others = cfgCtl & ~s.bit;
        EXPECT_EQ(initial, s.fn(0));
        EXPECT_EQ(0u, s.fn(0));
        EXPECT_EQ(0u, cfgCtl & s.bit);
        EXPECT_EQ(0u, s.fn(7)) << "any nonzero value switches the bit on";
        EXPECT_EQ(s.bit, cfgCtl & s.bit);
        EXPECT_EQ(s.bit, s.fn(initial));  // restoring with the value once returned
        EXPECT_EQ(initial, cfgCtl & s.bit);
        EXPECT_EQ(others, cfgCtl & ~s.bit) << "no other bit moves";
    }
    EXPECT_EQ(0x19u, cfgCtl);
}

TEST(Nodes, KindsAndAccessorsOfEveryKindOfNode) {
    cfg_handle root = ds_get_cntl_info(1);
    Object obj = make_object(root, "!srv[1]");
    cfg_handle attr = append_text(obj.ident, kItem, "port=80");
    cfg_handle bare = append_text(root, kItem, "flag");
    cfg_handle stale = append_text(root, kItem, "gone=1");
    ASSERT_NE(0, ds_delete_avp3(root, stale));
    // A reference node cut to one byte keeps its old bytes past the new end.
    const unsigned char wide[] = {0xff, 0xff, 0xff, 0xff};
    cfg_handle short_ref = ds_append_avp2(root, 2, kRef, 0, wide, sizeof wide);
    ASSERT_NE(0, ds_modify_av(short_ref, "x", 1));

    const struct {
        const char *what;
        cfg_handle h;
        int object, attribute;
        const char *id, *text;
        long ref;
    } rows[] = {
        {"identifier node", obj.ident, 1, 0, "!srv[1]", nullptr, 0},
        {"reference node", obj.ref, 0, 0, "!srv[1]", nullptr, static_cast<long>(obj.ident)},
        {"attribute node", attr, 0, 1, nullptr, "port=80", 0},
        {"attribute without =", bare, 0, 1, nullptr, "flag", 0},
        {"configuration root", root, 0, 0, nullptr, nullptr, 0},
        {"deleted node", stale, 0, 0, nullptr, nullptr, 0},
        {"reference node shorter than a handle", short_ref, 0, 0, nullptr, nullptr, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        LogCapture log;
        EXPECT_EQ(r.object, cfg_is_object(r.h));
        EXPECT_EQ(r.attribute, cfg_is_attribute(r.h));
        EXPECT_EQ(text_or_null(r.id), text_or_null(cfg_object_id(r.h)));
        EXPECT_EQ(text_or_null(r.text), text_or_null(cfg_avp(r.h)));
        EXPECT_EQ(r.ref, cfg_object_ref(r.h));
        EXPECT_TRUE(log.at_most(6).empty()) << "a node of another kind is no error: " << log.dump();
    }
    EXPECT_EQ(cfg_object_id(obj.ident), cfg_object_id(obj.ref)) << "both give the stored text itself";
    EXPECT_EQ(kIdent, cfgtree::xid_identifier());
    EXPECT_EQ(kRef, cfgtree::xid_reference());
    EXPECT_EQ(kItem, cfgtree::xid_item());
    EXPECT_EQ(root, cfgtree::root());
}

TEST(Nodes, TheNullHandle) {
    LogCapture log;
    EXPECT_EQ(std::make_pair(0, 0), std::make_pair(cfg_is_object(0), cfg_is_attribute(0)));
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    uint32_t flag = 7;
    EXPECT_EQ(nullptr, cfg_object_id(0));
    EXPECT_EQ(nullptr, cfg_avp(0));
    EXPECT_EQ(CFG_ERR_BAD_OBJECT, cfg_object_ref(0));
    EXPECT_STATUS(CFG_ERR_BAD_OBJECT, cfg_is_read_only(0, &flag));
    EXPECT_EQ(7u, flag);
    for (const char *m : {"cfg_object_id: NULL_DS object handle", "cfg_avp: NULL_DS object handle",
                          "cfg_object_ref: NULL_DS reference handle", "cfg_is_read_only: NULL_DS item handle"})
        EXPECT_TRUE(log.has(5, "cfg_util", m)) << log.dump();
}

TEST(ReadOnly, MarksOfObjectsAndReferences) {
    cfg_handle root = ds_get_cntl_info(1);
    Object marked = make_object(root, "!locked");
    Object plain = make_object(root, "open");
    Object nested = make_object(marked.ident, "inner");
    cfg_handle attr = append_text(marked.ident, kItem, "!x=1");
    cfg_handle dangling = ds_append_avp2(root, 2, kRef, 0, &attr, sizeof attr);  // refers to no object
    cfg_handle stale = append_text(root, kItem, "gone=1");
    ASSERT_NE(0, ds_delete_avp3(root, stale));

    const struct {
        const char *what;
        cfg_handle h;
        int status;
        uint32_t flag;
        std::string message;  // logged at level 3 on failure
    } rows[] = {
        {"marked identifier", marked.ident, CFG_OK, 1, ""},
        {"reference to marked", marked.ref, CFG_OK, 1, ""},
        {"plain identifier", plain.ident, CFG_OK, 0, ""},
        {"reference to plain", plain.ref, CFG_OK, 0, ""},
        {"unmarked child of a marked object", nested.ident, CFG_OK, 0, ""},
        {"attribute with a mark", attr, CFG_ERR_BAD_OBJECT, 9,
         "cfg_is_read_only: Invalid config object <" + std::to_string(attr) + ">"},
        {"reference to an attribute", dangling, CFG_ERR_BAD_OBJECT, 9,
         "cfg_is_read_only: Invalid config object <" + std::to_string(dangling) + ">"},
        {"deleted node", stale, CFG_ERR_BAD_OBJECT, 9,
         "cfg_is_read_only: ds_get_av_ptr(" + std::to_string(stale) + ") == NULL, ds error = " +
             std::to_string(DS_E_BAD_HANDLE)},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        LogCapture log;
        uint32_t flag = 9;
        EXPECT_STATUS(r.status, cfg_is_read_only(r.h, &flag));
        EXPECT_EQ(r.flag, flag);
        if (r.status != CFG_OK) {
            EXPECT_TRUE(log.has(3, "cfg_util", r.message)) << log.dump();
        } else {
            EXPECT_TRUE(log.at_most(6).empty()) << log.dump();
        }
        EXPECT_STATUS(r.status, cfg_is_read_only(r.h, nullptr));
    }
}

// The splitter reports each refusal, once per validator.
TEST(Validators, Table) {
    const struct { const char *text; int object_result, avp_result; bool split_fails; } rows[] = {
        {"a.b", 0, 1, false},   {"a.b {", 0, 1, false},  {"  a[1].b[x:y]", 0, 1, false},
        {"a.b=1", 1, 0, false}, {"a.b = ", 1, 0, false}, {"a.b = \"x y\"", 1, 0, false},
        {"a b", 0, 0, true},    {"=1", 0, 0, true},      {"", 0, 0, true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        const std::string before = r.text;
        LogCapture log;
        EXPECT_EQ(r.object_result, validate_object_syntax(r.text));
        EXPECT_EQ(r.avp_result, validate_AVP_syntax(r.text));
        EXPECT_EQ(before, r.text);
        EXPECT_EQ(r.split_fails ? 2u : 0u, log.at_most(6).size()) << log.dump();
    }
}

TEST(Validators, NoMemoryForTheCopy) {
    const std::string tail = "strdup() failed\n\t\terrno = 12  => " + std::string(std::strerror(ENOMEM));
    const struct { const char *name; int (*fn)(const char *); } rows[] = {
        {"validate_object_syntax", validate_object_syntax}, {"validate_AVP_syntax", validate_AVP_syntax}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        LogCapture log;
        cfg_inject_alloc_fault(0, 1);
        EXPECT_STATUS(ERR_NO_MEMORY, r.fn("a.b=1"));
        EXPECT_TRUE(log.has(3, "cfg_util", std::string(r.name) + ": " + tail)) << log.dump();
        EXPECT_NE(ERR_NO_MEMORY, r.fn("a.b=1")) << "the fault was used up";
    }
}

TEST(StatusNames, KnownAndUnknownCodes) {
    const std::pair<int, const char *> rows[] = {
        {0, "CFG_OK"}, {105, "CFG_NOT_CREATED"}, {-109, "ERR_NO_MEMORY"}, {-1407, "CFG_ERR_UNRESOLVED"}, {42, "unknown status"}};
    for (const auto &[code, name] : rows) EXPECT_STREQ(name, Cfg_StatusName(code)) << code;
}

}  // namespace
