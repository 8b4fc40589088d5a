// cfg_cvtInteger.cpp - 32-bit integers as attribute text.
//
// Written with "%d"; read with strtol base 0 (decimal, 0x hexadecimal, 0
// octal, optional white space and sign). strtol's long is wider than 32
// bits here, so a number beyond the 32-bit range reads as INT32_MIN or
// INT32_MAX, as strtol itself clamps at its own range. A text without
// digits reads as 0: integers never fail to convert. C libraries that
// follow C23 also read a "0b" binary prefix in base 0 (glibc from 2.38, in
// the dialect a C++ compiler asks for); a number here never does, so
// "0b101" reads as the 0 before its 'b' on every system, as C17 reads it.
#include "cfg_private.h"

#include <cctype>
#include <cstdlib>

namespace cfgtree {

int32_t clamp_int32(long value) noexcept {
    if (value < INT32_MIN) return INT32_MIN;
    if (value > INT32_MAX) return INT32_MAX;
    return static_cast<int32_t>(value);
}

const char *number_start(const char *text) noexcept {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    if (*text == '+' || *text == '-') ++text;
    return text;
}

bool binary_prefix(const char *text) noexcept {
    text = number_start(text);
    return text[0] == '0' && (text[1] == 'b' || text[1] == 'B');
}

int get_int(const char *text, int32_t *value) noexcept {
    if (!text || !value) return ERR_NULL_BUFFER;  // the contract says non-null; refuse rather than crash
    int saved = errno;  // an overflow sets ERANGE; the clamped value is the answer
    *value = binary_prefix(text) ? 0 : clamp_int32(std::strtol(text, nullptr, 0));
    errno = saved;
    return CFG_OK;
}

int set_int(int32_t value, char *text) noexcept {
    if (!text) return ERR_NULL_BUFFER;
    std::snprintf(text, 12, "%d", static_cast<int>(value));
    return CFG_OK;
}

int get_int_attr_value(const char *identifier, int32_t *value) noexcept {
    StoreLock lock;
    char text[kTextSize] = {};
    int status = get_attr_value_id(identifier, text, kTextMax);
    if (status != CFG_OK) return status;
    if (value) return get_int(text, value);
    return CFG_OK;
}

int set_int_attr_value(const char *identifier, int32_t value) noexcept {
    char text[kTextSize] = {};
    (void)set_int(value, text);
    return set_attr_value_id(identifier, text);
}

}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_GetInt(const char *text, int32_t *value) noexcept { return cfgtree::get_int(text, value); }
CFG_API int Cfg_SetInt(int32_t value, char *text) noexcept { return cfgtree::set_int(value, text); }
CFG_API int Cfg_GetIntAttrValue(const char *identifier, int32_t *value) noexcept {
    return cfgtree::get_int_attr_value(identifier, value);
}
CFG_API int Cfg_SetIntAttrValue(const char *identifier, int32_t value) noexcept {
    return cfgtree::set_int_attr_value(identifier, value);
}
}  // extern "C"
