// Tests of creating items: find-or-create along a path, the kind of the last
// component, read-only inheritance, and every refusal (syntax, store, memory)
// with what it leaves behind.
#include <cerrno>
#include <cstring>
#include <string>

#include "cfg_private.h"
#include "support.h"

namespace {

using namespace cfgtest::raw;
const uint16_t kObject = kRef;

cfg_handle find(const char *identifier) {
    cfg_handle h = 0;
    return cfg_find_item(0, identifier, &h, nullptr, nullptr) == CFG_OK ? h : 0;
}

// A standalone marker node: handles are handed out in order and never
// reused, so every live node made between two markers lies between them.
cfg_handle marker() { return ds_append_avp2(0, 2, kIdent, 0, "m", 2); }

int live_nodes_between(cfg_handle from, cfg_handle to) {
    int live = 0;
    for (cfg_handle h = from + 1; h < to; ++h) live += ds_get_av_ptr(h) != nullptr;
    return live;
}

TEST(CreateItem, KindDecidesOnlyTheLastComponent) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.x", "1"));
    cfg_handle obj = 0, attr = 0;
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "a.x", kObject, &obj));
    EXPECT_TRUE(cfg_is_object(obj)) << "an object beside the attribute of that name";
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "a.x", kItem, &attr));
    EXPECT_EQ(find("a.x"), attr);
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "a.x.y", 12345, &attr));
    EXPECT_TRUE(cfg_is_attribute(attr)) << "any kind but the object kind makes an attribute";
    EXPECT_EQ("obj a\n  attr x=1\n  obj x\n    attr y\n", cfgtest::dump_tree());
}

TEST(CreateItem, ItemsUnderAReadOnlyObjectInheritItsMark) {
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "!ro", kObject, nullptr));
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "rw", kObject, nullptr));
    const struct {
        const char *identifier;
        uint16_t kind;
        const char *stored;
    } cases[] = {
        {"ro.a", kItem, "!a"},         {"ro.o", kObject, "!o"},   {"ro.!m", kItem, "!m"},  // one mark, not two
        {"ro.o.deep", kItem, "!deep"}, {"rw.a", kItem, "a"},      {"rw.!m", kItem, "!m"},
        {"top", kItem, "top"},         {"ro.s[2]", kItem, "!s[2]"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.identifier);
        cfg_handle out = 0;
        ASSERT_STATUS(CFG_OK, cfg_create_item(0, k.identifier, k.kind, &out));
        ds_lock();
        EXPECT_STREQ(k.stored, k.kind == kObject ? cfg_object_id(out) : cfg_avp(out));
        ds_unlock();
        EXPECT_EQ(out, find(k.identifier)) << "found again by the same identifier";
    }
    uint32_t flag = 0;
    EXPECT_STATUS(CFG_OK, cfg_is_read_only(find("ro.o"), &flag));
    EXPECT_EQ(1u, flag);
}

// The mark is kept from one creation under an object to the next; a rename
// that adds or drops it must be seen by the next creation.
TEST(CreateItem, AMarkAddedOrDroppedByARenameIsInheritedAtOnce) {
    cfg_handle obj = 0;
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "o", kObject, &obj));
    const struct {
        const char *name;  // the object's name before the creation
        const char *item;
        const char *stored;
    } cases[] = {{"o", "a", "a"}, {"!o", "b", "!b"}, {"!o", "c", "!c"}, {"o", "d", "d"}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.item);
        ASSERT_NE(0, ds_modify_av(obj, k.name, static_cast<uint16_t>(std::strlen(k.name) + 1)));
        cfg_handle out = 0;
        ASSERT_STATUS(CFG_OK, cfg_create_item(obj, k.item, kItem, &out));
        ds_lock();
        EXPECT_STREQ(k.stored, cfg_avp(out));
        ds_unlock();
    }
}

TEST(CreateItem, ASyntaxErrorStopsTheWalkAndKeepsWhatWasMade) {
    const struct {
        const char *identifier;
        const char *left;
    } cases[] = {
        {"", ""},
        {"a.", "obj a\n"},
        {"a.*", "obj a\n"},
        {"a.b$", "obj a\n  attr b\n"},  // the component ends before '$'; the rest is ignored
        {"a.x[1", "obj a\n  attr b\n"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.identifier);
        cfg_handle out = 77;
        int status = cfg_create_item(0, k.identifier, kItem, &out);
        if (std::string(k.identifier) == "a.b$") {
            EXPECT_STATUS(CFG_OK, status);
        } else {
            EXPECT_STATUS(CFG_ERR_SYNTAX, status);
            EXPECT_EQ(0u, out) << "out receives 0 on failure";
        }
        EXPECT_EQ(k.left, cfgtest::dump_tree());
    }
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfg_create_item(0, nullptr, kItem, nullptr));
}

TEST(CreateItem, EveryRefusedAppendKeepsTheTreeWhole) {
    // p.q.r takes five appends (two per object): a refusal leaves whole objects of a prefix
    for (int k = 0;; ++k) {
        SCOPED_TRACE("append " + std::to_string(k));
        std::string p = "p" + std::to_string(k);
        cfg_handle from = marker();
        ds_inject_fault(DS_FAULT_APPEND, k, 1);
        int status = cfg_create_item(0, (p + ".q.r").c_str(), kItem, nullptr);
        ds_inject_fault(DS_FAULT_APPEND, 0, 0);
        cfg_handle to = marker();
        if (status == CFG_OK) {
            EXPECT_EQ(5, k);
            break;
        }
        EXPECT_STATUS(ERR_CREATE_FAILED, status);
        int objects = k / 2;
        EXPECT_EQ(objects >= 1, find(p.c_str()) != 0);
        EXPECT_EQ(objects >= 2, find((p + ".q").c_str()) != 0);
        EXPECT_EQ(0u, find((p + ".q.r").c_str()));
        EXPECT_EQ(2 * objects, live_nodes_between(from, to));
        ASSERT_LT(k, 10);
    }
}

TEST(CreateItem, NoMemoryForTheCopyTouchesNothing) {
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "a", kObject, nullptr));
    cfgtest::LogCapture log;
    cfg_handle out = 5;
    // Up to 639 characters the identifier is cut on the stack; a longer one
    // (here a component of 639) needs a heap copy.
    const std::string longer = "a." + std::string(639, 'b');
    cfg_inject_alloc_fault(0, 1);
    EXPECT_STATUS(ERR_NO_MEMORY, cfg_create_item(0, longer.c_str(), kItem, &out));
    EXPECT_STATUS(CFG_OK, cfg_create_item(0, "a.b", kItem, nullptr));  // no allocation below 640 characters
    cfg_inject_alloc_fault(0, 0);
    EXPECT_EQ(5u, out) << "out is not written when no copy can be made";
    EXPECT_EQ("obj a\n  attr b\n", cfgtest::dump_tree());
    std::string expected = "cfg_create_item: strdup(" + longer + ")\n\t\terrno = " + std::to_string(ENOMEM) +
                           " => \"" + std::strerror(ENOMEM) + "\"";
    EXPECT_TRUE(log.has(2, "cfg_d_create", expected)) << log.dump();
    cfg_inject_alloc_fault(1, 1);
    EXPECT_STATUS(CFG_OK, cfg_create_item(0, longer.c_str(), kItem, &out));  // the copy is the only allocation
    cfg_inject_alloc_fault(0, 0);
}

// The store makes the root on first use (each test case runs in a fresh
// process, so it is not made yet). When it cannot, nothing is made, an
// object or an attribute, plain or dotted: it would hang nowhere, and the
// store is not asked for the root a second time within the call. The next
// creation makes the root.
struct RootlessCase {
    const char *identifier;
    uint16_t kind;
};
void PrintTo(const RootlessCase &c, std::ostream *os) { *os << c.identifier; }
class NoRoot : public ::testing::TestWithParam<RootlessCase> {};

TEST_P(NoRoot, NothingIsMade) {
    const RootlessCase &c = GetParam();
    ds_inject_fault(DS_FAULT_MEMORY, 0, 1);
    cfg_handle out = 7;
    EXPECT_STATUS(ERR_CREATE_FAILED, cfg_create_item(0, c.identifier, c.kind, &out));
    ds_inject_fault(DS_FAULT_MEMORY, 0, 0);
    EXPECT_EQ(0u, out);
    EXPECT_EQ(0u, find(c.identifier));
    out = 0;
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, c.identifier, c.kind, &out));
    EXPECT_EQ(find(c.identifier), out);
}

INSTANTIATE_TEST_SUITE_P(CreateItem, NoRoot,
                         ::testing::Values(RootlessCase{"o", kObject}, RootlessCase{"a", kItem},
                                           RootlessCase{"p.q", kItem}, RootlessCase{"p.o", kObject}),
                         [](const ::testing::TestParamInfo<RootlessCase> &info) {
                             std::string name = info.param.kind == kObject ? "Object_" : "Attribute_";
                             for (const char *p = info.param.identifier; *p; ++p) name += *p == '.' ? '_' : *p;
                             return name;
                         });

TEST(CreateItem, OnlyAnObjectIsAStart) {
    cfg_handle attr = 0, object = 0, ref = 0, gone = 0, out = 5;
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "p.q", kItem, &attr));
    ASSERT_STATUS(CFG_OK, cfg_find_item(0, "p", &object, &ref, nullptr));
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "gone", kObject, &gone));
    ASSERT_STATUS(CFG_OK, Cfg_Delete("gone"));
    cfgtest::LogCapture log;
    for (cfg_handle start : {attr, ref, gone, cfg_handle{0xFFFFFFFFu}}) {
        for (uint16_t kind : {kItem, kObject}) {
            out = 5;
            SCOPED_TRACE(start);
            EXPECT_STATUS(CFG_ERR_BAD_OBJECT, cfg_create_item(start, "z", kind, &out));
            EXPECT_EQ(0u, out);
        }
        const std::string message = "cfg_create_item: start <" + std::to_string(start) + "> is not an object";
        EXPECT_TRUE(log.has(5, "cfg_d_create", message)) << log.dump();
    }
    EXPECT_EQ("obj p\n  attr q\n", cfgtest::dump_tree());
    EXPECT_STATUS(CFG_OK, cfg_create_item(object, "z", kItem, &out));
    EXPECT_STATUS(CFG_OK, cfg_create_item(ds_get_cntl_info(1), "top", kItem, &out));
    EXPECT_EQ("obj p\n  attr q\n  attr z\nattr top\n", cfgtest::dump_tree());
}

TEST(CreateItem, BadStoredChildrenAreReportedAndSkipped) {
    cfg_handle bad_attr = ds_append_avp2(root(), 2, kItem, 0, "=v", 3);
    cfg_handle loose = ds_append_avp2(0, 2, kItem, 0, "loose", 6);
    ASSERT_NE(0u, ds_append_avp2(root(), 2, kObject, 0, &loose, sizeof loose));
    cfgtest::LogCapture log;
    cfg_handle attr = 0, obj = 0;
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "k", kItem, &attr));
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "o", kObject, &obj));
    EXPECT_TRUE(log.has(3, "cfg_d_create", "Bad config attribute at <" + std::to_string(bad_attr) + ">"))
        << log.dump();
    EXPECT_TRUE(log.has(3, "cfg_d_create", "Bad config object at <" + std::to_string(loose) + ">")) << log.dump();
    // each report carries the line of the module's own search
    for (const cfgtest::LogLine &l : log.lines())
        if (l.module == "cfg_d_create" && l.message.starts_with("Bad config")) {
            EXPECT_NE(std::string::npos, cfgtest::source_line("src/cfg_d_create.cpp", l.line).find("find_child_")) << l.line;
        }
    EXPECT_EQ(find("k"), attr);
    EXPECT_EQ(find("o"), obj);
}

TEST(CreateItem, ComponentsAtTheLengthLimit) {
    std::string longest(639, 'n');
    cfg_handle out = 0;
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, longest.c_str(), kItem, &out));
    EXPECT_EQ(longest, cfg_avp(out));
    std::string too_long(640, 'n');
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfg_create_item(0, too_long.c_str(), kItem, &out));
    // Under a read-only object the mark would make the text 640 long.
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "!ro", kObject, nullptr));
    std::string path = "ro." + longest;
    EXPECT_STATUS(CFG_ERR_SYNTAX, cfg_create_item(0, path.c_str(), kItem, &out));
    path = "ro." + longest.substr(1);
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, path.c_str(), kItem, &out));
    EXPECT_EQ("!" + longest.substr(1), cfg_avp(out));
}

}  // namespace
