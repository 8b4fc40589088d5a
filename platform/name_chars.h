// name_chars.h - the characters of names and the reading of one component,
// shared by the library's parser and lookups and the data store's name index,
// which must split stored names exactly as the parser does.
#pragma once

#include <cstddef>
#include <cstring>

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

// One component of an identifier or stored name as the parser reads it: one
// leading '!' dropped, the name (the run of name characters) and, when '['
// follows, the instance up to the first ']'. The parser, the lookups and the
// store's index all read components through this one function, so that they
// agree on every text.
struct Component {
    const char *name;    // after the mark
    std::size_t nlen;
    const char *inst;    // after '[', or just after the name when there is none
    std::size_t ilen;    // up to the first ']'
    bool bracketed;      // an instance (maybe empty) in brackets follows the name
    std::size_t length;  // of the whole component: mark, name and brackets
};
enum class ComponentRead { kOk, kNoName, kNoClose };

// Reads the component at the start of text: the whole NUL-terminated text,
// or (Bounded) at most max bytes of it. Says why it cannot: no name
// character, or '[' without ']'. The length bound (kComponentMax) is the
// caller's to apply.
// The instance after the '[' at open[-1], up to the first ']' (before end,
// when there is one). Out of line: most names have no instance, and their
// reading then saves no registers for it.
[[gnu::noinline]] inline ComponentRead read_instance(const char *text, const char *open, const char *end,
                                                     Component &c) noexcept {
    const char *close = end ? static_cast<const char *>(
                                  std::memchr(open, ']', strnlen(open, static_cast<std::size_t>(end - open))))
                            : std::strchr(open, ']');
    if (!close) return ComponentRead::kNoClose;
    c.inst = open;
    c.ilen = static_cast<std::size_t>(close - open);
    c.bracketed = true;
    c.length = static_cast<std::size_t>(close - text) + 1;
    return ComponentRead::kOk;
}

template <bool Bounded>
inline ComponentRead read_component_in(const char *text, const char *end, Component &c) noexcept {
    auto within = [end](const char *p) { return !Bounded || p < end; };
    const char *s = within(text) && *text == '!' ? text + 1 : text;
    const char *name = s;
    while (within(s) && is_name_char(static_cast<unsigned char>(*s))) ++s;
    if (s == name) return ComponentRead::kNoName;
    c.name = name;
    c.nlen = static_cast<std::size_t>(s - name);
    c.inst = s;
    c.ilen = 0;
    c.bracketed = false;
    c.length = static_cast<std::size_t>(s - text);
    if (within(s) && *s == '[') return read_instance(text, s + 1, Bounded ? end : nullptr, c);
    return ComponentRead::kOk;
}
inline ComponentRead read_component(const char *text, Component &c) noexcept {
    return read_component_in<false>(text, nullptr, c);
}
inline ComponentRead read_component(const char *text, std::size_t max, Component &c) noexcept {
    return read_component_in<true>(text, text + max, c);
}

// True when an instance holds a token (between ':') that is exactly "*" or
// "**": a wildcard, which matches many names.
inline bool has_wild_token(const char *inst, std::size_t ilen) noexcept {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= ilen; ++i) {
        if (i == ilen || inst[i] == ':') {
            std::size_t n = i - start;
            if ((n == 1 && inst[start] == '*') || (n == 2 && inst[start] == '*' && inst[start + 1] == '*'))
                return true;
            start = i + 1;
        }
    }
    return false;
}

// How a stored name compares with a plain component (name and instance,
// without wildcard tokens), judged without a copy: the answer the full
// comparison would give, or kAsk where this reading cannot tell (no name it
// can read, a wildcard instance, a component over 639 characters). text is
// an attribute's stored text, or (object) an object's stored name, which
// matches no single component when it goes on with a '.'. Small parents
// are scanned with it, by the library and by the store alike.
enum class Judgement { kMatch, kDiffer, kAsk };

// judge_name for a name with an instance, read in full. Out of line: most
// stored names have none, and their judgement then saves no registers for it.
[[gnu::noinline]] inline Judgement judge_instanced(const char *text, bool object, const char *name,
                                                   std::size_t nlen, const char *inst, std::size_t ilen) noexcept {
    Component c;
    if (read_component(text, c) != ComponentRead::kOk) return Judgement::kAsk;
    if ((c.ilen && has_wild_token(c.inst, c.ilen)) || c.length > kComponentMax) return Judgement::kAsk;
    if (object && text[c.length] == '.') return Judgement::kDiffer;
    bool same = c.nlen == nlen && std::memcmp(c.name, name, nlen) == 0 && c.ilen == ilen &&
                (ilen == 0 || std::memcmp(c.inst, inst, ilen) == 0);
    return same ? Judgement::kMatch : Judgement::kDiffer;
}

// The name is read as read_component reads it; without a '[' after it the
// component ends there, and the judgement is the comparison alone.
inline Judgement judge_name(const char *text, bool object, const char *name, std::size_t nlen, const char *inst,
                            std::size_t ilen) noexcept {
    if (!text) return Judgement::kAsk;
    const char *s = text + (*text == '!');
    const char *end = s;
    while (is_name_char(static_cast<unsigned char>(*end))) ++end;
    if (end == s) return Judgement::kAsk;
    if (*end == '[') return judge_instanced(text, object, name, nlen, inst, ilen);
    if (static_cast<std::size_t>(end - text) > kComponentMax) return Judgement::kAsk;
    if (object && *end == '.') return Judgement::kDiffer;
    bool same = ilen == 0 && static_cast<std::size_t>(end - s) == nlen && std::memcmp(s, name, nlen) == 0;
    return same ? Judgement::kMatch : Judgement::kDiffer;
}

}  // namespace cfgtree
