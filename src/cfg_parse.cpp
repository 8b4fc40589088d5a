// cfg_parse.cpp - the identifier grammar: taking components apart
// (cfg_parse_identifier, cfg_split_identifier) and checking them strictly
// (is_valid_identifier, is_valid_item).
//
// A component is an optional '!', a run of name characters and an optional
// bracketed instance. The parser accepts anything up to the first ']' as an
// instance; the validator accepts only name characters and ':' (or exactly
// % or #). A component holds at most 639 characters (mark, name and
// brackets) so that it always fits a caller's 640-byte buffer: the parser
// refuses a longer one with CFG_ERR_SYNTAX. The parser reads components with
// read_component, as the lookups and the store's name index do, so that all
// of them take every text apart the same way.
#include "cfg_private.h"

#include <algorithm>

namespace {
constexpr const char kModule[] = "cfg_parse";

// Texts for messages: a NULL text is shown as "(null)".
const char *shown(const char *text) noexcept { return text ? text : "(null)"; }

// The first character after the run of name characters starting at p.
const char *span_name(const char *p) noexcept {
    while (cfgtree::is_name_char(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// True for the characters that may end a component without instance.
bool ends_component(char c) noexcept {
    return c == '\0' || c == '=' || c == '{' || c == '.' || c == ' ' || c == '\t';
}

// The validator's instance rule, for the text after '['.
bool valid_instance(const char *p) noexcept {
    if ((p[0] == '%' || p[0] == '#') && p[1] == ']') return true;
    p = span_name(p);
    while (*p == ':') p = span_name(p + 1);
    return *p == ']';
}

}  // namespace

namespace cfgtree {

int parse_identifier(const char *text, const char **instance, const char **end) noexcept {
    if (instance) *instance = nullptr;
    if (!text) {
        CFG_LOG(5, "%s: invalid attribute name in '%s'", "cfg_parse_identifier", shown(text));
        return CFG_ERR_SYNTAX;
    }
    Component c;
    switch (read_component(text, c)) {
    case ComponentRead::kNoName:
        CFG_LOG(5, "%s: invalid attribute name in '%s'", "cfg_parse_identifier", text);
        return CFG_ERR_SYNTAX;
    case ComponentRead::kNoClose:
        CFG_LOG(5, "%s: invalid instance name in '%s'", "cfg_parse_identifier", text);
        return CFG_ERR_SYNTAX;
    case ComponentRead::kOk:
        break;
    }
    const char *stop = text + c.length;
    // Longer components would not fit the 640-byte buffers of the callers.
    if (static_cast<std::size_t>(stop - text) > kTextMax) {
        CFG_LOG(5, "%s: component longer than %d characters in '%.*s...'", "cfg_parse_identifier",
                static_cast<int>(kTextMax), 64, text);
        return CFG_ERR_SYNTAX;
    }
    if (instance && c.bracketed) *instance = c.inst;
    if (end) *end = stop;
    return CFG_OK;
}

int split_identifier(const char *text, char *name, char *instance, const char **end) noexcept {
    const char *inst = nullptr;
    const char *stop = nullptr;
    int status = parse_identifier(text, &inst, &stop);
    if (status != CFG_OK) return status;
    if (end) *end = stop;
    // The parser bounded the component to kTextMax characters, so every copy
    // below fits a 640-byte buffer; the min() keeps that true regardless.
    if (inst && instance) {
        const char *close = std::strchr(inst, ']');
        if (!close) {
            CFG_LOG(5, "%s: invalid instance name in '%s'", "cfg_split_identifier", text);
            return CFG_ERR_SYNTAX;
        }
        std::size_t ilen = std::min(static_cast<std::size_t>(close - inst), kTextMax);
        std::memcpy(instance, inst, ilen);
        instance[ilen] = '\0';
        if (name) {
            std::size_t nlen = std::min(static_cast<std::size_t>(inst - 1 - text), kTextMax);
            std::memcpy(name, text, nlen);
            name[nlen] = '\0';
        }
    } else if (name) {
        std::size_t nlen = std::min(static_cast<std::size_t>(stop - text), kTextMax);
        std::memcpy(name, text, nlen);
        name[nlen] = '\0';
    }
    return CFG_OK;
}

int is_valid_identifier(const char *text) noexcept {
    if (!text) {
        CFG_LOG(5, "%s: invalid attribute name in '%s'", "is_valid_identifier", shown(text));
        return CFG_ERR_SYNTAX;
    }
    const char *p = text;
    if (*p == '!') ++p;
    const char *run_end = span_name(p);
    if (run_end == p) {
        CFG_LOG(5, "%s: invalid attribute name in '%s'", "is_valid_identifier", text);
        return CFG_ERR_SYNTAX;
    }
    if (*run_end == '[') {
        if (valid_instance(run_end + 1)) return CFG_OK;
        CFG_LOG(5, "%s: invalid instance name in '%s'", "is_valid_identifier", text);
        return CFG_ERR_SYNTAX;
    }
    if (ends_component(*run_end)) return CFG_OK;
    CFG_LOG(5, "%s: invalid attribute name in '%s'", "is_valid_identifier", text);
    return CFG_ERR_SYNTAX;
}

// Checks each dot-separated part of a private copy (empty parts skipped).
// A NULL identifier is refused like an empty name; a copy that cannot be
// made gives ERR_NO_MEMORY.
int is_valid_item(const char *identifier) noexcept {
    if (!identifier) {
        CFG_LOG(5, "%s: invalid attribute name in '%s'", "is_valid_item", shown(identifier));
        return CFG_ERR_SYNTAX;
    }
    HeapText copy = dup_text(identifier);
    if (!copy) {
        int err = errno;
        CFG_LOG(3, "%s: strdup() failed\n\t\terrno = %d  => %s", "is_valid_item", err, errno_text(err));
        return ERR_NO_MEMORY;
    }
    char *part = copy.get();
    while (*part) {
        char *dot = std::strchr(part, '.');
        if (dot) *dot = '\0';
        if (*part) {
            int status = is_valid_identifier(part);
            if (status != CFG_OK) return status;
        }
        if (!dot) break;
        part = dot + 1;
    }
    return CFG_OK;
}

}  // namespace cfgtree

extern "C" {
CFG_API int cfg_parse_identifier(const char *text, const char **instance, const char **end) noexcept {
    return cfgtree::parse_identifier(text, instance, end);
}
CFG_API int cfg_split_identifier(const char *text, char *name, char *instance, const char **end) noexcept {
    return cfgtree::split_identifier(text, name, instance, end);
}
CFG_API int is_valid_identifier(const char *text) noexcept { return cfgtree::is_valid_identifier(text); }
CFG_API int is_valid_item(const char *identifier) noexcept { return cfgtree::is_valid_item(identifier); }
}  // extern "C"
