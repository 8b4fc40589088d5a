// cfg_f_put.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
}  // namespace cfgtree

extern "C" {
CFG_API int CfgF_PutItem(FILE *stream, const char *object, const char *avp, int close) noexcept { (void)stream; (void)object; (void)avp; (void)close; return 0; }
}  // extern "C"
