/*
 * ls.h - the list library: doubly linked lists of fixed-size records.
 *
 * A record is copied into the list on LS_Add and stays at the same address
 * while it is listed; that address is the element's handle. Entries are
 * allocated through the library's allocation path, so a refused allocation
 * shows up as a 0 result.
 */
#ifndef CFGTREE_LS_H
#define CFGTREE_LS_H

#include "cfgtree.h"

CFG_BEGIN_DECL

typedef struct LS_ListRec *LS_List;
/** Event callback: run with the list and the record that leaves it. */
typedef int (*LS_Callback)(LS_List list, void *record);

/** A new list of records of size bytes. @return the list, 0 on no memory. */
CFG_API LS_List LS_CreateList(uint32_t size, int flags) CFG_NOEXCEPT;
/** Copies *record into the list, at the head when front is 1, else at the
 *  tail. @return the list's copy (the element), 0 on failure. */
CFG_API void *LS_Add(LS_List list, int where, int front, const void *record, int count) CFG_NOEXCEPT;
/** LS_Next(list, 0, 0, 1): the head record; LS_Next(0, element, 0, 1): the
 *  next one towards the tail; 0 at the end. */
CFG_API void *LS_Next(LS_List list, void *element, int unused, int forward) CFG_NOEXCEPT;
/** Unlinks and frees element after running the event-2 callback on it. */
CFG_API int LS_Release(void *element, int how) CFG_NOEXCEPT;
/** The number of elements. */
CFG_API uint32_t LS_ListSize(LS_List list, int unused) CFG_NOEXCEPT;
/** Registers fn for event (2: a record leaves the list). */
CFG_API int LS_SetCallback(LS_List list, int event, LS_Callback fn) CFG_NOEXCEPT;
/** Discards every element (running the event-2 callback). *flag stays 0,
 *  telling the caller to destroy the list itself. */
CFG_API int LS_EmptyList(LS_List list, int *flag) CFG_NOEXCEPT;
/** Frees an (emptied) list. */
CFG_API int LS_DestroyList(LS_List list) CFG_NOEXCEPT;

CFG_END_DECL

#endif
