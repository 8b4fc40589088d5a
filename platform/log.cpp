// log.cpp - the log service.
//
// Formats into a fixed stack buffer (long messages are cut at 4 KiB) and
// hands the text to the installed sink, or writes it to stderr when its
// level is shown. Messages nobody will see are not formatted at all, so the
// detailed traces on every lookup cost one comparison. A sink may call the
// library, which logs: what it logs meanwhile is treated as if no sink were
// installed, so a sink is never entered again from itself. Log_SetSink
// returns once no other thread still runs the sink it replaced, so that the
// caller may free that sink's context.
#include "log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

constexpr int kUnset = -2;
// The sink and its context change together under g_sink_mutex, so a message
// never reaches one sink with the other's context; g_sink alone is read
// first, without the lock, to skip the messages nobody will see.
std::mutex g_sink_mutex;
std::atomic<LogSink> g_sink{nullptr};
void *g_sink_ctx = nullptr;
// Sink calls under way (under g_sink_mutex): those of the pair installed
// now, and those of pairs replaced since they began, which Log_SetSink
// waits for. The pair's number tells a call which count it is in.
unsigned long g_pair = 0;
int g_calls_current = 0;
int g_calls_replaced = 0;
std::condition_variable g_replaced_done;
std::atomic<int> g_threshold{kUnset};  // highest level shown on stderr
thread_local bool t_in_sink = false;    // this thread's sink is running

int threshold() noexcept {
    int t = g_threshold.load(std::memory_order_relaxed);
    if (t != kUnset) return t;
    // -1: the default, levels 2 and 3; also for a value that is no number
    // (CFGTREE_LOG_LEVEL=debug), which must not hide the failures.
    const char *env = std::getenv("CFGTREE_LOG_LEVEL");
    t = -1;
    if (env) {
        int saved = errno;  // a message must not change the errno its caller reads
        char *end = nullptr;
        long level = std::strtol(env, &end, 10);
        // A level below 1 shows nothing, as 0 does: -1 is not the default.
        if (end != env) t = static_cast<int>(std::clamp<long>(level, 0, INT_MAX));
        errno = saved;
    }
    g_threshold.store(t, std::memory_order_relaxed);
    return t;
}

bool shown(int level) noexcept {
    int t = threshold();
    if (t == -1) return level == 2 || level == 3;
    return level >= 1 && level <= t;
}

// Formats and hands on one message that may be seen. Kept out of Log_Entry
// so that a message nobody sees touches no more than Log_Entry's small
// frame: the 4 KiB buffer would reach a stack page of its own, a page fault
// in a fresh process.
[[gnu::noinline, gnu::cold]] void deliver(int level, const char *module, int line, const char *format,
                                           va_list args) noexcept {
    LogSink sink = nullptr;
    void *ctx = nullptr;
    unsigned long pair = 0;
    if (!t_in_sink) {
        std::lock_guard<std::mutex> lock(g_sink_mutex);  // the sink is called without it: it may log
        sink = g_sink.load(std::memory_order_relaxed);
        ctx = g_sink_ctx;
        pair = g_pair;
        if (sink) ++g_calls_current;
    }
    if (!sink && !shown(level)) return;
    char message[4096];
    if (format) std::vsnprintf(message, sizeof message, format, args);
    else message[0] = '\0';
    if (sink) {
        t_in_sink = true;
        sink(ctx, level, module ? module : "", line, message);
        t_in_sink = false;
        std::lock_guard<std::mutex> lock(g_sink_mutex);
        if (pair == g_pair) --g_calls_current;
        else if (--g_calls_replaced == 0) g_replaced_done.notify_all();
        return;
    }
    std::fprintf(stderr, "cfgtree[%d] %s:%d: %s\n", level, module ? module : "?", line, message);
}

}  // namespace

extern "C" {

int Log_InSink(void) noexcept { return t_in_sink ? 1 : 0; }

CFG_API void Log_Entry(int level, const char *module, int line, const char *format, ...) noexcept {
    if ((t_in_sink || !g_sink.load(std::memory_order_relaxed)) && !shown(level)) return;
    va_list args;
    va_start(args, format);
    deliver(level, module, line, format, args);
    va_end(args);
}

CFG_API void Log_SetSink(LogSink sink, void *ctx) noexcept {
    std::unique_lock<std::mutex> lock(g_sink_mutex);
    g_sink_ctx = ctx;
    g_sink.store(sink, std::memory_order_relaxed);
    ++g_pair;
    g_calls_replaced += g_calls_current;
    g_calls_current = 0;
    // A sink that changes the sink itself would wait for its own call.
    if (!t_in_sink) g_replaced_done.wait(lock, [] { return g_calls_replaced == 0; });
}

}  // extern "C"
