// cfg_cvtInteger.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_GetInt(const char *text, int32_t *value) noexcept { (void)text; (void)value; return 0; }
CFG_API int Cfg_SetInt(int32_t value, char *text) noexcept { (void)value; (void)text; return 0; }
CFG_API int Cfg_GetIntAttrValue(const char *identifier, int32_t *value) noexcept { (void)identifier; (void)value; return 0; }
CFG_API int Cfg_SetIntAttrValue(const char *identifier, int32_t value) noexcept { (void)identifier; (void)value; return 0; }
}  // extern "C"
