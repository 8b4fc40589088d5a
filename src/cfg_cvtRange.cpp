// cfg_cvtRange.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_GetRange(const char *text, int32_t *low, int32_t *high) noexcept { (void)text; (void)low; (void)high; return 0; }
CFG_API int Cfg_SetRange(int32_t low, int32_t high, char *text) noexcept { (void)low; (void)high; (void)text; return 0; }
CFG_API int Cfg_GetRangeAttrValue(const char *identifier, int32_t *low, int32_t *high) noexcept { (void)identifier; (void)low; (void)high; return 0; }
CFG_API int Cfg_SetRangeAttrValue(const char *identifier, int32_t low, int32_t high) noexcept { (void)identifier; (void)low; (void)high; return 0; }
}  // extern "C"
