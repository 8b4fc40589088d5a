// cfg_match.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
int match_token(const unsigned char *a, const unsigned char *b) noexcept { (void)a; (void)b; return 0; }
int compare_items(const char *pattern, const char *subject, const char **rest) noexcept { (void)pattern; (void)subject; (void)rest; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API int cfg_match_token(const unsigned char *a, const unsigned char *b) noexcept { (void)a; (void)b; return 0; }
CFG_API int cfg_compare_items(const char *pattern, const char *subject, const char **rest) noexcept { (void)pattern; (void)subject; (void)rest; return 0; }
}  // extern "C"
