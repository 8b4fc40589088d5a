// Tests of finding items: the identifier walk with its read-only report, the
// walks that go on after a shared prefix, and the lookups from the context.
#include <cerrno>
#include <cstring>
#include <string>

#include "cfg_private.h"
#include "support.h"

namespace {

using namespace cfgtest::raw;

cfg_handle raw(cfg_handle parent, uint16_t xid, const std::string &text) { return append(parent, xid, text); }

// The tree most tests look into, built from raw nodes so that the walk is
// tested on its own:
//   b0=root-attr
//   a { b=1  x=1  x { y=2 } }
//   line[1] { v=1 }  line[2] { v=2 }
//   !ro { c=3 }
struct Tree {
    cfg_handle b0, a, a_ref, b, x_attr, x_obj, x_ref, y, line1, line2, v2, ro, c;
    Tree() {
        b0 = raw(root(), kItem, "b0=root-attr");
        a = object(root(), "a", &a_ref);
        b = raw(a, kItem, "b=1");
        x_attr = raw(a, kItem, "x=1");
        x_obj = object(a, "x", &x_ref);
        y = raw(x_obj, kItem, "y=2");
        line1 = object(root(), "line[1]");
        raw(line1, kItem, "v=1");
        line2 = object(root(), "line[2]");
        v2 = raw(line2, kItem, "v=2");
        ro = object(root(), "!ro");
        c = raw(ro, kItem, "c=3");
    }
};

TEST(FindItem, ResolvesIdentifiersFromTheRoot) {
    Tree t;
    struct Case {
        const char *identifier;
        int status;
        cfg_handle item;
    };
    const Case cases[] = {
        {"a.b", CFG_OK, t.b},
        {"a", CFG_OK, t.a},
        {"a.b=7", CFG_OK, t.b},          // text after the last component is ignored
        {"a.x", CFG_OK, t.x_attr},       // attributes first at the last component
        {"a.x.y", CFG_OK, t.y},          // sub-objects only in the middle
        {"a.x.y=9", CFG_OK, t.y},        {"line[2]", CFG_OK, t.line2}, {"line[2].v", CFG_OK, t.v2},
        {"line[*]", CFG_OK, t.line1},    // first match in child order
        {"ro.c", CFG_OK, t.c},           // a stored mark does not hide the name
        {"!ro.c", CFG_OK, t.c},          {"ro", CFG_OK, t.ro},
        {"**", CFG_OK, t.b0},            // the first attribute of the start
        {"a.b.c", CFG_NOT_FOUND, 0},     // attributes are not walked through
        {"line", CFG_NOT_FOUND, 0},      // the empty instance matches no 1 or 2
        {"A", CFG_NOT_FOUND, 0},         // names are case-sensitive
        {"a.*", CFG_NOT_FOUND, 0},       // a bare * is no component
        {"a.c", CFG_NOT_FOUND, 0}, {"", CFG_NOT_FOUND, 0}, {"a.", CFG_NOT_FOUND, 0}, {".a", CFG_NOT_FOUND, 0},
        {"nothing.b", CFG_NOT_FOUND, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.identifier);
        cfg_handle item = 4242, ref = 4242;
        uint32_t ro = 4242;
        int status = cfg_find_item(0, k.identifier, &item, &ref, &ro);
        EXPECT_STATUS(k.status, status);
        if (k.status != CFG_OK) {
            EXPECT_EQ(4242u, item) << "out pointers are untouched on failure";
            EXPECT_EQ(4242u, ref);
            EXPECT_EQ(4242u, ro);
            continue;
        }
        EXPECT_EQ(k.item, item);
        if (k.item == t.a || k.item == t.line1 || k.item == t.line2 || k.item == t.ro) {
            EXPECT_NE(0u, ref);
            EXPECT_EQ(static_cast<long>(item), cfg_object_ref(ref)) << "the reference names the object";
        } else {
            EXPECT_EQ(0u, ref) << "an attribute has no reference node";
        }
    }
}

TEST(FindItem, StartsAtTheGivenObjectOrTheContext) {
    Tree t;
    cfg_handle item = 0;
    EXPECT_STATUS(CFG_OK, cfg_find_item(t.a, "x.y", &item, nullptr, nullptr));
    EXPECT_EQ(t.y, item);
    EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(t.a, "a.b", &item, nullptr, nullptr));
    EXPECT_STATUS(CFG_OK, Cfg_Find("a.b", &item));
    EXPECT_EQ(t.b, item);
    // out pointers are optional; a NULL identifier names nothing
    EXPECT_STATUS(CFG_OK, cfg_find_item(0, "a.b", nullptr, nullptr, nullptr));
    EXPECT_STATUS(CFG_OK, Cfg_Find("a", nullptr));
    EXPECT_STATUS(CFG_OK, Cfg_IsReadOnly("a", nullptr));
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_Find(nullptr, nullptr));
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    EXPECT_STATUS(CFG_OK, Cfg_Find("b", &item));
    EXPECT_EQ(t.b, item);
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_Find("a.b", &item));
    // stale or deleted starts find nothing
    ASSERT_NE(0, ds_delete_avp3(root(), t.a_ref));
    EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(0, "a.b", &item, nullptr, nullptr));
    EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(t.a, "b", &item, nullptr, nullptr));
    EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(0xFFFFFF00u, "b", &item, nullptr, nullptr));
}

TEST(FindItem, OnlyALongComponentNeedsMemory) {
    Tree t;
    cfgtest::LogCapture log;
    cfg_handle item = 99;
    // Components are looked up in place, however long the identifier: a
    // lookup makes no allocation at all.
    std::string longest = "a.x." + std::string(635, 'y');
    std::string dotted = "a.x.y";
    for (int i = 0; i < 200; ++i) dotted += ".zz";
    cfg_inject_alloc_fault(0, 1);
    EXPECT_STATUS(CFG_OK, cfg_find_item(0, "a.x.y", &item, nullptr, nullptr));
    EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(0, longest.c_str(), &item, nullptr, nullptr));
    EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(0, dotted.c_str(), &item, nullptr, nullptr));
    EXPECT_EQ(t.y, item);
    // A component of more than 639 characters is compared in full, in a
    // copy on the heap, which may fail.
    std::string longer = "a.x." + std::string(640, 'y');
    item = 99;
    EXPECT_STATUS(ERR_NO_MEMORY, cfg_find_item(0, longer.c_str(), &item, nullptr, nullptr));
    cfg_inject_alloc_fault(0, 0);
    EXPECT_EQ(99u, item);
    std::string expected = "cfg_find_item: malloc(" + longer + ")\n\t\terrno = " + std::to_string(ENOMEM) +
                           " => \"" + std::strerror(ENOMEM) + "\"";
    EXPECT_TRUE(log.has(2, "cfg_d_find", expected)) << log.dump();
    EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(0, longer.c_str(), &item, nullptr, nullptr));
}

// A stored name of more than 639 characters matches nothing and is
// skipped; one of 639 is found.
TEST(FindItem, OverlongStoredNamesMatchNothing) {
    std::string long_name(700, 'n'), name639(639, 'm');
    raw(root(), kItem, (long_name + "=1").c_str());
    raw(root(), kItem, "short=1");
    cfg_handle item = 0;
    EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(0, long_name.c_str(), &item, nullptr, nullptr));
    EXPECT_STATUS(CFG_OK, cfg_find_item(0, "short", &item, nullptr, nullptr));
    cfg_handle h = raw(root(), kItem, (name639 + "=2").c_str());
    EXPECT_STATUS(CFG_OK, cfg_find_item(0, name639.c_str(), &item, nullptr, nullptr));
    EXPECT_EQ(h, item);
}

// ---- walks that go on after the prefix they share with the last one --------

cfg_handle find(cfg_handle start, const std::string &identifier, uint32_t *read_only = nullptr) {
    cfg_handle item = 0;
    return cfg_find_item(start, identifier.c_str(), &item, nullptr, read_only) == CFG_OK ? item : 0;
}

// Every change that can make a shared prefix lead elsewhere is seen by the
// next walk, whatever the walk before it cached.
TEST(FindItem, SharedPrefixesFollowEveryChangeOfThePath) {
    Tree t;
    cfg_handle y_before = find(0, "a.x.y");
    ASSERT_EQ(t.y, y_before);
    // A namesake appended later never comes first.
    cfg_handle x2 = object(t.a, "x");
    cfg_handle y2 = raw(x2, kItem, "y=two");
    EXPECT_EQ(t.y, find(0, "a.x.y"));
    // Deleting the first one lets the namesake be found.
    ASSERT_NE(0, ds_delete_avp3(t.a, t.x_ref));
    EXPECT_EQ(y2, find(0, "a.x.y"));
    // A rename of an object on the path.
    ASSERT_NE(0, ds_modify_av(x2, "z", 2));
    EXPECT_EQ(0u, find(0, "a.x.y"));
    EXPECT_EQ(y2, find(0, "a.z.y"));
    // Another start: the same text leads elsewhere.
    EXPECT_EQ(0u, find(t.a, "a.z.y"));
    EXPECT_EQ(y2, find(t.a, "z.y"));
    EXPECT_EQ(y2, find(0, "a.z.y"));
}

// What the last walk tells of a prefix (the loader's guess of the object a
// callback's lookup will look in) is the object that prefix leads to, and
// nothing once another walk, a change of the store or another context may
// lead it elsewhere.
TEST(FindItem, TheLastWalkTellsWhereItsPrefixesLed) {
    Tree t;
    auto known = [](const char *prefix) {
        cfgtree::StoreLock lock;
        return cfgtree::walked_object(prefix, std::strlen(prefix));
    };
    ASSERT_EQ(t.y, find(0, "a.x.y"));
    const struct { const char *prefix; cfg_handle object; } cases[] = {
        {"a", t.a}, {"a.x", t.x_obj},
        {"a.x.y", 0},  // the walk's last component is no level of it
        {"a.b", 0}, {"b", 0}, {"a.", 0}, {"", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(c.object, known(c.prefix)) << c.prefix;
    // A walk that fails at its first component keeps nothing of the last.
    EXPECT_EQ(0u, find(0, "q.r"));
    EXPECT_EQ(0u, known("a"));
    ASSERT_EQ(t.y, find(0, "a.x.y"));
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("a"));
    ASSERT_EQ(t.y, find(0, "a.x.y"));
    EXPECT_EQ(0u, known("a"));  // the walk started elsewhere than the context
    ASSERT_STATUS(CFG_OK, Cfg_PopContext());
    EXPECT_EQ(t.x_obj, known("a.x"));
    ASSERT_NE(0, ds_delete_avp3(t.a, t.x_ref));
    EXPECT_EQ(0u, known("a"));  // deleted since: looked up again
}

// A reference not bound yet is found by the object its value names, in an
// indexed parent as in a scanned one, before a namesake appended after it;
// binding it changes nothing a walk finds. A new object bound as the last of
// its kind comes after every match and changes no walk either.
TEST(FindItem, SharedPrefixesFollowALateBinding) {
    for (bool in_index : {false, true}) {
        SCOPED_TRACE(in_index ? "indexed parent" : "scanned parent");
        cfg_handle a = object(root(), in_index ? "big" : "small");
        for (int i = 0; in_index && i < 20; ++i) raw(a, kItem, ("pad" + std::to_string(i) + "=0").c_str());
        cfg_handle early = raw(0, kIdent, "x");
        cfg_handle early_ref = ds_append_avp2(a, 2, kRef, 0, &early, sizeof early);  // bound below
        ASSERT_NE(0u, early_ref);
        cfg_handle late = object(a, "x");
        raw(late, kItem, "y=late");
        cfg_handle y_early = raw(early, kItem, "y=early");
        std::string path = std::string(in_index ? "big" : "small") + ".x.y";
        cfgtest::LogCapture quiet;  // an unbound reference in a scanned parent is reported
        cfg_handle before = find(0, path.c_str());
        EXPECT_EQ(y_early, before);
        ASSERT_NE(0, ds_bind_reference(early_ref));
        EXPECT_EQ(y_early, find(0, path.c_str()));
        cfg_handle newest = object(a, "x");  // the last of its kind: the walk stands
        raw(newest, kItem, "y=newest");
        EXPECT_EQ(y_early, find(0, path.c_str()));
    }
}

// A walk goes on after the prefix it shares with the last one only as far
// as the two texts agree, wherever they part: at the first character, the
// last one before a dot, or a dot against a longer name; for prefixes of
// every length up to three words.
TEST(FindItem, SharedPrefixesEndWhereTheTextsPart) {
    for (std::size_t length = 1; length <= 26; ++length) {
        SCOPED_TRACE(length);
        const std::string base(length, 'n');
        std::string last = base, first = base;
        last.back() = 'm';
        first.front() = 'f';
        const std::string names[] = {base, last, first, base + "n"};
        cfg_handle holder = object(root(), "h" + std::to_string(length));
        std::vector<cfg_handle> values;
        for (const auto &name : names) values.push_back(raw(object(object(holder, name), "o"), kItem, "v=" + name));
        const std::string prefix = "h" + std::to_string(length) + ".";
        // Each name after each other, the deeper level shared or not.
        for (int round = 0; round < 2; ++round)
            for (std::size_t i = 0; i < std::size(names); ++i)
                for (std::size_t j = 0; j < std::size(names); ++j) {
                    EXPECT_EQ(values[i], find(0, prefix + names[i] + ".o.v")) << names[i];
                    EXPECT_EQ(values[j], find(0, prefix + names[j] + ".o.v")) << names[i] << " then " << names[j];
                    EXPECT_EQ(0u, find(0, prefix + names[j] + ".p.v")) << names[j];
                    // a text that ends within the prefix the last walk kept,
                    // against the same text after a walk that shares nothing
                    const std::string cut = prefix + names[j].substr(0, names[j].size() - 1);
                    EXPECT_EQ(0u, find(0, "elsewhere"));
                    const cfg_handle fresh = find(0, cut);
                    EXPECT_EQ(values[j], find(0, prefix + names[j] + ".o.v"));
                    EXPECT_EQ(fresh, find(0, cut)) << cut;
                }
    }
}

// The read-only report comes from the identifier as written, also for a
// walk that goes on after the prefix it shares with the last one.
TEST(FindItem, ReadOnlyComesFromTheIdentifierAsWritten) {
    Tree t;
    raw(t.x_obj, kItem, "w=3");
    const struct {
        const char *identifier;
        uint32_t read_only;
    } cases[] = {
        {"a.b", 0},    {"!a.b", 1},   {"a.!b", 1},  {"!ro", 1},    {"ro", 0},
        {"!a.x.y", 1}, {"!a.x.w", 1}, {"a.x.w", 0}, {"a.!x.y", 1}, {"a.x.y", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.identifier);
        uint32_t by_walk = 7, by_call = 7;
        EXPECT_NE(0u, find(0, c.identifier, &by_walk));
        EXPECT_EQ(c.read_only, by_walk);
        EXPECT_STATUS(CFG_OK, Cfg_IsReadOnly(c.identifier, &by_call));
        EXPECT_EQ(c.read_only, by_call);
    }
    uint32_t ro = 77;
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_IsReadOnly("!a.nothing", &ro));
    EXPECT_EQ(77u, ro);
}

// A walk that meets unreadable children (a name the parser refuses, a
// reference to no object) reports them on every walk: such a walk is never
// kept or shortened.
TEST(FindItem, EveryWalkReportsTheUnreadableChildrenItMeets) {
    cfg_handle p = object(root(), "p");
    object(p, "[broken]");
    cfg_handle loose = raw(0, kItem, "loose");
    ASSERT_NE(0u, ds_append_avp2(p, 2, kRef, 0, &loose, sizeof loose));  // refers to no object
    cfg_handle v = raw(object(p, "q"), kItem, "v=1");
    cfgtest::LogCapture log;
    for (int walk = 0; walk < 3; ++walk) {
        log.clear();
        EXPECT_EQ(v, find(0, "p.q.v"));
        EXPECT_TRUE(log.contains("invalid attribute name in '[broken]'")) << log.dump();
        int reports = 0;
        for (const auto &line : log.lines()) reports += line.message.find("Bad config object at") != std::string::npos;
        EXPECT_EQ(1, reports) << log.dump();
    }
}

// Creation goes on after the objects its last walk found the same way.
TEST(CreateItem, SharedPrefixesFollowDeletions) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.b.c1", "1"));
    cfg_handle b_before = find(0, "a.b");
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.b.c2", "2"));
    ASSERT_STATUS(CFG_OK, Cfg_Delete("a.b"));
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "a.b.c3", kItem, nullptr));
    cfg_handle b_after = find(0, "a.b");
    ASSERT_NE(0u, b_after);
    EXPECT_NE(b_before, b_after);
    EXPECT_EQ("obj a\n  obj b\n    attr c3\n", cfgtest::dump_tree());
}

// A log sink that deletes the unreadable child a search reports does not
// end the search: the children after it are still compared, in a small
// parent and in one large enough to keep a name index.
TEST(FindItem, ASinkDeletingTheReportedChildLeavesTheLaterOnesFound) {
    struct Victim {
        cfg_handle parent, node;
        static void log(void *ctx, int level, const char *, int, const char *) {
            auto *v = static_cast<Victim *>(ctx);
            if (level == 3 && v->node && ds_delete_avp3(v->parent, v->node)) v->node = 0;
        }
    };
    for (int extra : {0, 40}) {  // no name index (a few children), and one
        for (const char *identifier : {"p.q[2].v", "p.q[*].v", "p.a"}) {
            SCOPED_TRACE(std::string(identifier) + " after " + std::to_string(extra) + " more children");
            (void)Cfg_Delete("p");  // the previous round's tree
            bool attribute = identifier[2] == 'a';
            cfg_handle p = object(root(), "p"), bad_ref = 0, bad_attr = 0, a = 0, v = 0;
            for (int i = 0; i < extra; ++i) raw(p, kItem, ("f" + std::to_string(i) + "=0").c_str());
            if (attribute) {
                bad_attr = raw(p, kItem, "=v");  // a name that cannot be read
                a = raw(p, kItem, "a=3");
            } else {
                cfg_handle loose = raw(0, kItem, "loose");
                bad_ref = ds_append_avp2(p, 2, kRef, 0, &loose, sizeof loose);  // refers to no object
                raw(object(p, "q[1]"), kItem, "v=1");
                v = raw(object(p, "q[2]"), kItem, "v=2");
            }
            Victim victim{p, attribute ? bad_attr : bad_ref};
            Log_SetSink(&Victim::log, &victim);
            cfg_handle found = 0;
            int status = Cfg_Find(identifier, &found);
            Log_SetSink(nullptr, nullptr);
            EXPECT_EQ(0u, victim.node) << "the sink ran";
            EXPECT_STATUS(CFG_OK, status);
            cfg_handle wanted = attribute ? a : identifier[4] == '2' ? v : find(0, "p.q[1].v");
            EXPECT_EQ(wanted, found);
        }
    }
}

}  // namespace
