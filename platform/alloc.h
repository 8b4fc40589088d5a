/*
 * alloc.h - the library's one allocation path.
 *
 * Every heap block the library makes (copies, buffers, list entries) comes
 * from cfg_mem_alloc and friends, so that the test hook
 * cfg_inject_alloc_fault can make any of them fail. A failure sets errno to
 * ENOMEM, as malloc does, so messages can report it.
 */
#ifndef CFGTREE_ALLOC_H
#define CFGTREE_ALLOC_H

#include <stddef.h>

#include "cfgtree.h"

#ifdef __cplusplus
extern "C" {
#endif

void *cfg_mem_alloc(size_t size) CFG_NOEXCEPT;
void *cfg_mem_calloc(size_t count, size_t size) CFG_NOEXCEPT;
void *cfg_mem_realloc(void *block, size_t size) CFG_NOEXCEPT;
char *cfg_mem_strdup(const char *text) CFG_NOEXCEPT;
char *cfg_mem_strndup(const char *text, size_t n) CFG_NOEXCEPT;
void cfg_mem_free(void *block) CFG_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
