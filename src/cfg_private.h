// cfg_private.h - what the library's modules share.
//
// Each exported function is a thin noexcept shim (in its module) over a C++
// function of the same meaning in namespace cfgtree; modules call each other
// through the C++ names declared here, never through the shims. Statuses are
// the public codes of cfgtree.h and pass up unchanged.
#ifndef CFGTREE_CFG_PRIVATE_H
#define CFGTREE_CFG_PRIVATE_H

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <new>

#include "alloc.h"
#include "cfgtree.h"
#include "ds.h"
#include "ds_index.h"
#include "name_chars.h"
#include "log.h"
#include "ls.h"

// Logs through the log service with the module's name (each module defines
// kModule in its anonymous namespace) and the source line.
#define CFG_LOG(level, ...) Log_Entry((level), kModule, __LINE__, __VA_ARGS__)

// A "cannot happen" condition: aborts in debug and sanitizer builds, and
// evaluates to the condition in release so the caller can answer it.
#if defined(CFGTREE_ASSERTS)
#define CFG_ASSERT(x) ((x) ? true : (std::abort(), false))
#else
#define CFG_ASSERT(x) (static_cast<bool>(x))
#endif

namespace cfgtree {

// Names, components, values and lines live in buffers of this size: at most
// 639 characters and the NUL.
inline constexpr std::size_t kTextSize = 640;
inline constexpr std::size_t kTextMax = kTextSize - 1;

// ---- allocation ------------------------------------------------------------

struct MemFree {
    void operator()(void *block) const noexcept { cfg_mem_free(block); }
};
// A heap text from the library's allocation path, freed on scope exit.
using HeapText = std::unique_ptr<char, MemFree>;

inline HeapText dup_text(const char *text) noexcept { return HeapText(cfg_mem_strdup(text)); }

// A private, writable copy of a text that a walk cuts apart: on the stack when
// it fits 640 bytes (every line, nearly every identifier), so that lookups and
// definitions allocate nothing; on the heap beyond, where get() is NULL when
// memory runs out (errno tells why).
class WorkCopy {
  public:
    explicit WorkCopy(const char *text) noexcept {
        std::size_t length = std::strlen(text);
        if (length < sizeof local_) {
            std::memcpy(local_, text, length + 1);
            text_ = local_;
        } else {
            heap_ = dup_text(text);
            text_ = heap_.get();
        }
    }
    WorkCopy(const WorkCopy &) = delete;
    WorkCopy &operator=(const WorkCopy &) = delete;
    [[nodiscard]] char *get() noexcept { return text_; }

  private:
    char local_[kTextSize];
    HeapText heap_;
    char *text_ = nullptr;
};

// Copies src into dst of n bytes: at most n - 1 characters, always ended
// with NUL (nothing is written when n is 0). Returns the characters copied.
inline std::size_t copy_bounded(char *dst, std::size_t n, const char *src) noexcept {
    if (n == 0) return 0;
    std::size_t len = src ? strnlen(src, n - 1) : 0;
    if (len) std::memcpy(dst, src, len);
    dst[len] = '\0';
    return len;
}

// Fills out (len >= 1 bytes) as a substitution hands a result over: at most
// len - 1 characters of text (length of them), the rest of the buffer zero.
// The text may lie inside out.
inline void fill_text(char *out, uint32_t len, const char *text, std::size_t length) noexcept {
    std::size_t n = length < len - 1 ? length : len - 1;
    std::memmove(out, text, n);
    std::memset(out + n, 0, len - n);
}

// What a read or substitution does with the bytes of the caller's buffer
// after its result: zero them, as every public function does, or leave
// them, where the library reads into a room it knows to be zero already (a
// reference's expansion in the scanner's own level buffer). Zeroing the
// whole room for every reference of a long text would cost its length
// again for each of them.
enum class Rest { kZero, kLeave };

// fill_text, or with Rest::kLeave the text and one NUL only.
inline void hand_over(char *out, uint32_t len, const char *text, std::size_t length, Rest rest) noexcept {
    if (rest == Rest::kZero) return fill_text(out, len, text, length);
    std::size_t n = length < len - 1 ? length : len - 1;
    std::memmove(out, text, n);
    out[n] = '\0';
}

// Joins texts into dst of n bytes as snprintf("%s%s...") would, without
// the formatting machinery (it runs for every stored definition): at most
// n - 1 characters, always ended with NUL. Returns the whole joined length,
// so a result of n or more means the text was cut.
inline std::size_t join_text(char *dst, std::size_t n, std::initializer_list<std::string_view> parts) noexcept {
    std::size_t total = 0;
    for (std::string_view part : parts) {
        if (n && total < n - 1) {
            std::size_t take = part.size() < n - 1 - total ? part.size() : n - 1 - total;
            std::memcpy(dst + total, part.data(), take);
        }
        total += part.size();
    }
    if (n) dst[total < n - 1 ? total : n - 1] = '\0';
    return total;
}

inline const char *errno_text(int err) noexcept { return std::strerror(err); }

// ---- the data-store lock ---------------------------------------------------

// Holds the data-store lock for a scope; nests like ds_lock itself.
struct StoreLock {
    StoreLock() noexcept { ds_lock(); }
    ~StoreLock() { ds_unlock(); }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
};

// ---- the C boundary --------------------------------------------------------

// Runs f and turns any escaping exception into a status: -109 for
// bad_alloc, on_error (a status the function's contract already names) for
// anything else. No exception ever crosses the C interface.
template <class F>
int guard(int on_error, F &&f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        return ERR_NO_MEMORY;
    } catch (...) {
        Log_Entry(3, "cfgtree", __LINE__, "unexpected exception; returning %d", on_error);
        return on_error;
    }
}

// The same for functions whose result is not a status (pointers, flags).
template <class T, class F>
T guard_value(T on_error, F &&f) noexcept {
    try {
        return f();
    } catch (...) {
        Log_Entry(3, "cfgtree", __LINE__, "unexpected exception");
        return on_error;
    }
}

// ---- node model (cfg_util) -------------------------------------------------

// The xids of the three node kinds (fixed by the store; every lookup step
// names one).
[[nodiscard]] constexpr uint16_t xid_identifier() noexcept { return static_cast<uint16_t>(DS_ID_IDENTIFIER); }
[[nodiscard]] constexpr uint16_t xid_reference() noexcept { return static_cast<uint16_t>(DS_ID_OBJECT_REF); }
[[nodiscard]] constexpr uint16_t xid_item() noexcept { return static_cast<uint16_t>(DS_ID_ITEM); }
[[nodiscard]] inline uint16_t xid_of_node(cfg_handle h) noexcept {
    return static_cast<uint16_t>(ds_get_attr_id(h));
}
// The configuration root: made by the store on first use, then the same
// for the life of the process (so it is asked for once).
[[nodiscard]] cfg_handle root() noexcept;
// The start object of public lookups: the current context's object or root.
[[nodiscard]] cfg_handle context_start() noexcept;

[[nodiscard]] bool is_object(cfg_handle h) noexcept;
[[nodiscard]] bool is_attribute(cfg_handle h) noexcept;
[[nodiscard]] bool is_reference(cfg_handle h) noexcept;
[[nodiscard]] const char *object_id(cfg_handle h) noexcept;
[[nodiscard]] const char *avp(cfg_handle h) noexcept;
[[nodiscard]] long object_ref(cfg_handle h) noexcept;
[[nodiscard]] int is_read_only(cfg_handle h, uint32_t *flag) noexcept;
uint32_t ctl(uint32_t mask, uint32_t value) noexcept;
// cfgCtl as the library reads it: without a lock, while another thread may
// switch a flag. Relaxed atomic accesses make that race a defined one (a
// plain load on x86); the caller's own reads of cfgCtl are its affair.
[[nodiscard]] inline uint32_t ctl_flags() noexcept {
    return std::atomic_ref<uint32_t>(cfgCtl).load(std::memory_order_relaxed);
}
[[nodiscard]] int validate_object_syntax(const char *text) noexcept;
[[nodiscard]] int validate_avp_syntax(const char *text) noexcept;

// ---- identifiers (cfg_parse, cfg_match, cfg_split) ------------------------

// The name characters (is_name_char) live with the store's index, which
// splits stored names as the parser does.
static_assert(kComponentMax == kTextMax, "a component fits a text buffer");
[[nodiscard]] int parse_identifier(const char *text, const char **instance, const char **end) noexcept;
[[nodiscard]] int split_identifier(const char *text, char *name, char *instance, const char **end) noexcept;
[[nodiscard]] int is_valid_identifier(const char *text) noexcept;
[[nodiscard]] int is_valid_item(const char *identifier) noexcept;
[[nodiscard]] int match_token(const unsigned char *a, const unsigned char *b) noexcept;
[[nodiscard]] int compare_items(const char *pattern, const char *subject, const char **rest) noexcept;
[[nodiscard]] int split(char *text, char **identifier, char **instance, char **value) noexcept;

// ---- child search (cfg_d_find) ---------------------------------------------

// Who reports a bad child met during a child search: the module name the
// messages carry and the function named in "%s: ds_get_av_ptr(%ld)".
// The object levels of the last walk of one kind (lookups, creations) along
// a dotted identifier, so that the next walk from the same start that shares
// a dotted prefix with it goes on after that prefix instead of searching it
// again: file-order updates name one object after another below a common
// path, and the lookups of a program stay in a few parts of the tree. The
// objects a prefix leads to stay the same while the store's generation
// stands (ds_generation: appends come after every match; deletions,
// bindings and renames count). A walk whose searches reported a child they
// could not read is not kept, so a shortened walk reports exactly what the
// whole one would: nothing. Used under the store's lock only; a walk started
// inside another (from a log sink) neither uses nor changes it.
class WalkMemo {
  public:
    static constexpr int kLevels = 32;

    // Where a walk of text from start may go on: the offset after the last
    // dot of the longest kept prefix it shares (0: the start), with the
    // object that prefix leads to in *object, whether one of its components
    // carries the read-only mark in *marked, and (when asked) whether all of
    // them were plain (as the walk that made it said) in *plain.
    [[nodiscard]] std::size_t resume(cfg_handle start, const char *text, cfg_handle *object, uint32_t *marked,
                                     bool *plain = nullptr) noexcept;
    // The component of the current walk ending at text[dot] ('.') led to
    // object, the mark seen so far being marked; plain: it and every
    // component before it were plain.
    void step(std::size_t dot, cfg_handle object, uint32_t marked, bool plain = false) noexcept;
    // Ends the current walk of text: what it found is kept unless keep is
    // false (its searches reported something, or it failed).
    void finish(const char *text, bool keep) noexcept;
    // The object that the dotted prefix text[0..length) led to in the kept
    // walk from start, when that walk went through it and the store has
    // changed nothing since that could make it lead elsewhere; 0 otherwise.
    // Only asks: walks, logs and keeps nothing.
    [[nodiscard]] cfg_handle known(cfg_handle start, const char *text, std::size_t length) const noexcept;

  private:
    struct Level {
        uint16_t dot;  // offset of the '.' that ends the component
        bool plain;
        uint32_t marked;
        cfg_handle object;
    };
    cfg_handle start_ = 0;       // of the kept walk
    uint64_t generation_ = 0;    // the store's generation it was made in
    cfg_handle walk_start_ = 0;  // of the current walk
    uint64_t walk_generation_ = 0;
    int kept_ = 0;     // levels kept from the last finished walk
    int resumed_ = 0;  // levels the current walk took over
    int walked_ = 0;   // levels it holds so far
    int depth_ = 0;    // walks under way: a log sink may start one inside another
    bool overflow_ = false;
    Level level_[kLevels];
    char text_[kTextSize] = "";  // the kept walk's identifier, to its last dot
};

// Counts the reports of unreadable children the child searches make.
[[nodiscard]] uint64_t search_reports() noexcept;

struct SearchReporter {
    const char *module;
    const char *function;
    int line = 0;  // the line of module's search, logged with its reports (0: the finder's own)
};
inline constexpr SearchReporter kFindReporter{"cfg_d_find", "cfg_find_item"};

// Where a search goes on: the children up to sequence number seq (ds_seq)
// were compared; named and odd, when not 0, are the first child of the
// component's bare name and the first child whose name cannot be read after
// them (0: found from the last back).
struct SearchFrom {
    uint32_t seq = 0;
    cfg_handle named = 0;
    cfg_handle odd = 0;
};

// The one way to look a child up by one component: the first child of
// parent (an object or the root) in store order whose stored name matches
// component with compare_items. Nothing else matches names by scanning
// children. Caller holds the lock; nothing is allocated.
// from (may be NULL): where a search goes on whose caller knows that none
// of the children up to a sequence number matches or is unreadable.
// after (may be NULL): receives, when a child is found, where a search going
// on after it starts (the next candidates when this search knew them).
// find_child_object: the sub-object's identifier node (and its reference
// node in *reference when given), or 0.
[[nodiscard]] cfg_handle find_child_object(cfg_handle parent, const char *component, cfg_handle *reference,
                                           const SearchReporter &who = kFindReporter,
                                           const SearchFrom *from = nullptr, SearchFrom *after = nullptr) noexcept;
// find_child_attribute: the attribute node, or 0.
[[nodiscard]] cfg_handle find_child_attribute(cfg_handle parent, const char *component,
                                              const SearchReporter &who = kFindReporter,
                                              const SearchFrom *from = nullptr, SearchFrom *after = nullptr) noexcept;

// A component the store can look up in place (ds_step_plain_locked): read as the
// parser reads it, at most 639 characters, ending the identifier or a
// level, with an instance free of wildcard tokens and of the '.' that cuts
// components first. Inline: every step of every lookup reads one.
[[nodiscard]] inline bool plain_component(const char *text, Component &c) noexcept {
    if (read_component(text, c) != ComponentRead::kOk || c.length > kComponentMax) return false;
    if (text[c.length] != '.' && text[c.length] != '\0') return false;
    return c.ilen == 0 || (!std::memchr(c.inst, '.', c.ilen) && !has_wild_token(c.inst, c.ilen));
}
// The attribute that the plain component c (read at text) names under
// parent, asked of the store in one step: *attr is the child or 0. False
// when the store cannot tell; then only find_child_attribute decides.
// Caller holds the lock. hint (zeroed by the caller): where the store's name
// index would put the attribute, for its creation (ds_step_attr_locked).
[[nodiscard]] bool plain_attribute(cfg_handle parent, const char *text, const Component &c, cfg_handle *attr,
                                   ds_slot_hint *hint) noexcept;
// The object that the plain component c (read at text) names under parent,
// asked of the store in one step: *object is the object (the reference's
// target) or 0. False when the store cannot tell; then only
// find_child_object decides. Caller holds the lock. hint (zeroed by the
// caller): where the store's name index would put the object's reference,
// for its creation (ds_step_object_locked).
[[nodiscard]] bool plain_object(cfg_handle parent, const char *text, const Component &c, cfg_handle *object,
                                ds_slot_hint *hint) noexcept;

// ---- item tree (cfg_d_*) and contexts -------------------------------------

[[nodiscard]] cfg_handle srch_object(cfg_handle start, cfg_handle *target) noexcept;
[[nodiscard]] cfg_handle srch_attribute(cfg_handle start) noexcept;
// Where a lookup that found nothing gave up: the component at text[offset]
// (length characters) is no child of parent. Known only when the walk's
// searches reported nothing, so that a creation going the same way right
// after it, under the same lock, may skip that one search: it would find
// nothing and report nothing either.
// plain: every component up to and including the missing one was plain
// (plain_component), so that a creation's walk reads them exactly as the
// lookup did. hint: where parent's name index would make the chain of the
// missing last component when the lookup probed for it (a plain name
// without instance; see ds_slot_hint), for the creation of that name. A
// lookup given a WalkMiss probes into its hint, so only `known` tells
// whether the rest was written.
struct WalkMiss {
    bool known = false;
    cfg_handle parent = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
    bool plain = false;
    bool bracketed = false;  // the plain component missed has an instance
    ds_slot_hint hint{};
};
[[nodiscard]] int find_item(cfg_handle start, const char *identifier, cfg_handle *item, cfg_handle *reference,
                            uint32_t *read_only, WalkMiss *miss = nullptr) noexcept;
[[nodiscard]] int find(const char *identifier, cfg_handle *item) noexcept;
// WalkMemo::known of the last lookup's walk from the current context, for
// a caller that holds the store lock: where a lookup of prefix.name would
// go on, if the last one found that prefix.
[[nodiscard]] cfg_handle walked_object(const char *prefix, std::size_t length) noexcept;
// find_item and find for a caller that holds the store lock already (a
// lookup takes it once, not once more nested). When value is not NULL, a
// lookup that finds an attribute by reading its name in place sets *value
// to its value in the store (as get_av_ptr gives it), else to NULL.
[[nodiscard]] int find_item_locked(cfg_handle start, const char *identifier, cfg_handle *item, cfg_handle *reference,
                                   uint32_t *read_only, WalkMiss *miss, const char **value = nullptr) noexcept;
[[nodiscard]] int find_locked(const char *identifier, cfg_handle *item, const char **value = nullptr) noexcept;
[[nodiscard]] int is_read_only_id(const char *identifier, uint32_t *read_only) noexcept;
[[nodiscard]] const char *get_av_ptr(cfg_handle h) noexcept;
// The value in an attribute's stored text: after its first '=', else empty
// (NULL: no text).
[[nodiscard]] const char *value_in(const char *text) noexcept;
[[nodiscard]] int get_attr_value(cfg_handle h, char *buffer, uint32_t size, Rest rest = Rest::kZero) noexcept;
// A stored text, whole, with its references substituted into out (len
// bytes). The substitution may store a default into, or a log sink change,
// the node the text belongs to: the scanner reads the stored text only to
// make its working copy, before any evaluation.
[[nodiscard]] int substitute_stored(const char *stored, char *out, uint32_t len, Rest rest = Rest::kZero) noexcept;
[[nodiscard]] int get_attr_value_ptr(const char *identifier, const char **value) noexcept;
[[nodiscard]] int get_attr_value_id(const char *identifier, char *buffer, uint32_t size) noexcept;
[[nodiscard]] const char *get_context() noexcept;
[[nodiscard]] int push_context(const char *identifier) noexcept;
int pop_context() noexcept;
// miss: what a lookup of the same identifier from the same start has just
// found missing, with nothing changed since (the caller holds the lock).
// value: when an attribute has to be made, it is set to this value at once
// (as set_attr_value sets it: the node is made holding its name, then
// modified) and *valued says so; the status is then that of the set. An
// attribute that exists is left to the caller to set.
[[nodiscard]] int create_item(cfg_handle start, const char *identifier, uint16_t kind, cfg_handle *out,
                              const WalkMiss *miss = nullptr, const char *value = nullptr,
                              bool *valued = nullptr) noexcept;
// create_item of an attribute (no miss) in its usual case, a plain name
// under the start object, for a caller that holds the store lock: found or
// made in place, *status as create_item's. False, doing nothing, when only
// create_item's walk can tell; identifier is not NULL. plain_length: the
// length of an identifier that the caller vouches is at most one '!' and
// then name characters only (0: read it).
[[nodiscard]] bool create_attr_locked(cfg_handle start, const char *identifier, const char *value, bool *valued,
                                      cfg_handle *out, int *status, std::size_t plain_length = 0) noexcept;
// create_item's walk through every component of text (not NULL), after its
// shortcuts for one plain attribute name have declined: for a caller that
// tried create_attr_locked already.
[[nodiscard]] int create_walk(cfg_handle start, const char *text, uint16_t kind, cfg_handle *out,
                              const WalkMiss *miss = nullptr, const char *value = nullptr,
                              bool *valued = nullptr) noexcept;
[[nodiscard]] int set_attr_value(cfg_handle attribute, const char *value) noexcept;
// The last steps of set_attr_value: text (length bytes with its NUL) is
// the attribute's stored name, '=' and the value.
[[nodiscard]] int store_value(cfg_handle attribute, const char *text, uint16_t length) noexcept;
// What a refused store modification of attribute reports: ERR_MODIFY_FAILED,
// logged as set_attr_value logs it.
[[nodiscard]] int modify_failed(cfg_handle attribute) noexcept;
[[nodiscard]] int set_attr_value_id(const char *identifier, const char *value) noexcept;
[[nodiscard]] int delete_item(cfg_handle start, const char *identifier) noexcept;
[[nodiscard]] int delete_all(const char *identifier) noexcept;
[[nodiscard]] int save_file(const char *identifier, const char *path) noexcept;
[[nodiscard]] int save(const char *identifier, FILE *stream) noexcept;
[[nodiscard]] int save_item(FILE *stream, cfg_handle item, const char *name, int depth) noexcept;
[[nodiscard]] int save_object_contents(FILE *stream, cfg_handle object, int depth) noexcept;

// ---- typed values (cfg_cvt*) ----------------------------------------------

// strtol's long clamped to 32 bits (INT32_MIN / INT32_MAX).
[[nodiscard]] int32_t clamp_int32(long value) noexcept;
// Where the digits of the number at text begin, after white space and a sign
// (as strtol and scanf's %i skip them).
[[nodiscard]] const char *number_start(const char *text) noexcept;
// Does the number at text (after white space and a sign) start with a "0b"
// or "0B" binary prefix? Numbers never read one: see cfg_cvtInteger.
[[nodiscard]] bool binary_prefix(const char *text) noexcept;
[[nodiscard]] int get_bool(const char *text, uint32_t *flag) noexcept;
[[nodiscard]] int set_bool(uint32_t flag, char *text) noexcept;
[[nodiscard]] int get_bool_attr_value(const char *identifier, uint32_t *flag) noexcept;
[[nodiscard]] int set_bool_attr_value(const char *identifier, uint32_t flag) noexcept;
[[nodiscard]] int get_int(const char *text, int32_t *value) noexcept;
[[nodiscard]] int set_int(int32_t value, char *text) noexcept;
[[nodiscard]] int get_int_attr_value(const char *identifier, int32_t *value) noexcept;
[[nodiscard]] int set_int_attr_value(const char *identifier, int32_t value) noexcept;
[[nodiscard]] int get_range(const char *text, int32_t *low, int32_t *high) noexcept;
[[nodiscard]] int set_range(int32_t low, int32_t high, char *text) noexcept;
[[nodiscard]] int get_range_attr_value(const char *identifier, int32_t *low, int32_t *high) noexcept;
[[nodiscard]] int set_range_attr_value(const char *identifier, int32_t low, int32_t high) noexcept;
[[nodiscard]] int get_bytes(const char *text, unsigned char *bytes, uint32_t size, uint32_t *count) noexcept;
[[nodiscard]] int set_bytes(const unsigned char *bytes, uint32_t count, char *text, uint32_t size) noexcept;
[[nodiscard]] int get_bytes_attr_value(const char *identifier, unsigned char *bytes, uint32_t size,
                                       uint32_t *count) noexcept;
[[nodiscard]] int set_bytes_attr_value(const char *identifier, const unsigned char *bytes, uint32_t count) noexcept;
[[nodiscard]] int get_server(const char *text, char *host, int32_t *port) noexcept;
[[nodiscard]] int set_server(const char *host, int32_t port, char *text) noexcept;
[[nodiscard]] int get_server_attr_value(const char *identifier, char *host, int32_t *port) noexcept;
[[nodiscard]] int set_server_attr_value(const char *identifier, const char *host, int32_t port) noexcept;

// ---- references (cfg_substitute) ------------------------------------------

[[nodiscard]] int ref_substitute(const char *source, char *out, uint32_t len, CfgRefTag *table,
                                 Rest rest = Rest::kZero) noexcept;
[[nodiscard]] int ref_substitute_default(const char *source, char *out, uint32_t len, Rest rest = Rest::kZero) noexcept;
// True when the default table cannot find a reference in text (the text is
// then its own substitution), with the text's length in *length; false,
// writing nothing, when it may hold one.
[[nodiscard]] bool without_reference(const char *text, std::size_t *length) noexcept;
[[nodiscard]] int eval_reference(char *reference, char *out, uint32_t room, void *arg, Rest rest = Rest::kZero) noexcept;

// ---- configuration files (cfg_f_load) -------------------------------------

inline constexpr int kMaxFileVariables = 100;       // variables held at once
inline constexpr std::size_t kVariableSize = 128;   // one NAME=VALUE entry with its NUL
inline constexpr std::size_t kVariableNameMax = 32; // characters of a variable name
inline constexpr std::size_t kPathSize = 4096;      // load arguments and located paths
inline constexpr int kMaxOpenBlocks = CFG_MAX_BLOCK_NESTING;  // blocks open at once in one load

// File variables of one load: entries are heap texts NAME=VALUE, newest last;
// an emptied entry is null until a mark below it reclaims the slot.
struct VariableTable {
    int32_t count;
    char *entries[kMaxFileVariables + 1];
};

// A regular file, read through its descriptor in large blocks: a line is
// taken from the bytes read ahead of it without a call into stdio. Empty
// (all counts 0) until the first line is read. A block of its own, held by
// the file's record while the file is read: only the bytes a read brings
// are written.
struct ReadAhead {
    static constexpr std::size_t kSize = 16 * 1024;
    int fd;          // the file (read_file closes it)
    uint32_t begin;  // the first byte not handed out yet
    uint32_t end;    // the end of the bytes read
    uint32_t nul;    // the first NUL byte in [begin, end), or end when there is none
    char bytes[kSize];
    // Nothing read: the counts only, the bytes are left as they are.
    void reset() noexcept { begin = end = nul = 0; }
};

// One file being read (the file stack's record).
struct FileEntry {
    const char *name;      // the load argument as passed, not owned
    int32_t line;          // lines read so far
    FILE *stream;          // pipes and devices; NULL for a regular file (see ahead)
    int32_t open_blocks;   // blocks of this file open right now
    int32_t eof_in_block;  // the file ended while one of its blocks was open
    ReadAhead *ahead;      // owned; regular files only: the rest (NULL) go through fgets (see read_line)
};

// One open block (the loader context stack's record).
struct LoaderContext {
    cfg_handle item;  // the block's object in direct mode, else 0
    char *name;       // full dotted name, owned
    std::size_t length;  // of name
    // The store's generation (ds_generation) when item was last seen to be
    // an object: while it stands, nothing was deleted since, and item is
    // not looked at again.
    mutable uint64_t checked = 0;
    // Update mode: the object the last lookup found for name (see
    // prefetch_name), and the store's generation when it was asked.
    mutable cfg_handle guess = 0;
    mutable uint64_t guessed = 0;
};

// The loader's working buffers, in stack order. Blocks and ranges nest
// through parse_object and parse_definition; their lines, names and working
// copies live here rather than on the thread's stack, so that a level costs
// the stack a few hundred bytes and a file nested 256 blocks deep loads on a
// small thread stack too. Chunks are kept until the load ends: once the
// first lines have been read, a frame is a pointer bump. A frame that cannot
// be had fails with ERR_NO_MEMORY, logged (level 3) unless the frame is a
// definition's copy, whose failure the loader reports without a message:
// the line that needed it (a block's opening line, an include, a
// definition) goes to the error handler; a loaded file's first frame fails
// the load.
class Scratch {
  public:
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch();
    // size bytes on top of the stack; NULL when memory runs out (logged
    // when `logged`). Mostly a pointer bump in the top chunk, made in place.
    [[nodiscard]] char *push(std::size_t size, bool logged = true) noexcept {
        if (top_ && top_->size - top_->used >= size) {
            char *at = top_->data() + top_->used;
            top_->used += size;
            return at;
        }
        return push_chunk(size, logged);
    }
    // Gives back the frame at the top, which push returned as at.
    void pop(char *at) noexcept {
        top_->used = static_cast<std::size_t>(at - top_->data());
        if (top_->used == 0 && top_->prev) top_ = top_->prev;
    }
    struct Chunk {
        Chunk *prev;
        Chunk *next;
        std::size_t size;  // bytes of data
        std::size_t used;  // bytes of data in frames
        char *data() noexcept { return reinterpret_cast<char *>(this + 1); }
    };

  private:
    // push when the top chunk has no room: the frame starts the next chunk.
    [[nodiscard]] char *push_chunk(std::size_t size, bool logged) noexcept;

    Chunk *top_ = nullptr;  // the chunk frames are taken from
};

// A frame of a Scratch, given back when it goes out of scope.
class ScratchFrame {
  public:
    ScratchFrame(Scratch &scratch, std::size_t size, bool logged = true) noexcept
        : scratch_(scratch), at_(scratch.push(size, logged)) {}
    ~ScratchFrame() {
        if (at_) scratch_.pop(at_);
    }
    ScratchFrame(const ScratchFrame &) = delete;
    ScratchFrame &operator=(const ScratchFrame &) = delete;
    [[nodiscard]] char *get() const noexcept { return at_; }

  private:
    Scratch &scratch_;
    char *at_;
};

// The state of one CfgF_LoadFile call.
struct LoaderState {
    CfgLoadErrorHandler handler;
    LS_List files;     // FileEntry records, innermost file at the head
    LS_List contexts;  // LoaderContext records, innermost block at the head
    int32_t first_error;
    int32_t blocked;
    VariableTable vars;
    bool ended;                 // a bound on files was passed: every block ends, whatever the handler says
    Scratch scratch;
};

[[nodiscard]] int PutEnv(VariableTable *table, const char *text) noexcept;
[[nodiscard]] int FindEnv(const VariableTable *table, const char *name) noexcept;
[[nodiscard]] const char *GetEnv(const VariableTable *table, const char *name) noexcept;
int TruncEnv(VariableTable *table, int mark) noexcept;
[[nodiscard]] LoaderContext *PushContext(LS_List list, cfg_handle item, const char *name) noexcept;
LoaderContext *PopContext(LS_List list) noexcept;
int FreeContext(LS_List list, void *entry) noexcept;
[[nodiscard]] int cfg_substitute_line(LoaderState *state, const char *line, char *out, uint32_t size) noexcept;
[[nodiscard]] int cfg_evalContext(char *reference, char *out, uint32_t room, void *state) noexcept;
[[nodiscard]] int parse_object(LoaderState *state, const char *context) noexcept;
[[nodiscard]] int parse_definition(LoaderState *state, const char *prefix, const char *text) noexcept;
// name_length: strlen(name), which the parser has counted; plain: the
// parser vouches that name is at most one '!' and then name characters.
[[nodiscard]] int store_definition(LoaderState *state, const char *name, std::size_t name_length,
                                   const char *value, bool plain = false) noexcept;
[[nodiscard]] int cfg_load_file(LoaderState *state, const char *load_argument) noexcept;
[[nodiscard]] int report_load_error(LoaderState *state, int status, const char *line) noexcept;
[[nodiscard]] int load_file(const char *load_argument, CfgLoadErrorHandler handler) noexcept;
[[nodiscard]] int locate_file(const char *name, char *out, uint32_t size) noexcept;
// Forgets the search path read from CONFIG_PATH, so that the next lookup
// reads it again (for tests; a process normally reads it once).
void reset_search_path() noexcept;

// ---- update tables (cfg_update) -------------------------------------------

[[nodiscard]] int process_update(const char *item) noexcept;
// process_update for a definition of an update-mode load (item holds length
// characters): the sub-tables it applies are counted apart from those of an
// application under way.
[[nodiscard]] int process_load_update(const char *item, std::size_t length) noexcept;
[[nodiscard]] int process_table(CfgUpdateEntry *table, const char *item) noexcept;
// While one of these lives on a thread, the callbacks' copies of short item
// texts are made in one kept block there instead of a fresh heap block each:
// a load holds one, since it applies the tables to every definition. The
// block is freed when the last holder ends.
class KeptCallbackCopy {
  public:
    KeptCallbackCopy() noexcept;
    ~KeptCallbackCopy();
    KeptCallbackCopy(const KeptCallbackCopy &) = delete;
    KeptCallbackCopy &operator=(const KeptCallbackCopy &) = delete;
};

// ---- writing definitions to a stream (cfg_f_put) ---------------------------

[[nodiscard]] int put_item(FILE *stream, const char *object, const char *avp_text, int close) noexcept;

}  // namespace cfgtree

#endif
