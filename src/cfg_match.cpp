// cfg_match.cpp - matching a pattern identifier against a stored name or an
// item text, component by component.
//
// Read-only marks are ignored, "*" and "**" instance tokens are wildcards, and
// a final "**" component matches any remainder, whose start is reported as
// the rest position. Everything works in four 640-byte stack buffers: no
// allocation, no lock, no node touched. Components are bounded to 639
// characters by the parser, so they always fit.
#include "cfg_private.h"

namespace {

bool is_star(const unsigned char *t) noexcept { return t[0] == '*' && t[1] == '\0'; }
bool is_double_star(const unsigned char *t) noexcept { return t[0] == '*' && t[1] == '*' && t[2] == '\0'; }

// Compares two instances (own buffers, cut in place at ':') token by token.
// A pattern token "**" swallows the remaining tokens of both sides.
bool instances_match(char *pattern, char *subject) noexcept {
    for (;;) {
        char *pcolon = std::strchr(pattern, ':');
        char *scolon = std::strchr(subject, ':');
        if (pcolon) *pcolon = '\0';
        if (scolon) *scolon = '\0';
        auto *ptok = reinterpret_cast<const unsigned char *>(pattern);
        auto *stok = reinterpret_cast<const unsigned char *>(subject);
        if (is_double_star(ptok)) return true;
        if (!cfgtree::match_token(ptok, stok)) return false;
        if (!pcolon || !scolon) return !pcolon && !scolon;
        pattern = pcolon + 1;
        subject = scolon + 1;
    }
}

}  // namespace

namespace cfgtree {

int match_token(const unsigned char *a, const unsigned char *b) noexcept {
    if (a && is_star(a)) return 1;
    if (b && is_star(b)) return 1;
    if (a && is_double_star(a)) return 1;
    if (b && is_double_star(b)) return 1;
    if (!a || !b) return 0;
    return std::strcmp(reinterpret_cast<const char *>(a), reinterpret_cast<const char *>(b)) == 0 ? 1 : 0;
}

namespace {

// compare_items from the first components on, the marks before them skipped
// (the caller's case of a pattern that is "**" is taken care of).
[[gnu::noinline]] int compare_components(const char *p, const char *s, const char **rest) noexcept {
    // Every buffer is written with its terminating NUL before it is read
    // (the instances are cleared for each component), so none is zeroed:
    // this runs once per candidate child of every lookup.
    char pname[kTextSize];
    char pinst[kTextSize];
    char sname[kTextSize];
    char sinst[kTextSize];
    for (;;) {
        pinst[0] = '\0';
        sinst[0] = '\0';
        const char *pend = nullptr;
        const char *send = nullptr;
        int status = split_identifier(p, pname, pinst, &pend);
        if (status != CFG_OK) return status;
        status = split_identifier(s, sname, sinst, &send);
        if (status != CFG_OK) return status;
        if (!match_token(reinterpret_cast<const unsigned char *>(pname),
                         reinterpret_cast<const unsigned char *>(sname)))
            return CFG_NO_MATCH;
        if (!instances_match(pinst, sinst)) return CFG_NO_MATCH;
        bool pdot = *pend == '.';
        bool sdot = *send == '.';
        if (pdot != sdot) return CFG_NO_MATCH;
        p = pend;
        s = send;
        if (!pdot) break;
        p += p[1] == '!' ? 2 : 1;
        s += s[1] == '!' ? 2 : 1;
        if (p[0] == '*' && p[1] == '*' && p[2] == '\0') break;  // covers the rest
    }
    if (rest) *rest = s;
    return CFG_OK;
}

}  // namespace

int compare_items(const char *pattern, const char *subject, const char **rest) noexcept {
    if (!pattern || !subject) return ERR_NULL_ARGUMENT;
    if (rest) *rest = nullptr;
    const char *p = pattern + (pattern[0] == '!' ? 1 : 0);
    const char *s = subject + (subject[0] == '!' ? 1 : 0);
    if (p[0] == '*' && p[1] == '*' && p[2] == '\0') {  // covers the whole text: a "**" table reads every item
        if (rest) *rest = s;
        return CFG_OK;
    }
    return compare_components(p, s, rest);
}

}  // namespace cfgtree

extern "C" {
CFG_API int cfg_match_token(const unsigned char *a, const unsigned char *b) noexcept {
    return cfgtree::match_token(a, b);
}
CFG_API int cfg_compare_items(const char *pattern, const char *subject, const char **rest) noexcept {
    return cfgtree::compare_items(pattern, subject, rest);
}
}  // extern "C"
