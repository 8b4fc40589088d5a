// support.cpp - shared test helpers (see support.h).
#include "support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace cfgtest {

namespace {
LogCapture *g_current = nullptr;

// The library's tree, contexts and registered tables are process-wide, and
// a registered table is never let go: ctest runs each test case in its own
// process. A binary run by hand with more than one test says so first.
class OneProcessPerTest : public testing::Environment {
    void SetUp() override {
        if (testing::UnitTest::GetInstance()->test_to_run_count() > 1)
            std::fprintf(stderr, "note: these tests share the library's process-wide state and are written to run "
                                 "one per process (ctest does that); run together, some of them fail\n");
    }
};
testing::Environment *const g_one_process_per_test = testing::AddGlobalTestEnvironment(new OneProcessPerTest);
}  // namespace

LogCapture::LogCapture() {
    g_current = this;
    Log_SetSink(&LogCapture::sink, this);
}

LogCapture::~LogCapture() {
    Log_SetSink(nullptr, nullptr);
    if (g_current == this) g_current = nullptr;
}

void LogCapture::sink(void *ctx, int level, const char *module, int line, const char *message) {
    static_cast<LogCapture *>(ctx)->lines_.push_back({level, module, line, message});
}

bool LogCapture::has(int level, const std::string &module, const std::string &text) const {
    for (const auto &l : lines_)
        if (l.level == level && l.module == module && l.message == text) return true;
    return false;
}

bool LogCapture::contains(const std::string &fragment) const {
    for (const auto &l : lines_)
        if (l.message.find(fragment) != std::string::npos) return true;
    return false;
}

std::vector<LogLine> LogCapture::at_most(int level) const {
    std::vector<LogLine> out;
    for (const auto &l : lines_)
        if (l.level <= level) out.push_back(l);
    return out;
}

std::string LogCapture::dump() const {
    std::ostringstream os;
    for (const auto &l : lines_) os << "[" << l.level << " " << l.module << ":" << l.line << "] " << l.message << "\n";
    return os.str();
}

LogCapture *current_capture() { return g_current; }

std::string source_line(const std::string &relative, int line) {
    std::ifstream file(std::string(CFGTREE_SOURCE_DIR) + "/" + relative);
    std::string text;
    for (int i = 0; i < line && std::getline(file, text); ++i) {
    }
    return file ? text : std::string();
}

std::string status_text(int status) { return std::string(Cfg_StatusName(status)) + " (" + std::to_string(status) + ")"; }

std::string status_note(int expected, int actual) {
    return "expected " + status_text(expected) + ", got " + status_text(actual) +
           "; last log: " + (g_current ? g_current->last() : std::string("<no capture>"));
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/cfgtree-test-XXXXXX";
    char *made = mkdtemp(tmpl);
    path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (path_ != "/tmp") {
        // restore permissions so that everything can be removed
        for (auto &e : std::filesystem::recursive_directory_iterator(path_, ec))
            std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
}

std::string TempDir::write(const std::string &name, const std::string &text) const {
    std::string full = file(name);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream out(full, std::ios::binary);
    out << text;
    return full;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    const char *old = std::getenv(name);
    had_ = old != nullptr;
    if (old) old_ = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
}

namespace {
void dump_into(std::ostringstream &os, cfg_handle object, int depth) {
    const uint16_t item = static_cast<uint16_t>(oa_xid_of("OID_ATT_CONFIG_ITEM"));
    const uint16_t ref = static_cast<uint16_t>(oa_xid_of("OID_OC_CONFIG"));
    // The first child in store order is the earlier of the first attribute
    // and the first reference.
    cfg_handle a = 0, r = 0;
    bool has_a = ds_srch_av_ptr(object, 2, item, &a) != nullptr;
    bool has_r = ds_srch_av_ptr(object, 2, ref, &r) != nullptr;
    cfg_handle c = has_a ? a : (has_r ? r : 0);
    if (has_a && has_r) {
        bool a_first = false;
        for (cfg_handle s = a; s && !a_first; s = ds_get_next_avp(s)) a_first = s == r;
        c = a_first ? a : r;
    }
    for (; c; c = ds_get_next_avp(c)) {
        uint16_t xid = static_cast<uint16_t>(ds_get_attr_id(c));
        os << std::string(static_cast<size_t>(depth) * 2, ' ');
        if (xid == item) {
            os << "attr " << static_cast<const char *>(ds_get_av_ptr(c)) << "\n";
        } else if (xid == ref) {
            cfg_handle target = 0;
            std::memcpy(&target, ds_get_av_ptr(c), sizeof target);
            const char *name = static_cast<const char *>(ds_get_av_ptr(target));
            os << "obj " << (name ? name : "<stale>") << "\n";
            if (name) dump_into(os, target, depth + 1);
        } else {
            os << "node " << xid << "\n";
        }
    }
}
}  // namespace

Saved capture(const std::function<int(FILE *)> &save) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    EXPECT_NE(nullptr, stream);
    Saved out{save(stream), ""};
    std::fclose(stream);
    out.text.assign(buffer, size);
    std::free(buffer);
    return out;
}

namespace raw {
cfg_handle append(cfg_handle parent, uint16_t xid, const std::string &text) {
    return ds_append_avp2(parent, 2, xid, 0, text.c_str(), static_cast<uint16_t>(text.size() + 1));
}

cfg_handle ref(cfg_handle parent, cfg_handle target) {
    cfg_handle h = ds_append_avp2(parent ? parent : root(), 2, kRef, 0, &target, sizeof target);
    EXPECT_NE(0u, h);
    if (target) {
        EXPECT_EQ(1, ds_bind_reference(h));
    }
    return h;
}

cfg_handle object(cfg_handle parent, const std::string &name, cfg_handle *reference) {
    cfg_handle h = append(0, kIdent, name);
    EXPECT_NE(0u, h);
    cfg_handle r = ref(parent, h);
    if (reference) *reference = r;
    return h;
}

std::vector<cfg_handle> children(cfg_handle parent, uint16_t xid) {
    std::vector<cfg_handle> out;
    cfg_handle h = 0;
    if (!ds_srch_av_ptr(parent, 2, xid, &h)) return out;
    for (;;) {
        out.push_back(h);
        cfg_handle next = ds_get_next_avp(h);
        if (!next || !ds_srch_av_ptr(next, 2, xid, &h)) return out;
    }
}

cfg_handle target_of(cfg_handle reference) {
    cfg_handle t = 0;
    std::memcpy(&t, ds_get_av_ptr(reference), sizeof t);
    return t;
}
}  // namespace raw

std::string dump_tree(cfg_handle start) {
    std::ostringstream os;
    ds_lock();
    dump_into(os, start ? start : ds_get_cntl_info(1), 0);
    ds_unlock();
    return os.str();
}

}  // namespace cfgtest
