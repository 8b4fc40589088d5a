// support.h - what every test file shares: a capturing log sink, status
// assertions that print names, temporary folders and small tree builders.
#ifndef CFGTREE_TEST_SUPPORT_H
#define CFGTREE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cfgtree.h"
#include "ds.h"
#include "log.h"
#include "ls.h"

namespace cfgtest {

struct LogLine {
    int level;
    std::string module;
    int line;
    std::string message;
};

// Captures every log message while it lives (all levels).
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::vector<LogLine> &lines() const { return lines_; }
    void clear() { lines_.clear(); }
    // True when a message of that level and module equals text exactly.
    bool has(int level, const std::string &module, const std::string &text) const;
    // True when some message contains the fragment.
    bool contains(const std::string &fragment) const;
    // Messages of the given level or lower (more severe), for "nothing
    // was reported" checks; traces (7, 9, 10, 11, 13) are left out.
    std::vector<LogLine> at_most(int level) const;
    std::string dump() const;
    std::string last() const { return lines_.empty() ? "<none>" : lines_.back().message; }

  private:
    static void sink(void *ctx, int level, const char *module, int line, const char *message);
    std::vector<LogLine> lines_;
};

// The most recent LogCapture alive, for EXPECT_STATUS messages.
LogCapture *current_capture();

std::string status_text(int status);
// "expected NAME (n), got NAME (m); last log: ..." for a status mismatch.
std::string status_note(int expected, int actual);

// Line number `line` (from 1) of the project's source file `relative`
// (such as "src/cfg_d_delete.cpp"); empty when there is none.
std::string source_line(const std::string &relative, int line);

// A temporary folder removed with everything in it at the end of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes text to name inside the folder and returns the full path.
    std::string write(const std::string &name, const std::string &text) const;

  private:
    std::string path_;
};

std::string read_file(const std::string &path);

// Sets or unsets an environment variable for a scope.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();

  private:
    std::string name_;
    bool had_;
    std::string old_;
};

// Writes the tree below start (0 = root) as an indented dump, one node a
// line, children in store order: "obj NAME" / "attr TEXT". For comparing
// trees before and after an operation.
std::string dump_tree(cfg_handle start = 0);

// What a save wrote to a memory stream, and its status.
struct Saved {
    int status;
    std::string text;
};
Saved capture(const std::function<int(FILE *)> &save);

// Installs a log sink for a scope.
struct ScopedSink {
    ScopedSink(LogSink sink, void *ctx) { Log_SetSink(sink, ctx); }
    ~ScopedSink() { Log_SetSink(nullptr, nullptr); }
};

// Refuses `count` allocations after `skip` for a scope.
struct AllocFault {
    AllocFault(int skip, int count) { cfg_inject_alloc_fault(skip, count); }
    ~AllocFault() { cfg_inject_alloc_fault(0, 0); }
};

// Direct store access, for trees of exact stored texts the interface never
// writes.
namespace raw {
inline const uint16_t kItem = static_cast<uint16_t>(oa_xid_of("OID_ATT_CONFIG_ITEM"));
inline const uint16_t kRef = static_cast<uint16_t>(oa_xid_of("OID_OC_CONFIG"));
inline const uint16_t kIdent = static_cast<uint16_t>(oa_xid_of("OID_ATT_CONFIG_IDENTIFIER"));
inline cfg_handle root() { return ds_get_cntl_info(1); }
// A node of kind xid holding text under parent (0: standalone).
cfg_handle append(cfg_handle parent, uint16_t xid, const std::string &text);
// A reference node under parent (0: the root) to target, bound unless 0.
cfg_handle ref(cfg_handle parent, cfg_handle target);
// An object named name under parent (0: the root), through a bound reference.
cfg_handle object(cfg_handle parent, const std::string &name, cfg_handle *reference = nullptr);
// The children of one kind, in store order.
std::vector<cfg_handle> children(cfg_handle parent, uint16_t xid);
cfg_handle target_of(cfg_handle reference);
}  // namespace raw

}  // namespace cfgtest

// Compares statuses and prints both by name with the last log line.
#define CFGTEST_STATUS_(check, expected, actual)                                                   \
    do {                                                                                           \
        int cfgtest_e_ = (expected), cfgtest_a_ = (actual);                                        \
        check(cfgtest_e_, cfgtest_a_) << cfgtest::status_note(cfgtest_e_, cfgtest_a_);             \
    } while (0)
#define EXPECT_STATUS(expected, actual) CFGTEST_STATUS_(EXPECT_EQ, expected, actual)
#define ASSERT_STATUS(expected, actual) CFGTEST_STATUS_(ASSERT_EQ, expected, actual)

#endif
