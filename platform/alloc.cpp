// alloc.cpp - the library's one allocation path and its fault hook.
//
// A fault plan (skip, count) is process-wide and atomic: after `skip`
// allocations succeed, the next `count` fail. Tests sweep it (fail the 1st,
// 2nd, ... allocation) to drive every -109 path.
#include "alloc.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23
#endif

namespace {

std::atomic<int> g_skip{0};
std::atomic<int> g_count{0};

// True when this allocation is to fail.
bool refuse() noexcept {
    if (g_count.load(std::memory_order_relaxed) <= 0) return false;
    int skip = g_skip.load(std::memory_order_relaxed);
    while (skip > 0) {
        if (g_skip.compare_exchange_weak(skip, skip - 1)) return false;
    }
    int count = g_count.load(std::memory_order_relaxed);
    while (count > 0) {
        if (g_count.compare_exchange_weak(count, count - 1)) {
            errno = ENOMEM;
            return true;
        }
    }
    return false;
}

// A heap copy of the len characters at text, NUL-ended (text holds no NUL
// before len).
char *copy_of(const char *text, size_t len) noexcept {
    auto *copy = static_cast<char *>(cfg_mem_alloc(len + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

}  // namespace

extern "C" {

void *cfg_mem_alloc(size_t size) noexcept { return refuse() ? nullptr : std::malloc(size ? size : 1); }

void *cfg_mem_calloc(size_t count, size_t size) noexcept {
    return refuse() ? nullptr : std::calloc(count ? count : 1, size ? size : 1);
}

void *cfg_mem_realloc(void *block, size_t size) noexcept {
    return refuse() ? nullptr : std::realloc(block, size ? size : 1);
}

// The text is measured once: a callback's copy of every line of an
// update-mode load goes through here.
char *cfg_mem_strdup(const char *text) noexcept { return text ? copy_of(text, std::strlen(text)) : nullptr; }

char *cfg_mem_strndup(const char *text, size_t n) noexcept { return text ? copy_of(text, strnlen(text, n)) : nullptr; }

void cfg_mem_free(void *block) noexcept { std::free(block); }

int cfg_mem_grant(void) noexcept { return refuse() ? 0 : 1; }

void cfg_mem_present(void *block, size_t size) noexcept {
#if defined(MADV_POPULATE_WRITE)
    constexpr uintptr_t kPage = 4096;
    auto first = reinterpret_cast<uintptr_t>(block) & ~(kPage - 1);
    auto last = (reinterpret_cast<uintptr_t>(block) + size + kPage - 1) & ~(kPage - 1);
    if (block && last > first) (void)madvise(reinterpret_cast<void *>(first), last - first, MADV_POPULATE_WRITE);
#else
    (void)block;
    (void)size;
#endif
}

CFG_API void cfg_inject_alloc_fault(int skip, int count) noexcept {
    g_count.store(0);
    g_skip.store(skip < 0 ? 0 : skip);
    g_count.store(count < 0 ? 0 : count);
}

}  // extern "C"
