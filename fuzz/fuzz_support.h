// fuzz_support.h - what the fuzz harnesses share.
//
// The library's state is process-wide, so every harness runs an input, then
// brings the library back to its initial state: contexts popped, flags reset,
// every top-level item deleted (and the root checked empty, so memory stays
// bounded over millions of inputs). An allocation budget turns inputs whose
// work grows without bound (huge index ranges, files that include
// themselves, references that fan out) into ERR_NO_MEMORY instead of a
// timeout. The log sink formats every message and throws it away, so a bad
// log argument still shows up under the sanitizers.
#ifndef CFGTREE_FUZZ_SUPPORT_H
#define CFGTREE_FUZZ_SUPPORT_H

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cfgtree.h"
#include "ds.h"
#include "log.h"

namespace fuzz {

// Allocations one input may make; far above what any sane input needs.
inline constexpr int kAllocationBudget = 50000;

[[noreturn]] inline void fail(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("\n*** fuzz invariant broken: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputs("\n", stderr);
    va_end(args);
    std::abort();
}

inline void quiet_sink(void *, int, const char *module, int, const char *message) {
    volatile std::size_t n = std::strlen(module) + std::strlen(message);
    (void)n;
}

inline void install_quiet_log() { Log_SetSink(&quiet_sink, nullptr); }

// Nodes one step may make: lookups and definition lines allocate nothing,
// so the allocation budget alone would let an index range of two billion
// create that many attributes.
inline constexpr int kAppendBudget = 50000;

// After `allocations` allocations every further one fails, and so does every
// store append after kAppendBudget, for the scope.
struct Budget {
    explicit Budget(int allocations = kAllocationBudget) noexcept {
        cfg_inject_alloc_fault(allocations, INT_MAX);
        ds_inject_fault(DS_FAULT_APPEND, kAppendBudget, INT_MAX);
    }
    ~Budget() {
        cfg_inject_alloc_fault(0, 0);
        ds_inject_fault(0, 0, 0);
    }
    Budget(const Budget &) = delete;
    Budget &operator=(const Budget &) = delete;
};

inline uint16_t xid(const char *name) { return static_cast<uint16_t>(oa_xid_of(name)); }
inline uint16_t item_xid() { return xid("OID_ATT_CONFIG_ITEM"); }
inline uint16_t ref_xid() { return xid("OID_OC_CONFIG"); }

// Children of parent of one kind, in store order. Caller holds the lock.
inline std::vector<cfg_handle> children(cfg_handle parent, uint16_t kind) {
    std::vector<cfg_handle> out;
    cfg_handle h = 0;
    if (!ds_srch_av_ptr(parent, 2, kind, &h)) return out;
    for (;;) {
        out.push_back(h);
        cfg_handle next = ds_get_next_avp(h);
        if (!next || !ds_srch_av_ptr(next, 2, kind, &h)) break;
    }
    return out;
}

inline cfg_handle target_of(cfg_handle reference) {
    cfg_handle t = 0;
    const void *v = ds_get_av_ptr(reference);
    if (v) std::memcpy(&t, v, sizeof t);
    return t;
}

// The tree below object in the order the saver writes it (attributes, then
// sub-objects), one item a line; an attribute without '=' shows as name=.
inline void dump_into(std::string &out, cfg_handle object, int depth) {
    for (cfg_handle a : children(object, item_xid())) {
        const char *text = static_cast<const char *>(ds_get_av_ptr(a));
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
        out += text ? text : "<unreadable>";
        if (text && !std::strchr(text, '=')) out += '=';
        out += '\n';
    }
    for (cfg_handle r : children(object, ref_xid())) {
        cfg_handle t = target_of(r);
        const char *name = static_cast<const char *>(ds_get_av_ptr(t));
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
        out += name ? name : "<stale>";
        out += " {\n";
        if (name && depth < 1000) dump_into(out, t, depth + 1);
    }
}

inline std::string dump() {
    std::string out;
    ds_lock();
    dump_into(out, ds_get_cntl_info(1), 0);
    ds_unlock();
    return out;
}

// The stored name of a top-level child: an attribute's text up to '=', or
// the object's stored name.
inline std::string name_of(cfg_handle child, bool attribute) {
    const char *text = static_cast<const char *>(ds_get_av_ptr(attribute ? child : target_of(child)));
    if (!text) return std::string();
    std::string name(text);
    if (attribute) name = name.substr(0, name.find('='));
    return name;
}

// Back to the initial state: no fault plans, no contexts, flags as at start,
// and an empty tree, emptied through Cfg_Delete by each top-level name.
inline void reset_library() {
    cfg_inject_alloc_fault(0, 0);
    ds_inject_fault(0, 0, 0);
    for (int i = 0; cfgContext != &emptyContext; ++i) {
        if (i > 100000) fail("Cfg_PopContext does not return to emptyContext");
        (void)Cfg_PopContext();
    }
    (void)cfg_ctl(0xffffffffu, 0x19);
    std::vector<std::string> names;
    ds_lock();
    cfg_handle root = ds_get_cntl_info(1);
    for (cfg_handle a : children(root, item_xid())) names.push_back(name_of(a, true));
    for (cfg_handle r : children(root, ref_xid())) names.push_back(name_of(r, false));
    ds_unlock();
    for (const std::string &name : names) {
        int status = Cfg_Delete(name.c_str());
        if (status != CFG_OK && status != CFG_NOT_FOUND)
            fail("Cfg_Delete('%s') of a top-level item = %s", name.c_str(), Cfg_StatusName(status));
    }
    std::string rest = dump();
    if (!rest.empty()) fail("top-level items survive Cfg_Delete of their own names:\n%s", rest.c_str());
}

// Input split at newlines, each piece a NUL-terminated string.
inline std::vector<std::string> lines_of(const uint8_t *data, std::size_t size, std::size_t max_lines) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < size; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == '\n' && out.size() < max_lines) out.emplace_back();
        else if (c != '\0') out.back() += c;
    }
    return out;
}

}  // namespace fuzz

#endif
