/*
 * cfgtree.h - the public interface of the cfgtree configuration library.
 *
 * A configuration is a tree of named objects holding attributes (name=value),
 * reached by dotted identifiers such as "Server.Iface[2].label". Every object
 * and attribute is a node of the data store, named by an item handle.
 *
 * Conventions that hold for every function below unless its comment says
 * otherwise:
 *  - Results are status codes (CFG_OK and the codes below). Negative codes
 *    are failures, positive codes are soft outcomes callers test for.
 *  - Out pointers may be NULL and are written only when the status is 0.
 *  - A returned `const char *` points into the data store (or to static
 *    storage): the caller must not change or free it, and it stays valid
 *    only while the node it belongs to is unchanged.
 *  - Names, components, values and file lines hold at most 639 characters
 *    (640-byte buffers with their terminating NUL).
 *  - No function throws; a failed allocation yields ERR_NO_MEMORY. Callbacks,
 *    load error handlers and log sinks must not let an exception escape into
 *    the library either (the update tables of cfgtree.hpp let none through).
 *
 * The header is plain C11 and compiles as C++11 or later as well.
 */
#ifndef CFGTREE_H
#define CFGTREE_H

#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#define CFG_API
#elif defined(__GNUC__)
#define CFG_API __attribute__((visibility("default")))
#else
#define CFG_API
#endif

#ifdef __cplusplus
#define CFG_BEGIN_DECL extern "C" {
#define CFG_END_DECL }
#define CFG_NOEXCEPT noexcept
#else
#define CFG_BEGIN_DECL
#define CFG_END_DECL
#define CFG_NOEXCEPT
#endif

CFG_BEGIN_DECL

/** @defgroup Basics Handles, statuses and flags
 *  @{ */

/** An item handle: a data-store node. 0 is the null handle. */
typedef uint32_t cfg_handle;
#define NULL_DS ((cfg_handle)0)

#define CFG_OK 0                     /**< success */
#define CFG_NO_MATCH 1               /**< no match, wrong kind of text, failed byte conversion */
#define CFG_NOT_CREATED 105          /**< attribute missing and create-on-set off */
#define CFG_NOT_FOUND 106            /**< item or path component not found */
#define CFG_READ_ONLY 1403           /**< read-only attribute not set */
#define ERR_FILE_ACCESS (-107)       /**< file not found, not readable or not openable */
#define ERR_NO_MEMORY (-109)         /**< an allocation failed */
#define ERR_NULL_HANDLE (-118)       /**< null item handle given to the saver */
#define ERR_NULL_ARGUMENT (-131)     /**< null text to a comparison, or null server host */
#define ERR_CREATE_FAILED (-133)     /**< the data store refused a new node */
#define ERR_NO_LOAD_ARGUMENT (-134)  /**< null load argument */
#define ERR_READ_FAILED (-136)       /**< read error in a configuration file */
#define ERR_NO_STORED_TEXT (-138)    /**< an attribute node without stored text */
#define ERR_DELETE_FAILED (-139)     /**< the data store refused a deletion */
#define ERR_MODIFY_FAILED (-144)     /**< the data store refused a new value */
#define ERR_NULL_BUFFER (-145)       /**< null text or output buffer given to a converter */
#define ERR_UNEXPECTED_EOF (-154)    /**< a file ended inside a block that it opened */
#define CFG_ERR_BAD_OBJECT (-1402)   /**< null or invalid handle, or not a configuration object */
#define CFG_ERR_NOT_ATTRIBUTE (-1403)/**< not an attribute, or a null identifier or handle */
#define CFG_ERR_NO_VALUE (-1404)     /**< null value given to Cfg_SetAttrValue */
#define CFG_ERR_SYNTAX (-1405)       /**< identifier, definition, range or reference syntax error */
#define CFG_ERR_FILE_REFERENCE (-1406)/**< a file reference that cannot be evaluated */
#define CFG_ERR_UNRESOLVED (-1407)   /**< a reference that resolves to nothing, or recurses */
#define CFG_ERR_INCLUDE_DEPTH CFG_ERR_FILE_REFERENCE /**< includes nested too deeply */

#define CFG_CTL_CREATE_ON_SET 0x01u      /**< Cfg_SetAttrValue creates missing attributes */
#define CFG_CTL_IGNORE_READ_ONLY 0x02u   /**< Cfg_SetAttrValue ignores read-only marks */
#define CFG_CTL_IGNORE_WARNINGS 0x04u    /**< update tables go on after positive results */
#define CFG_CTL_DEREFERENCE 0x08u        /**< values are read with references substituted */
#define CFG_CTL_DEREFERENCE_ENV 0x10u    /**< references fall back to the environment (cfg_evalReference) */
#define CFG_CTL_DIRECT_LOAD 0x20u        /**< the loader stores definitions itself */

/** References are followed at most this many evaluations deep, counted
 *  from the text being substituted (so Cfg_Substitute("${a}") reads a one
 *  level deeper than Cfg_GetAttrValue("a") does); a value that refers to
 *  itself ends there. Every evaluation nested deeper fails with
 *  CFG_ERR_UNRESOLVED, expanding to nothing, so a chain of more than this
 *  many references fails too (its path is read first: one that cannot be
 *  read fails with CFG_ERR_SYNTAX, as at any depth). The levels above go on; as a substitution's
 *  status is that of its last reference, the read fails when the failing
 *  reference is the last of its text at every level. Logged once per read.
 *  An evaluation by an evaluator of the caller's own (ref_substitute) is a
 *  level too: one that would be nested deeper is not called, and its
 *  reference fails the same way, so an evaluator that substitutes what it
 *  reads with its own table ends a value's cycle through it. */
#define CFG_MAX_REFERENCE_RECURSION 32
/** One read (a value, or a text given to Cfg_Substitute) evaluates at most
 *  this many references, inner ones included; values that fan out
 *  (a=${b}${b}, b=${c}${c}, ...) fail beyond it with CFG_ERR_UNRESOLVED
 *  instead of taking exponential time, and so does every reference the read
 *  still meets after the budget is spent. Two levels of the widest values
 *  (159 references in 639 characters, each to a value of 159) stay within
 *  it. The values that an evaluator of the caller's own reads (through
 *  ref_substitute) are reads of their own, while the calls of such
 *  evaluators count over the whole read, those nested in them included:
 *  one read calls them at most this many times, and every evaluation of
 *  theirs it still starts fails at once with CFG_ERR_UNRESOLVED (logged
 *  once), so an evaluator that substitutes two references of its own table
 *  each time and ignores their failure ends, instead of taking 2^32 calls. */
#define CFG_MAX_REFERENCE_EVALUATIONS 100000
/** Files nest at most this deep, the loaded file among them (so include
 *  lines nest 31 deep); a deeper include fails with CFG_ERR_FILE_REFERENCE
 *  and ends the whole load, whatever the error handler answers (a file that
 *  includes itself ends there, also when it does so twice). A load started
 *  from a callback or handler of a load counts its files in with those of
 *  the load under way on the same thread. */
#define CFG_MAX_INCLUDE_DEPTH 32
/** One load tries at most this many files in all: each include counts,
 *  whether or not its file can be found and opened, and so do the loads
 *  that its callbacks and handlers start on the same thread. The next
 *  include fails with CFG_ERR_FILE_REFERENCE and ends the load
 *  as the depth bound does, so that files that each include the next twice
 *  cannot keep a load busy for hours. */
#define CFG_MAX_LOAD_FILES 10000
/** The index ranges of one load expand to at most this many definitions in
 *  all: a range counts once per index, and a block range also counts each
 *  line it reads again for the indexes after its first; the ranges of the
 *  loads that its callbacks and handlers start on the same thread count
 *  in, as their files do for CFG_MAX_LOAD_FILES; the next index
 *  fails with CFG_ERR_SYNTAX, so that neither a short line such as
 *  x[0..2147483647]=1 nor a short range over a long block can keep a load
 *  busy for hours. */
#define CFG_MAX_RANGE_DEFINITIONS 1000000
/** Blocks nest at most this many deep, counted over the loads under way on
 *  a thread; a deeper block fails with CFG_ERR_SYNTAX. A save opens no more
 *  blocks one inside another, and leaves out an object that would need
 *  more. */
#define CFG_MAX_BLOCK_NESTING 256

/** The control flag word; initially 0x19 (create on set, dereference,
 *  dereference environment). Read without a lock; change it with cfg_ctl
 *  or the switches below, which are unlocked read-modify-writes: change
 *  flags from one thread at a time. */
CFG_API extern uint32_t cfgCtl;

/** The macro name of a status ("CFG_ERR_SYNTAX"), or "unknown status".
 *  The text is static. */
CFG_API const char *Cfg_StatusName(int status) CFG_NOEXCEPT;

/** Changes the bits of cfgCtl selected by mask to those of value.
 *  @return the previous state of the masked bits (cfgCtl & mask before). */
CFG_API uint32_t cfg_ctl(uint32_t mask, uint32_t value) CFG_NOEXCEPT;

/** Flag switches: nonzero switches the bit on, 0 off. Each returns the
 *  bit's previous state (the bit's value or 0), which can be passed back to
 *  the same switch to restore it. */
CFG_API uint32_t Cfg_CreateOnSet(int on) CFG_NOEXCEPT;
CFG_API uint32_t Cfg_IgnoreReadOnly(int on) CFG_NOEXCEPT;
CFG_API uint32_t Cfg_IgnoreUpdateWarnings(int on) CFG_NOEXCEPT;
CFG_API uint32_t Cfg_Dereference(int on) CFG_NOEXCEPT;
CFG_API uint32_t Cfg_DereferenceEnv(int on) CFG_NOEXCEPT;
CFG_API uint32_t Cfg_DirectLoad(int on) CFG_NOEXCEPT;
/** @} */

/** @defgroup Nodes Node predicates and accessors
 *  Those that return a text pointer (cfg_object_id, cfg_avp) leave the
 *  data-store lock to their caller, who holds it (ds_lock) while using the
 *  pointer; the others are safe on their own (each store call they make,
 *  and cfg_object_ref and cfg_is_read_only as a whole, waits while another
 *  thread holds the lock).
 *  @{ */
/** 1 when h is an object identifier node (a configuration object), else 0. */
CFG_API int cfg_is_object(cfg_handle h) CFG_NOEXCEPT;
/** 1 when h is an attribute node, else 0. */
CFG_API int cfg_is_attribute(cfg_handle h) CFG_NOEXCEPT;
/** The stored name (with its read-only mark) of an object, given its
 *  identifier node or a reference node to it; NULL otherwise. Store-owned. */
CFG_API const char *cfg_object_id(cfg_handle h) CFG_NOEXCEPT;
/** The whole stored text name=value of an attribute node, or NULL. */
CFG_API const char *cfg_avp(cfg_handle h) CFG_NOEXCEPT;
/** The handle held by an object reference node (the first 4 bytes of its
 *  value); 0 for other kinds and for a reference node whose value is
 *  shorter than a handle; CFG_ERR_BAD_OBJECT for the null handle. */
CFG_API long cfg_object_ref(cfg_handle h) CFG_NOEXCEPT;
/** Reads an object's read-only mark into *flag (1 marked, 0 not), given
 *  its identifier node or a reference node to it (the target's mark).
 *  @return 0; CFG_ERR_BAD_OBJECT (flag untouched) for a null handle, an
 *  unreadable node, or any other node (an attribute included). */
CFG_API int cfg_is_read_only(cfg_handle h, uint32_t *flag) CFG_NOEXCEPT;
/** @} */

/** @defgroup Identifiers Identifier parsing, matching and splitting
 *  @{ */
/** Parses one component at text ("!name[instance]").
 *  *instance receives the start of the instance (or NULL), *end the first
 *  character after the component. *instance is set to NULL first, on every
 *  call (an exception to the out-pointer rule, as each such one is
 *  documented at its function); *end only on 0.
 *  @return 0; CFG_ERR_SYNTAX for an empty name, an unclosed instance or a
 *  component longer than 639 characters. */
CFG_API int cfg_parse_identifier(const char *text, const char **instance, const char **end) CFG_NOEXCEPT;
/** Splits one component into name (mark included) and instance; name and
 *  instance buffers hold 640 bytes. With instance NULL the name keeps its
 *  instance ("a[1]" gives "a[1]"); a component without an instance leaves
 *  the instance buffer as it was. @return 0 or CFG_ERR_SYNTAX. */
CFG_API int cfg_split_identifier(const char *text, char *name, char *instance, const char **end) CFG_NOEXCEPT;
/** Strictly checks the characters of the first component of text (not its
 *  length: the parser, creation and lookups refuse components of more than
 *  639 characters). @return 0 or CFG_ERR_SYNTAX. */
CFG_API int is_valid_identifier(const char *text) CFG_NOEXCEPT;
/** Checks every component of a dotted identifier (empty parts skipped).
 *  @return 0, CFG_ERR_SYNTAX, or ERR_NO_MEMORY when no copy can be made. */
CFG_API int is_valid_item(const char *identifier) CFG_NOEXCEPT;
/** 1 when the tokens match (equal, or either is "*" or "**"), else 0. */
CFG_API int cfg_match_token(const unsigned char *a, const unsigned char *b) CFG_NOEXCEPT;
/** Matches a pattern identifier against a subject text; *rest receives the
 *  subject position after the matched part. Once both texts are given,
 *  *rest is set to NULL first, whatever the result.
 *  @return 0 match; 1 differ; ERR_NULL_ARGUMENT for a NULL text;
 *  CFG_ERR_SYNTAX for a component the parser rejects. */
CFG_API int cfg_compare_items(const char *pattern, const char *subject, const char **rest) CFG_NOEXCEPT;
/** Splits a definition text in place into identifier, instance of the last
 *  component and value (pointers into text). @return 0 or CFG_ERR_SYNTAX
 *  (text unchanged). A NULL text sets every given out pointer to NULL. */
CFG_API int Cfg_Split(char *text, char **identifier, char **instance, char **value) CFG_NOEXCEPT;
/** 1 when text carries a value (wrong for an object name), 0 otherwise
 *  (also when the split fails), ERR_NO_MEMORY when no copy can be made. */
CFG_API int validate_object_syntax(const char *text) CFG_NOEXCEPT;
/** 1 when text has no value (wrong for an attribute definition), 0
 *  otherwise (also when the split fails), ERR_NO_MEMORY. */
CFG_API int validate_AVP_syntax(const char *text) CFG_NOEXCEPT;
/** @} */

/** @defgroup Lookup Finding items
 *  @{ */
/** First object reference node at or after start (children of start when it
 *  is an object or the root, ds_get_cntl_info(1); a start of 0 finds
 *  nothing); *target receives the object it refers to.
 *  @return the reference node, or 0. Takes no lock for its caller. */
CFG_API cfg_handle cfg_srch_object(cfg_handle start, cfg_handle *target) CFG_NOEXCEPT;
/** First attribute node at or after start (as cfg_srch_object).
 *  @return it, or 0. Takes no lock for its caller. */
CFG_API cfg_handle cfg_srch_attribute(cfg_handle start) CFG_NOEXCEPT;
/** Walks identifier from start (0 = root). At the last component attributes
 *  are tried before sub-objects. Where several children match a component
 *  (a wildcard instance: Srv[*]), the first made is taken; an instance is
 *  part of the name (Srv finds no Srv[1]).
 *  @return 0 found (item, reference node for an object or 0, read-only 1
 *  when a component as written begins with '!'); 106 not found;
 *  -109 no memory for the working copy of a component, which only a
 *  component of 640 characters or more needs (components are read in place;
 *  one the store cannot judge is cut on the stack). The out pointers are
 *  written only on 0. */
CFG_API int cfg_find_item(cfg_handle start, const char *identifier, cfg_handle *item,
                          cfg_handle *reference, uint32_t *read_only) CFG_NOEXCEPT;
/** cfg_find_item from the current context. @return as cfg_find_item. */
CFG_API int Cfg_Find(const char *identifier, cfg_handle *item) CFG_NOEXCEPT;
/** The read-only report of cfg_find_item from the current context. */
CFG_API int Cfg_IsReadOnly(const char *identifier, uint32_t *read_only) CFG_NOEXCEPT;
/** @} */

/** @defgroup Reading Reading values
 *  @{ */
/** The raw value (text after the first '=') of an attribute node, or NULL.
 *  Store-owned; use under the lock. */
CFG_API const char *cfg_get_av_ptr(cfg_handle h) CFG_NOEXCEPT;
/** Copies the value into buffer (size bytes, last byte always NUL), with
 *  references substituted while CFG_CTL_DEREFERENCE is set. A NULL buffer
 *  or size 0 writes nothing and only tells whether h is an attribute.
 *  @return 0; CFG_ERR_NOT_ATTRIBUTE; or the substitution's status. Caller
 *  holds the lock. */
CFG_API int cfg_get_attr_value(cfg_handle h, char *buffer, uint32_t size) CFG_NOEXCEPT;
/** Finds identifier from the current context and hands out a pointer to
 *  its raw stored value (never substituted), owned by the store: it stays
 *  valid while that attribute is not changed or deleted, which the caller
 *  must ensure (for instance by holding ds_lock while using it). The lock
 *  is held from the lookup to the pointer: an attribute that another
 *  thread deletes meanwhile reads as missing (106).
 *  @return 0; 106 / -109 from the lookup; CFG_ERR_NOT_ATTRIBUTE (an object,
 *  or value NULL); *value written only on 0. */
CFG_API int Cfg_GetAttrValuePtr(const char *identifier, const char **value) CFG_NOEXCEPT;
/** Finds identifier from the current context and copies its value.
 *  A failed lookup writes nothing; a failed substitution leaves buffer as
 *  it was but for its last byte, set to NUL (as cfg_get_attr_value).
 *  @return 0; the lookup's status; cfg_get_attr_value's status. */
CFG_API int Cfg_GetAttrValue(const char *identifier, char *buffer, uint32_t size) CFG_NOEXCEPT;
/** @} */

/** @defgroup Context Context stack
 *  The stack is one for the whole process, not one per thread, and is not
 *  locked: lookups of every thread read cfgContext, and pushes and pops
 *  belong to one thread at a time. A pop frees the record that a lookup in
 *  another thread may be reading: push and pop only while no other thread
 *  finds, reads, sets, creates, deletes, saves or loads.
 *  Cfg_Find, Cfg_IsReadOnly, Cfg_GetAttrValue(Ptr), Cfg_SetAttrValue,
 *  Cfg_Delete, Cfg_Save(File) and the typed calls start at the current
 *  context; nothing else does: ${...} references are resolved from the
 *  root, and a direct-mode load makes its top-level definitions there.
 *  @{ */
/** A context record: the context object's handle (0 = root) and its name,
 *  the pushed identifier followed by '.'. */
typedef struct CfgContext {
    cfg_handle handle; /**< identifier node of the context object, 0 = root */
    char *name;        /**< "ident." owned by the record, or a static "" */
} CfgContext;
/** The current context record (initially &emptyContext). */
CFG_API extern CfgContext *cfgContext;
/** The record in force when nothing is pushed: handle 0, empty name. */
CFG_API extern CfgContext emptyContext;
/** The current context's name ("a.b." after pushing a.b), or "". Static or
 *  record-owned text: the pop of that record frees it. */
CFG_API const char *Cfg_GetContext(void) CFG_NOEXCEPT;
/** Pushes an absolute identifier (or NULL: the root) as the current context.
 *  The object is found as every lookup finds it, and the record's name is
 *  the text as passed with a '.' added: a lookup ends at a blank or '{',
 *  so "a {" pushes a under the name "a {."; and where an attribute and an
 *  object share the last component's name, the lookup takes the attribute
 *  and the push fails with CFG_ERR_BAD_OBJECT.
 *  @return 0; -109; CFG_ERR_SYNTAX (bad text or a value); CFG_ERR_BAD_OBJECT
 *  (missing, or not an object). A failed push changes nothing. */
CFG_API int Cfg_PushContext(const char *identifier) CFG_NOEXCEPT;
/** Pops the current context: the record cfgContext points to leaves the
 *  context list wherever it stands (a program may point cfgContext at an
 *  older one) and the record pushed before it becomes current; with nothing
 *  pushed (or a current record that is not listed) nothing changes. Either
 *  way the context now current is logged (level 9). @return 0, always. */
CFG_API int Cfg_PopContext(void) CFG_NOEXCEPT;
/** @} */

/** @defgroup Changing Creating, setting and deleting
 *  @{ */
/** Find-or-create of a dotted identifier from start (0 = root); the last
 *  component is an object when kind is the object-reference xid, else an
 *  attribute (made holding its name only). *out receives the last item (0
 *  when the walk fails; not written on -109). start must be the root or an
 *  object: a child made under an attribute or a reference node could never
 *  be found.
 *  @return 0; -109 (no memory for the working copy of an identifier of 640
 *  characters or more); -133 (the store refused a node, or could not make
 *  the root that an item made from it would hang on); CFG_ERR_SYNTAX;
 *  CFG_ERR_BAD_OBJECT when start is not an object (an attribute, a
 *  reference node, a deleted or unknown handle). */
CFG_API int cfg_create_item(cfg_handle start, const char *identifier, uint16_t kind, cfg_handle *out) CFG_NOEXCEPT;
/** Rewrites an attribute's value, keeping its stored name and mark (a NULL
 *  value sets the empty one). The stored text name=value holds at most 639
 *  characters: a longer one is refused whole (CFG_ERR_SYNTAX, value
 *  unchanged), never cut.
 *  @return 0; CFG_ERR_NOT_ATTRIBUTE; -138 (a node without stored text,
 *  which this store never leaves); -144 (the store refused, its
 *  memory included); CFG_ERR_SYNTAX (unreadable stored name, or too long).
 *  Caller holds the lock. */
CFG_API int cfg_set_attr_value(cfg_handle attribute, const char *value) CFG_NOEXCEPT;
/** Sets an attribute by identifier from the current context. A missing
 *  attribute is made holding its name, then set as cfg_set_attr_value
 *  sets it: when the set fails (-144, or CFG_ERR_SYNTAX when name=value
 *  would exceed 639 characters) it stays, holding its name. Objects made on
 *  the path stay when a later step fails. Creation, like cfg_create_item,
 *  ends at the first component not followed by '.': what follows it is
 *  ignored ("a[1]x.y" sets a[1], where a lookup finds nothing).
 *  @return 0; CFG_ERR_NOT_ATTRIBUTE (NULL identifier, or an object);
 *  CFG_ERR_NO_VALUE (NULL value); 105 missing with create-on-set off;
 *  1403 read-only (a component of identifier as written carries '!'; marks
 *  stored in the tree are not looked at; also for an object written with
 *  '!', which the lookup reports read-only before it is seen to be an
 *  object; an attribute the call creates is set, 0, and carries a mark
 *  when its own component or its parent's stored name does); or a status
 *  of the lookup, creation (-133 when the store refuses, its memory
 *  included) or setting. */
CFG_API int Cfg_SetAttrValue(const char *identifier, const char *value) CFG_NOEXCEPT;
/** Deletes the one item that identifier names from start (0 = root): an
 *  object with all it holds. At the last component an object is taken
 *  before an attribute of the same name (a lookup takes the attribute).
 *  Deleting looks at no read-only mark, written or stored, whatever
 *  Cfg_IgnoreReadOnly says: read-only items are deleted like any other.
 *  @return 0; 106; -139; -109; CFG_ERR_SYNTAX. */
CFG_API int cfg_delete_item(cfg_handle start, const char *identifier) CFG_NOEXCEPT;
/** Deletes every item identifier matches from the current context.
 *  @return 0 when something was deleted; 106 when nothing matched; else the
 *  first failure. */
CFG_API int Cfg_Delete(const char *identifier) CFG_NOEXCEPT;
/** @} */

/** @defgroup Saving Saving in the configuration language
 *  @{ */
/** Saves the item (or, for NULL, the current context's contents) to path,
 *  opened with mode "w" and, when it is a regular file, given the
 *  permissions 0644 after it is closed (a device or pipe keeps its own).
 *  @return Cfg_Save's status (a missing item leaves an empty file);
 *  ERR_FILE_ACCESS (-107) when the file cannot be opened (also a NULL
 *  path), logged at level 2. Write errors are not detected: a full disk
 *  shows only in the file (Cfg_Save to a stream of your own lets you test
 *  ferror and fclose). */
CFG_API int Cfg_SaveFile(const char *identifier, const char *path) CFG_NOEXCEPT;
/** Saves the item named by identifier (found from the current context and
 *  written under the identifier as passed) or, for NULL, the contents of
 *  the current context without braces, in the configuration language:
 *  attributes first, then sub-objects, four spaces per level; values with
 *  references substituted while CFG_CTL_DEREFERENCE is set (an attribute's
 *  name=value, substituted, is cut to 639 characters: a longer expansion
 *  is written cut, without a message). Write errors on the stream are not
 *  looked at. A save opens at most 256 blocks one inside another, as many
 *  as a load reads: an
 *  object 256 levels below the outermost object written (the saved item;
 *  for NULL, each top-level object) is left out whole (level 3 message),
 *  so trees of any depth save in bounded stack and no saved file nests
 *  deeper than a load reads; a reference back to an object open around it
 *  (only a program writing to the store makes one) is not followed (level
 *  3 message). The language has no escapes and a load reads lines in
 *  pieces of 639 characters, so these do not load back as saved: a value
 *  holding a line break or a %(...) reference, a value written plain that
 *  begins with a double quote, a line that a 639-character piece cuts (a
 *  definition: name, " = " and value after the indentation of four spaces
 *  a level; an object's opening line: its name and " {"; the comment line
 *  of a failed reference indented 149 levels or more), and an item whose
 *  full dotted name exceeds 639 characters.
 *  A value whose substitution fails for any reason (no memory included) is
 *  written as stored after a "# Reference failure" comment line; as with
 *  any substitution, a reference that fails and is followed by one that
 *  succeeds does not fail the value (see ref_substitute).
 *  A reference holding 0 ends the save of its object's sub-objects: those
 *  after it are left out (the object is still closed).
 *  @return 0; the lookup's status (106, -109; nothing written);
 *  ERR_NULL_HANDLE (-118) when a reference holding 0 is met at the top
 *  level of a NULL-identifier save; ERR_NULL_ARGUMENT for a NULL stream. */
CFG_API int Cfg_Save(const char *identifier, FILE *stream) CFG_NOEXCEPT;
/** Saves one item (object, attribute, or the contents of any other node,
 *  the root among them) at depth, under name when given.
 *  @return 0; ERR_NULL_HANDLE for item 0, or for the contents of a node
 *  other than an object that hold a reference holding 0 (see
 *  cfg_save_object_contents); ERR_NULL_ARGUMENT for a NULL stream. */
CFG_API int cfg_save_item(FILE *stream, cfg_handle item, const char *name, int depth) CFG_NOEXCEPT;
/** Saves an object's attributes, then its sub-objects, at depth.
 *  @return 0; ERR_NULL_HANDLE for object 0 or a reference holding 0 (the
 *  later sub-objects are skipped); ERR_NULL_ARGUMENT for a NULL stream. */
CFG_API int cfg_save_object_contents(FILE *stream, cfg_handle object, int depth) CFG_NOEXCEPT;
/** @} */

/** @defgroup Typed Typed values
 *  Get operations by identifier read at most 638 characters of the value
 *  through Cfg_GetAttrValue and return its status when it fails (outputs
 *  untouched); set operations return the conversion's failure (nothing is
 *  stored) or the status of Cfg_SetAttrValue (105, 1403, ...). Unlike other
 *  out pointers, a converter's text and buffers must be given, and so must
 *  the flag of Cfg_GetBool, the value of Cfg_GetInt and the bytes and count
 *  of Cfg_GetBytes (also through Cfg_GetBytesAttrValue): a NULL one gets
 *  ERR_NULL_BUFFER (Cfg_SetServer's host ERR_NULL_ARGUMENT), nothing
 *  written. The outputs of Cfg_GetRange, Cfg_GetServer and the other
 *  Get...AttrValue calls may be NULL.
 *  @{ */
/** Text to boolean: false when empty or beginning with F, f or 0.
 *  @return 0; ERR_NULL_BUFFER. */
CFG_API int Cfg_GetBool(const char *text, uint32_t *flag) CFG_NOEXCEPT;
/** Writes "TRUE" or "FALSE" (text holds 6 bytes). @return 0; ERR_NULL_BUFFER. */
CFG_API int Cfg_SetBool(uint32_t flag, char *text) CFG_NOEXCEPT;
/** @return 0; a status of Cfg_GetAttrValue. flag may be NULL. */
CFG_API int Cfg_GetBoolAttrValue(const char *identifier, uint32_t *flag) CFG_NOEXCEPT;
/** @return the status of Cfg_SetAttrValue. */
CFG_API int Cfg_SetBoolAttrValue(const char *identifier, uint32_t flag) CFG_NOEXCEPT;
/** Text to integer as C17's strtol base 0 reads it (decimal, 0x hex, 0
 *  octal), clamped to INT32_MIN..INT32_MAX; a text without digits gives 0.
 *  A "0b" prefix is no binary number, whatever the C library: "0b101" gives
 *  0. @return 0; ERR_NULL_BUFFER. */
CFG_API int Cfg_GetInt(const char *text, int32_t *value) CFG_NOEXCEPT;
/** Writes "%d" (text holds 12 bytes). @return 0; ERR_NULL_BUFFER. */
CFG_API int Cfg_SetInt(int32_t value, char *text) CFG_NOEXCEPT;
/** @return 0; a status of Cfg_GetAttrValue. value may be NULL. */
CFG_API int Cfg_GetIntAttrValue(const char *identifier, int32_t *value) CFG_NOEXCEPT;
/** @return the status of Cfg_SetAttrValue. */
CFG_API int Cfg_SetIntAttrValue(const char *identifier, int32_t value) CFG_NOEXCEPT;
/** Reads "%i..%i" as C17's sscanf does (each number clamped to 32 bits
 *  as Cfg_GetInt does; "0b1..3" is refused, "1..0b11" reads 1..0, and
 *  "0x..5" and "1..0x", a "0x" with no hex digit, are refused).
 *  @return 0; ERR_NULL_BUFFER; CFG_ERR_SYNTAX (outputs untouched). */
CFG_API int Cfg_GetRange(const char *text, int32_t *low, int32_t *high) CFG_NOEXCEPT;
/** Writes "%d..%d" (text holds 25 bytes). @return 0; ERR_NULL_BUFFER. */
CFG_API int Cfg_SetRange(int32_t low, int32_t high, char *text) CFG_NOEXCEPT;
/** @return 0; a status of Cfg_GetAttrValue; CFG_ERR_SYNTAX. */
CFG_API int Cfg_GetRangeAttrValue(const char *identifier, int32_t *low, int32_t *high) CFG_NOEXCEPT;
/** @return the status of Cfg_SetAttrValue. */
CFG_API int Cfg_SetRangeAttrValue(const char *identifier, int32_t low, int32_t high) CFG_NOEXCEPT;
/** Decodes "0x" and hex pairs into bytes (size + 1 bytes), *count decoded.
 *  Each pair is read as C17's sscanf reads "%02x" there (blanks before it
 *  skipped, a sign one of its two characters; a pair "0x" is refused).
 *  On failure the bytes decoded so far are kept and counted, except for a
 *  text longer than 2 * size + 2 characters, which writes nothing.
 *  @return 0; CFG_NO_MATCH on any failure; ERR_NULL_BUFFER. */
CFG_API int Cfg_GetBytes(const char *text, unsigned char *bytes, uint32_t size, uint32_t *count) CFG_NOEXCEPT;
/** Encodes "0x" and "%02X" per byte. @return 0; CFG_NO_MATCH when it does
 *  not fit in size bytes (nothing written); ERR_NULL_BUFFER. */
CFG_API int Cfg_SetBytes(const unsigned char *bytes, uint32_t count, char *text, uint32_t size) CFG_NOEXCEPT;
/** @return 0; a status of Cfg_GetAttrValue; those of Cfg_GetBytes. */
CFG_API int Cfg_GetBytesAttrValue(const char *identifier, unsigned char *bytes, uint32_t size, uint32_t *count) CFG_NOEXCEPT;
/** @return CFG_NO_MATCH for more than 318 bytes; ERR_NULL_BUFFER for NULL
 *  bytes with a count above 0 (both: nothing stored); else the status of
 *  Cfg_SetAttrValue (CFG_ERR_SYNTAX when name and text exceed 639
 *  characters: 318 bytes fit no name). */
CFG_API int Cfg_SetBytesAttrValue(const char *identifier, const unsigned char *bytes, uint32_t count) CFG_NOEXCEPT;
/** Splits "host:port" at the last ':' (port strtol base 10, clamped; 0
 *  without a ':'). host must hold the whole text; either output may be NULL.
 *  @return 0; ERR_NULL_BUFFER for a NULL text; ERR_NO_MEMORY. */
CFG_API int Cfg_GetServer(const char *text, char *host, int32_t *port) CFG_NOEXCEPT;
/** Writes host, or "host:port" for a port above 0, to text; host may lie
 *  inside text (Cfg_SetServer(text, port, text) appends the port).
 *  @return 0; ERR_NULL_BUFFER; ERR_NULL_ARGUMENT for a NULL host. */
CFG_API int Cfg_SetServer(const char *host, int32_t port, char *text) CFG_NOEXCEPT;
/** host needs 639 bytes. @return 0; a status of Cfg_GetAttrValue;
 *  ERR_NO_MEMORY. */
CFG_API int Cfg_GetServerAttrValue(const char *identifier, char *host, int32_t *port) CFG_NOEXCEPT;
/** @return ERR_NULL_ARGUMENT for a NULL host; CFG_NO_MATCH when the text
 *  would not fit 639 characters (nothing stored); else the status of
 *  Cfg_SetAttrValue (CFG_ERR_SYNTAX when name and text exceed 639). */
CFG_API int Cfg_SetServerAttrValue(const char *identifier, const char *host, int32_t port) CFG_NOEXCEPT;
/** @} */

/** @defgroup References Reference substitution
 *  @{ */
/** A reference evaluator: appends the expansion of reference (open tag and
 *  body) at out, at most room - 1 characters. @return 0 or a failure. */
typedef int (*CfgRefEvaluator)(char *reference, char *out, uint32_t room, void *arg);
/** One row of a reference tag table; a row with a NULL open tag ends it. */
typedef struct CfgRefTag {
    const char *open;          /**< non-empty open tag, NULL ends the table */
    const char *close;         /**< non-empty close tag */
    CfgRefEvaluator evaluate;  /**< may be NULL: the reference expands to nothing */
    void *arg;                 /**< passed to evaluate */
} CfgRefTag;
/** Expands the references of source through table into out (len bytes):
 *  at most len - 1 characters, the rest of out zeroed. At most 10
 *  references are open at once; unclosed ones stay as written. A NULL
 *  table has no rows; rows with an empty tag never open.
 *  Each evaluation's status replaces the one before, and a failed reference
 *  expands to what its evaluator wrote (nothing, for cfg_evalReference): a
 *  text whose last reference succeeds gives 0 even when an earlier one
 *  failed, its memory included.
 *  @return the status of the last evaluation (0 when none); ERR_NO_MEMORY;
 *  ERR_NULL_ARGUMENT (NULL source or out, whatever len). out is written
 *  only on 0; len 0 with both given returns 0 and does nothing. source and
 *  out may be the same buffer. */
CFG_API int ref_substitute(const char *source, char *out, uint32_t len, CfgRefTag *table) CFG_NOEXCEPT;
/** ref_substitute with the default table (${...} and cfg_evalReference),
 *  under the data-store lock (the evaluator reads the tree). */
CFG_API int cfg_refSubstitute(const char *source, char *out, uint32_t len) CFG_NOEXCEPT;
/** cfg_refSubstitute under the data-store lock. */
CFG_API int Cfg_Substitute(const char *source, char *out, uint32_t len) CFG_NOEXCEPT;
/** The default evaluator of ${path[:modifier]}, path an absolute dotted
 *  identifier (the context stack does not apply), else an environment
 *  variable (while CFG_CTL_DEREFERENCE_ENV is set, and only for a path made
 *  of capital letters, digits and '_': ${HOME}, never ${http_proxy}; its
 *  value is taken whole, as ":#" and value maps apply to attributes only,
 *  while ":+" applies); appends at out, at most
 *  room - 1 characters, and nothing on failure. In ${path:#start,length}
 *  the length counts the terminating NUL: length - 1 characters are kept. out must end a text whose
 *  bytes from out to out + room - 1 are zero (as ref_substitute hands it
 *  over). Caller holds the lock.
 *  @return 0; CFG_ERR_SYNTAX; CFG_ERR_UNRESOLVED (an object, a missing item
 *  without default, or more than CFG_MAX_REFERENCE_RECURSION nested
 *  evaluations); ERR_NULL_ARGUMENT (NULL reference or out); the status of
 *  the lookup (-109), of reading the value, or of creating and setting a
 *  ":=" default (-109, -133, -144, ...). */
CFG_API int cfg_evalReference(char *reference, char *out, uint32_t room, void *arg) CFG_NOEXCEPT;
/** @} */

/** @defgroup Files Configuration files
 *  @{ */
/** Called for each failing line: (file as named, line number, line text,
 *  status); file and text are valid during the call only. Returns the
 *  status to go on with: >= 0 continues, < 0 ends the load. A line whose
 *  %(...) references cannot be expanded, and an include line without '>',
 *  end their block whatever the answer: the rest of that block is then
 *  read as lines of the enclosing block, whose first '}' it closes. */
typedef int (*CfgLoadErrorHandler)(const char *file, int line, const char *text, int status);
/** Loads "file[,NAME=VALUE]..." found on CONFIG_PATH: in direct mode
 *  (Cfg_DirectLoad) it creates and sets the items, otherwise it hands each
 *  attribute as "full.name=value" to Cfg_ProcessUpdate. handler (may be NULL)
 *  is asked about each failing line, with the file's line counter; not
 *  about an include line, whose failed load (its own lines already asked
 *  about) ends the including block with that load's status, nor about a
 *  variable line that cannot be stored (a 101st variable): its block ends
 *  with ERR_NO_MEMORY. Variable names keep 32 characters and entries 127;
 *  the rest is dropped, except from a range variable: an index that its
 *  entry cannot hold whole fails the range line with CFG_ERR_SYNTAX. A
 *  UTF-8 byte order mark before a file's first line is skipped. Nothing
 *  is trimmed: "f.cfg, A=1" and a line "%A = 1" define names with a blank in them. Files are read in pieces
 *  of at most 639 characters: a longer line (or one of 639 with its line end, 638 with a
 *  CR LF end) is handled and counted as several lines. A load argument is cut to 4,095
 *  characters. While the file variable @ is visible and not empty, each
 *  file (an include too) is read blocked: only definitions whose full name
 *  it matches are stored, an object with its whole block; an include hands
 *  the including file back the blocked state it found. Direct mode makes a
 *  definition under the object of its block, and a block read blocked, like
 *  the initial context of the variable %%, has none: what it holds is made
 *  from the root under its name within the block (with @=A.B, the lines
 *  A {, B {, y = 2 make B.y; with %%=Obj, a top-level x = 1 makes x).
 *  The mode is read for each definition: a callback or handler that
 *  switches it during a load changes the definitions after, and a block
 *  opened in update mode has no object either (A {, x = 1 whose callback
 *  switches direct mode on, z = 3 makes a top-level z).
 *  @return the load's own status when nonzero (a line's status that ended
 *  the load, or else that of the last line read, which is the handler's
 *  answer when that line failed: any definition, include or '}' line
 *  after a failing one sets it again, so a positive answer about an
 *  earlier line is not returned, while blank, comment and variable lines
 *  leave it), else the first failing line's status, else 0. Among
 *  them: ERR_NO_MEMORY; ERR_NO_LOAD_ARGUMENT (NULL argument);
 *  ERR_FILE_ACCESS (file not found, not readable or not
 *  openable); ERR_READ_FAILED (also past a file's line 2,147,483,647, the
 *  last one read, and for a block range in a file that cannot be
 *  repositioned, such as a pipe: the block is read again for each index,
 *  so the range fails, as a failing line, after its first index);
 *  ERR_UNEXPECTED_EOF (a block left open);
 *  CFG_ERR_SYNTAX (a bad line; blocks nested more than 256 deep; a name
 *  over 639 characters; ranges expanding to more than
 *  CFG_MAX_RANGE_DEFINITIONS definitions); CFG_ERR_FILE_REFERENCE (an
 *  undefined %(...) reference; includes nested more than
 *  CFG_MAX_INCLUDE_DEPTH deep; a file past CFG_MAX_LOAD_FILES); and any
 *  status of creating, setting or the update tables. */
CFG_API int CfgF_LoadFile(const char *load_argument, CfgLoadErrorHandler handler) CFG_NOEXCEPT;
/** Finds name on CONFIG_PATH (read, and copied, once per process: later
 *  changes to the environment are not seen; empty entries are skipped, and
 *  the current folder is searched only when listed) with its owner-read
 *  bit set; an absolute name, or any name when CONFIG_PATH is unset, is
 *  tried as it is. Only that bit is judged: a directory is found too (a
 *  load of it fails with ERR_READ_FAILED). Copies the path to out (may be NULL) as a bounded copy:
 *  at most size - 1 characters, so give it 4096 bytes for any path.
 *  @return 0; ERR_FILE_ACCESS (also for paths over 4095 characters, and
 *  a NULL name); ERR_NO_MEMORY (no copy of CONFIG_PATH could be made for a relative name:
 *  the next call reads it again). */
CFG_API int cfg_locate_file(const char *name, char *out, uint32_t size) CFG_NOEXCEPT;
/** Writes "object {", the AVP and "}" as asked, each checked first; a
 *  refused piece ends the call (earlier pieces stay written). The checks
 *  are those of validate_object_syntax and validate_AVP_syntax: an object
 *  name must carry no value and an AVP must carry one; a text that breaks
 *  the syntax otherwise ("a b", "") is written as given, as is everything
 *  (no quoting, no indentation). Write errors are not looked at.
 *  @return 0; the refusing validator's result (1 or -109);
 *  ERR_NULL_ARGUMENT for a NULL stream (nothing written). */
CFG_API int CfgF_PutItem(FILE *stream, const char *object, const char *avp, int close) CFG_NOEXCEPT;
/** @} */

/** @defgroup Updates Update tables
 *  @{ */
/** An update callback: gets a heap copy of the item text, which it may
 *  change in place (up to its terminating NUL) but must not keep or free:
 *  the library takes it back when the callback returns (during a load, to
 *  make the next callback's copy in). */
typedef int (*CfgUpdateCallback)(char *cfgItem, void *arg);
/** One entry of an update table; an entry with a NULL item ends it. */
typedef struct CfgUpdateEntry {
    const char *item;              /**< pattern, NULL ends the table */
    void *arg;                     /**< passed to both callbacks */
    CfgUpdateCallback first;       /**< run when item matches, may be NULL */
    struct CfgUpdateEntry *sub;    /**< applied to the rest, may be NULL */
    CfgUpdateCallback second;      /**< run after sub, may be NULL */
} CfgUpdateEntry;
/** Registers a notification table (caller-owned). There is no way to
 *  unregister: a table stays registered, and must stay valid, until the
 *  process ends, and one registered twice runs twice. Notification tables
 *  are applied by update-mode loads and Cfg_ProcessUpdate only: setting,
 *  creating or deleting items notifies nobody. The two
 *  registries are not locked: register tables before other threads load,
 *  set or apply tables. A table registered by a callback while the tables
 *  are applied to an item is applied to that item too, after those before
 *  it (so a callback that registers a table each time it runs never lets
 *  the walk end). @return 0; -109. */
CFG_API int Cfg_NotifyRegister(CfgUpdateEntry *table) CFG_NOEXCEPT;
/** Registers a validation table, kept as a notification table is. The
 *  library applies validation tables only when Cfg_Validate is called: a
 *  program calls it before a change it wants checked. @return 0; -109. */
CFG_API int Cfg_ValidateRegister(CfgUpdateEntry *table) CFG_NOEXCEPT;
/** Applies the notification tables. @return 0, or the first nonzero result. */
CFG_API int Cfg_ProcessUpdate(const char *item) CFG_NOEXCEPT;
/** Applies the validation tables. @return 0, or the first nonzero result. */
CFG_API int Cfg_Validate(const char *item) CFG_NOEXCEPT;
/** Applies one table. Each callback gets its own heap copy of the text;
 *  sub-tables get the rest after the matched part. A negative result of a
 *  callback or sub-table ends the table at once, and so does a positive one
 *  other than 105 unless CFG_CTL_IGNORE_WARNINGS is set. Sub-tables that get the
 *  text unshortened (a "**" entry whose sub-table holds it again) nest at
 *  most 64 deep in a row, and sub-tables of any kind at most 320 deep in
 *  all: one level for each component of a 639-character name, counting
 *  the unshortened levels among them too. A table applied from inside a
 *  callback (Cfg_ProcessUpdate, Cfg_Validate, cfg_process_table, an
 *  update-mode load) is a level below the callback's table, so a callback
 *  that applies its own item again ends there too; once a bound refuses a
 *  table, every table a callback applies is refused at once until the
 *  outermost application returns, so callbacks that ignore the refusal end
 *  as well. One application applies at most 100,000 sub-tables in all, the
 *  tables that its callbacks apply (each one sub-table) counted in, but for
 *  those an update-mode load applies to its definitions (each definition's,
 *  with what their callbacks apply, is counted apart: a load has bounds of
 *  its own), so that a table whose matching entries each descend into it
 *  again, or whose callbacks each apply it again to the rest of their item,
 *  cannot take time exponential in the components. A table that a log sink
 *  applies while an application is under way on its thread is counted and
 *  refused as one a callback applies (the outermost application is the one
 *  that starts while no other is under way).
 *  @return the status of the last callback or sub-table run, 0 when none
 *  ran; -109 when a copy cannot be made; CFG_ERR_SYNTAX when sub-tables
 *  nest deeper (a table that contains itself) or more are applied. */
CFG_API int cfg_process_table(CfgUpdateEntry *table, const char *cfgItem) CFG_NOEXCEPT;
/** @} */

/** @defgroup Platform The lock, the tree's root and siblings, object-access ids and the log sink
 *  The library runs on its own data store, object-access service and log
 *  service; these are the parts of them a caller needs: the lock that the
 *  calls marked "caller holds the lock" expect, the root and the sibling
 *  step that a walk with cfg_srch_object/cfg_srch_attribute takes, the ids
 *  of the node kinds (the kind argument of cfg_create_item), and where
 *  messages go.
 *  @{ */
/** Takes the store's lock; a thread may take it again (nested pairs count).
 *  A thread gives back every ds_lock it takes before it ends: the lock of a
 *  thread that ends holding it is never released, and every other thread
 *  then waits for it for good. Nor may a thread end inside a library call:
 *  the library lets no exception through, so the unwinding of pthread_exit
 *  from a callback, handler, evaluator or sink, or of a cancellation (the
 *  library opens, reads and writes files and stderr, which are cancellation
 *  points), ends the process. Disable cancellation (pthread_setcancelstate)
 *  around library calls on a thread that may be cancelled. */
CFG_API void ds_lock(void) CFG_NOEXCEPT;
/** Releases one ds_lock of the calling thread. */
CFG_API void ds_unlock(void) CFG_NOEXCEPT;
/** which == 1: the configuration root's handle. Other values: 0. */
CFG_API cfg_handle ds_get_cntl_info(int which) CFG_NOEXCEPT;
/** The next sibling of a child node, in store order; 0 after the last (and
 *  for a node that is no child). A walk over an object's children:
 *  first = cfg_srch_attribute(object), next =
 *  cfg_srch_attribute(ds_get_next_avp(current)); the same with
 *  cfg_srch_object. */
CFG_API cfg_handle ds_get_next_avp(cfg_handle h) CFG_NOEXCEPT;
/** The id of a node kind by its OID name ("OID_OC_CONFIG" for an object's
 *  reference, "OID_ATT_CONFIG_ITEM" for an attribute,
 *  "OID_ATT_CONFIG_IDENTIFIER" for an object); 0 for an unknown name. */
CFG_API uint32_t oa_xid_of(const char *name) CFG_NOEXCEPT;
/** Receives each message: level (2 and 3 are failures, 5 warnings, higher
 *  traces), reporting module, source line, the formatted text (cut to
 *  4,095 characters); module and message are valid during the call only. */
typedef void (*LogSink)(void *ctx, int level, const char *module, int line, const char *message);
/** Routes every message to sink (NULL restores stderr, where by default
 *  levels 2 and 3 are shown, and CFGTREE_LOG_LEVEL=N shows levels up to N;
 *  the variable is read once, at the first message not handed to a sink:
 *  a later change to the environment is not seen).
 *  sink and ctx change together; a message logged while they change
 *  reaches the old pair or the new one, never a mix. It returns once no
 *  other thread still runs the sink it replaced, so the old ctx may be
 *  freed then (called from a sink, it does not wait); so do not call it
 *  while holding ds_lock, which such a sink may be waiting for. The sink
 *  is often called while the calling thread holds the store's lock (which nests): it
 *  may call the library itself, but must not wait for another thread that
 *  may be calling the library (nor call the library while holding a lock of
 *  its own that such a thread's sink takes), or the two threads deadlock.
 *  What the library logs while a thread's sink runs is not handed to the
 *  sink again (a sink that reads a value would otherwise log and read
 *  without end): it goes to stderr as if no sink were installed. */
CFG_API void Log_SetSink(LogSink sink, void *ctx) CFG_NOEXCEPT;
/** @} */

/** @defgroup TestSupport Test support
 *  Fault injection for tests: after `skip` successful allocations made by
 *  the library (copies, buffers, list entries), the next `count` fail;
 *  count 0 clears. Not meant for production use.
 *  @{ */
CFG_API void cfg_inject_alloc_fault(int skip, int count) CFG_NOEXCEPT;
/** @} */

CFG_END_DECL

#endif /* CFGTREE_H */
