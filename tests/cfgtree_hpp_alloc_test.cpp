// Tests of the C++ layer under failing allocations of operator new: an
// UpdateTable whose building throws std::bad_alloc stays a valid table
// that can be handed out again.
#include "cfgtree.hpp"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support.h"

namespace {
// The allocation that fails: counts down to 0, -1 fails none.
std::atomic<int> g_new_countdown{-1};
}  // namespace

// The replacements pair malloc with free; GCC cannot tell and warns where
// it inlines them into code that pairs new with delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void *operator new(std::size_t n) {
    if (g_new_countdown.load() >= 0 && g_new_countdown.fetch_sub(1) == 0) throw std::bad_alloc();
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(CxxUpdateTableAlloc, AFailedAllocationLeavesEveryTableUsable) {
    struct Case {
        const char *what;
        std::function<void(cfgtree::UpdateTable &)> step;
    };
    const std::vector<Case> cases = {
        {"handing out a table with a sub-table", [](cfgtree::UpdateTable &t) { t.c_table(); }},
        {"adding an entry", [](cfgtree::UpdateTable &t) { t.on("late", [](char *) { return 0; }); }},
    };
    for (const Case &c : cases) {
        for (int k = 0; k < 32; ++k) {
            SCOPED_TRACE(std::string(c.what) + ", allocation " + std::to_string(k) + " fails");
            int seen = 0;
            cfgtree::UpdateTable sub, outer;
            sub.on("b", [&](char *) { return ++seen, 0; });
            outer.on("a.**", {}, &sub).on("z", [&](char *) { return ++seen, 0; });
            bool threw = false;
            g_new_countdown = k;
            try {
                c.step(outer);
            } catch (const std::bad_alloc &) {
                threw = true;
            }
            g_new_countdown = -1;
            EXPECT_STATUS(CFG_OK, outer.apply("a.b=1").code());
            EXPECT_STATUS(CFG_OK, outer.apply("z=1").code());
            EXPECT_EQ(2, seen) << "both callbacks run once, through the sub-table and directly";
            if (!threw) break;
        }
    }
}

// A sub-table that names its parent again takes the parent's array while
// the parent is being built; when a later sub-table throws, that array must
// stay where it is, so the parent takes no entry after the failure and a
// retry fills the same array.
TEST(CxxUpdateTableAlloc, ACycleKeepsTheArrayItWasGivenWhenBuildingThrows) {
    for (int k = 0; k < 32; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
        int seen = 0;
        cfgtree::UpdateTable outer, cycle, other;
        cycle.on("x.**", {}, &outer);
        other.on("c", [&](char *) { return ++seen, 0; });
        outer.on("a.**", {}, &cycle).on("c.**", {}, &other).on("y", [&](char *) { return ++seen, 0; });
        bool threw = false;
        g_new_countdown = k;
        try {
            outer.c_table();
        } catch (const std::bad_alloc &) {
            threw = true;
        }
        g_new_countdown = -1;
        try {
            outer.on("late", [](char *) { return 0; });
        } catch (const std::logic_error &) {
        }
        EXPECT_STATUS(CFG_OK, outer.apply("a.x.y=1").code());
        EXPECT_STATUS(CFG_OK, outer.apply("c.c=1").code());
        EXPECT_EQ(2, seen) << "through the cycle and through the other sub-table";
        if (!threw) break;
    }
}

}  // namespace
