// Readers and writers on one tree at once: every value a reader sees is one
// that a writer wrote (never torn, never stale beyond what was started), and
// attributes that nobody writes keep their values while the tree grows.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace {

constexpr int kReaders = 4;
constexpr int kWriters = 2;
constexpr int kFixed = 4;

struct Shared {
    std::atomic<bool> stop{false};
    std::atomic<long> started[kWriters] = {};  // highest value number a writer began to set
    std::atomic<long> reads{0};
    std::atomic<long> bad{0};
    std::atomic<long> writes{0};
    std::string first_bad;
    std::atomic_flag bad_noted = ATOMIC_FLAG_INIT;

    void note(const std::string &what) {
        ++bad;
        if (!bad_noted.test_and_set()) first_bad = what;
    }
};

void writer(Shared &s, int w) {
    char id[32], value[64], extra[48];
    std::snprintf(id, sizeof id, "t.w%d", w);
    for (long n = 1; !s.stop.load(); ++n) {
        s.started[w].store(n);
        std::snprintf(value, sizeof value, "w%d-%ld-%s", w, n, "tail-to-make-tearing-visible");
        if (Cfg_SetAttrValue(id, value) != CFG_OK) s.note("set failed for " + std::string(id));
        // Grow and rewrite other attributes too, so that readers walk a tree
        // that keeps changing shape.
        std::snprintf(extra, sizeof extra, "t.x%d.e[%ld]", w, n % 64);
        if (Cfg_SetAttrValue(extra, value) != CFG_OK) s.note("set failed for " + std::string(extra));
        ++s.writes;
    }
}

void reader(Shared &s, int r) {
    char buffer[640], id[32], expect[32];
    while (!s.stop.load()) {
        for (int w = 0; w < kWriters; ++w) {
            std::snprintf(id, sizeof id, "t.w%d", w);
            int status = Cfg_GetAttrValue(id, buffer, sizeof buffer);
            long limit = s.started[w].load();
            int who = -1;
            long n = -1;
            char tail[64] = "";
            if (status != CFG_OK || std::sscanf(buffer, "w%d-%ld-%63s", &who, &n, tail) != 3 || who != w ||
                n < 0 || n > limit || std::strcmp(tail, "tail-to-make-tearing-visible") != 0)
                s.note(std::string(id) + " read '" + buffer + "' status " + std::to_string(status));
            ++s.reads;
        }
        int k = r % kFixed;
        std::snprintf(id, sizeof id, "t.r%d", k);
        std::snprintf(expect, sizeof expect, "fixed-%d", k);
        if (Cfg_GetAttrValue(id, buffer, sizeof buffer) != CFG_OK || std::strcmp(buffer, expect) != 0)
            s.note(std::string(id) + " read '" + buffer + "'");
        ++s.reads;
    }
}

TEST(Threads, ReadersSeeOnlyWrittenValuesWhileWritersChangeTheTree) {
    char id[32], value[64];
    for (int w = 0; w < kWriters; ++w) {
        std::snprintf(id, sizeof id, "t.w%d", w);
        std::snprintf(value, sizeof value, "w%d-0-tail-to-make-tearing-visible", w);
        ASSERT_EQ(CFG_OK, Cfg_SetAttrValue(id, value));
    }
    for (int k = 0; k < kFixed; ++k) {
        std::snprintf(id, sizeof id, "t.r%d", k);
        std::snprintf(value, sizeof value, "fixed-%d", k);
        ASSERT_EQ(CFG_OK, Cfg_SetAttrValue(id, value));
    }

    Shared s;
    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; ++r) threads.emplace_back(reader, std::ref(s), r);
    for (int w = 0; w < kWriters; ++w) threads.emplace_back(writer, std::ref(s), w);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    s.stop.store(true);
    for (auto &t : threads) t.join();

    EXPECT_EQ(0, s.bad.load()) << "first: " << s.first_bad;
    EXPECT_GT(s.reads.load(), 100);
    EXPECT_GT(s.writes.load(), 10);
    // The last values stand.
    for (int w = 0; w < kWriters; ++w) {
        char buffer[640];
        std::snprintf(id, sizeof id, "t.w%d", w);
        ASSERT_EQ(CFG_OK, Cfg_GetAttrValue(id, buffer, sizeof buffer));
        std::snprintf(value, sizeof value, "w%d-%ld-", w, s.started[w].load());
        EXPECT_EQ(0, std::strncmp(buffer, value, std::strlen(value))) << buffer;
    }
}

}  // namespace
