// cfg_split.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
int split(char *text, char **identifier, char **instance, char **value) noexcept { (void)text; (void)identifier; (void)instance; (void)value; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_Split(char *text, char **identifier, char **instance, char **value) noexcept { (void)text; (void)identifier; (void)instance; (void)value; return 0; }
}  // extern "C"
