// cfg_split.cpp - taking a definition text apart in place.
//
// A definition is an identifier, then nothing, '{' (rest ignored) or '=' and a
// value; a value opening with a quote runs to the last same quote. Cfg_Split
// cuts the caller's text with NULs and hands back pointers into it; a text it
// refuses is left exactly as it was.
#include "cfg_private.h"

namespace {
constexpr const char kModule[] = "cfg_split";

bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char *skip_blanks(char *p) noexcept {
    while (is_blank(*p)) ++p;
    return p;
}

// Where the pieces of a definition lie; filled before anything is cut.
struct Pieces {
    char *identifier = nullptr;
    char *identifier_end = nullptr;
    char *instance = nullptr;
    char *instance_end = nullptr;
    char *value = nullptr;
    char *quote_end = nullptr;
};

// Parses the dotted identifier at p; on success *after is where scanning
// goes on. The instance is kept only when the caller asked for it.
int scan_identifier(char *p, bool want_instance, Pieces &pieces, char **after) noexcept {
    pieces.identifier = p;
    const char *inst = nullptr;
    const char *end = nullptr;
    for (;;) {
        int status = cfgtree::parse_identifier(p, want_instance ? &inst : nullptr, &end);
        if (status != CFG_OK) return status;
        if (*end != '.') break;
        p = const_cast<char *>(end) + 1;
    }
    char *stop = const_cast<char *>(end);
    if (inst) {
        pieces.instance = const_cast<char *>(inst);
        pieces.identifier_end = pieces.instance - 1;    // the '['
        pieces.instance_end = std::strchr(pieces.instance, ']');
        stop = pieces.instance_end + 1;
    } else {
        pieces.identifier_end = stop;
    }
    *after = stop;
    return CFG_OK;
}

// Reads what follows the identifier: nothing, '{', or '=' and a value.
int scan_value(char *p, Pieces &pieces) noexcept {
    p = skip_blanks(p);
    if (*p == '\0' || *p == '{') return CFG_OK;
    if (*p != '=') {
        CFG_LOG(5, "%s: invalid syntax at:\n\t\t'%s'", "Cfg_Split", p);
        return CFG_ERR_SYNTAX;
    }
    p = skip_blanks(p + 1);
    if (*p == '"' || *p == '\'') {
        pieces.value = p + 1;
        pieces.quote_end = std::strrchr(pieces.value, *p);
    } else {
        pieces.value = p;
    }
    return CFG_OK;
}

}  // namespace

namespace cfgtree {

int split(char *text, char **identifier, char **instance, char **value) noexcept {
    if (!text) {
        if (identifier) *identifier = nullptr;
        if (instance) *instance = nullptr;
        if (value) *value = nullptr;
        return CFG_OK;
    }
    Pieces pieces;
    char *after = nullptr;
    int status = scan_identifier(skip_blanks(text), instance != nullptr, pieces, &after);
    if (status != CFG_OK) return status;
    status = scan_value(after, pieces);
    if (status != CFG_OK) return status;
    *pieces.identifier_end = '\0';
    if (pieces.instance_end) *pieces.instance_end = '\0';
    if (pieces.quote_end) *pieces.quote_end = '\0';
    if (identifier) *identifier = pieces.identifier;
    if (instance) *instance = pieces.instance;
    if (value) *value = pieces.value;
    return CFG_OK;
}

}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_Split(char *text, char **identifier, char **instance, char **value) noexcept {
    return cfgtree::split(text, identifier, instance, value);
}
}  // extern "C"
