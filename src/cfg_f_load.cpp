// cfg_f_load.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
}  // namespace cfgtree

extern "C" {
CFG_API int CfgF_LoadFile(const char *load_argument, CfgLoadErrorHandler handler) noexcept { (void)load_argument; (void)handler; return 0; }
CFG_API int cfg_locate_file(const char *name, char *out, uint32_t size) noexcept { (void)name; (void)out; (void)size; return 0; }
CFG_API uint32_t Cfg_DirectLoad(int on) noexcept { (void)on; return 0; }
}  // extern "C"
