// cfg_parse.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
bool is_name_char(unsigned char c) noexcept { (void)c; return false; }
int parse_identifier(const char *text, const char **instance, const char **end) noexcept { (void)text; (void)instance; (void)end; return 0; }
int split_identifier(const char *text, char *name, char *instance, const char **end) noexcept { (void)text; (void)name; (void)instance; (void)end; return 0; }
int is_valid_identifier(const char *text) noexcept { (void)text; return 0; }
int is_valid_item(const char *identifier) noexcept { (void)identifier; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API int cfg_parse_identifier(const char *text, const char **instance, const char **end) noexcept { (void)text; (void)instance; (void)end; return 0; }
CFG_API int cfg_split_identifier(const char *text, char *name, char *instance, const char **end) noexcept { (void)text; (void)name; (void)instance; (void)end; return 0; }
CFG_API int is_valid_identifier(const char *text) noexcept { (void)text; return 0; }
CFG_API int is_valid_item(const char *identifier) noexcept { (void)identifier; return 0; }
}  // extern "C"
