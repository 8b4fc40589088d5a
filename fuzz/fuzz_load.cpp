// fuzz_load.cpp - arbitrary bytes as a configuration file.
//
// The input is written as fuzz.cfg in a private folder that is the whole
// CONFIG_PATH (beside two fixed files that inputs may include), then loaded
// three times: in update mode through a "**" notification table that stores
// what it is told, with every failing line skipped; in direct mode inside an
// initial context, stopping at the first failure; and in direct mode again,
// whose tree must survive a save and a reload unchanged when it holds
// nothing that the language cannot write back. A first line "#!,ARGS" is a
// comment to the loader and appends ARGS to the load argument, so inputs can
// reach load filters and initial contexts of their own. In update mode the
// tree is saved whole and each top-level item by its own name.
#include <unistd.h>

#include <cctype>
#include <filesystem>

#include "fuzz_support.h"

namespace {

std::string g_dir;
std::string g_input;  // fuzz.cfg
std::string g_saved;  // saved.cfg

// Stores what the loader hands over, as a program's own table would.
int store_update(char *item, void *) {
    char *eq = std::strchr(item, '=');
    if (!eq) return CFG_OK;
    *eq = '\0';
    int status = Cfg_SetAttrValue(item, eq + 1);
    return status == CFG_NOT_CREATED ? CFG_OK : status;
}

int look_at_rest(char *rest, void *) { return rest[0] == '\0' ? CFG_NOT_CREATED : CFG_OK; }

CfgUpdateEntry g_rest_table[] = {{"**", nullptr, look_at_rest, nullptr, nullptr},
                                 {"x[*]", nullptr, look_at_rest, nullptr, nullptr},
                                 {nullptr, nullptr, nullptr, nullptr, nullptr}};
CfgUpdateEntry g_table[] = {{"**", nullptr, store_update, g_rest_table, look_at_rest},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};

int skip_failing_line(const char *, int, const char *, int) { return CFG_OK; }

void write_file(const std::string &path, const void *data, std::size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) fuzz::fail("cannot write %s", path.c_str());
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

// The folder goes when the fuzzer ends normally (CI runs it on every
// change); a finding aborts and leaves it as it was, to be looked at.
void remove_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
}

void write_file(const std::string &path, const char *text) { write_file(path, text, std::strlen(text)); }

// "fuzz.cfg" followed by the ARGS of a first line "#!,ARGS".
std::string load_argument(const uint8_t *data, std::size_t size, const char *fixed) {
    std::string arg = std::string("fuzz.cfg") + fixed;
    if (size < 2 || data[0] != '#' || data[1] != '!') return arg;
    for (std::size_t i = 2; i < size && data[i] != '\n' && data[i] != '\0' && arg.size() < 5000; ++i)
        arg += static_cast<char>(data[i]);
    return arg;
}

bool has_space_at_end(const char *value) {
    std::size_t n = std::strlen(value);
    return n == 0 || std::isspace(static_cast<unsigned char>(value[0])) ||
           std::isspace(static_cast<unsigned char>(value[n - 1]));
}

// True when the saver's text of this subtree reads back as the same tree:
// values that the loader would expand (%(...)) or unquote (a leading '"'
// written plain), lines the reader would cut, and names whose full dotted
// name (prefix: the length of the object's own, 0 at the root) the loader
// refuses, cannot round-trip.
bool writable(cfg_handle object, int depth, std::size_t prefix) {
    if (depth > 200) return false;
    std::size_t indent = static_cast<std::size_t>(depth) * 4;
    auto full = [prefix](std::size_t name) { return (prefix ? prefix + 1 : 0) + name; };
    for (cfg_handle a : fuzz::children(object, fuzz::item_xid())) {
        const char *text = static_cast<const char *>(ds_get_av_ptr(a));
        if (!text) return false;
        const char *eq = std::strchr(text, '=');
        const char *value = eq ? eq + 1 : "";
        std::size_t name = eq ? static_cast<std::size_t>(eq - text) : std::strlen(text);
        bool quoted = has_space_at_end(value);
        if (std::strstr(value, "%(") || (!quoted && value[0] == '"')) return false;
        if (indent + name + 3 + std::strlen(value) + (quoted ? 2 : 0) > 639 || full(name) > 639) return false;
    }
    for (cfg_handle r : fuzz::children(object, fuzz::ref_xid())) {
        cfg_handle t = fuzz::target_of(r);
        const char *name = static_cast<const char *>(ds_get_av_ptr(t));
        if (!name || indent + std::strlen(name) + 2 > 639 || full(std::strlen(name)) > 639) return false;
        if (!writable(t, depth + 1, full(std::strlen(name)))) return false;
    }
    return true;
}

// Writes the tree to stream, then each top-level item on its own.
void save_each(FILE *stream) {
    (void)Cfg_Save(nullptr, stream);  // values with references substituted
    std::vector<std::string> names;
    ds_lock();
    cfg_handle root = ds_get_cntl_info(1);
    for (cfg_handle a : fuzz::children(root, fuzz::item_xid())) names.push_back(fuzz::name_of(a, true));
    for (cfg_handle r : fuzz::children(root, fuzz::ref_xid())) names.push_back(fuzz::name_of(r, false));
    ds_unlock();
    for (const std::string &name : names) (void)Cfg_Save(name.c_str(), stream);
}

// Saves the tree, and when it can be written back, reloads it and compares.
void check_round_trip() {
    (void)Cfg_Dereference(0);
    std::string before = fuzz::dump();
    int status = Cfg_SaveFile(nullptr, g_saved.c_str());
    if (status != CFG_OK) fuzz::fail("Cfg_SaveFile of the whole tree = %s", Cfg_StatusName(status));
    ds_lock();
    bool ok = writable(ds_get_cntl_info(1), 0, 0);
    ds_unlock();
    if (!ok) return;
    fuzz::reset_library();
    (void)Cfg_DirectLoad(1);
    {
        fuzz::Budget budget;
        status = CfgF_LoadFile("saved.cfg", nullptr);
    }
    if (status == ERR_NO_MEMORY) return;  // the budget ran out (a reference-heavy tree)
    std::string after = fuzz::dump();
    if (status != CFG_OK || after != before)
        fuzz::fail("save and reload differ (reload = %s)\n--- tree\n%s--- reloaded\n%s", Cfg_StatusName(status),
             before.c_str(), after.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char dir[] = "/tmp/cfgtree-fuzz-load-XXXXXX";
    if (!mkdtemp(dir)) fuzz::fail("mkdtemp");
    g_dir = dir;
    std::atexit(remove_folder);
    g_input = g_dir + "/fuzz.cfg";
    g_saved = g_dir + "/saved.cfg";
    write_file(g_dir + "/inc.cfg", "%iv=inc\nI {\n  v = %(iv)\n  w[1..2] = %(%%)\n}\nj = 1\n");
    write_file(g_dir + "/open.cfg", "O {\n  v = 1\n");
    setenv("CONFIG_PATH", g_dir.c_str(), 1);
    setenv("FUZZ_ENV", "from-env", 1);
    fuzz::install_quiet_log();
    if (Cfg_NotifyRegister(g_table) != CFG_OK) fuzz::fail("Cfg_NotifyRegister");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    write_file(g_input, data, size);

    // Update mode: the table stores; failing lines are skipped.
    (void)Cfg_DirectLoad(0);
    {
        fuzz::Budget budget;
        (void)CfgF_LoadFile(load_argument(data, size, "").c_str(), skip_failing_line);
        FILE *sink = std::fopen("/dev/null", "w");
        if (sink) {
            save_each(sink);
            std::fclose(sink);
        }
    }
    fuzz::reset_library();

    // Direct mode inside an initial context; the first failure ends it.
    (void)Cfg_DirectLoad(1);
    {
        fuzz::Budget budget;
        (void)CfgF_LoadFile(load_argument(data, size, ",%%=Top.Sub[1],V=v").c_str(), nullptr);
    }
    fuzz::reset_library();

    // Direct mode with failing lines skipped, then save and reload.
    (void)Cfg_DirectLoad(1);
    {
        fuzz::Budget budget;
        (void)CfgF_LoadFile(load_argument(data, size, "").c_str(), skip_failing_line);
    }
    check_round_trip();
    fuzz::reset_library();
    return 0;
}
