// Round trips between the saver and the loader: a tree saved and loaded
// again in a fresh process is the same tree, and a second save gives the
// same bytes. Also loads the example configuration set.
#include <cstdlib>

#include "load_support.h"

namespace {

// Loads in in a fresh process (roundtrip_child), which writes the tree's
// dump to dump and saves the whole tree to out.
void run_child(const std::string &in, const std::string &dump, const std::string &out) {
    std::string command = std::string("'" CFGTREE_ROUNDTRIP_CHILD "' '") + in + "' '" + dump + "' '" + out + "'";
    ASSERT_EQ(0, std::system(command.c_str())) << command;
}

cfg_handle make(cfg_handle parent, const char *name, bool object) {
    cfg_handle h = 0;
    EXPECT_EQ(0, cfgtree::create_item(parent, name, object ? cfgtree::xid_reference() : cfgtree::xid_item(), &h));
    return h;
}

void set(cfg_handle parent, const char *name, const char *value) {
    EXPECT_EQ(0, cfgtree::set_attr_value(make(parent, name, false), value)) << name;
}

TEST(RoundTrip, ASavedTreeLoadsBackTheSame) {
    // Values of every awkward kind the language can carry.
    for (auto [name, value] :
         {std::pair{"plain", "value"}, {"lead", "  two leading blanks"}, {"trail", "trailing tab\t"}, {"empty", ""},
          {"quotes", "say \"hi\" and \"\""}, {"wrapped", " \"quoted\" "}, {"hash", "# not a comment"},
          {"equals", "a=b = c"}, {"braces", "{ } }"}, {"dollar", "${not.resolved"}})
        set(0, name, value);
    cfg_handle srv1 = make(0, "Srv[1]", true);
    set(srv1, "host", "alpha");
    set(srv1, "!fixed", "yes");
    cfg_handle srv2 = make(0, "Srv[2]", true);
    set(srv2, "host", "beta");
    set(make(srv2, "Opts", true), "flag", "on");
    cfg_handle locked = make(0, "!Locked", true);
    set(locked, "key", "secret");  // stored read-only under a read-only object
    make(locked, "Empty", true);

    cfgtest::TempDir dir;
    const std::string first = dir.file("first.cfg"), second = dir.file("second.cfg"), third = dir.file("third.cfg");
    Cfg_Dereference(0);
    ASSERT_EQ(0, Cfg_SaveFile(nullptr, first.c_str()));
    const std::string tree = cfgtest::dump_tree();

    run_child(first, dir.file("dump1"), second);
    EXPECT_EQ(tree, cfgtest::read_file(dir.file("dump1"))) << cfgtest::read_file(first);
    run_child(second, dir.file("dump2"), third);
    EXPECT_EQ(tree, cfgtest::read_file(dir.file("dump2")));
    EXPECT_EQ(cfgtest::read_file(second), cfgtest::read_file(third));
    EXPECT_EQ(cfgtest::read_file(first), cfgtest::read_file(second));
}

TEST(RoundTrip, TheExampleSetSavesAndLoadsAgain) {
    cfgtest::ScopedEnv path("CONFIG_PATH", CFGTREE_EXAMPLES "/config");
    cfgtree::reset_search_path();
    cfgtest::TempDir dir;
    run_child(CFGTREE_EXAMPLES "/config/main.cfg", dir.file("dump1"), dir.file("saved.cfg"));
    run_child(dir.file("saved.cfg"), dir.file("dump2"), dir.file("again.cfg"));
    EXPECT_EQ(cfgtest::read_file(dir.file("dump1")), cfgtest::read_file(dir.file("dump2")));
    EXPECT_EQ(cfgtest::read_file(dir.file("saved.cfg")), cfgtest::read_file(dir.file("again.cfg")));
}

// ---- the example configuration set -------------------------------------------

TEST(Examples, TheConfigurationSetLoadsAndResolves) {
    cfgtest::ScopedEnv path("CONFIG_PATH", CFGTREE_EXAMPLES "/config");
    cfgtest::ScopedEnv home("HOME", "/home/tester");
    cfgtree::reset_search_path();
    loadtest::g_errors.clear();
    Cfg_Dereference(1);
    ASSERT_STATUS(0, loadtest::load_direct("main.cfg"));
    EXPECT_TRUE(loadtest::g_errors.empty());
    struct Case {
        const char *identifier, *value;
    } cases[] = {
        {"App.name", "shop"}, {"App.home", "/home/tester/shop"}, {"App.logdir", "/home/tester/shop/log"},
        {"App.banner", "  Welcome to the lab shop  "}, {"Net.zone", "lab"}, {"Net.gateway", "10.0.0.1"},
        {"Net.Iface[0].name", "eth0"}, {"Net.Iface[1].address", "10.0.1.10/24"},
        {"Net.Iface[1].context", "Net.Iface[1]"}, {"Service[web].host", "web.lab.example.net"},
        {"Service[web].port", "80"}, {"Service[api].port", "8080"},
        {"Service[web].url", "http://web.lab.example.net:80/"},
        {"Service[api].url", "http://api.lab.example.net:8080/"}, {"Service[api].log", "/home/tester/shop/log/api.log"},
    };
    for (const Case &c : cases) {
        char value[cfgtree::kTextSize] = {};
        EXPECT_STATUS(0, Cfg_GetAttrValue(c.identifier, value, sizeof value));
        EXPECT_STREQ(c.value, value) << c.identifier;
    }
}

TEST(Examples, UpdateModeSeesEveryAttributeWithItsFullName) {
    cfgtest::ScopedEnv path("CONFIG_PATH", CFGTREE_EXAMPLES "/config");
    cfgtree::reset_search_path();
    loadtest::g_updates.clear();
    ASSERT_STATUS(0, loadtest::load_update("main.cfg"));
    ASSERT_EQ(21u, loadtest::g_updates.size());
    EXPECT_EQ("App.name=shop", loadtest::g_updates.front());
    EXPECT_EQ("Net.Iface[0].context=Net.Iface[0]", loadtest::g_updates[8]);
    EXPECT_EQ("Service[web].port=80", loadtest::g_updates.back());
}

// A saved file never nests deeper than a load reads: an object 256 levels
// below the saved item is left out, and whatever was saved loads again.
TEST(RoundTrip, DeepTreesSaveOnlyWhatLoadsBack) {
    const struct {
        const char *top;
        int objects;     // objects on the chain, the saved one included
        int opened;      // blocks the saved file opens
        bool leaf_kept;  // the attribute of the deepest object survives
    } rows[] = {
        {"Deep255", 255, 255, true},
        {"Deep256", 256, 256, true},
        {"Deep257", 257, 256, false},
        {"Deep300", 300, 256, false},
    };
    loadtest::ConfigDir config;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.top);
        std::string id = r.top;
        for (int i = 1; i < r.objects; ++i) id += ".d";
        id += ".v";
        ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue(id.c_str(), "leaf"));
        const std::string file = config.path() + "/" + r.top + ".cfg";
        ASSERT_STATUS(CFG_OK, Cfg_SaveFile(r.top, file.c_str()));
        const std::string text = cfgtest::read_file(file);
        int opened = 0;  // one object a level: every block opened is one level deeper
        for (std::size_t at = 0; (at = text.find(" {\n", at)) != std::string::npos; ++at) ++opened;
        EXPECT_EQ(r.opened, opened);
        ASSERT_STATUS(CFG_OK, Cfg_Delete(r.top));
        loadtest::g_errors.clear();
        EXPECT_STATUS(CFG_OK, loadtest::load_direct(file));
        EXPECT_TRUE(loadtest::g_errors.empty()) << loadtest::g_errors.front();
        char value[8] = "";
        EXPECT_STATUS(r.leaf_kept ? CFG_OK : CFG_NOT_FOUND, Cfg_GetAttrValue(id.c_str(), value, sizeof value));
    }
}

}  // namespace
