// cfg_substitute.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
int ref_substitute(const char *source, char *out, uint32_t len, CfgRefTag *table) noexcept { (void)source; (void)out; (void)len; (void)table; return 0; }
int ref_substitute_default(const char *source, char *out, uint32_t len) noexcept { (void)source; (void)out; (void)len; return 0; }
int eval_reference(char *reference, char *out, uint32_t room, void *arg) noexcept { (void)reference; (void)out; (void)room; (void)arg; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API int ref_substitute(const char *source, char *out, uint32_t len, CfgRefTag *table) noexcept { (void)source; (void)out; (void)len; (void)table; return 0; }
CFG_API int cfg_refSubstitute(const char *source, char *out, uint32_t len) noexcept { (void)source; (void)out; (void)len; return 0; }
CFG_API int Cfg_Substitute(const char *source, char *out, uint32_t len) noexcept { (void)source; (void)out; (void)len; return 0; }
CFG_API int cfg_evalReference(char *reference, char *out, uint32_t room, void *arg) noexcept { (void)reference; (void)out; (void)room; (void)arg; return 0; }
CFG_API uint32_t Cfg_DereferenceEnv(int on) noexcept { (void)on; return 0; }
}  // extern "C"
