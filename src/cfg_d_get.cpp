// cfg_d_get.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
const char * get_av_ptr(cfg_handle h) noexcept { (void)h; return nullptr; }
int get_attr_value(cfg_handle h, char *buffer, uint32_t size) noexcept { (void)h; (void)buffer; (void)size; return 0; }
int get_attr_value_ptr(const char *identifier, const char **value) noexcept { (void)identifier; (void)value; return 0; }
int get_attr_value_id(const char *identifier, char *buffer, uint32_t size) noexcept { (void)identifier; (void)buffer; (void)size; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API const char * cfg_get_av_ptr(cfg_handle h) noexcept { (void)h; return nullptr; }
CFG_API int cfg_get_attr_value(cfg_handle h, char *buffer, uint32_t size) noexcept { (void)h; (void)buffer; (void)size; return 0; }
CFG_API int Cfg_GetAttrValuePtr(const char *identifier, const char **value) noexcept { (void)identifier; (void)value; return 0; }
CFG_API int Cfg_GetAttrValue(const char *identifier, char *buffer, uint32_t size) noexcept { (void)identifier; (void)buffer; (void)size; return 0; }
CFG_API uint32_t Cfg_Dereference(int on) noexcept { (void)on; return 0; }
}  // extern "C"
