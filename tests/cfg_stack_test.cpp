// Operations whose work nests (blocks, ranges and includes in the loader,
// loads started from callbacks, sub-tables of update tables, references
// through values, a log sink that calls the library) run to their bounds on
// a thread with a 256 KiB stack (2 MiB under AddressSanitizer).
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "alloc.h"
#include "cfg_private.h"
#include "load_support.h"

namespace {

using loadtest::ConfigDir;

// AddressSanitizer's frames are larger (redzones around every buffer; an
// unoptimized clang build needs between 896 KiB and 1 MiB for the loads
// started from callbacks): eight times the stack there, for headroom.
#if defined(CFG_ADDRESS_SANITIZER)
constexpr std::size_t kSmallStack = 2048 * 1024;
#else
constexpr std::size_t kSmallStack = 256 * 1024;
#endif

// Runs body on a thread with a small stack and returns its status.
int on_small_stack(const std::function<int()> &body) {
    struct Call { const std::function<int()> *body; int status; } call{&body, 0};
    pthread_attr_t attr;
    EXPECT_EQ(0, pthread_attr_init(&attr));
    EXPECT_EQ(0, pthread_attr_setstacksize(&attr, kSmallStack));
    pthread_t thread;
    auto run = [](void *arg) -> void * {
        auto *c = static_cast<Call *>(arg);
        c->status = (*c->body)();
        return nullptr;
    };
    EXPECT_EQ(0, pthread_create(&thread, &attr, run, &call));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return call.status;
}

std::string repeat(const std::string &piece, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += piece;
    return text;
}

std::string nested_blocks(int depth, const std::string &inner) {
    return repeat("b {\n", depth) + inner + "\n" + repeat("}\n", depth);
}

TEST(SmallStack, TheLoaderNestsToItsBounds) {
    const struct { const char *what; bool direct; std::string main_cfg; int status; } rows[] = {
        {"256 blocks, direct", true, nested_blocks(256, "x = 1"), CFG_OK},
        {"256 blocks, update mode", false, nested_blocks(256, "x = 1"), CFG_OK},
        {"257 blocks", true, nested_blocks(257, "x = 1"), CFG_ERR_SYNTAX},
        {"127 ranges on one line", true, "a" + repeat("[0].a", 127) + "=1\n", CFG_OK},
        {"32 files of 7 blocks", true, nested_blocks(7, "<inc1.cfg>"), CFG_OK},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        ConfigDir dir;
        dir.write("main.cfg", r.main_cfg);
        for (int f = 1; f < 32; ++f)
            dir.write("inc" + std::to_string(f) + ".cfg",
                      nested_blocks(7, f + 1 < 32 ? "<inc" + std::to_string(f + 1) + ".cfg>" : "y = 2"));
        if (r.direct) Cfg_DirectLoad(1);
        else loadtest::use_update_mode();
        cfgtest::LogCapture quiet;  // the refusal is logged, and checked elsewhere
        EXPECT_STATUS(r.status, on_small_stack([] { return CfgF_LoadFile("main.cfg", nullptr); }));
        (void)Cfg_Delete("b");
        (void)Cfg_Delete("a");
    }
}

// A notification callback that loads the file an attribute "next" names:
// each load runs inside the one before, on the same stack.
int load_next(char *item, void *) {
    const char *next = std::strstr(item, ".next=");
    return next ? CfgF_LoadFile(next + 6, nullptr) : 0;
}

TEST(SmallStack, LoadsStartedFromCallbacksShareTheBoundOnBlocks) {
    static CfgUpdateEntry table[] = {{"**", nullptr, &load_next, nullptr, nullptr},
                                     {nullptr, nullptr, nullptr, nullptr, nullptr}};
    ASSERT_STATUS(CFG_OK, Cfg_NotifyRegister(table));
    Cfg_DirectLoad(0);
    // f0.cfg loads f1.cfg from a callback, and so on, each inside blocks
    const struct { int files, blocks, status; } rows[] = {
        {8, 32, CFG_OK}, {8, 33, CFG_ERR_SYNTAX}, {32, 8, CFG_OK}, {33, 1, CFG_ERR_FILE_REFERENCE}, {32, 250, CFG_ERR_SYNTAX}};
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.files << " files of " << r.blocks << " blocks");
        ConfigDir dir;
        for (int f = 0; f < r.files; ++f)
            dir.write("f" + std::to_string(f) + ".cfg",
                      nested_blocks(r.blocks, f + 1 < r.files ? "next=f" + std::to_string(f + 1) + ".cfg" : "x = 1"));
        cfgtest::LogCapture quiet;
        EXPECT_STATUS(r.status, on_small_stack([] { return CfgF_LoadFile("f0.cfg", nullptr); }));
    }
}

int g_levels = 0;
int count_level(char *, void *) {
    ++g_levels;
    return 0;
}

TEST(SmallStack, ASelfNestingUpdateTableStopsAtItsBound) {
    CfgUpdateEntry table[] = {{"a.**", nullptr, &count_level, nullptr, nullptr},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};
    table[0].sub = table;
    const struct { int components, levels, status; } rows[] = {
        {320, 320, CFG_OK}, {321, 321, CFG_ERR_SYNTAX}, {5000, 321, CFG_ERR_SYNTAX}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.components);
        std::string item = repeat("a.", r.components) + "x=1";
        g_levels = 0;
        cfgtest::LogCapture quiet;
        EXPECT_STATUS(r.status, on_small_stack([&] { return cfg_process_table(table, item.c_str()); }));
        EXPECT_EQ(r.levels, g_levels);
    }
}

// A sink that reads a configured value on every message: the read logs,
// and what it logs must not reach the sink again.
int g_sink_depth = 0, g_sink_deepest = 0;
const char *g_sink_reads = nullptr;
void reading_sink(void *, int, const char *, int, const char *) {
    g_sink_deepest = std::max(g_sink_deepest, ++g_sink_depth);
    char buffer[64];
    (void)Cfg_GetAttrValue(g_sink_reads, buffer, sizeof buffer);
    --g_sink_depth;
}

TEST(SmallStack, ALogSinkThatCallsTheLibraryIsNotReentered) {
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("app.name", "demo"));
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("log.prefix", "${app.name}: "));
    ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("log.self", "${log.self}"));
    // what the program and the sink read
    const struct { const char *read; int status; } rows[] = {{"log.prefix", CFG_OK}, {"log.self", CFG_ERR_UNRESOLVED}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.read);
        g_sink_reads = r.read;
        g_sink_deepest = 0;
        Log_SetSink(&reading_sink, nullptr);
        int status = on_small_stack([&] {
            char buffer[64];
            return Cfg_GetAttrValue(r.read, buffer, sizeof buffer);
        });
        Log_SetSink(nullptr, nullptr);
        EXPECT_STATUS(r.status, status);
        EXPECT_EQ(1, g_sink_deepest);
    }
}

// Evaluations nest through the scanner's and the evaluator's frames: a
// value that refers to itself reaches the recursion limit and fails cleanly.
TEST(SmallStack, SelfReferenceEndsAtTheRecursionLimit) {
    for (const char *value : {"${self}", "${self:#1}", "${self:/x=y/$$}", "a${self}${self}"}) {
        SCOPED_TRACE(value);
        ASSERT_STATUS(CFG_OK, Cfg_SetAttrValue("self", value));
        EXPECT_STATUS(CFG_ERR_UNRESOLVED, on_small_stack([] {
                          char buffer[640];
                          return Cfg_GetAttrValue("self", buffer, sizeof buffer);
                      }));
    }
}

// The loader's scratch stack: frames in stack order, across chunks, larger
// than a chunk, and the same memory again after they are given back. A
// chunk that cannot be had fails only its push.
TEST(Scratch, FramesNestAcrossChunksAndAreReused) {
    const std::size_t sizes[] = {1280, 20000, 640, 16 * 1024, 1, 100000, 1300};
    cfgtree::Scratch scratch;
    std::vector<std::pair<char *, std::size_t>> frames;
    auto push_all = [&] {
        for (std::size_t size : sizes) {
            char *at = scratch.push(size);
            ASSERT_NE(nullptr, at);
            std::memset(at, static_cast<int>(frames.size() + 1), size);  // each frame wholly writable
            frames.emplace_back(at, size);
        }
        for (std::size_t i = 0; i < frames.size(); ++i)  // no frame was written over by a later one
            for (std::size_t k = 0; k < frames[i].second; k += 97)
                ASSERT_EQ(static_cast<char>(i + 1), frames[i].first[k]) << "frame " << i;
    };
    std::vector<char *> first;
    for (int round = 0; round < 2; ++round) {
        push_all();
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (round == 0) first.push_back(frames[i].first);
            else EXPECT_EQ(first[i], frames[i].first) << "frame " << i;
        }
        for (; !frames.empty(); frames.pop_back()) scratch.pop(frames.back().first);
    }
    // a frame larger than the chunk kept for it replaces that chunk
    char *small = scratch.push(8);
    char *big = scratch.push(200000);
    ASSERT_NE(nullptr, big);
    std::memset(big, 7, 200000);
    scratch.pop(big);
    scratch.pop(small);

    cfgtree::Scratch fresh;
    char *a = fresh.push(100);
    ASSERT_NE(nullptr, a);
    cfg_inject_alloc_fault(0, 1);
    EXPECT_EQ(nullptr, fresh.push(20000));
    cfg_inject_alloc_fault(0, 0);
    char *b = fresh.push(20000);
    ASSERT_NE(nullptr, b);
    std::memset(b, 1, 20000);
    fresh.pop(b);
    fresh.pop(a);
}

}  // namespace
