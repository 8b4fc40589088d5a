// cfg_context.cpp - placeholder until the module is written.
#include "cfg_private.h"

CfgContext emptyContext = {0, const_cast<char *>("")};
CfgContext *cfgContext = &emptyContext;

namespace cfgtree {
const char * get_context() noexcept {  return nullptr; }
int push_context(const char *identifier) noexcept { (void)identifier; return 0; }
int pop_context() noexcept {  return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API const char * Cfg_GetContext(void) noexcept {  return nullptr; }
CFG_API int Cfg_PushContext(const char *identifier) noexcept { (void)identifier; return 0; }
CFG_API int Cfg_PopContext(void) noexcept {  return 0; }
}  // extern "C"
