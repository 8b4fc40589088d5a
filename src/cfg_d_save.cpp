// cfg_d_save.cpp - placeholder until the module is written.
#include "cfg_private.h"

namespace cfgtree {
int save_file(const char *identifier, const char *path) noexcept { (void)identifier; (void)path; return 0; }
int save(const char *identifier, FILE *stream) noexcept { (void)identifier; (void)stream; return 0; }
int save_item(FILE *stream, cfg_handle item, const char *name, int depth) noexcept { (void)stream; (void)item; (void)name; (void)depth; return 0; }
int save_object_contents(FILE *stream, cfg_handle object, int depth) noexcept { (void)stream; (void)object; (void)depth; return 0; }
}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_SaveFile(const char *identifier, const char *path) noexcept { (void)identifier; (void)path; return 0; }
CFG_API int Cfg_Save(const char *identifier, FILE *stream) noexcept { (void)identifier; (void)stream; return 0; }
CFG_API int cfg_save_item(FILE *stream, cfg_handle item, const char *name, int depth) noexcept { (void)stream; (void)item; (void)name; (void)depth; return 0; }
CFG_API int cfg_save_object_contents(FILE *stream, cfg_handle object, int depth) noexcept { (void)stream; (void)object; (void)depth; return 0; }
}  // extern "C"
