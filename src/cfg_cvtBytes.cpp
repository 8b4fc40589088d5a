// cfg_cvtBytes.cpp - byte strings as attribute text.
//
// Written "0x" and two upper-case hexadecimal digits per byte; read from
// "0x" and pairs of hexadecimal digits in either case, each pair converted
// as scanf's "%02x" converts it at that position. Every failure is the soft
// status 1. Through the attribute-level operations a stored text holds at
// most 639 characters, so at most 318 bytes can be stored.
#include "cfg_private.h"

#include <cctype>

namespace {
constexpr const char kModule[] = "cfg_cvtBytes";

// The pair whose field starts at p as sscanf (pair, "%02x") converts it:
// scanf skips white space before the field (the caller has skipped it, p is
// the first other character) and then reads at most two characters, so
// those two characters decide the result; converting a copy of just them
// keeps the decoding linear in the text (sscanf measures its whole input
// first). A field "0x" (or "0X") is the prefix of a hexadecimal number
// with no digit: C17's scanf fails there, where this C library's reads 0,
// as the range converter refuses a bare "0x".
bool convert_pair(const char *p, unsigned &value) noexcept {
    char field[3] = {p[0], p[0] ? p[1] : '\0', '\0'};
    if (field[0] == '0' && (field[1] == 'x' || field[1] == 'X')) return false;
    int saved = errno;
    int converted = std::sscanf(field, "%02x", &value);
    errno = saved;
    return converted == 1;
}

constexpr char kHex[] = "0123456789ABCDEF";

}  // namespace

namespace cfgtree {

int get_bytes(const char *text, unsigned char *bytes, uint32_t size, uint32_t *count) noexcept {
    if (!text || !bytes || !count) return ERR_NULL_BUFFER;  // the contract says non-null
    int result = std::strncmp(text, "0x", 2) == 0 ? CFG_OK : CFG_NO_MATCH;
    std::size_t length = std::strlen(text);
    if (length > 2 * static_cast<uint64_t>(size) + 2) return CFG_NO_MATCH;
    const char *p = text + (length < 2 ? length : 2);  // a missing prefix is decoded all the same
    uint32_t decoded = 0;
    // The first character at or after p that is no white space. Pairs move
    // forward, so it only moves forward too: a run of white space is passed
    // once, not once for every pair inside it.
    const char *field = p;
    while (*p) {
        if (field < p) field = p;
        while (std::isspace(static_cast<unsigned char>(*field))) ++field;
        unsigned value = 0;
        if (!p[1] || !convert_pair(field, value)) {
            CFG_LOG(3, "%s: Invalid bytes string - odd number of characters", "Cfg_GetBytes");
            result = CFG_NO_MATCH;
            break;
        }
        bytes[decoded++] = static_cast<unsigned char>(value);
        bytes[decoded] = 0;
        p += 2;
    }
    *count = decoded;
    bytes[decoded] = 0;
    return result;
}

int set_bytes(const unsigned char *bytes, uint32_t count, char *text, uint32_t size) noexcept {
    if (!text || (!bytes && count)) return ERR_NULL_BUFFER;  // the contract says non-null
    if (2 * static_cast<uint64_t>(count) + 3 > size) return CFG_NO_MATCH;
    char *out = text;
    *out++ = '0';
    *out++ = 'x';
    for (uint32_t i = 0; i < count; ++i) {  // the digits of "%02X"
        *out++ = kHex[bytes[i] >> 4];
        *out++ = kHex[bytes[i] & 0x0F];
    }
    *out = '\0';
    return CFG_OK;
}

int get_bytes_attr_value(const char *identifier, unsigned char *bytes, uint32_t size, uint32_t *count) noexcept {
    StoreLock lock;
    char text[kTextSize] = {};
    int status = get_attr_value_id(identifier, text, kTextMax);
    if (status != CFG_OK) return status;
    return get_bytes(text, bytes, size, count);
}

int set_bytes_attr_value(const char *identifier, const unsigned char *bytes, uint32_t count) noexcept {
    char text[kTextSize] = {};
    int status = set_bytes(bytes, count, text, kTextSize);
    if (status != CFG_OK) return status;
    StoreLock lock;
    return set_attr_value_id(identifier, text);
}

}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_GetBytes(const char *text, unsigned char *bytes, uint32_t size, uint32_t *count) noexcept {
    return cfgtree::get_bytes(text, bytes, size, count);
}
CFG_API int Cfg_SetBytes(const unsigned char *bytes, uint32_t count, char *text, uint32_t size) noexcept {
    return cfgtree::set_bytes(bytes, count, text, size);
}
CFG_API int Cfg_GetBytesAttrValue(const char *identifier, unsigned char *bytes, uint32_t size,
                                  uint32_t *count) noexcept {
    return cfgtree::get_bytes_attr_value(identifier, bytes, size, count);
}
CFG_API int Cfg_SetBytesAttrValue(const char *identifier, const unsigned char *bytes, uint32_t count) noexcept {
    return cfgtree::set_bytes_attr_value(identifier, bytes, count);
}
}  // extern "C"
