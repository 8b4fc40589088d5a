// cfg_cvtBytes.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_GetBytes(const char *text, unsigned char *bytes, uint32_t size, uint32_t *count) noexcept { (void)text; (void)bytes; (void)size; (void)count; return 0; }
CFG_API int Cfg_SetBytes(const unsigned char *bytes, uint32_t count, char *text, uint32_t size) noexcept { (void)bytes; (void)count; (void)text; (void)size; return 0; }
CFG_API int Cfg_GetBytesAttrValue(const char *identifier, unsigned char *bytes, uint32_t size, uint32_t *count) noexcept { (void)identifier; (void)bytes; (void)size; (void)count; return 0; }
CFG_API int Cfg_SetBytesAttrValue(const char *identifier, const unsigned char *bytes, uint32_t count) noexcept { (void)identifier; (void)bytes; (void)count; return 0; }
}  // extern "C"
