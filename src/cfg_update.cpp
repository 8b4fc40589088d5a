// cfg_update.cpp - notification and validation tables: registration and
// application of caller-owned update tables to item texts.
//
// Two registries (lists created on first registration, never torn down) hold
// the addresses of the registered tables, one record of a table pointer
// each. Applying a table runs the callbacks of every entry whose pattern
// matches and descends into sub-tables with the unmatched rest; each callback
// gets its own heap copy of the text (during a load, of a text shorter than
// 640 bytes, in a block kept for the next copy: see KeptCallbackCopy). A
// table that contains itself cannot recurse without bound: sub-tables that
// hand on the text unshortened nest at most kMaxStalled deep in a row, and
// any sub-tables kMaxDepth deep; nor can one that names itself in several
// matching entries take exponential time: one application of a table
// applies at most kMaxApplications sub-tables in all, the tables its
// callbacks apply among them. A table applied from inside a callback (which
// may call Cfg_ProcessUpdate on its own item) is a level below the
// callback's, and after a refusal every one that a callback starts is
// refused, so callbacks cannot recurse without bound either, even those that
// ignore the refusal.
#include <utility>

#include "cfg_private.h"

namespace {
constexpr const char kModule[] = "cfg_update";

// Deeper sub-table nesting is refused with CFG_ERR_SYNTAX. Only levels that
// hand on the text unshortened (a "**" entry whose sub-table holds it again)
// can nest without end; a level that consumes a component walks towards the
// end of the text. Every level counts against the stack's bound: as many
// levels as a full name of 639 characters has components (every text a load
// sends), a few hundred bytes of stack each, so tables that alternate
// between consuming a component and handing the text on unshortened reach
// it at half that many components.
constexpr int kMaxStalled = 64;
constexpr int kMaxDepth = 320;
// Sub-tables applied for one item text by one table, at all levels: a table
// whose matching entries each descend into it again (two "a.**" entries
// naming their own table) would otherwise apply 2^n sub-tables to a text of
// n components. Far above what any table of distinct sub-tables applies.
constexpr long kMaxApplications = 100000;

LS_List g_notify_list = nullptr;
LS_List g_validate_list = nullptr;

// Appends table to *list, creating the list first when there is none.
int register_table(LS_List *list, CfgUpdateEntry *table, const char *kind) noexcept {
    if (!*list) {
        *list = LS_CreateList(sizeof(CfgUpdateEntry *), 0);
        if (!*list) return ERR_NO_MEMORY;
    }
    if (!LS_Add(*list, 0, 0, &table, 1)) return ERR_NO_MEMORY;
    CFG_LOG(13, "Registered %s table at %p", kind, static_cast<void *>(table));
    return CFG_OK;
}

// True when a result ends the walk of a table: errors always, warnings
// unless they are ignored; 0 and 105 never.
bool stops_walk(int status) noexcept {
    if (status < 0) return true;
    if (status == CFG_OK || status == CFG_NOT_CREATED) return false;
    return (cfgtree::ctl_flags() & CFG_CTL_IGNORE_WARNINGS) == 0;
}

// The level whose callback runs on this thread, -1 when none does: an
// application that the callback starts begins one level below it.
thread_local int tl_callback_level = -1;
// Set when a bound refused an application on this thread. A callback may
// ignore the refusal and go on, so tables whose callbacks each apply their
// item again would dive to the bound once per path, 2^320 paths; until the
// outermost application returns, every one started from a callback is
// refused at once instead.
thread_local bool tl_refused = false;
// Sub-tables applied under the outermost application on this thread, by it
// and by every application its callbacks start (each a sub-table of the
// callback's table): a callback that applies its table again to a shorter
// rest, from two matching entries, stays within the depth bound while it
// doubles the work with every component.
thread_local long tl_applied = 0;
// Applications under way on this thread. Only one that starts while none is
// under way is outermost: a log sink called during a walk (a pattern the
// parser refuses is logged) may apply a table while no callback runs, and
// must not give the walk under way its whole bound again.
thread_local int tl_applying = 0;

// The block kept for callbacks' copies on this thread, and how many
// KeptCallbackCopy holders it has. Outside its copies the block is poisoned
// for AddressSanitizer, and so is the part of it past a copy's NUL, so that
// a callback writing past its text is caught as with a fresh block.
struct KeptBlock {
    char *block = nullptr;
    int holders = 0;
};
thread_local KeptBlock tl_kept;
constexpr std::size_t kKeptSize = cfgtree::kTextSize;

// An item text that tables are applied to, measured once for all the
// copies its callbacks get.
struct Item {
    const char *text;
    std::size_t length;  // strlen(text); text may be NULL (no entry matches it)

    static Item of(const char *text) noexcept { return Item{text, text ? std::strlen(text) : 0}; }
    // The part of it from rest on (rest points into text).
    Item from(const char *rest) const noexcept { return Item{rest, length - static_cast<std::size_t>(rest - text)}; }
};

// A callback's own copy of an item text: in the kept block when there is
// one to take and the text fits it, else a fresh heap block. get() is NULL
// when memory runs out. Taking the kept block counts as an allocation of
// the library's one path, so that a fault sweep fails it like a fresh one.
class CallbackCopy {
  public:
    explicit CallbackCopy(Item item) noexcept {
        const std::size_t length = item.length;
        kept_ = tl_kept.holders > 0 && length < kKeptSize;
        if (!kept_) {
            text_ = static_cast<char *>(cfg_mem_alloc(length + 1));
        } else if (tl_kept.block) {
            if (cfg_mem_grant()) text_ = std::exchange(tl_kept.block, nullptr);
        } else if ((text_ = static_cast<char *>(cfg_mem_alloc(kKeptSize)))) {
            ASAN_POISON_MEMORY_REGION(text_, kKeptSize);
        }
        if (!text_) return;
        if (kept_) ASAN_UNPOISON_MEMORY_REGION(text_, length + 1);
        std::memcpy(text_, item.text, length);  // the text is measured already
        text_[length] = '\0';
    }
    CallbackCopy(const CallbackCopy &) = delete;
    CallbackCopy &operator=(const CallbackCopy &) = delete;
    ~CallbackCopy() {
        if (!text_) return;
        if (kept_ && tl_kept.holders > 0 && !tl_kept.block) {
            ASAN_POISON_MEMORY_REGION(text_, kKeptSize);
            tl_kept.block = text_;
        } else {
            if (kept_) ASAN_UNPOISON_MEMORY_REGION(text_, kKeptSize);
            cfg_mem_free(text_);
        }
    }
    [[nodiscard]] char *get() const noexcept { return text_; }

  private:
    char *text_ = nullptr;
    bool kept_ = false;  // a block of kKeptSize bytes
};

// Runs one callback, of a table at level (Depth::all), on a fresh copy of item.
int run_callback(CfgUpdateCallback callback, Item item, void *arg, int level) noexcept {
    CallbackCopy copy(item);
    if (!copy.get()) {
        int err = errno;
        CFG_LOG(3, "%s: strdup(cfgItem) failed\n\t\terrno = %d  => %s", "cfg_process_table", err,
                cfgtree::errno_text(err));
        return ERR_NO_MEMORY;
    }
    const int outer = std::exchange(tl_callback_level, level);
    int status = callback(copy.get(), arg);
    tl_callback_level = outer;
    return status;
}

// How deep a walk is: all levels, and those in a row that handed on the
// text unshortened; and how many sub-tables the walk's top-level table has
// applied so far (one count shared by every level).
struct Depth {
    long *applied;
    int all = 0;
    int stalled = 0;
    // The level below, where the sub-table gets rest of item. The matcher
    // steps over one leading mark, which is no progress either.
    Depth below(const char *item, const char *rest) const noexcept {
        bool same = rest == item || (item[0] == '!' && rest == item + 1);
        return Depth{applied, all + 1, same ? stalled + 1 : 0};
    }
    // A table's application: at the top, or below the running callback's
    // level (with a count of sub-tables of its own).
    static Depth start(long *applied) noexcept { return Depth{applied, tl_callback_level + 1, 0}; }
};

int process_at_depth(CfgUpdateEntry *table, Item item, Depth depth) noexcept;

// Applies one matching entry; *stop is set when the walk must end.
int apply_entry(const CfgUpdateEntry &entry, Item item, const char *rest, Depth depth, int status,
                bool *stop) noexcept {
    if (entry.first) {
        status = run_callback(entry.first, item, entry.arg, depth.all);
        if ((*stop = stops_walk(status))) return status;
    }
    if (entry.sub) {
        status = process_at_depth(entry.sub, item.from(rest), depth.below(item.text, rest));
        if ((*stop = stops_walk(status))) return status;
    }
    if (entry.second) {
        status = run_callback(entry.second, item, entry.arg, depth.all);
        *stop = stops_walk(status);
    }
    return status;
}

int process_at_depth(CfgUpdateEntry *table, Item item, Depth depth) noexcept {
    if (!table) return CFG_OK;
    if (depth.stalled > kMaxStalled || depth.all > kMaxDepth) {
        tl_refused = true;
        CFG_LOG(3, "%s: sub-tables nested deeper than %d at '%s'", "cfg_process_table",
                depth.stalled > kMaxStalled ? kMaxStalled : kMaxDepth, table->item ? table->item : "(end)");
        return CFG_ERR_SYNTAX;
    }
    if (depth.all > 0 && ++*depth.applied > kMaxApplications) {
        tl_refused = true;
        CFG_LOG(3, "%s: more than %ld sub-tables applied at '%s'", "cfg_process_table", kMaxApplications,
                table->item ? table->item : "(end)");
        return CFG_ERR_SYNTAX;
    }
    int status = CFG_OK;
    for (const CfgUpdateEntry *entry = table; entry->item; ++entry) {
        const char *rest = nullptr;
        if (cfgtree::compare_items(entry->item, item.text, &rest) != CFG_OK) continue;
        bool stop = false;
        status = apply_entry(*entry, item, rest, depth, status, &stop);
        if (stop) return status;
    }
    return status;
}

// Applies table to item as an application of its own: at the top, or below
// the running callback (counted with the sub-tables of the top), refused at
// once after a refusal under the same top.
int apply_table(CfgUpdateEntry *table, Item item) noexcept {
    if (tl_applying == 0) {
        tl_refused = false;
        tl_applied = 0;
    } else if (tl_refused && table) {
        return CFG_ERR_SYNTAX;
    }
    ++tl_applying;
    int status = process_at_depth(table, item, Depth::start(&tl_applied));
    --tl_applying;
    return status;
}

// Applies the tables of a registry in order until one returns nonzero.
int process_list(LS_List list, Item item) noexcept {
    if (!list) return CFG_OK;
    for (void *record = LS_Next(list, nullptr, 0, 1); record; record = LS_Next(nullptr, record, 0, 1)) {
        CfgUpdateEntry *table = nullptr;
        std::memcpy(&table, record, sizeof table);
        int status = apply_table(table, item);
        if (status != CFG_OK) return status;
    }
    return CFG_OK;
}

// The tables an update-mode load applies to one definition, with a count of
// their own: a load's definitions are bounded by the load's own limits, so
// a load that a callback starts may hand on any number of them, while the
// tables their callbacks apply count in with them.
int apply_apart(LS_List list, Item item) noexcept {
    const long outer = std::exchange(tl_applied, 0);
    int status = process_list(list, item);
    tl_applied = outer;
    return status;
}

}  // namespace

namespace cfgtree {

int process_table(CfgUpdateEntry *table, const char *item) noexcept { return apply_table(table, Item::of(item)); }

int process_update(const char *item) noexcept { return process_list(g_notify_list, Item::of(item)); }

int process_load_update(const char *item, std::size_t length) noexcept {
    return apply_apart(g_notify_list, Item{item, length});
}

KeptCallbackCopy::KeptCallbackCopy() noexcept { ++tl_kept.holders; }

KeptCallbackCopy::~KeptCallbackCopy() {
    if (--tl_kept.holders > 0 || !tl_kept.block) return;
    ASAN_UNPOISON_MEMORY_REGION(tl_kept.block, kKeptSize);
    cfg_mem_free(std::exchange(tl_kept.block, nullptr));
}

}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_NotifyRegister(CfgUpdateEntry *table) noexcept {
    return register_table(&g_notify_list, table, "notification");
}
CFG_API int Cfg_ValidateRegister(CfgUpdateEntry *table) noexcept {
    return register_table(&g_validate_list, table, "validation");
}
CFG_API int Cfg_ProcessUpdate(const char *item) noexcept { return cfgtree::process_update(item); }
CFG_API int Cfg_Validate(const char *item) noexcept { return process_list(g_validate_list, Item::of(item)); }
CFG_API int cfg_process_table(CfgUpdateEntry *table, const char *cfgItem) noexcept {
    return cfgtree::process_table(table, cfgItem);
}
CFG_API uint32_t Cfg_IgnoreUpdateWarnings(int on) noexcept {
    return cfgtree::ctl(CFG_CTL_IGNORE_WARNINGS, on ? CFG_CTL_IGNORE_WARNINGS : 0);
}
}  // extern "C"
