// cfg_d_delete.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
int delete_item(cfg_handle start, const char *identifier) noexcept { (void)start; (void)identifier; return 0; }
int delete_all(const char *identifier) noexcept { (void)identifier; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API int cfg_delete_item(cfg_handle start, const char *identifier) noexcept { (void)start; (void)identifier; return 0; }
CFG_API int Cfg_Delete(const char *identifier) noexcept { (void)identifier; return 0; }
}  // extern "C"
