// load_support.h - what the loader tests share: a recording error handler,
// a recording notification table and a folder on CONFIG_PATH.
#ifndef CFGTREE_TEST_LOAD_SUPPORT_H
#define CFGTREE_TEST_LOAD_SUPPORT_H

#include <string>
#include <vector>

#include "cfg_private.h"
#include "support.h"

namespace loadtest {

// Every call of the error handler, as "file:line: STATUS_NAME: text".
inline std::vector<std::string> g_errors;
// What the handler answers: kGoOn answers 0, kStop answers the status.
inline constexpr int kGoOn = 0;
inline constexpr int kStop = -1;
inline int g_answer = kGoOn;

inline int record_error(const char *file, int line, const char *text, int status) {
    g_errors.push_back(std::string(file) + ":" + std::to_string(line) + ": " + Cfg_StatusName(status) + ": " + text);
    return g_answer == kGoOn ? 0 : (g_answer == kStop ? status : g_answer);
}

// Every text that reaches the notification tables during update-mode loads;
// the table answers g_update_answer, or with g_update_stores stores the
// item by its name as a program's table would.
inline std::vector<std::string> g_updates;
inline int g_update_answer = 0;
inline bool g_update_stores = false;
inline int record_update(char *item, void *) {
    g_updates.emplace_back(item);
    if (char *eq = g_update_stores ? std::strchr(item, '=') : nullptr) {
        *eq = '\0';
        return Cfg_SetAttrValue(item, eq + 1);
    }
    return g_update_answer;
}
inline CfgUpdateEntry g_catch_all[] = {{"**", nullptr, &record_update, nullptr, nullptr},
                                       {nullptr, nullptr, nullptr, nullptr, nullptr}};

// A temporary folder that is the whole search path.
struct ConfigDir {
    cfgtest::TempDir dir;
    cfgtest::ScopedEnv env{"CONFIG_PATH", dir.path().c_str()};
    ConfigDir() {
        cfgtree::reset_search_path();
        g_errors.clear();
        g_updates.clear();
    }
    std::string write(const std::string &name, const std::string &text) const { return dir.write(name, text); }
    const std::string &path() const { return dir.path(); }
};

// Loads in direct mode with the recording handler.
inline int load_direct(const std::string &argument, CfgLoadErrorHandler handler = &record_error) {
    Cfg_DirectLoad(1);
    return CfgF_LoadFile(argument.c_str(), handler);
}

// Switches to update mode with the catch-all table registered once.
inline void use_update_mode() {
    static bool registered = (Cfg_NotifyRegister(g_catch_all), true);
    (void)registered;
    Cfg_DirectLoad(0);
}

// Loads in update mode.
inline int load_update(const std::string &argument, CfgLoadErrorHandler handler = &record_error) {
    use_update_mode();
    return CfgF_LoadFile(argument.c_str(), handler);
}

// Deletes every item at the top of the tree.
inline void clear_tree() {
    std::string dump = cfgtest::dump_tree();
    std::size_t at = 0;
    while (at < dump.size()) {
        std::size_t end = dump.find('\n', at);
        std::string line = dump.substr(at, end - at);
        at = end + 1;
        if (line.empty() || line[0] == ' ') continue;
        std::string name = line.substr(line.find(' ') + 1);
        name = name.substr(0, name.find('='));
        if (!name.empty() && name[0] == '!') name.erase(0, 1);
        EXPECT_EQ(0, cfg_delete_item(0, name.c_str())) << name;
    }
    EXPECT_EQ("", cfgtest::dump_tree());
}

inline std::vector<std::string> lines(std::initializer_list<const char *> list) {
    return std::vector<std::string>(list.begin(), list.end());
}

}  // namespace loadtest

#endif
