// cfg_cvtRange.cpp - ranges (two 32-bit integers) as attribute text.
//
// Written "%d..%d"; read with the scanf form "%i..%i": each number as
// strtol base 0 reads it, ".." straight after the first. The numbers are
// scanned as long and clamped to 32 bits as Cfg_GetInt does (a plain %i
// into int leaves overflow undefined). Text after the second number is
// ignored; low and high need no order. As in Cfg_GetInt, a "0b" prefix is
// no binary number: a first number so written is a 0 that no ".." follows,
// a second one reads 0, as C17's scanf reads them. And "0x" with no hex
// digit after it is no number in either place (C17's %i takes the "0x",
// then fails), where glibc's scanf reads it as 0.
#include "cfg_private.h"

#include <cctype>

namespace cfgtree {

namespace {
// The number at text (blanks and a sign first) starts "0x" or "0X" with no
// hexadecimal digit after it.
bool bare_hex_prefix(const char *text) noexcept {
    text = number_start(text);
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && !std::isxdigit(static_cast<unsigned char>(text[2]));
}
}  // namespace

int get_range(const char *text, int32_t *low, int32_t *high) noexcept {
    if (!text) return ERR_NULL_BUFFER;
    long first = 0, second = 0;
    int dots_end = 0;
    int saved = errno;
    bool read = !binary_prefix(text) && !bare_hex_prefix(text) &&
                std::sscanf(text, "%li..%n", &first, &dots_end) == 1 && dots_end > 0;
    if (read) read = !bare_hex_prefix(text + dots_end);
    if (read && !binary_prefix(text + dots_end)) read = std::sscanf(text + dots_end, "%li", &second) == 1;
    errno = saved;
    if (!read) return CFG_ERR_SYNTAX;
    if (low) *low = clamp_int32(first);
    if (high) *high = clamp_int32(second);
    return CFG_OK;
}

int set_range(int32_t low, int32_t high, char *text) noexcept {
    if (!text) return ERR_NULL_BUFFER;
    // "-2147483648..-2147483648" is the longest text: 24 characters.
    std::snprintf(text, 25, "%d..%d", static_cast<int>(low), static_cast<int>(high));
    return CFG_OK;
}

int get_range_attr_value(const char *identifier, int32_t *low, int32_t *high) noexcept {
    char text[kTextSize] = {};
    int status = get_attr_value_id(identifier, text, kTextMax);
    if (status != CFG_OK) return status;
    return get_range(text, low, high);
}

int set_range_attr_value(const char *identifier, int32_t low, int32_t high) noexcept {
    char text[kTextSize] = {};
    (void)set_range(low, high, text);
    return set_attr_value_id(identifier, text);
}

}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_GetRange(const char *text, int32_t *low, int32_t *high) noexcept {
    return cfgtree::get_range(text, low, high);
}
CFG_API int Cfg_SetRange(int32_t low, int32_t high, char *text) noexcept {
    return cfgtree::set_range(low, high, text);
}
CFG_API int Cfg_GetRangeAttrValue(const char *identifier, int32_t *low, int32_t *high) noexcept {
    return cfgtree::get_range_attr_value(identifier, low, high);
}
CFG_API int Cfg_SetRangeAttrValue(const char *identifier, int32_t low, int32_t high) noexcept {
    return cfgtree::set_range_attr_value(identifier, low, high);
}
}  // extern "C"
