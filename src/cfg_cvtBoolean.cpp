// cfg_cvtBoolean.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_GetBool(const char *text, uint32_t *flag) noexcept { (void)text; (void)flag; return 0; }
CFG_API int Cfg_SetBool(uint32_t flag, char *text) noexcept { (void)flag; (void)text; return 0; }
CFG_API int Cfg_GetBoolAttrValue(const char *identifier, uint32_t *flag) noexcept { (void)identifier; (void)flag; return 0; }
CFG_API int Cfg_SetBoolAttrValue(const char *identifier, uint32_t flag) noexcept { (void)identifier; (void)flag; return 0; }
}  // extern "C"
