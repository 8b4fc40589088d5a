// cfg_cvtServer.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_GetServer(const char *text, char *host, int32_t *port) noexcept { (void)text; (void)host; (void)port; return 0; }
CFG_API int Cfg_SetServer(const char *host, int32_t port, char *text) noexcept { (void)host; (void)port; (void)text; return 0; }
CFG_API int Cfg_GetServerAttrValue(const char *identifier, char *host, int32_t *port) noexcept { (void)identifier; (void)host; (void)port; return 0; }
CFG_API int Cfg_SetServerAttrValue(const char *identifier, const char *host, int32_t port) noexcept { (void)identifier; (void)host; (void)port; return 0; }
}  // extern "C"
