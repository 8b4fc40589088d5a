// cfg_d_delete.cpp - deleting objects and attributes.
//
// cfg_delete_item walks a dotted identifier from a start object and removes
// the one child that its last component names: for an object its reference
// node under the parent (the store drops what only it held), for an
// attribute the node itself. At the last component objects are tried before
// attributes. Cfg_Delete repeats that from the current context until nothing
// matches. Read-only marks play no part. Components live in 640-byte buffers.
#include "cfg_private.h"

namespace {
constexpr const char kModule[] = "cfg_d_delete";
constexpr const char kDelete[] = "cfg_delete_item";

// What the walk found: the item, its reference node (0 for an attribute)
// and the parent holding it.
struct Target {
    cfg_handle parent = 0;
    cfg_handle item = 0;
    cfg_handle reference = 0;
};

// Walks text from start; 0 with *target filled, 106, or the parser's status.
int walk(cfg_handle start, const char *text, Target *target) noexcept {
    char component[cfgtree::kTextSize];
    const char *pos = nullptr;
    int status = cfgtree::split_identifier(text, component, nullptr, &pos);
    target->parent = start;
    while (status == CFG_OK) {
        cfg_handle parent = target->parent;
        CFG_LOG(13, "%s: looking in <%ld> for object '%s'", kDelete, static_cast<long>(parent), component);
        target->item =
            cfgtree::find_child_object(parent, component, &target->reference, {kModule, kDelete, __LINE__});
        if (!target->item && *pos != '.') {
            CFG_LOG(13, "%s: looking in <%ld> for attribute '%s'", kDelete, static_cast<long>(parent), component);
            target->item = cfgtree::find_child_attribute(parent, component, {kModule, kDelete, __LINE__});
        }
        if (!target->item) return CFG_NOT_FOUND;
        if (*pos != '.') return CFG_OK;
        target->parent = target->item;
        target->item = target->reference = 0;
        status = cfgtree::split_identifier(pos + 1, component, nullptr, &pos);
    }
    target->item = target->reference = 0;
    return status;
}

}  // namespace

namespace cfgtree {

// A NULL identifier is treated as the empty text (a syntax error).
int delete_item(cfg_handle start, const char *identifier) noexcept {
    const char *text = identifier ? identifier : "";
    HeapText copy = dup_text(text);
    if (!copy) {
        int err = errno;
        CFG_LOG(2, "%s: malloc(%s)\n\t\terrno = %d => \"%s\"", kDelete, text, err, errno_text(err));
        return ERR_NO_MEMORY;
    }
    CFG_LOG(10, "%s('%s')", kDelete, text);
    if (start == 0) start = root();

    StoreLock lock;
    Target target;
    int status = walk(start, copy.get(), &target);
    // Deleted before the trace: a log sink may change the store, and the
    // item found must not have gone in between.
    if (status == CFG_OK && target.item) {
        cfg_handle node = target.reference ? target.reference : target.item;
        status = ds_delete_avp3(target.parent, node) ? CFG_OK : ERR_DELETE_FAILED;
    }
    CFG_LOG(13, "%s: ref_h = %ld, item_h = %ld", kDelete, static_cast<long>(target.reference),
            static_cast<long>(target.item));
    return status;
}

// Each round deletes one match; the store takes a deleted node out of its
// parent's children, so the same item is never found twice. Every round
// starts from the context current at the call: a log sink may push or pop
// one meanwhile.
int delete_all(const char *identifier) noexcept {
    const cfg_handle start = context_start();
    int status = delete_item(start, identifier);
    if (status != CFG_OK) return status;
    while (status == CFG_OK) status = delete_item(start, identifier);
    return status == CFG_NOT_FOUND ? CFG_OK : status;
}

}  // namespace cfgtree

extern "C" {

CFG_API int cfg_delete_item(cfg_handle start, const char *identifier) noexcept {
    return cfgtree::delete_item(start, identifier);
}

CFG_API int Cfg_Delete(const char *identifier) noexcept { return cfgtree::delete_all(identifier); }

}  // extern "C"
