// cfg_d_find.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
cfg_handle srch_object(cfg_handle start, cfg_handle *target) noexcept { (void)start; (void)target; return 0; }
cfg_handle srch_attribute(cfg_handle start) noexcept { (void)start; return 0; }
int find_item(cfg_handle start, const char *identifier, cfg_handle *item, cfg_handle *reference, uint32_t *read_only) noexcept { (void)start; (void)identifier; (void)item; (void)reference; (void)read_only; return 0; }
int find(const char *identifier, cfg_handle *item) noexcept { (void)identifier; (void)item; return 0; }
int is_read_only_id(const char *identifier, uint32_t *read_only) noexcept { (void)identifier; (void)read_only; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API cfg_handle cfg_srch_object(cfg_handle start, cfg_handle *target) noexcept { (void)start; (void)target; return 0; }
CFG_API cfg_handle cfg_srch_attribute(cfg_handle start) noexcept { (void)start; return 0; }
CFG_API int cfg_find_item(cfg_handle start, const char *identifier, cfg_handle *item, cfg_handle *reference, uint32_t *read_only) noexcept { (void)start; (void)identifier; (void)item; (void)reference; (void)read_only; return 0; }
CFG_API int Cfg_Find(const char *identifier, cfg_handle *item) noexcept { (void)identifier; (void)item; return 0; }
CFG_API int Cfg_IsReadOnly(const char *identifier, uint32_t *read_only) noexcept { (void)identifier; (void)read_only; return 0; }
}  // extern "C"
