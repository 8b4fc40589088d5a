/*
 * ds.h - the data store and the object-access service.
 *
 * An in-memory store of nodes named by 32-bit handles. Each node has an id
 * (its class; only the low 16 bits, the xid, are compared), a value (bytes
 * copied in on append or modify) and, unless it is standalone, a parent
 * under which it keeps its place in append order. A handle names its slot
 * and the slot's generation: a freed slot serves again only after 65,536
 * others were freed, under a new generation, so a stale handle is detected,
 * never followed, for at least 16 million later deletions; at most
 * 16,777,215 nodes live at once.
 *
 * Every operation the library calls is O(1) amortised; a search by xid from
 * a parent, from a child of that xid or from the child after one walks only
 * nodes of that xid (from another child it first steps over the run of
 * other kinds it stands in). One recursive lock guards the whole store.
 */
#ifndef CFGTREE_DS_H
#define CFGTREE_DS_H

#include "cfgtree.h"

CFG_BEGIN_DECL

/* ds_lock, ds_unlock, ds_get_cntl_info, ds_get_next_avp and oa_xid_of are
 * declared in cfgtree.h. */
/* The ids oa_xid_of gives: fixed, so the library uses them as constants. */
#define DS_ID_ROOT 0x00010001u
#define DS_ID_OBJECT_REF 0x00010010u /* OID_OC_CONFIG */
#define DS_ID_IDENTIFIER 0x00020011u /* OID_ATT_CONFIG_IDENTIFIER */
#define DS_ID_ITEM 0x00020012u       /* OID_ATT_CONFIG_ITEM */
/** The node's id, 0 for an invalid handle. */
CFG_API uint32_t ds_get_attr_id(cfg_handle h) CFG_NOEXCEPT;
/** The node's value, NULL for an invalid handle. Valid while the node is
 *  unchanged; use under the lock. Values are packed behind the node's
 *  header with no alignment: read a reference node's 4-byte handle with
 *  memcpy, not through a cfg_handle pointer. */
CFG_API void *ds_get_av_ptr(cfg_handle h) CFG_NOEXCEPT;
/** The calling thread's last store error (DS_E_*). */
CFG_API int ds_get_error(void) CFG_NOEXCEPT;
/** From start (a parent: its first child on; a child: that node on), the
 *  first node of id xid: its value, its handle in *found. NULL and *found
 *  untouched when there is none. mode is 2. */
CFG_API void *ds_srch_av_ptr(cfg_handle start, int mode, uint16_t xid, cfg_handle *found) CFG_NOEXCEPT;
/** Appends a node under parent (0: standalone) with a copy of length bytes
 *  of value. mode is 2, flags 0. A parent holds children of at most 65,535
 *  different xids. @return the new handle, 0 when refused. */
CFG_API cfg_handle ds_append_avp2(cfg_handle parent, int mode, uint16_t xid, int flags, const void *value,
                                  uint16_t length) CFG_NOEXCEPT;
/** Binds a reference node (value: 4-byte handle) to its target: the target
 *  lives while a reference to it is listed. The target must be a standalone
 *  node (appended under parent 0), not the root, not a bound reference;
 *  the root is never a reference. A reference that puts an object below
 *  itself (under it, or under an object it refers to) is not refused, and
 *  keeps the objects of that cycle alive for good: the library never makes
 *  one. @return 1, or 0 when invalid. */
CFG_API int ds_bind_reference(cfg_handle h) CFG_NOEXCEPT;
/** Removes a standalone node and everything below it. @return 1 or 0. */
CFG_API int ds_delete_obj(cfg_handle h) CFG_NOEXCEPT;
/** Removes child node from parent's children (and what it alone holds).
 *  @return nonzero on success. */
CFG_API int ds_delete_avp3(cfg_handle parent, cfg_handle node) CFG_NOEXCEPT;
/** Replaces a node's value. @return nonzero on success; the handle stays.
 *  A bound reference node is refused (0): its value is its binding. */
CFG_API int ds_modify_av(cfg_handle h, const void *value, uint16_t length) CFG_NOEXCEPT;
/** Sets the precedence of later modifications. @return the previous one. */
CFG_API int ds_set_precedence(int precedence) CFG_NOEXCEPT;

/** Store error numbers reported by ds_get_error. */
#define DS_E_NONE 0
#define DS_E_BAD_HANDLE 1
#define DS_E_NO_MEMORY 2
#define DS_E_REFUSED 3
#define DS_E_NOT_CHILD 4

/** Test support: after `skip` successful calls of the store operations in
 *  ops, the next `count` calls fail as the store refuses (count 0 clears).
 *  DS_FAULT_MEMORY counts the store's own allocations instead (nodes,
 *  children, indexes, side tables): the operation that needed one fails
 *  with DS_E_NO_MEMORY and changes nothing, except for a name index: one
 *  that cannot be built, or cannot follow a rename or a binding, is dropped
 *  and the operation succeeds (the parent is scanned, which finds the same,
 *  until its next append builds the index again). Kinds may be combined:
 *  skip and count then run over the steps of all of them, so an append
 *  that allocates is a step as a call and again for each allocation. */
#define DS_FAULT_APPEND 1u
#define DS_FAULT_MODIFY 2u
#define DS_FAULT_DELETE 4u
#define DS_FAULT_MEMORY 8u
CFG_API void ds_inject_fault(unsigned ops, int skip, int count) CFG_NOEXCEPT;

CFG_END_DECL

#endif
