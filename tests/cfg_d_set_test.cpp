// Tests of setting values: the rewrite of one attribute node, and the public
// set by identifier with its read-only refusal, create-on-set and failures.
#include <cstring>
#include <string>

#include "cfg_private.h"
#include "support.h"

namespace {

using namespace cfgtest::raw;
const uint16_t kObject = kRef;

cfg_handle raw_attr(const char *text) {
    return ds_append_avp2(root(), 2, kItem, 0, text, static_cast<uint16_t>(std::strlen(text) + 1));
}

std::string stored(cfg_handle h) {
    ds_lock();
    const char *text = cfg_avp(h);
    std::string out = text ? text : "<none>";
    ds_unlock();
    return out;
}

std::string value_of(const char *identifier) {
    char buffer[640] = "<unread>";
    int status = Cfg_GetAttrValue(identifier, buffer, sizeof buffer);
    return status == CFG_OK ? buffer : "<" + cfgtest::status_text(status) + ">";
}

TEST(SetAttrValueNode, KeepsTheStoredNameAndReplacesTheRest) {
    const struct {
        const char *before;
        const char *value;
        const char *after;
    } cases[] = {
        {"!x=old", "new", "!x=new"},        // the mark stays, and is not checked here
        {"x", "v", "x=v"},                  // a bare name gains '=' and the value
        {"x=old", nullptr, "x="},           // NULL is the empty value
        {"srv[2]=1", "9", "srv[2]=9"},      // the instance stays
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.before);
        cfg_handle h = raw_attr(k.before);
        ds_lock();
        EXPECT_STATUS(CFG_OK, cfg_set_attr_value(h, k.value));
        ds_unlock();
        EXPECT_EQ(k.after, stored(h));
    }
}

TEST(SetAttrValueNode, RefusesWhatIsNoAttribute) {
    cfg_handle obj = 0;
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "o", kObject, &obj));
    cfg_handle gone = raw_attr("g=1");
    ASSERT_NE(0, ds_delete_avp3(root(), gone));
    cfg_handle bad = raw_attr("=nameless");
    std::string before = cfgtest::dump_tree();
    const struct {
        cfg_handle handle;
        int status;
        std::string message;  // empty: the parser reports
    } cases[] = {
        {0, CFG_ERR_NOT_ATTRIBUTE, "cfg_set_attr_value: NULL attribute handle"},
        {obj, CFG_ERR_NOT_ATTRIBUTE, "cfg_set_attr_value: invalid config. attribute at <" + std::to_string(obj) + ">"},
        {gone, CFG_ERR_NOT_ATTRIBUTE, "cfg_set_attr_value: invalid config. attribute at <" + std::to_string(gone) + ">"},
        {bad, CFG_ERR_SYNTAX, ""},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.message);
        cfgtest::LogCapture log;
        EXPECT_STATUS(k.status, cfg_set_attr_value(k.handle, "v"));
        if (!k.message.empty()) {
            EXPECT_TRUE(log.has(5, "cfg_d_set", k.message)) << log.dump();
        }
        EXPECT_EQ(before, cfgtest::dump_tree());
    }
}

// name=value holds at most 639 characters; a longer text is refused whole,
// the stored one kept. Through Cfg_SetAttrValue a new attribute is made
// with its value when it fits, and holding its name only when it does not
// (creation then set, each as on its own); a read-only parent's mark counts.
TEST(SetAttrValueNode, NameAndValueHoldAtMost639Characters) {
    struct Case {
        std::size_t value_length;
        int status;
    };
    const Case cases[] = {{633, CFG_OK}, {634, CFG_OK}, {635, CFG_ERR_SYNTAX}};
    cfg_handle h = raw_attr("name=1");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value_length);
        std::string value(c.value_length, 'v');
        std::string before = stored(h);
        cfgtest::LogCapture log;
        EXPECT_STATUS(c.status, cfg_set_attr_value(h, value.c_str()));
        EXPECT_EQ(c.status == CFG_OK ? "name=" + value : before, stored(h));
        if (c.status != CFG_OK) {
            EXPECT_TRUE(log.contains("name and value longer than 639 characters")) << log.dump();
        }
        // the same text through a set that creates, under a plain and a read-only parent
        for (const char *parent : {"lim", "!rolim"}) {
            std::string id = std::string(parent) + ".name" + std::to_string(c.value_length);
            SCOPED_TRACE(id);
            std::string name = "name" + std::to_string(c.value_length);  // 3 more characters than "name"
            bool marked = parent[0] == '!';
            std::string fitting = value.substr(0, c.value_length - 3 - (marked ? 1 : 0));
            std::string bare = marked ? "!" + name : name;
            EXPECT_STATUS(c.status, Cfg_SetAttrValue(id.c_str(), fitting.c_str()));
            cfg_handle made = 0;
            ASSERT_STATUS(CFG_OK, Cfg_Find(id.c_str(), &made));
            EXPECT_EQ(c.status == CFG_OK ? bare + "=" + fitting : bare, stored(made));
        }
    }
}

// A set that creates goes on where its lookup failed instead of searching
// there again. Whatever the identifier, the result must be that of a plain
// find-or-create from the same start: each case runs both ways in two
// twin objects seeded alike and compares the trees and statuses.
TEST(SetAttrValue, CreatingAfterAFailedLookupEqualsAPlainCreation) {
    struct Case {
        const char *seed;  // attributes set in both twins first ("" for none)
        const char *identifier;
    };
    const Case cases[] = {
        {"", "a.b.c"},          {"a.x", "a.b"},        {"a.b", "a.b.c"},       {"a.b.c", "a.b.d"},
        {"", "a[x.y].b"},       {"a[1].c", "a[*].b"},  {"a[1].c", "a[1:*].c"}, {"a[1].c", "a[2].c"},
        {"", "a.b[1:2].c"},     {"a.b", "a.!b.c"},     {"", "!a.b"},           {"a.b", "a..b"},
        {"", "a.b="},           {"", "a.$.c"},         {"p.q", "p.q[*]"},      {"p.q[1]", "p.q[**]"},
        {"", "x[1].y[2].z[3]"}, {"x[1].y", "x[1].y.z"},
        // a missing last component after plain ones is made where the lookup stopped
        {"a.b", "a.c"},         {"a.b", "!a.c"},       {"", "solo"},           {"solo", "solo"},
        {"a[1].x", "a[1].y"},   {"a[1].x", "a[1].x"},  {"a[1].b.c", "a[1].b.d[2]"},
        // and so are the missing objects above it, each under the one before
        {"", "a.b.c.d"},        {"a.x", "a.b.c"},      {"!r.x", "r.s.t"},      {"a.b", "a.!c.d"},
        {"", "p[1].q[2].r[3]"}, {"a.x", "a.b.!c"},     {"a.x", "a.b..c"},      {"a.x", "a.b.c[*]"},
    };
    // A new attribute is made holding its value: the same text a creation
    // and a set would store, cut at 639 characters alike.
    const std::string values[] = {"v", "", "a = b ${c}", std::string(700, 'w')};
    for (std::size_t n = 0; n < std::size(cases) * std::size(values); ++n) {
        const Case &c = cases[n % std::size(cases)];
        const char *value = values[n / std::size(cases)].c_str();
        SCOPED_TRACE(std::string("seed '") + c.seed + "', set '" + c.identifier + "' to '" + value + "'");
        std::string twin[2] = {"set" + std::to_string(n), "plain" + std::to_string(n)};
        cfg_handle start[2] = {};
        for (int t = 0; t < 2; ++t) {
            ASSERT_STATUS(CFG_OK, cfg_create_item(0, twin[t].c_str(), kObject, &start[t]));
            cfg_handle seeded = 0;
            if (*c.seed) {
                ASSERT_STATUS(CFG_OK, cfg_create_item(start[t], c.seed, kItem, &seeded));
                ASSERT_STATUS(CFG_OK, cfg_set_attr_value(seeded, "seed"));
            }
        }
        ASSERT_STATUS(CFG_OK, Cfg_PushContext(twin[0].c_str()));
        int set = Cfg_SetAttrValue(c.identifier, value);
        ASSERT_STATUS(CFG_OK, Cfg_PopContext());
        cfg_handle h = 0;
        int plain = cfg_find_item(start[1], c.identifier, &h, nullptr, nullptr);
        if (plain == CFG_NOT_FOUND) plain = cfg_create_item(start[1], c.identifier, kItem, &h);
        if (plain == CFG_OK) plain = cfg_set_attr_value(h, value);
        EXPECT_STATUS(plain, set);
        EXPECT_EQ(cfgtest::dump_tree(start[1]), cfgtest::dump_tree(start[0]));
    }
}

TEST(SetAttrValue, AMarkedIdentifierIsRefusedUnlessReadOnlyIsIgnored) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.b", "1"));
    EXPECT_STATUS(CFG_READ_ONLY, Cfg_SetAttrValue("a.!b", "2"));
    EXPECT_EQ("1", value_of("a.b"));
    EXPECT_EQ(0u, Cfg_IgnoreReadOnly(1));
    EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue("!a.b", "3"));
    EXPECT_EQ("3", value_of("a.b"));
    EXPECT_EQ(2u, Cfg_IgnoreReadOnly(0));  // the previous bit comes back
    EXPECT_STATUS(CFG_READ_ONLY, Cfg_SetAttrValue("!a.b", "4"));
}

TEST(SetAttrValue, StoredMarksDoNotRefuseAndNewItemsAreAlwaysSet) {
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "!ro", kObject, nullptr));
    EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue("ro.x", "1"));  // a new attribute is set though it inherited '!'
    EXPECT_EQ("obj !ro\n  attr !x=1\n", cfgtest::dump_tree());
    EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue("ro.x", "2"));  // the stored mark is not the identifier's
    EXPECT_EQ("obj !ro\n  attr !x=2\n", cfgtest::dump_tree());
    EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue("!ro.y", "1"));  // missing: created and set, no refusal
    EXPECT_STATUS(CFG_READ_ONLY, Cfg_SetAttrValue("!ro.y", "2"));
    EXPECT_EQ("1", value_of("ro.y"));
}

// Refusals change nothing; null arguments are refused without a report.
TEST(SetAttrValue, RefusalsChangeNothing) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.b", "1"));
    const std::string before = cfgtest::dump_tree();
    const struct {
        int fault;  // a store call refused, or 0
        const char *identifier, *value;
        int status;
        const char *report;  // "" for none, nullptr when not checked
    } cases[] = {
        {0, nullptr, "v", CFG_ERR_NOT_ATTRIBUTE, ""},
        {0, "a.b", nullptr, CFG_ERR_NO_VALUE, ""},
        {0, "a", "v", CFG_ERR_NOT_ATTRIBUTE, "invalid config. attribute"},
        {DS_FAULT_MODIFY, "a.b", "2", ERR_MODIFY_FAILED, nullptr},
        {DS_FAULT_APPEND, "a.c", "2", ERR_CREATE_FAILED, nullptr},
        {0, "a.$", "2", CFG_ERR_SYNTAX, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.identifier ? c.identifier : "(null)");
        cfgtest::LogCapture log;
        if (c.fault) ds_inject_fault(c.fault, 0, 1);
        EXPECT_STATUS(c.status, Cfg_SetAttrValue(c.identifier, c.value));
        if (c.fault) ds_inject_fault(c.fault, 0, 0);
        if (c.report && !*c.report) {
            EXPECT_TRUE(log.lines().empty()) << log.dump();
        } else if (c.report) {
            EXPECT_TRUE(log.contains(c.report)) << log.dump();
        }
        EXPECT_EQ(before, cfgtest::dump_tree());
    }
    // A new attribute is made holding its name, then set: a refused
    // modification leaves it so.
    cfgtest::LogCapture log;
    ds_inject_fault(DS_FAULT_MODIFY, 0, 1);
    EXPECT_STATUS(ERR_MODIFY_FAILED, Cfg_SetAttrValue("a.new", "2"));
    ds_inject_fault(DS_FAULT_MODIFY, 0, 0);
    cfg_handle made = 0;
    ASSERT_STATUS(CFG_OK, Cfg_Find("a.new", &made));
    EXPECT_TRUE(log.has(3, "cfg_d_set", "cfg_set_attr_value: ds_modify_av(" + std::to_string(made) + ")"))
        << log.dump();
    EXPECT_EQ(before + "  attr new\n", cfgtest::dump_tree());
}

TEST(SetAttrValue, RefusedAllocationsChangeNothing) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("a.b", "1"));
    std::string before = cfgtest::dump_tree();
    // Only an identifier of 640 characters or more needs memory: the
    // creation's copy (the lookup reads its components in place).
    const std::string longer = "a.x." + std::string(637, 'y');
    int failures = 0;
    for (int k = 0;; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        cfg_inject_alloc_fault(k, 1);
        int status = Cfg_SetAttrValue(longer.c_str(), "2");
        EXPECT_STATUS(CFG_OK, Cfg_SetAttrValue("a.c", "3"));  // short identifiers allocate nothing
        cfg_inject_alloc_fault(0, 0);
        if (status == CFG_OK) break;
        ASSERT_STATUS(ERR_NO_MEMORY, status);
        ++failures;
        EXPECT_EQ(before + "  attr c=3\n", cfgtest::dump_tree());
        ASSERT_LT(k, 10);
    }
    EXPECT_EQ(1, failures) << "the creation's copy";
    EXPECT_EQ("2", value_of(longer.c_str()));
}

// A log sink that pushes a context while the lookup reports an unreadable
// child moves the attribute that the set then creates: the creation starts
// from the context current after the lookup.
TEST(SetAttrValueId, CreatesFromTheContextCurrentAfterTheLookup) {
    cfg_handle r = 0;
    ASSERT_STATUS(CFG_OK, cfg_create_item(0, "p.r", kObject, &r));
    cfg_handle loose = ds_append_avp2(0, 2, kItem, 0, "loose", 6);
    ASSERT_NE(0u, ds_append_avp2(r, 2, kObject, 0, &loose, sizeof loose));  // refers to no object
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("p.r.q.v", "1"));
    struct Sink {
        static void log(void *ctx, int level, const char *, int, const char *) {
            auto *pushed = static_cast<int *>(ctx);
            if (level == 3 && !*pushed) *pushed = Cfg_PushContext("p") == CFG_OK ? 1 : -1;
        }
    };
    int pushed = 0;
    Log_SetSink(&Sink::log, &pushed);
    int status = Cfg_SetAttrValue("p.r.q.w", "2");
    Log_SetSink(nullptr, nullptr);
    ASSERT_EQ(1, pushed);
    ASSERT_STATUS(CFG_OK, Cfg_PopContext());
    EXPECT_STATUS(CFG_OK, status);
    EXPECT_EQ("2", value_of("p.p.r.q.w"));
    EXPECT_STATUS(CFG_NOT_FOUND, Cfg_Find("p.r.q.w", nullptr));
}

}  // namespace
