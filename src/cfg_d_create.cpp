// cfg_d_create.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
int create_item(cfg_handle start, const char *identifier, uint16_t kind, cfg_handle *out) noexcept { (void)start; (void)identifier; (void)kind; (void)out; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API int cfg_create_item(cfg_handle start, const char *identifier, uint16_t kind, cfg_handle *out) noexcept { (void)start; (void)identifier; (void)kind; (void)out; return 0; }
}  // extern "C"
