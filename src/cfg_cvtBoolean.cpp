// cfg_cvtBoolean.cpp - booleans as attribute text.
//
// A flag is written "TRUE" or "FALSE". Reading looks at the first character
// only: empty, or one of 'F', 'f', '0', is false, anything else true. The
// attribute-level operations read through a zeroed 640-byte buffer (at most
// 638 characters of a value are seen) and write through Cfg_SetAttrValue.
#include "cfg_private.h"

namespace {

// False when the first character is in "Ff0"; the NUL counts as found, so
// the empty text is false.
uint32_t flag_of(const char *text) noexcept { return std::strchr("Ff0", text[0]) ? 0u : 1u; }

}  // namespace

namespace cfgtree {

int get_bool(const char *text, uint32_t *flag) noexcept {
    if (!text || !flag) return ERR_NULL_BUFFER;  // the contract says non-null; refuse rather than crash
    *flag = flag_of(text);
    return CFG_OK;
}

int set_bool(uint32_t flag, char *text) noexcept {
    if (!text) return ERR_NULL_BUFFER;
    std::memcpy(text, flag ? "TRUE" : "FALSE", flag ? 5 : 6);
    return CFG_OK;
}

int get_bool_attr_value(const char *identifier, uint32_t *flag) noexcept {
    StoreLock lock;
    char value[kTextSize] = {};
    int status = get_attr_value_id(identifier, value, kTextMax);
    if (status != CFG_OK) return status;
    if (flag) *flag = flag_of(value);
    return CFG_OK;
}

int set_bool_attr_value(const char *identifier, uint32_t flag) noexcept {
    return set_attr_value_id(identifier, flag ? "TRUE" : "FALSE");
}

}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_GetBool(const char *text, uint32_t *flag) noexcept { return cfgtree::get_bool(text, flag); }
CFG_API int Cfg_SetBool(uint32_t flag, char *text) noexcept { return cfgtree::set_bool(flag, text); }
CFG_API int Cfg_GetBoolAttrValue(const char *identifier, uint32_t *flag) noexcept {
    return cfgtree::get_bool_attr_value(identifier, flag);
}
CFG_API int Cfg_SetBoolAttrValue(const char *identifier, uint32_t flag) noexcept {
    return cfgtree::set_bool_attr_value(identifier, flag);
}
}  // extern "C"
