// Tests of deleting items: one item by path, every match from the current
// context, and refusals (store, memory, syntax) that remove nothing.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "cfg_private.h"
#include "support.h"

namespace {

using namespace cfgtest::raw;
const uint16_t kObject = kRef;

cfg_handle find(const char *identifier) {
    cfg_handle h = 0;
    return cfg_find_item(0, identifier, &h, nullptr, nullptr) == CFG_OK ? h : 0;
}

void set(const char *identifier, const char *value) { ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(identifier, value)); }

// a { b=1  c=2  x=3  sub { y=4 } }   k=5
void build_tree() {
    for (auto [id, value] : {std::pair{"a.b", "1"}, {"a.c", "2"}, {"a.x", "3"}, {"a.sub.y", "4"}, {"k", "5"}})
        set(id, value);
}

TEST(DeleteItem, RemovesOneItemByPath) {
    build_tree();
    const cfg_handle a = find("a");
    const struct {
        cfg_handle start;
        const char *identifier;
        int status;
        const char *tree = nullptr;  // null: unchanged
    } cases[] = {
        {0, "a.b", CFG_OK, "obj a\n  attr c=2\n  attr x=3\n  obj sub\n    attr y=4\nattr k=5\n"},
        {0, "a.b", CFG_NOT_FOUND},
        {a, "k", CFG_NOT_FOUND},  // the walk starts at the given object
        {a, "sub.y=4", CFG_OK, "obj a\n  attr c=2\n  attr x=3\n  obj sub\nattr k=5\n"},
        {0, "a.sub", CFG_OK, "obj a\n  attr c=2\n  attr x=3\nattr k=5\n"},
        {0, "a", CFG_OK, "attr k=5\n"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.identifier);
        std::string before = cfgtest::dump_tree();
        EXPECT_STATUS(k.status, cfg_delete_item(k.start, k.identifier));
        EXPECT_EQ(k.tree ? k.tree : before, cfgtest::dump_tree());
    }
}

TEST(DeleteItem, SyntaxErrorsDeleteNothing) {
    build_tree();
    std::string before = cfgtest::dump_tree();
    for (const char *identifier : {"", "a..b", "a.*", "a.b[1"}) {
        SCOPED_TRACE(identifier);
        EXPECT_STATUS(CFG_ERR_SYNTAX, cfg_delete_item(0, identifier));
        EXPECT_STATUS(CFG_ERR_SYNTAX, Cfg_Delete(identifier));
        EXPECT_EQ(before, cfgtest::dump_tree());
    }
    EXPECT_STATUS(CFG_ERR_SYNTAX, Cfg_Delete(nullptr));
}

TEST(DeleteItem, BadStoredChildrenAreReportedAndSkipped) {
    cfg_handle bad_attr = ds_append_avp2(root(), 2, kItem, 0, "=v", 3);
    cfg_handle loose = ds_append_avp2(0, 2, kItem, 0, "loose", 6);
    ASSERT_NE(0u, ds_append_avp2(root(), 2, kObject, 0, &loose, sizeof loose));
    set("k", "1");
    cfgtest::LogCapture log;
    EXPECT_STATUS(CFG_OK, cfg_delete_item(0, "k"));
    EXPECT_EQ(0u, find("k"));
    EXPECT_TRUE(log.has(3, "cfg_d_delete", "Bad config attribute at <" + std::to_string(bad_attr) + ">"))
        << log.dump();
    EXPECT_TRUE(log.has(3, "cfg_d_delete", "Bad config object at <" + std::to_string(loose) + ">")) << log.dump();
    // each report carries the line of the module's own search
    for (const cfgtest::LogLine &l : log.lines())
        if (l.module == "cfg_d_delete" && l.message.starts_with("Bad config")) {
            EXPECT_NE(std::string::npos, cfgtest::source_line("src/cfg_d_delete.cpp", l.line).find("find_child_")) << l.line;
        }
}

TEST(Delete, RemovesEveryMatchFromTheContext) {
    for (auto [id, value] : {std::pair{"a.srv[1].p", "1"}, {"a.srv[2].p", "2"}, {"a.srv[3]", "attr"}, {"a.keep", "1"}})
        set(id, value);
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "a.srv[3]", kObject, nullptr));
    cfgtest::LogCapture log;
    EXPECT_STATUS(CFG_OK, Cfg_Delete("a.srv[*]"));
    EXPECT_EQ("obj a\n  attr keep=1\n", cfgtest::dump_tree());
    // Sub-objects went first (nonzero reference), the attribute last.
    std::string order;
    for (const auto &l : log.lines()) {
        if (l.message.rfind("cfg_delete_item: ref_h = ", 0) != 0) continue;
        if (l.message.find("item_h = 0") != std::string::npos) continue;
        order += l.message.find("ref_h = 0,") != std::string::npos ? 'a' : 'o';
    }
    EXPECT_EQ("oooa", order) << log.dump();
    // nothing left to match: only traced
    log.clear();
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_Delete("a.srv[*]"));
    for (const auto &l : log.lines()) EXPECT_TRUE(l.level == 10 || l.level == 13) << l.message;
}

TEST(Delete, RefusalsInTheRepetitionArePassedOn) {
    set("r.x[1]", "1");
    set("r.x[2]", "2");
    ds_inject_fault(DS_FAULT_DELETE, 1, 1);  // the first deletion lands, the second is refused
    EXPECT_STATUS(ERR_DELETE_FAILED, Cfg_Delete("r.x[*]"));
    ds_inject_fault(DS_FAULT_DELETE, 0, 0);
    EXPECT_EQ("obj r\n  attr x[2]=2\n", cfgtest::dump_tree());

    // one copy per round: with the k-th copy refused, k items are gone
    for (int k = 0;; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        set("r.x[2]", "2");
        set("r.x[3]", "3");
        cfg_inject_alloc_fault(k, 1);
        int status = Cfg_Delete("r.x[*]");
        cfg_inject_alloc_fault(0, 0);
        if (status == CFG_OK) {
            EXPECT_EQ(3, k) << "two deletions and the round that finds nothing";
            break;
        }
        ASSERT_STATUS(ERR_NO_MEMORY, status);
        const char *left[] = {"obj r\n  attr x[2]=2\n  attr x[3]=3\n", "obj r\n  attr x[3]=3\n", "obj r\n"};
        EXPECT_EQ(left[k], cfgtest::dump_tree());
        ASSERT_LT(k, 3);
    }
    EXPECT_EQ("obj r\n", cfgtest::dump_tree());
}

// The trace that names the item found comes before its deletion: a log sink
// still finds the item there, and one that deletes it makes the deletion
// fail (-139), which ends the repetition.
TEST(Delete, TheTraceOfTheFoundItemComesBeforeItsDeletion) {
    set("r.x[1]", "1");
    set("r.x[2]", "2");
    struct Sink {
        static void log(void *ctx, int, const char *, int, const char *message) {
            auto *found = static_cast<int *>(ctx);
            if (*found != 1 || !std::strstr(message, "ref_h =")) return;
            *found = Cfg_Find("r.x[1]", nullptr);
            (void)Cfg_Delete("r.x[1]");
        }
    };
    int found = 1;
    Log_SetSink(&Sink::log, &found);
    int status = Cfg_Delete("r.x[*]");
    Log_SetSink(nullptr, nullptr);
    EXPECT_STATUS(CFG_OK, found);
    EXPECT_STATUS(ERR_DELETE_FAILED, status);
    EXPECT_EQ("obj r\n  attr x[2]=2\n", cfgtest::dump_tree());
}

// A log sink that pushes a context during the first round makes the later
// rounds delete from that context (walking from there).
TEST(Delete, EveryRoundStartsFromTheContextCurrentThen) {
    set("o.x[1]", "1");
    set("o.x[2]", "2");
    set("c.o.x[1]", "3");
    set("c.o.x[2]", "4");
    struct Sink {
        static void log(void *ctx, int, const char *, int, const char *message) {
            auto *pushed = static_cast<int *>(ctx);
            if (!*pushed && std::strstr(message, "ref_h ="))
                *pushed = Cfg_PushContext("c") == CFG_OK ? 1 : -1;
        }
    };
    int pushed = 0;
    Log_SetSink(&Sink::log, &pushed);
    int status = Cfg_Delete("o.x[*]");
    Log_SetSink(nullptr, nullptr);
    ASSERT_EQ(1, pushed);
    ASSERT_STATUS(CFG_OK, Cfg_PopContext());
    EXPECT_STATUS(CFG_OK, status);
    EXPECT_EQ("obj o\n  attr x[2]=2\nobj c\n  obj o\n", cfgtest::dump_tree()) << "o.x[1] from the top, then c's two";
}

// Regression: every round compared again the namesakes before the first match
// that were left, so deleting the matches behind many that do not match took
// quadratic time (half an hour for 50,000 of each). Each round goes on where the
// one before left off.
TEST(Delete, MatchesBehindManyNamesakesThatDifferGoInLinearTime) {
    const int n = 50000;
    char id[64];
    for (const char *kind : {"web", "db"})
        for (int i = 0; i < n; ++i) {
            std::snprintf(id, sizeof id, "p.srv[%s:%d]", kind, i);
            ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(id, "1"));
        }
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "p.srv[db:x]", kObject, nullptr));
    EXPECT_STATUS(CFG_OK, Cfg_Delete("p.srv[db:*]"));
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_Find("p.srv[db:*]", nullptr));
    std::snprintf(id, sizeof id, "p.srv[web:%d]", n - 1);
    EXPECT_STATUS(CFG_OK, Cfg_Find(id, nullptr));
}

// Regression: a round went on child by child after the match the round
// before deleted, whatever the name: deleting each of many attributes by
// name cost the siblings after it (quadratic). A name without wildcards is
// found through the index in every round, and with wildcards the rounds go
// on among the namesakes only.
TEST(Delete, NamesAmongManySiblingsAreDeletedInLinearTime) {
    const int n = 100000;
    char id[64];
    for (int i = 0; i < n; ++i) {
        std::snprintf(id, sizeof id, "w.a%d", i);
        ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(id, "1"));
    }
    for (int i = 0; i < n - 1; ++i) {
        std::snprintf(id, sizeof id, "w.a%d", i);
        ASSERT_STATUS(CFG_OK, Cfg_Delete(id));
    }
    std::snprintf(id, sizeof id, "w.a%d", n - 1);
    EXPECT_STATUS(CFG_OK, Cfg_Find(id, nullptr));
    // With wildcards the rounds go on among the namesakes, not among every
    // sibling after the match.
    for (int i = 0; i < n / 4; ++i)
        for (const char *instance : {"1", "2"}) {
            std::snprintf(id, sizeof id, "v.n%d[%s]", i, instance);
            ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(id, "1"));
        }
    for (int i = 0; i < n / 4 - 1; ++i) {
        std::snprintf(id, sizeof id, "v.n%d[*]", i);
        ASSERT_STATUS(CFG_OK, Cfg_Delete(id));
    }
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_Find("v.n0[*]", nullptr));
    std::snprintf(id, sizeof id, "v.n%d[2]", n / 4 - 1);
    EXPECT_STATUS(CFG_OK, Cfg_Find(id, nullptr));
}

// Cfg_Delete of pattern from the context p (an object at the root), and
// cfg_delete_item of it from q repeated until nothing matches: the same
// status, and the same trees left in p and q.
void deletes_as_one_at_a_time(cfg_handle p, cfg_handle q, const char *pattern, int round) {
    SCOPED_TRACE(pattern);
    ASSERT_STATUS(CFG_OK, Cfg_PushContext("p"));
    const int all = Cfg_Delete(pattern);
    ASSERT_STATUS(CFG_OK, Cfg_PopContext());
    int first = cfg_delete_item(q, pattern), status = first;
    while (status == CFG_OK) status = cfg_delete_item(q, pattern);
    EXPECT_STATUS(first == CFG_OK && status == CFG_NOT_FOUND ? CFG_OK : first, all);
    ASSERT_EQ(cfgtest::dump_tree(q), cfgtest::dump_tree(p)) << "round " << round << ", " << pattern;
}

// The rounds of Cfg_Delete go on where the one before left off: they must
// delete exactly what deleting one match at a time from the first child
// does, among namesakes, wildcard instances and marks, in parents small and
// indexed. (A name the matcher cannot read is reported, and a round that
// reports starts over.)
TEST(Delete, RoundsDeleteWhatOneAtATimeDeletes) {
    const cfg_handle p = object(0, "p"), q = object(0, "q");
    const char *names[] = {"a[1]", "a[2]", "a[1:2]", "a[2:1]", "a[*]", "a[**]", "!a[1]", "a", "b[1]", "b", "a[1", "a b"};
    const char *patterns[] = {"a[*]", "a[1:*]", "a[*:1]", "a[**]", "a", "b[*]", "!a[*]", "a[1]", "a[*:*]"};
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        for (int i = 0, n = static_cast<int>(rng() % 40); i < n; ++i) {
            const std::string name = names[rng() % std::size(names)];
            const bool is_object = rng() % 3 == 0;
            for (cfg_handle parent : {p, q})
                if (is_object) object(parent, name);
                else append(parent, kItem, name + "=v");
        }
        deletes_as_one_at_a_time(p, q, patterns[rng() % std::size(patterns)], round);
        if (testing::Test::HasFatalFailure()) return;
    }
}

// The rounds take again the objects the round before went through to the
// last component: with wildcards before the last component too, they must
// delete what deleting one match at a time from the start does.
TEST(Delete, RoundsThroughObjectsDeleteWhatOneAtATimeDeletes) {
    const cfg_handle p = object(0, "p"), q = object(0, "q");
    const char *names[] = {"a[1]", "a[2]", "a[1:2]", "a", "b[1]"};
    const char *patterns[] = {"a[*].a[*]", "a[*].b[*]", "a[1:*].a[*]", "a.a[*].a[*]", "a[*].a[*].b[*]", "b[*].a"};
    std::mt19937 rng(11);
    for (int round = 0; round < 150; ++round) {
        // the same random tree, three levels deep, under p and under q
        for (int i = 0, n = static_cast<int>(rng() % 12); i < n; ++i) {
            std::vector<std::string> path;
            for (int depth = 1 + static_cast<int>(rng() % 3); depth > 0; --depth) path.push_back(names[rng() % 5]);
            const bool is_object = rng() % 3 == 0;
            for (cfg_handle top : {p, q}) {
                cfg_handle parent = top;
                for (std::size_t k = 0; k + 1 < path.size(); ++k) {
                    cfg_handle child = 0;
                    for (cfg_handle r : children(parent, kObject))
                        if (path[k] == cfg_object_id(target_of(r))) child = target_of(r);
                    parent = child ? child : object(parent, path[k]);
                }
                if (is_object) object(parent, path.back());
                else append(parent, kItem, path.back() + "=v");
            }
        }
        deletes_as_one_at_a_time(p, q, patterns[rng() % std::size(patterns)], round);
        if (testing::Test::HasFatalFailure()) return;
    }
}

// An object that holds itself: deleting that reference changes the first
// match of the component before the last, so the next round searches again
// rather than going through the objects of the round before. Here the
// second round walks a, a[2] (no longer a again) and finds nothing in it.
TEST(Delete, ARoundThatChangedAnEarlierObjectSearchesAgain) {
    const cfg_handle a = object(0, "a");
    const cfg_handle self = ref(a, a);
    ASSERT_NE(0u, self);
    const cfg_handle b = object(a, "a[2]");
    object(b, "c");
    EXPECT_STATUS(CFG_OK, Cfg_Delete("a.a[*].a[*]"));
    EXPECT_EQ(std::vector<cfg_handle>{b}, [&] {
        std::vector<cfg_handle> left;
        for (cfg_handle r : children(a, kObject)) left.push_back(target_of(r));
        return left;
    }()) << "a[2] stays: only the reference of a to itself matched";
}

// A log sink that deletes an object the rounds went through, during the
// trace of a later round's walk: from there on that walk searches again.
TEST(Delete, ASinkThatDeletesAnObjectOnTheWayMakesTheRoundSearchAgain) {
    set("x[1:1].z", "0");
    set("x[2:1].y[1]", "1");
    set("x[2:1].y[2]", "2");
    set("x[2:2].y[1]", "3");
    set("x[2:2].y[2]", "4");
    struct Sink {
        static void log(void *ctx, int, const char *, int, const char *message) {
            auto *walks = static_cast<int *>(ctx);
            if (!std::strstr(message, "for object 'x[2:*]'") || ++*walks != 2) return;
            EXPECT_STATUS(CFG_OK, cfg_delete_item(0, "x[2:1]"));
        }
    };
    int walks = 0;
    Log_SetSink(&Sink::log, &walks);
    int status = Cfg_Delete("x[2:*].y[*]");
    Log_SetSink(nullptr, nullptr);
    EXPECT_STATUS(CFG_OK, status);
    EXPECT_EQ("obj x[1:1]\n  attr z=0\nobj x[2:2]\n", cfgtest::dump_tree());
}

// A log sink that renames an object the walk went through, during the trace
// of the last component: that round still deletes where its walk led, and
// the next one searches again (the renamed object no longer matches).
TEST(Delete, ASinkThatRenamesAnObjectOnTheWayMakesTheNextRoundSearchAgain) {
    set("x[2:1].y[1]", "1");
    set("x[2:1].y[2]", "2");
    set("x[2:2].y[1]", "3");
    struct Sink {
        static void log(void *ctx, int, const char *, int, const char *message) {
            auto *renamed = static_cast<cfg_handle *>(ctx);
            if (*renamed == 0 || !std::strstr(message, "for object 'y[*]'")) return;
            EXPECT_NE(0, ds_modify_av(*renamed, "z", 2));
            *renamed = 0;
        }
    };
    cfg_handle renamed = find("x[2:1]");
    Log_SetSink(&Sink::log, &renamed);
    int status = Cfg_Delete("x[2:*].y[*]");
    Log_SetSink(nullptr, nullptr);
    EXPECT_STATUS(CFG_OK, status);
    EXPECT_EQ("obj z\n  attr y[2]=2\nobj x[2:2]\n", cfgtest::dump_tree());
}

// A round whose walk reported an unreadable child before the last component
// lends the next round nothing: each round walks, and reports, again.
TEST(Delete, EveryRoundReportsWhatItsWalkMeets) {
    cfg_handle loose = ds_append_avp2(0, 2, kItem, 0, "loose", 6);
    ASSERT_NE(0u, ds_append_avp2(root(), 2, kObject, 0, &loose, sizeof loose));
    set("x[1].y[1]", "1");
    set("x[1].y[2]", "2");
    cfgtest::LogCapture log;
    EXPECT_STATUS(CFG_OK, Cfg_Delete("x[*].y[*]"));
    int reports = 0;
    for (const cfgtest::LogLine &l : log.lines())
        reports += l.message == "Bad config object at <" + std::to_string(loose) + ">";
    EXPECT_EQ(3, reports) << "two rounds that delete, one that finds nothing\n" << log.dump();
}

// Regressions, each quadratic in the rounds of a wildcard delete among many
// children that do not match:
// - after a round deleted an attribute, the next one went on past the
//   objects of the same bare name from the first of them (40,000 of each
//   took 30 to 50 s): the objects' point is found from their last;
// - every round searched again the components before the last, comparing
//   each namesake before their first match (10,000 of each took 13 s): the
//   rounds take the objects of the round before again;
// - every round found the first child whose name cannot be read after its
//   point from the last of them back (20,000 after the matches took 2.7 s):
//   the search before leaves it.
TEST(Delete, MatchesBehindManyThatDoNotMatchGoInLinearTime) {
    const struct {
        int n;
        const char *kept, *deleted;  // formats of n identifiers each
        const char *pattern;
    } cases[] = {
        {50000, "s.srv[o%d].x", "s.srv[a:%d]", "s.srv[a:*]"},
        {20000, "x[1:%d].z", "x[2:1].y[%d]", "x[2:*].y[*]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pattern);
        char id[64];
        for (const char *format : {c.kept, c.deleted})
            for (int i = 0; i < c.n; ++i) {
                std::snprintf(id, sizeof id, format, i);
                ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(id, "1"));
            }
        EXPECT_STATUS(CFG_OK, Cfg_Delete(c.pattern));
        EXPECT_STATUS(CFG_NOT_FOUND, Cfg_Find(c.pattern, nullptr));
        std::snprintf(id, sizeof id, c.kept, c.n - 1);
        EXPECT_STATUS(CFG_OK, Cfg_Find(id, nullptr));
    }
    const int n = 20000;
    const cfg_handle u = object(0, "u");
    for (int i = 0; i < n; ++i) append(u, kItem, "srv[" + std::to_string(i) + "]=1");
    for (int i = 0; i < n; ++i) append(u, kItem, "q[" + std::to_string(i) + "=1");  // no ']': unreadable
    EXPECT_STATUS(CFG_OK, Cfg_Delete("u.srv[*]"));
    EXPECT_EQ(static_cast<std::size_t>(n), children(u, kItem).size());
}

// A log sink that appends a match, or renames an attribute into one, while a
// round runs: the next rounds find it where a search from the first child
// would, whatever the rounds before have compared already.
TEST(Delete, MatchesALogSinkMakesDuringTheRoundsAreDeletedToo) {
    struct Change {
        int round = 0;
        cfg_handle parent = 0, renamed = 0;
    };
    auto sink = [](void *ctx, int, const char *, int, const char *message) {
        auto *c = static_cast<Change *>(ctx);
        if (!std::strstr(message, "for attribute") || ++c->round != 2) return;
        cfg_handle ident = ds_append_avp2(0, 2, kIdent, 0, "x[9]", 5);
        cfg_handle ref = ds_append_avp2(c->parent, 2, kObject, 0, &ident, sizeof ident);
        EXPECT_NE(0, ds_bind_reference(ref));
        EXPECT_NE(0, ds_modify_av(c->renamed, "x[8]=r", 7));
    };
    for (int i = 0; i < 6; ++i) set(("q.y[" + std::to_string(i) + "]").c_str(), "0");
    set("q.x[1]", "1");
    set("q.x[2]", "2");
    Change change;
    change.parent = find("q");
    change.renamed = find("q.y[0]");
    Log_SetSink(sink, &change);
    int status = Cfg_Delete("q.x[*]");
    Log_SetSink(nullptr, nullptr);
    EXPECT_STATUS(CFG_OK, status);
    EXPECT_EQ(0u, find("q.x[*]")) << cfgtest::dump_tree();
    EXPECT_NE(0u, find("q.y[5]"));
}

}  // namespace
