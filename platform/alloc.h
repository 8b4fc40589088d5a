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

/* CFG_ADDRESS_SANITIZER: built with AddressSanitizer. gcc says
 * __SANITIZE_ADDRESS__; clang 14 answers only __has_feature. */
#if defined(__SANITIZE_ADDRESS__)
#define CFG_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CFG_ADDRESS_SANITIZER 1
#endif
#endif

/* ASAN_POISON_MEMORY_REGION and ASAN_UNPOISON_MEMORY_REGION: marking memory
 * the library keeps for reuse as off limits to AddressSanitizer; they do
 * nothing in other builds. */
#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#ifdef __cplusplus
extern "C" {
#endif

void *cfg_mem_alloc(size_t size) CFG_NOEXCEPT;
void *cfg_mem_calloc(size_t count, size_t size) CFG_NOEXCEPT;
void *cfg_mem_realloc(void *block, size_t size) CFG_NOEXCEPT;
char *cfg_mem_strdup(const char *text) CFG_NOEXCEPT;
char *cfg_mem_strndup(const char *text, size_t n) CFG_NOEXCEPT;
void cfg_mem_free(void *block) CFG_NOEXCEPT;
/* For a block the caller reuses instead of allocating: counts as one
 * allocation of this path, so the fault hook can refuse it as it would
 * refuse a fresh block (then 0, errno ENOMEM); 1 otherwise. */
int cfg_mem_grant(void) CFG_NOEXCEPT;
/* Makes the pages that hold [block, block + size) present in one call,
 * for memory about to be written through: first touched one at a time,
 * fresh pages cost a page fault each (some 10 to 15 us on a virtual
 * machine, against 1 to 2 us a page in one call). Only a hint: a system
 * without MADV_POPULATE_WRITE (Linux 5.14) faults them in as before. */
void cfg_mem_present(void *block, size_t size) CFG_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
