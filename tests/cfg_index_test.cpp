// The name index behind the child searches must give exactly the answers of
// a plain scan of the children in store order with cfg_compare_items, on
// trees of any size: wildcard instances on either side, read-only marks,
// deletions and re-creation.
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cfg_private.h"
#include "ds_index.h"
#include "scan_model.h"
#include "support.h"

namespace {

using namespace cfgtest::raw;

cfg_handle append_item(cfg_handle parent, const char *text) { return append(parent, kItem, text); }

using scan_model::Reports;
using scan_model::scan_find;

class RandomTree {
  public:
    explicit RandomTree(unsigned seed) : rng_(seed) {}

    std::string component() {
        static const char *names[] = {"a", "b", "srv", "line"};
        static const char *insts[] = {"", "[1]", "[2]", "[3]", "[*]", "[1:2]", "[1:*]", "[**]", "[]", "[x]"};
        std::string c = std::string(rng_() % 5 == 0 ? "!" : "") + names[rng_() % 4];
        return c + insts[rng_() % 10];
    }
    std::string identifier(int depth) {
        std::string id = component();
        for (int i = 1; i < depth; ++i) id += "." + component();
        return id;
    }
    unsigned next() { return rng_(); }

  private:
    std::mt19937 rng_;
};

// Arms a failure of the store's own allocations for one operation: the
// skip-th allocation from now fails (or none, when the operation needs
// fewer); disarmed on leaving the scope.
class Starved {
  public:
    Starved(bool on, unsigned skip) : on_(on) {
        if (on_) ds_inject_fault(DS_FAULT_MEMORY, static_cast<int>(skip), 1);
    }
    ~Starved() {
        if (on_) ds_inject_fault(DS_FAULT_MEMORY, 0, 0);
    }

  private:
    bool on_;
};

// A search going on from a point finds the first namesake and the first
// unreadable child after it from their lists' tails: the same as walked from
// their heads.
void expect_points_found_as_walked(cfg_handle parent, RandomTree &tree) {
    static const char *names[] = {"a", "b", "srv", "line"};
    for (uint16_t xid : {kItem, kRef}) {
        cfg_handle last = ds_last_of(parent, xid);
        uint32_t end = last ? ds_seq(last) + 2 : 2;
        for (int k = 0; k < 4; ++k) {
            const uint32_t seq = tree.next() % end;
            const char *name = names[tree.next() % 4];
            cfg_handle named = ds_first_named(parent, xid, name, std::strlen(name));
            while (named && ds_seq(named) <= seq) named = ds_next_named(named);
            ASSERT_EQ(named, ds_named_after(parent, xid, name, std::strlen(name), seq)) << name << " after " << seq;
            cfg_handle odd = ds_first_odd(parent, xid);
            while (odd && ds_seq(odd) <= seq) odd = ds_next_odd(odd);
            ASSERT_EQ(odd, ds_odd_after(parent, xid, seq)) << "after " << seq;
        }
    }
}

// Grows a random tree (wide enough that every level keeps an index) with
// creations, raw appends of names the interface never writes, deletions and
// renames, and compares lookups with the scan every few steps. When starve
// is set, every change runs with one of the store's allocations failing;
// whatever a change then does or refuses, lookups must stay exact.
void grow_and_compare(unsigned seed, bool starve) {
    cfgtest::LogCapture quiet;  // the parser reports wildcard names; keep stderr calm
    RandomTree tree(seed);
    const cfg_handle root = ds_get_cntl_info(1);
    auto appended = [&](cfg_handle h) { return h != 0 || (starve && ds_get_error() == DS_E_NO_MEMORY); };
    int raw_wild = 0, refused = 0;
    for (int i = 0; i < 600; ++i) {
        std::string id = tree.identifier(1 + static_cast<int>(tree.next() % 3));
        uint16_t kind = tree.next() % 2 ? kItem : kRef;
        cfg_handle out = 0;
        int created = 0;
        {
            Starved s(starve, tree.next() % 6);
            created = cfg_create_item(0, id.c_str(), kind, &out);
        }
        refused += created == ERR_CREATE_FAILED;
        if (created == CFG_ERR_SYNTAX && id.find('.') == std::string::npos) {
            // names with wildcard instances cannot be created through the
            // interface, but a store may hold them: put them there directly
            Starved s(starve, tree.next() % 4);
            ASSERT_TRUE(appended(append_item(root, (id + "=w").c_str())));
            ++raw_wild;
        }
        if (i % 13 == 0) {
            // wildcard instances on the stored side, whatever the draws gave
            std::string text = std::string(i % 2 ? "a" : "srv") + (i % 3 ? "[*]" : "[1:*]") + "=w";
            Starved s(starve, tree.next() % 4);
            ASSERT_TRUE(appended(append_item(root, text.c_str())));
            ++raw_wild;
        }
        if (i % 7 == 0) {
            // stored texts the interface never writes, whose names end oddly
            static const char *odd[] = {"a[",     "a[1",      "a[1=x]", "a[]=v",  "a[1]x=v", "ax=v",
                                        "!!a[1]", "a[1]]=v",  "a=[1]",  "a[1][2]", "srv[1",  "b[[1]=v"};
            const char *text = odd[tree.next() % std::size(odd)];
            Starved s(starve, tree.next() % 4);
            ASSERT_TRUE(appended(append_item(root, text)));
        }
        if (i % 11 == 0) {
            // objects whose stored names end oddly, bound as cfg_create_item would
            static const char *odd[] = {"a.b", "a[1].x", "a[1", "srv x", "!!a", "b[2]y", "line[1:2].z", "a[]"};
            const char *text = odd[tree.next() % std::size(odd)];
            Starved s(starve, tree.next() % 6);
            cfg_handle ident = append(0, kIdent, text);
            ASSERT_TRUE(appended(ident));
            cfg_handle ref = ident ? ds_append_avp2(root, 2, kRef, 0, &ident, sizeof ident) : 0;
            ASSERT_TRUE(appended(ref));
            if (ref && !ds_bind_reference(ref)) {
                ASSERT_TRUE(starve && ds_get_error() == DS_E_NO_MEMORY);
                ASSERT_NE(0, ds_delete_avp3(root, ref));  // an unbound reference names nothing; drop it
            }
        }
        if (i % 5 == 4) (void)cfg_delete_item(0, tree.identifier(1 + static_cast<int>(tree.next() % 2)).c_str());
        if (i % 4 == 1) {
            // a rename in place: an attribute's text or an object's name
            cfg_handle item = 0;
            if (cfg_find_item(0, tree.identifier(1 + static_cast<int>(tree.next() % 2)).c_str(), &item, nullptr,
                              nullptr) == CFG_OK) {
                bool attribute = ds_get_attr_id(item) == oa_xid_of("OID_ATT_CONFIG_ITEM");
                std::string text = tree.component() + (attribute ? "=r" : "");
                Starved s(starve, tree.next() % 4);
                int changed = ds_modify_av(item, text.c_str(), static_cast<uint16_t>(text.size() + 1));
                ASSERT_TRUE(changed || (starve && ds_get_error() == DS_E_NO_MEMORY));
            }
        }
        if (i % 3 == 0) {
            expect_points_found_as_walked(root, tree);
            for (int q = 0; q < 10; ++q) {
                std::string query = tree.identifier(1 + static_cast<int>(tree.next() % 3));
                cfg_handle got = 0;
                quiet.clear();
                int st = cfg_find_item(0, query.c_str(), &got, nullptr, nullptr);
                Reports reported, want_reports;
                for (const auto &line : quiet.lines())
                    if (line.level == 3) reported.push_back(line.message);
                cfg_handle want = scan_find(query, want_reports);
                ASSERT_EQ(want, st == CFG_OK ? got : 0) << "query " << query << " after " << i << " steps";
                ASSERT_EQ(want_reports, reported) << "query " << query << " after " << i << " steps";
            }
        }
    }
    EXPECT_GT(raw_wild, 0);
    if (starve) {
        EXPECT_GT(refused, 0) << "some creations must have met a failed allocation";
    }
    // an index dropped for want of memory comes back with the next append
    std::string last = "last" + std::to_string(seed) + (starve ? "s" : "p");
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(last.c_str(), "1"));
    EXPECT_NE(0, ds_index_ready(root)) << "the root must keep an index";
}

class IndexedFind : public testing::TestWithParam<unsigned> {};

TEST_P(IndexedFind, EqualsAChildOrderScan) { grow_and_compare(GetParam(), false); }

TEST_P(IndexedFind, EqualsAChildOrderScanWhenTheStoreRunsOutOfMemory) { grow_and_compare(GetParam(), true); }

INSTANTIATE_TEST_SUITE_P(Seeds, IndexedFind, testing::Values(11u, 12u, 13u, 14u, 15u, 16u));

// An object several parents refer to (the store allows it) is found under
// its new name through each of them, indexed or scanned, also after any one
// of the references has gone.
TEST(IndexedFind, AnObjectReferredToFromSeveralParentsIsRenamedInEach) {
    const char *parents[] = {"multi_p", "multi_q", "multi_r"};  // the last one stays small
    for (int gone = -1; gone < 3; ++gone) {
        SCOPED_TRACE("reference dropped: " + std::to_string(gone));
        cfg_handle shared = append(0, kIdent, "old");
        ASSERT_NE(0u, append_item(shared, "v=1"));
        std::vector<cfg_handle> refs;
        for (const char *name : parents) {
            cfg_handle parent = 0;
            ASSERT_STATUS(CFG_OK, cfg_create_item(0, name, kRef, &parent));
            for (int i = 0; i < 40 && name != parents[2]; ++i) ASSERT_NE(0u, append_item(parent, "pad=0"));
            refs.push_back(ref(parent, shared));
            ASSERT_STATUS(CFG_OK, Cfg_Find((std::string(name) + ".old.v").c_str(), nullptr));  // walks kept
        }
        if (gone >= 0) {
            cfg_handle parent = 0;
            ASSERT_STATUS(CFG_OK, Cfg_Find(parents[gone], &parent));
            ASSERT_NE(0, ds_delete_avp3(parent, refs[static_cast<size_t>(gone)]));
        }
        for (const char *name : {"new", "newer"}) {
            ASSERT_NE(0, ds_modify_av(shared, name, static_cast<uint16_t>(std::strlen(name) + 1)));
            for (int i = 0; i < 3; ++i) {
                std::string prefix = std::string(parents[i]) + ".";
                SCOPED_TRACE(prefix + name);
                EXPECT_STATUS(i == gone ? CFG_NOT_FOUND : CFG_OK, Cfg_Find((prefix + name + ".v").c_str(), nullptr));
                EXPECT_STATUS(CFG_NOT_FOUND, Cfg_Find((prefix + "old.v").c_str(), nullptr));
            }
        }
        for (const char *name : parents) ASSERT_STATUS(CFG_OK, Cfg_Delete(name));
    }
}

// A log sink may change the store while a search reports a child it cannot
// read: an indexed parent then answers as a scanned one does. Renamed or
// deleted, the reported child is passed and the search goes on.
TEST(IndexedFind, ASinkThatChangesTheStoreDuringAReportGetsTheScansAnswer) {
    struct Change {
        cfg_handle parent, node;
        bool rename;
    };
    auto sink = [](void *arg, int level, const char *, int, const char *message) {
        auto *c = static_cast<Change *>(arg);
        if (level != 3 || !c->node || std::strncmp(message, "Bad config attribute", 20) != 0) return;
        cfg_handle node = std::exchange(c->node, 0);
        if (c->rename) EXPECT_NE(0, ds_modify_av(node, "z=9", 4));
        else EXPECT_NE(0, ds_delete_avp3(c->parent, node));
    };
    for (bool rename : {true, false}) {
        for (int padding : {0, 20}) {
            SCOPED_TRACE(std::string(rename ? "renamed" : "deleted") + (padding ? ", indexed" : ", scanned"));
            std::string name = "sinkchange" + std::to_string(rename) + std::to_string(padding);
            cfg_handle parent = 0;
            ASSERT_STATUS(CFG_OK, cfg_create_item(0, name.c_str(), kRef, &parent));
            for (int i = 0; i < padding; ++i) ASSERT_NE(0u, append_item(parent, "pad=0"));
            Change change{parent, append_item(parent, "[bad=1"), rename};
            cfg_handle wild = append_item(parent, "x[*]=2");
            ASSERT_NE(0u, append_item(parent, "x=1"));
            Log_SetSink(sink, &change);
            cfg_handle found = 0;
            int status = cfg_find_item(0, (name + ".x").c_str(), &found, nullptr, nullptr);
            Log_SetSink(nullptr, nullptr);
            EXPECT_EQ(0u, change.node) << "the sink must have run";
            EXPECT_STATUS(CFG_OK, status);
            EXPECT_EQ(wild, found);
        }
    }
}

// A sink that, hearing of an unreadable child, appends a child of the name
// looked for, or gives a later child that name, has the search find it, as
// a scan in child order does, in an indexed parent too, for a name with or
// without wildcards.
TEST(IndexedFind, ASinkThatAddsAMatchDuringAReportHasItFound) {
    struct Change {
        cfg_handle parent, later;
        bool done;
    };
    auto sink = [](void *arg, int level, const char *, int, const char *message) {
        auto *c = static_cast<Change *>(arg);
        if (level != 3 || c->done || std::strncmp(message, "Bad config attribute", 20) != 0) return;
        c->done = true;
        if (c->later) {
            ds_lock();
            EXPECT_NE(0, ds_modify_av(c->later, "x=later", 8));
            ds_unlock();
        } else {
            EXPECT_NE(0u, append_item(c->parent, "x=new"));
        }
    };
    for (bool rename : {false, true}) {
        for (const char *query : {"x", "x[*]"}) {
            SCOPED_TRACE(std::string(rename ? "renamed, " : "appended, ") + query);
            std::string name = std::string("sinkadds") + (rename ? "r" : "a") + (query[1] ? "w" : "p");
            cfg_handle parent = 0;
            ASSERT_STATUS(CFG_OK, cfg_create_item(0, name.c_str(), kRef, &parent));
            ASSERT_NE(0u, append_item(parent, "pad=0"));
            ASSERT_NE(0u, append_item(parent, "[bad=1"));
            Change change{parent, append_item(parent, "y=1"), false};
            if (!rename) change.later = 0;
            for (int i = 0; i < 8; ++i) ASSERT_NE(0u, append_item(parent, "pad=0"));
            ASSERT_NE(0, ds_index_ready(parent));
            Log_SetSink(sink, &change);
            cfg_handle found = 0;
            int status = cfg_find_item(0, (name + "." + query).c_str(), &found, nullptr, nullptr);
            Log_SetSink(nullptr, nullptr);
            ASSERT_TRUE(change.done) << "the sink must have run";
            ASSERT_STATUS(CFG_OK, status);
            EXPECT_STREQ(rename ? "x=later" : "x=new", cfg_avp(found));
        }
    }
}

// A search that goes on after the child a sink changed the store for
// starts after that child, also when it is the parent's first (the child
// numbered 0): the scan compares it once, reports it once and does not find
// it under the name the sink gave it.
TEST(IndexedFind, ASearchGoingOnAfterTheFirstChildDoesNotCompareItAgain) {
    struct Change {
        cfg_handle parent, first, next;
        int reports;
    };
    auto sink = [](void *arg, int level, const char *, int, const char *message) {
        auto *c = static_cast<Change *>(arg);
        if (level != 3 || std::strncmp(message, "Bad config attribute", 20) != 0) return;
        if (c->reports++ > 0) return;
        ds_lock();
        EXPECT_NE(0, ds_modify_av(c->first, "x=1", 4));
        ds_unlock();
        EXPECT_NE(0, ds_delete_avp3(c->parent, c->next));
    };
    for (const char *query : {"firstgone.x", "firstgone.x[*]"}) {
        SCOPED_TRACE(query);
        cfg_handle parent = 0;
        ASSERT_STATUS(CFG_OK, cfg_create_item(0, "firstgone", kRef, &parent));
        Change change{parent, append_item(parent, "[bad=1"), append_item(parent, "[bad=2"), 0};
        for (int i = 0; i < 8; ++i) ASSERT_NE(0u, append_item(parent, "pad=0"));
        ASSERT_NE(0, ds_index_ready(parent));
        Log_SetSink(sink, &change);
        int status = cfg_find_item(0, query, nullptr, nullptr, nullptr);
        Log_SetSink(nullptr, nullptr);
        EXPECT_EQ(1, change.reports);
        EXPECT_STATUS(CFG_NOT_FOUND, status);
        ASSERT_STATUS(CFG_OK, Cfg_Delete("firstgone"));
    }
}

// Stored names the interface never writes end oddly: the finder must read
// them exactly as the matcher does, and report the unreadable ones where a
// scan meets them, whether the parent is scanned (few children) or indexed
// (many); a rename that makes a name readable puts the child in the index.
TEST(IndexedFind, OddStoredNamesAreReadAsTheMatcherReadsThem) {
    cfgtest::LogCapture log;
    struct Odd {
        bool object;
        const char *text;
    };
    const Odd odds[] = {{false, "a[1"},   {false, "a[1=x]=v"}, {false, "a[1]x=v"}, {false, "a x=v"},
                        {false, "a.b=v"}, {false, "!!a=v"},    {false, "a[]=v"},   {false, "a=[1]"},
                        {false, "a[1]]=v"}, {true, "a.b"},     {true, "a[1].x"},   {true, "a[1"},
                        {true, "a x"},    {true, "!!a"},       {true, "a[]"},      {true, "a[1]y"}};
    // A parent named name with padding attributes before anything else.
    auto parent_of = [](const std::string &name, int padding) {
        cfg_handle parent = 0;
        EXPECT_STATUS(CFG_OK, cfg_create_item(0, name.c_str(), kRef, &parent));
        for (int i = 0; i < padding; ++i)
            EXPECT_STATUS(CFG_OK, cfg_create_item(parent, ("pad" + std::to_string(i)).c_str(), kItem, nullptr));
        return parent;
    };
    auto compare_queries = [&log](const std::string &name) {
        for (const char *query : {"a", "a[1]", "a[1=x]", "a[]", "a[*]", "!a", "a[1]x", "a x", "a[1]]", "ab", "a[12]",
                                  "a[2]", "a-b"}) {
            std::string identifier = name + "." + query;
            cfg_handle got = 0;
            for (int twice = 0; twice < 2; ++twice) {  // a walk that reported is walked again in full
                log.clear();
                int st = cfg_find_item(0, identifier.c_str(), &got, nullptr, nullptr);
                Reports want, reported;
                for (const auto &line : log.lines())
                    if (line.level == 3) reported.push_back(line.message);
                EXPECT_EQ(scan_find(identifier, want), st == CFG_OK ? got : 0) << "query " << query;
                EXPECT_EQ(want, reported) << "query " << query;
            }
        }
    };
    for (int padding : {0, 40}) {
        for (const Odd &odd : odds) {
            SCOPED_TRACE(std::string(odd.text) + (padding ? ", indexed" : ", scanned"));
            std::string name = "p" + std::to_string(padding) + "_" + std::to_string(&odd - odds);
            cfg_handle parent = parent_of(name, padding);
            ASSERT_NE(0u, odd.object ? object(parent, odd.text) : append_item(parent, odd.text));
            ASSERT_STATUS(CFG_OK, cfg_create_item(parent, "a[1]", kItem, nullptr));  // a readable namesake after it
            compare_queries(name);
        }
    }
    // A new text moves an attribute to the key the parser reads in it.
    const char *renames[][2] = {
        {"a", "a=v"},     {"a", "ab=v"},       {"a", "a[1]=v"},   {"a[1]", "a[1]=x"}, {"a[1]", "a[12]=x"},
        {"a[]", "a[]x"},  {"a=1", "a[=1"},     {"!a", "a=v"},     {"a[1]", "a[1"},    {"a x", "a[2] x"},
        {"a[1]=v", "a"},  {"a=v", "a[1=v]"},   {"ab", "a"},       {"a", "a-b"},       {"a", "a.b=1"},
    };
    for (auto &r : renames) {
        SCOPED_TRACE(std::string(r[0]) + " -> " + r[1]);
        std::string name = "r" + std::to_string(&r - renames);
        cfg_handle node = append_item(parent_of(name, 40), r[0]);
        ASSERT_NE(0u, node);
        {
            cfgtree::StoreLock lock;
            ASSERT_NE(0, ds_modify_av(node, r[1], static_cast<uint16_t>(std::strlen(r[1]) + 1)));
        }
        compare_queries(name);
    }
    // A name made readable by a new text is found by it from then on.
    cfg_handle odd = append_item(parent_of("renamed", 40), "q[7");
    ASSERT_NE(0u, odd);
    EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(0, "renamed.q[7]", nullptr, nullptr, nullptr));
    ds_lock();
    ASSERT_NE(0, ds_modify_av(odd, "q[7]=v", 7));
    ds_unlock();
    cfg_handle got = 0;
    EXPECT_STATUS(CFG_OK, cfg_find_item(0, "renamed.q[7]", &got, nullptr, nullptr));
    EXPECT_EQ(odd, got);
}

// Names of every length up to past two words, differing from each other in
// their first, middle or last character only: the index compares stored names
// in place, in overlapping words, and must tell all of them apart.
TEST(IndexedFind, NamesDifferingInOneCharacterAreToldApart) {
    cfg_handle parent = 0;
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "long", kRef, &parent));
    std::set<std::string> names;
    for (size_t length = 1; length <= 20; ++length) {
        std::string base(length, 'n');
        names.insert(base);
        for (size_t at : {size_t{0}, length / 2, length - 1}) names.insert(std::string(base).replace(at, 1, "m"));
    }
    std::vector<std::pair<std::string, cfg_handle>> made;
    for (const std::string &name : names) {
        cfg_handle h = 0;
        ASSERT_STATUS(CFG_OK, cfg_create_item(parent, (name + "[1]").c_str(), kItem, &h));
        made.emplace_back(name, h);
    }
    ASSERT_NE(0, ds_index_ready(parent));
    for (const auto &[name, handle] : made) {
        cfg_handle got = 0;
        EXPECT_STATUS(CFG_OK, cfg_find_item(parent, (name + "[1]").c_str(), &got, nullptr, nullptr));
        EXPECT_EQ(handle, got) << name;
        EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(parent, (name + "x[1]").c_str(), nullptr, nullptr, nullptr));
        EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(parent, (name + "[2]").c_str(), nullptr, nullptr, nullptr));
        EXPECT_STATUS(CFG_NOT_FOUND, cfg_find_item(parent, (name + "[1x]").c_str(), nullptr, nullptr, nullptr));
    }
}

}  // namespace
