// cfg_d_get.cpp - reading attribute values.
//
// The value of an attribute is its stored text after the first '=' (the
// empty text when there is none). Values are handed out either as a pointer
// into the store or copied into the caller's buffer, whose last byte is
// always NUL; while the dereference flag (0x08) is set the copy has its
// references substituted. Also owns the Cfg_Dereference switch.
#include "cfg_private.h"
#include "ds_index.h"

namespace {
// Reading logs nothing of its own: the lookup and the substitution report.
constexpr const char kEmptyValue[] = "";

// The value of the attribute item, which a lookup found: the one the lookup
// read when it has it, else looked up by handle.
const char *found_value(cfg_handle item, const char *value) noexcept {
#if defined(CFGTREE_ASSERTS)
    CFG_ASSERT(!value || value == cfgtree::get_av_ptr(item));
#endif
    return value ? value : cfgtree::get_av_ptr(item);
}
}  // namespace

namespace cfgtree {

const char *value_in(const char *text) noexcept {
    if (!text) return nullptr;
    const char *eq = std::strchr(text, '=');
    return eq ? eq + 1 : kEmptyValue;
}

const char *get_av_ptr(cfg_handle h) noexcept {
    if (h == 0) return nullptr;
    return value_in(static_cast<const char *>(ds_get_av_ptr_of(h, xid_item())));
}

int substitute_stored(const char *stored, char *out, uint32_t len, Rest rest) noexcept {
    return ref_substitute_default(stored, out, len, rest);
}

namespace {
// get_attr_value of an attribute's value (NULL: no attribute, -1403).
int copy_value(const char *value, char *buffer, uint32_t size, Rest rest) noexcept {
    if (!value) return CFG_ERR_NOT_ATTRIBUTE;
    if (!buffer || size == 0) return CFG_OK;
    // Unsubstituted, or with no reference to substitute, the value is copied
    // as strncpy would: the rest of the buffer zero, its last byte NUL.
    // A value scanned for references is measured by the same pass.
    std::size_t length = 0;
    bool as_is = true;
    if (ctl_flags() & CFG_CTL_DEREFERENCE) as_is = without_reference(value, &length);
    else length = strnlen(value, size);
    if (as_is) {
        hand_over(buffer, size, value, length < size ? length : size, rest);
        buffer[size - 1] = '\0';
        return CFG_OK;
    }
    int status = substitute_stored(value, buffer, size, rest);
    buffer[size - 1] = '\0';
    return status;
}
}  // namespace

int get_attr_value(cfg_handle h, char *buffer, uint32_t size, Rest rest) noexcept {
    return copy_value(get_av_ptr(h), buffer, size, rest);
}

// The out pointer is required: without it the call is refused with -1403
// before any lookup. The lock is held from the lookup to the pointer, as in
// get_attr_value_id; the pointer is the caller's to guard afterwards.
int get_attr_value_ptr(const char *identifier, const char **value) noexcept {
    if (!value) return CFG_ERR_NOT_ATTRIBUTE;
    StoreLock lock;
    cfg_handle item = 0;
    const char *read = nullptr;
    int status = find_locked(identifier, &item, &read);
    if (status != CFG_OK) return status;
    const char *pointer = found_value(item, read);
    if (!pointer) return CFG_ERR_NOT_ATTRIBUTE;
    *value = pointer;
    return CFG_OK;
}

// The lock is held from the lookup to the copy (it nests), so an attribute
// another thread deletes in between reads as missing (106), never as a stale
// handle.
int get_attr_value_id(const char *identifier, char *buffer, uint32_t size) noexcept {
    StoreLock lock;
    cfg_handle item = 0;
    const char *value = nullptr;
    int status = find_locked(identifier, &item, &value);
    if (status != CFG_OK) return status;
    return copy_value(found_value(item, value), buffer, size, Rest::kZero);
}

}  // namespace cfgtree

extern "C" {

CFG_API const char *cfg_get_av_ptr(cfg_handle h) noexcept { return cfgtree::get_av_ptr(h); }

CFG_API int cfg_get_attr_value(cfg_handle h, char *buffer, uint32_t size) noexcept {
    return cfgtree::get_attr_value(h, buffer, size);
}

CFG_API int Cfg_GetAttrValuePtr(const char *identifier, const char **value) noexcept {
    return cfgtree::get_attr_value_ptr(identifier, value);
}

CFG_API int Cfg_GetAttrValue(const char *identifier, char *buffer, uint32_t size) noexcept {
    return cfgtree::get_attr_value_id(identifier, buffer, size);
}

CFG_API uint32_t Cfg_Dereference(int on) noexcept {
    return cfgtree::ctl(CFG_CTL_DEREFERENCE, on ? CFG_CTL_DEREFERENCE : 0u);
}

}  // extern "C"
