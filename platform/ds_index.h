/*
 * ds_index.h - the store's name index (internal to the library).
 *
 * Children of the two indexed kinds (attribute nodes and object reference
 * nodes) are found by name without a scan of their siblings. A child's name
 * is its stored text (for a reference node: the name of the object it
 * refers to) read as the library's parser reads a component: one leading
 * '!' dropped, the bare name (the run of name characters) and the instance
 * (when '[' follows, the text up to the first ']'; empty otherwise). A child
 * the parser cannot read that way (no name character, no ']', more than 639
 * characters, an object name that goes on with a '.', a reference bound to
 * no object) is in no chain: it is kept aside, with the children whose
 * instance has a wildcard token ("*" or "**"), which match many queries.
 * Lookups compare the children kept aside in full, in store order, so that
 * they find, and report, what a scan of every child would.
 *
 * Every walk below goes in store (append) order; ds_seq tells which of two
 * children came first. Parents with few children are searched by a short
 * scan, larger ones through a hash index kept up to date by every append,
 * name change and deletion. Callers hold the store's lock.
 */
#ifndef CFGTREE_DS_INDEX_H
#define CFGTREE_DS_INDEX_H

#include <stddef.h>

#include "cfgtree.h"

#ifdef __cplusplus
extern "C" {
#endif

/** The first child of parent of kind xid whose bare name is name[0..nlen). */
cfg_handle ds_first_named(cfg_handle parent, uint16_t xid, const char *name, size_t nlen) CFG_NOEXCEPT;
/** The next child after h with the same kind and bare name, 0 after the last. */
cfg_handle ds_next_named(cfg_handle h) CFG_NOEXCEPT;
/** The first child of parent of kind xid whose bare name is name[0..nlen)
 *  appended after sequence number seq (ds_seq); it costs the namesakes
 *  after seq, not those before. */
cfg_handle ds_named_after(cfg_handle parent, uint16_t xid, const char *name, size_t nlen,
                          uint32_t seq) CFG_NOEXCEPT;
/** The first child of kind xid with exactly that bare name and instance whose
 *  instance holds no wildcard token. */
cfg_handle ds_first_keyed(cfg_handle parent, uint16_t xid, const char *name, size_t nlen, const char *instance,
                          size_t ilen) CFG_NOEXCEPT;
/** The first child of kind xid kept aside: its instance holds a wildcard
 *  token, or its name cannot be read. */
cfg_handle ds_first_wild(cfg_handle parent, uint16_t xid) CFG_NOEXCEPT;
/** The next such child after h, 0 after the last. */
cfg_handle ds_next_wild(cfg_handle h) CFG_NOEXCEPT;
/** The first child of kind xid whose name cannot be read. */
cfg_handle ds_first_odd(cfg_handle parent, uint16_t xid) CFG_NOEXCEPT;
/** The next such child after h, 0 after the last. */
cfg_handle ds_next_odd(cfg_handle h) CFG_NOEXCEPT;
/** The first such child appended after sequence number seq, as
 *  ds_named_after finds a namesake. */
cfg_handle ds_odd_after(cfg_handle parent, uint16_t xid, uint32_t seq) CFG_NOEXCEPT;
/** The value of h when h is a node of kind xid; NULL otherwise (for a bad
 *  handle, with the store error set as ds_get_av_ptr sets it). One call where
 *  a reader would ask for the kind and then for the value. */
void *ds_get_av_ptr_of(cfg_handle h, uint16_t xid) CFG_NOEXCEPT;
/** The handle a reference node holds (the first 4 bytes of its value); 0
 *  for a bad handle or a value shorter than a handle, whose bytes past its
 *  end are no part of it. */
cfg_handle ds_ref_target(cfg_handle h) CFG_NOEXCEPT;
/** One step of a lookup of an exact name: when parent keeps a name index,
 *  writes the first child of kind xid keyed exactly name[instance] (as
 *  ds_first_keyed) to *exact and the first child kept aside (as
 *  ds_first_wild) to *first_wild, and returns 1. Returns 0,
 *  writing nothing, when parent keeps no index (it is then scanned). */
int ds_lookup_keyed(cfg_handle parent, uint16_t xid, const char *name, size_t nlen, const char *instance,
                    size_t ilen, cfg_handle *exact, cfg_handle *first_wild) CFG_NOEXCEPT;
/** ds_lookup_keyed for a lookup's own component, whose name is made of name
 *  characters only and whose instance holds no ']' (the finder's patterns):
 *  the store need not check that before comparing names in place. */
int ds_lookup_plain(cfg_handle parent, uint16_t xid, const char *name, size_t nlen, const char *instance,
                    size_t ilen, cfg_handle *exact, cfg_handle *first_wild) CFG_NOEXCEPT;
/** Where a parent's name index would make the chain of a name that a plain
 *  step (ds_step_attr_locked) did not find there: the name's hash and the
 *  empty slot its probe stopped at. The append of that name right after
 *  (ds_append_set, ds_append_value) then neither hashes the name again nor
 *  probes for the gap. The store fills it in and checks it: an append
 *  ignores a hint taken before any change of any index since (a chain made
 *  or dropped, a table grown, built or dropped). Callers carry it only,
 *  zeroed before the step, and hand it to the append of exactly the name
 *  the step looked for (debug builds abort when its hash or gap is not what
 *  a fresh probe of the appended name finds). */
typedef struct ds_slot_hint {
    const void *index; /* the table probed; NULL: no hint */
    uint64_t changes;  /* the store's count of index changes at the probe */
    uint32_t hash;
    uint32_t gap; /* the empty slot the probe stopped at */
    /* Set by a step that found no attribute when the parent holds no child
       of the reference kind either: a lookup of the name as an object would
       find nothing. */
    uint32_t no_objects;
} ds_slot_hint;
/** A new attribute and its first value in one step: appends under parent
 *  an attribute holding the name text[0..name_length) (as ds_append_avp2 with
 *  the name and its NUL), then sets it to text[0..length) (as ds_modify_av),
 *  which must be the name, '=' and the value with its NUL; name_length is at
 *  most 639. Returns the new handle, or 0 when the append is refused; *set
 *  is 1 when the value was set too, 0 when the set was refused (the
 *  attribute then holds its name). Either refusal sets the store error.
 *  plain: nonzero when the caller vouches that the name is at most one '!'
 *  followed by one or more name characters only (no instance), which the
 *  store then takes as it is rather than reading it again. hint: NULL, or
 *  (with plain) what ds_step_attr_locked left for this name under parent. */
cfg_handle ds_append_set(cfg_handle parent, const char *text, uint16_t name_length, uint16_t length, int plain,
                         int *set, const ds_slot_hint *hint) CFG_NOEXCEPT;
/** ds_append_set of the text name '=' value, from its parts: name[0..
 *  name_length) must be at most one '!' followed by one or more name
 *  characters only (what ds_append_set's plain vouches for), with a NUL at
 *  name[name_length]; the value is value[0..value_length) (no NUL needed).
 *  The attribute is made holding the name, then set, so that refusals leave
 *  what ds_append_set leaves; the caller need not join the text first.
 *  hint: NULL, or what ds_step_attr_locked left for this name under parent. */
cfg_handle ds_append_value(cfg_handle parent, const char *name, uint16_t name_length, const char *value,
                           uint16_t value_length, int *set, const ds_slot_hint *hint) CFG_NOEXCEPT;
/** One step of a walk by a plain component (name characters, then maybe an
 *  instance without ']' or a wildcard token, as the library's finder reads
 *  it), for a caller that holds the store lock (ds_lock): a lookup by
 *  identifier takes it once for its whole walk. Finds the child of kind xid
 *  of the object parent that the library's matcher would pick, in *child
 *  (0: none), and for a reference node the object it refers to in *target.
 *  Returns 1 when that is sure, 0 (writing nothing) when the caller must
 *  search itself: parent is no standalone object, a child of that kind is
 *  kept aside (an indexed parent), or the scan of a small parent met a
 *  child, before any match, whose name it cannot judge in place
 *  (unreadable, or a wildcard instance). When it returns 1 and text is not
 *  NULL, *text is the found child's stored text (as ds_get_av_ptr_of gives
 *  it; NULL when none is found), so the lookup reads an attribute's value
 *  without looking its handle up again. */
int ds_step_plain_locked(cfg_handle parent, uint16_t xid, const char *name, size_t nlen, const char *instance,
                         size_t ilen, cfg_handle *child, cfg_handle *target, void **text) CFG_NOEXCEPT;
/** ds_step_plain_locked for an attribute (xid: the attribute kind) whose
 *  creation follows when it is not found: the found child's text is not
 *  read, and when the step finds no chain of the name in the parent's name
 *  index (the component has no instance), it fills in *hint for the append
 *  of that name (ds_append_set, ds_append_value); otherwise *hint is left
 *  as it is. A step that tells that no such attribute exists also sets
 *  hint->no_objects as it finds the parent's children of the reference
 *  kind. */
int ds_step_attr_locked(cfg_handle parent, const char *name, size_t nlen, const char *instance, size_t ilen,
                        cfg_handle *child, ds_slot_hint *hint) CFG_NOEXCEPT;
/** ds_step_attr_locked for an object (a child of the reference kind, *target
 *  the object it refers to) whose creation follows when it is not found:
 *  the hint it fills in is for ds_append_reference of that object's
 *  reference. */
int ds_step_object_locked(cfg_handle parent, const char *name, size_t nlen, const char *instance, size_t ilen,
                          cfg_handle *child, cfg_handle *target, ds_slot_hint *hint) CFG_NOEXCEPT;
/** A reference to the standalone object target appended under parent and
 *  bound to it in one step, as ds_append_avp2 of the reference kind with
 *  target's handle as the value, then ds_bind_reference, would leave them:
 *  the new reference is indexed under its target's name at once. hint:
 *  NULL, or what ds_step_object_locked left for that name under parent.
 *  Returns the reference, or 0 with nothing appended and target unchanged
 *  (the store error set): DS_E_BAD_HANDLE for a parent or target that
 *  ds_append_avp2 or ds_bind_reference would refuse, DS_E_REFUSED for an
 *  append refused by an injected fault, DS_E_NO_MEMORY. */
cfg_handle ds_append_reference(cfg_handle parent, cfg_handle target, const ds_slot_hint *hint) CFG_NOEXCEPT;
/** A hint: a lookup of the bare name name[0..nlen) among the children of
 *  kind xid of parent follows soon. Starts fetching the part of the name
 *  index that lookup reads first, so that the work in between hides the
 *  wait for memory; changes nothing. */
void ds_prefetch_named(cfg_handle parent, uint16_t xid, const char *name, size_t nlen) CFG_NOEXCEPT;
/** The last child of parent of kind xid, in store order; 0 when there is
 *  none. */
cfg_handle ds_last_of(cfg_handle parent, uint16_t xid) CFG_NOEXCEPT;
/** The first child of parent of kind xid appended after the child whose
 *  sequence number (ds_seq) is seq; 0 when there is none. Where a walk goes
 *  on when a log sink deleted the child it stood on. */
cfg_handle ds_first_after(cfg_handle parent, uint16_t xid, uint32_t seq) CFG_NOEXCEPT;
/** A hint from a load: about `bytes` of definitions (the size of a file)
 *  are about to be stored. A store that will be large then takes its memory
 *  in huge pages from the start. Changes nothing else. */
void ds_expect(size_t bytes) CFG_NOEXCEPT;
/** A scan's visitor: nonzero stops the scan at child. text is the name the
 *  lookup compares: an attribute's stored text, the text of the object a
 *  reference node refers to (NULL when it refers to no object). */
typedef int (*ds_visit_fn)(cfg_handle child, const char *text, void *arg);
/** Visits the nodes of kind xid that ds_srch_av_ptr would step through from
 *  start (a parent: its children of that kind), in store order, until the
 *  visitor stops: that node, or 0. A node the visitor deletes (a log sink
 *  may) is passed: the scan goes on with the nodes appended after it. */
cfg_handle ds_scan_named(cfg_handle start, uint16_t xid, ds_visit_fn visit, void *arg) CFG_NOEXCEPT;
/** A count that changes with every change of the store after which a name
 *  may find another child than before, or a scan may meet a child it cannot
 *  read: deletions, bindings, value changes of nodes other than attributes,
 *  and new names of attributes. Appends leave it: a new child comes after
 *  every child a search has matched already. */
uint64_t ds_generation(void) CFG_NOEXCEPT;
/** Nonzero when parent keeps a name index (it has grown past a few
 *  children); smaller parents are cheaper to scan. */
int ds_index_ready(cfg_handle parent) CFG_NOEXCEPT;
/** The append sequence number of a child under its parent (0 if invalid). */
uint32_t ds_seq(cfg_handle h) CFG_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
