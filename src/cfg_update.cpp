// cfg_update.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
int process_update(const char *item) noexcept { (void)item; return 0; }
int process_table(CfgUpdateEntry *table, const char *item) noexcept { (void)table; (void)item; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_NotifyRegister(CfgUpdateEntry *table) noexcept { (void)table; return 0; }
CFG_API int Cfg_ValidateRegister(CfgUpdateEntry *table) noexcept { (void)table; return 0; }
CFG_API int Cfg_ProcessUpdate(const char *item) noexcept { (void)item; return 0; }
CFG_API int Cfg_Validate(const char *item) noexcept { (void)item; return 0; }
CFG_API int cfg_process_table(CfgUpdateEntry *table, const char *cfgItem) noexcept { (void)table; (void)cfgItem; return 0; }
CFG_API uint32_t Cfg_IgnoreUpdateWarnings(int on) noexcept { (void)on; return 0; }
}  // extern "C"
