// name_chars.h - the characters of names, shared by the library's parser and
// the data store's name index, which must split stored names exactly as the
// parser does.
#pragma once

#include <cstddef>

namespace cfgtree {

// The 64 name characters: letters, digits, '_', '-', '/'. The table is the
// single definition the parser, the validator, the lookups and the index
// consult; it is inline because every character of every identifier passes
// through it.
inline constexpr const char kNameChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-/0123456789";
struct NameTable {
    bool has[256] = {};
    constexpr NameTable() noexcept {
        for (const char *p = kNameChars; *p; ++p) has[static_cast<unsigned char>(*p)] = true;
    }
};
inline constexpr NameTable kNameTable{};
[[nodiscard]] inline bool is_name_char(unsigned char c) noexcept { return kNameTable.has[c]; }

// A component (mark, name and bracketed instance) holds at most 639
// characters, so that it always fits a 640-byte buffer.
inline constexpr std::size_t kComponentMax = 639;

}  // namespace cfgtree
