// cfg_d_set.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
int set_attr_value(cfg_handle attribute, const char *value) noexcept { (void)attribute; (void)value; return 0; }
int set_attr_value_id(const char *identifier, const char *value) noexcept { (void)identifier; (void)value; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API int cfg_set_attr_value(cfg_handle attribute, const char *value) noexcept { (void)attribute; (void)value; return 0; }
CFG_API int Cfg_SetAttrValue(const char *identifier, const char *value) noexcept { (void)identifier; (void)value; return 0; }
CFG_API uint32_t Cfg_CreateOnSet(int on) noexcept { (void)on; return 0; }
CFG_API uint32_t Cfg_IgnoreReadOnly(int on) noexcept { (void)on; return 0; }
}  // extern "C"
