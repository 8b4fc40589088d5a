// cfg_d_find.cpp - finding items: the child searches and the identifier walk.
//
// Owns the one child lookup by name (find_child_object/_attribute), which
// every module uses to pick the child a component names, and cfg_find_item,
// which walks a dotted identifier from a start object. A lookup allocates
// only the copy of the identifier it cuts at the dots; the stored attribute
// name under comparison lives in one 640-byte stack buffer (the parser
// refuses components of more than 639 characters, so it always fits).
#include "cfg_private.h"

namespace {
constexpr const char kModule[] = "cfg_d_find";

// The sub-object a reference node points to (its 4-byte value), or 0.
cfg_handle target_of(const void *value) noexcept {
    cfg_handle target = 0;
    if (value) std::memcpy(&target, value, sizeof target);
    return target;
}

}  // namespace

namespace cfgtree {

cfg_handle srch_object(cfg_handle start, cfg_handle *target) noexcept {
    if (start == 0) return 0;
    cfg_handle found = 0;
    const void *value = ds_srch_av_ptr(start, 2, xid_reference(), &found);
    if (!value) return 0;
    if (target) *target = target_of(value);
    return found;
}

cfg_handle srch_attribute(cfg_handle start) noexcept {
    if (start == 0) return 0;
    cfg_handle found = 0;
    return ds_srch_av_ptr(start, 2, xid_item(), &found) ? found : 0;
}

cfg_handle find_child_object(cfg_handle parent, const char *component, cfg_handle *reference,
                             const SearchReporter &who) noexcept {
    cfg_handle target = 0;
    for (cfg_handle ref = srch_object(parent, &target); ref; ref = srch_object(ds_get_next_avp(ref), &target)) {
        const char *name = object_id(target);
        if (!name) {
            Log_Entry(3, who.module, __LINE__, "Bad config object at <%ld>", static_cast<long>(target));
            continue;
        }
        if (compare_items(component, name, nullptr) == CFG_OK) {
            if (reference) *reference = ref;
            return target;
        }
    }
    return 0;
}

cfg_handle find_child_attribute(cfg_handle parent, const char *component, const SearchReporter &who) noexcept {
    char name[kTextSize];
    for (cfg_handle h = srch_attribute(parent); h; h = srch_attribute(ds_get_next_avp(h))) {
        const char *text = static_cast<const char *>(ds_get_av_ptr(h));
        if (!text) {
            Log_Entry(3, who.module, __LINE__, "%s: ds_get_av_ptr(%ld)", who.function, static_cast<long>(h));
            continue;
        }
        name[0] = '\0';
        if (split_identifier(text, name, nullptr, nullptr) != CFG_OK) {
            Log_Entry(3, who.module, __LINE__, "Bad config attribute at <%ld>", static_cast<long>(h));
            continue;
        }
        if (compare_items(component, name, nullptr) == CFG_OK) return h;
    }
    return 0;
}

// A NULL identifier is looked up as the empty one: nothing is found (106).
int find_item(cfg_handle start, const char *identifier, cfg_handle *item, cfg_handle *reference,
              uint32_t *read_only) noexcept {
    const char *text = identifier ? identifier : "";
    HeapText copy = dup_text(text);
    if (!copy) {
        int err = errno;
        CFG_LOG(2, "%s: malloc(%s)\n\t\terrno = %d => \"%s\"", "cfg_find_item", text, err, errno_text(err));
        return ERR_NO_MEMORY;
    }
    if (start == 0) start = root();

    cfg_handle found = 0, ref = 0;
    uint32_t marked = 0;
    int status = CFG_OK;
    {
        StoreLock lock;
        cfg_handle current = start;
        char *component = copy.get();
        for (;;) {
            char *dot = std::strchr(component, '.');
            if (dot) *dot = '\0';
            found = ref = 0;
            if (component[0] == '!') marked = 1;
            if (!dot) found = find_child_attribute(current, component);
            if (!found) found = find_child_object(current, component, &ref);
            if (!found) {
                status = CFG_NOT_FOUND;
                break;
            }
            if (!dot) break;
            current = found;
            component = dot + 1;
        }
    }
    if (status != CFG_OK) return status;
    if (item) *item = found;
    if (reference) *reference = ref;
    if (read_only) *read_only = marked;
    return CFG_OK;
}

int find(const char *identifier, cfg_handle *item) noexcept {
    return find_item(context_start(), identifier, item, nullptr, nullptr);
}

int is_read_only_id(const char *identifier, uint32_t *read_only) noexcept {
    return find_item(context_start(), identifier, nullptr, nullptr, read_only);
}

}  // namespace cfgtree

extern "C" {

CFG_API cfg_handle cfg_srch_object(cfg_handle start, cfg_handle *target) noexcept {
    return cfgtree::srch_object(start, target);
}

CFG_API cfg_handle cfg_srch_attribute(cfg_handle start) noexcept { return cfgtree::srch_attribute(start); }

CFG_API int cfg_find_item(cfg_handle start, const char *identifier, cfg_handle *item, cfg_handle *reference,
                          uint32_t *read_only) noexcept {
    return cfgtree::find_item(start, identifier, item, reference, read_only);
}

CFG_API int Cfg_Find(const char *identifier, cfg_handle *item) noexcept { return cfgtree::find(identifier, item); }

CFG_API int Cfg_IsReadOnly(const char *identifier, uint32_t *read_only) noexcept {
    return cfgtree::is_read_only_id(identifier, read_only);
}

}  // extern "C"
