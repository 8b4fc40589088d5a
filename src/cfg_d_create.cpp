// cfg_d_create.cpp - creating objects and attributes along a dotted path.
//
// cfg_create_item is find-or-create: it reuses every component that exists
// and makes the missing ones, each as the last child of its parent. An
// object is a standalone identifier node plus a reference node under the
// parent; an attribute is one node holding its name, and its value when the
// caller has one (a set, a file's definition). Items made under a read-only
// object inherit its '!'. Names are built in 640-byte buffers: a component
// with its mark holds at most 639 characters. One plain attribute name (a
// line of a block) or object name (a block's) is found or made in place,
// and so are the plain components a set's lookup found missing (from where
// it stopped); any other identifier is walked in a copy: on the stack up to
// 639 characters, on the heap (which may fail) beyond.
#include "cfg_private.h"
#include "ds_index.h"

namespace {
constexpr const char kModule[] = "cfg_d_create";
constexpr const char kCreate[] = "cfg_create_item";  // the function its searches report for
// The existing objects the last creation walked through (see WalkMemo): a
// run of definitions below one object finds its path once.
cfgtree::WalkMemo g_create_memo;

// The object whose mark was read last, while the store's generation it was
// read in stands: a rename or a deletion moves the generation, so the
// lines of a block read their object's name once. Used under the store's
// lock only.
struct MarkMemo {
    cfg_handle object = 0;
    uint64_t generation = 0;  // the store's generations start at 1
    uint32_t marked = 0;
};
MarkMemo g_mark_memo;

// Whether parent (not the root) is read-only. An object's mark is its
// name's first character; any other node is asked as such (which reports
// what it is).
uint32_t parent_mark(cfg_handle parent) noexcept {
    const uint64_t now = ds_generation();
    if (g_mark_memo.object == parent && g_mark_memo.generation == now) return g_mark_memo.marked;
    uint32_t marked = 0;
    const auto *own = static_cast<const char *>(ds_get_av_ptr_of(parent, cfgtree::xid_identifier()));
    if (!own) return cfgtree::is_read_only(parent, &marked) == CFG_OK ? marked : 0;
    g_mark_memo = {parent, now, own[0] == '!'};
    return g_mark_memo.marked;
}

// Does the stored name of a new item get a '!' in front? It does when the
// parent (not the root) is read-only, unless the component begins with '!'
// already: the parser and the matcher look through one mark only, so a
// doubled mark would make the name unreadable.
bool adds_mark(cfg_handle parent, const char *name) noexcept {
    const bool marked = parent != cfgtree::root() && parent_mark(parent);
    return marked && name[0] != '!';
}

// The stored text of a new item: the component, with one '!' in front when
// add_mark (adds_mark), and for an attribute to be set at once, '=' and the
// value when they fit in 639 characters (*value is set to NULL when they do
// not: the set that follows refuses the value as it refuses it for any
// attribute). Writes the length of the name (with its mark) to
// *name_length and that of the whole text with its NUL to *length. 0, or
// -1405 when the mark would push the name past 639 characters.
// known_length: strlen(name) when the caller has it, else 0.
int node_text(bool add_mark, const char *name, const char *&value, char (&text)[cfgtree::kTextSize],
              std::size_t *name_length, uint16_t *length, std::size_t known_length = 0) noexcept {
    std::size_t len = known_length ? known_length : std::strlen(name);
    if (len + (add_mark ? 1 : 0) > cfgtree::kTextMax) {
        CFG_LOG(5, "%s: name too long with its read-only mark: '%s'", "cfg_create_item", name);
        return CFG_ERR_SYNTAX;
    }
    const std::string_view mark = add_mark ? "!" : "", whole(name, len);
    *name_length = mark.size() + len;
    std::size_t joined = value ? cfgtree::join_text(text, sizeof text, {mark, whole, "=", value}) : sizeof text;
    if (joined >= sizeof text) {
        value = nullptr;
        joined = cfgtree::join_text(text, sizeof text, {mark, whole});
    }
    *length = static_cast<uint16_t>(joined + 1);
    return CFG_OK;
}

// Makes the object name under parent; nothing is left behind on failure.
// hint: what the lookup of the plain name that just missed it left
// (ds_step_object_locked), or NULL.
int create_object(cfg_handle parent, const char *name, cfg_handle *out,
                  const ds_slot_hint *hint = nullptr) noexcept {
    int status = cfgtree::is_valid_identifier(name);
    if (status != CFG_OK) return status;
    char text[cfgtree::kTextSize];
    uint16_t length = 0;
    const char *no_value = nullptr;
    std::size_t name_length = 0;
    status = node_text(adds_mark(parent, name), name, no_value, text, &name_length, &length);
    if (status != CFG_OK) return status;
    cfg_handle ident = ds_append_avp2(0, 2, cfgtree::xid_identifier(), 0, text, length);
    if (!ident) {
        CFG_LOG(5, "%s: Cannot create object '%s'", "cfg_create_object", name);
        return ERR_CREATE_FAILED;
    }
    // The reference is bound as it is made: an unbound one names nothing to
    // the store's index, so a parent that keeps one would not find the object.
    cfg_handle ref = ds_append_reference(parent, ident, hint);
    if (!ref) {
        CFG_LOG(5, "%s: Cannot create object reference for '%s'", "cfg_create_object", name);
        (void)ds_delete_obj(ident);
        return ERR_CREATE_FAILED;
    }
    if (out) *out = ident;
    return CFG_OK;
}

// The store step of make_attr: the new attribute in *node (0 when the store
// refuses it), whether its value was set in *set. given: the value, or NULL;
// set to NULL when it does not fit (node_text). A plain name that takes no
// mark goes to the store with its value as they are, to be joined there;
// any other is joined here first. Compiled into make_attr, its one caller:
// out of line it costs every definition some 30 instructions more.
[[gnu::always_inline]] inline int append_attr(cfg_handle parent, const char *name, bool add_mark, const char *&given,
                                              std::size_t plain_length, const ds_slot_hint *hint, int *set,
                                              cfg_handle *node) noexcept {
    if (given && plain_length && !add_mark) {
        std::size_t value_length = std::strlen(given);
        if (plain_length + 1 + value_length < cfgtree::kTextSize) {
            *node = ds_append_value(parent, name, static_cast<uint16_t>(plain_length), given,
                                    static_cast<uint16_t>(value_length), set, hint);
            return CFG_OK;
        }
    }
    char text[cfgtree::kTextSize];
    std::size_t name_length = 0;
    uint16_t length = 0;
    int status = node_text(add_mark, name, given, text, &name_length, &length, plain_length);
    if (status != CFG_OK) return status;
    // One store step makes the attribute and sets it, as an append of the
    // name and a set would (a refused set leaves the name).
    *node = given ? ds_append_set(parent, text, static_cast<uint16_t>(name_length), length, plain_length != 0, set,
                                  hint)
                  : ds_append_avp2(parent, 2, cfgtree::xid_item(), 0, text, length);
    return CFG_OK;
}

// Makes the attribute name under parent, holding its name; with a value
// (and valued), sets it then as set_attr_value would, from the text already
// built, and says so in *valued: the status is then the set's. name is a
// valid identifier (create_attr checks one that may not be); plain_length:
// the length of a name that is at most one '!' and then name characters
// only, 0 for any other; hint: what the lookup of that plain name left
// (ds_step_attr_locked), or NULL.
int make_attr(cfg_handle parent, const char *name, const char *value, bool *valued, cfg_handle *out,
              std::size_t plain_length = 0, const ds_slot_hint *hint = nullptr) noexcept {
#if defined(CFGTREE_ASSERTS)
    CFG_ASSERT(cfgtree::is_valid_identifier(name) == CFG_OK);
    CFG_ASSERT(!plain_length || plain_length == std::strlen(name));
#endif
    // The name is one whole component, so the stored text is what a set
    // would make of it.
    const char *given = value && valued ? value : nullptr;
    int set = 0;
    cfg_handle node = 0;
    int status = append_attr(parent, name, adds_mark(parent, name), given, plain_length, hint, &set, &node);
    if (status != CFG_OK) return status;
    if (!node) {
        CFG_LOG(5, "%s: Cannot create attribute", "cfg_create_attr");
        return ERR_CREATE_FAILED;
    }
    if (out) *out = node;
    if (!given) return CFG_OK;
    *valued = true;
    return set ? CFG_OK : cfgtree::modify_failed(node);
}

int create_attr(cfg_handle parent, const char *name, const char *value, bool *valued, cfg_handle *out) noexcept {
    int status = cfgtree::is_valid_identifier(name);
    if (status != CFG_OK) return status;
    return make_attr(parent, name, value, valued, out);
}

// Finds or makes one component under parent into *found. Below a component
// that had to be made nothing can exist yet, so no search is made there.
int find_or_create(cfg_handle parent, const char *component, bool object, bool &created, bool missing,
                   const char *value, bool *valued, cfg_handle *found) noexcept {
    if (!created && !missing) {
        *found = object ? cfgtree::find_child_object(parent, component, nullptr, {kModule, kCreate, __LINE__})
                        : cfgtree::find_child_attribute(parent, component, {kModule, kCreate, __LINE__});
        if (*found) return CFG_OK;
    }
    int status = object ? create_object(parent, component, found)
                        : create_attr(parent, component, value, valued, found);
    if (status == CFG_OK) created = true;
    return status;
}

// Did the lookup that just failed search exactly this: the component text
// [at, end) under parent? Both walks read the same identifier, but the
// lookup cuts at every dot and this walk parses names and instances, so the
// component's place and length must agree, not just the parent.
// An object component (followed by a dot) was searched as an object by both;
// a last one as an attribute (and as an object) by the lookup.
bool known_missing(const cfgtree::WalkMiss *miss, cfg_handle parent, const char *base, const char *at,
                   const char *end) noexcept {
    return miss && miss->known && miss->parent == parent && static_cast<std::size_t>(at - base) == miss->offset &&
           static_cast<std::size_t>(end - at) == miss->length;
}

// Makes the missing attribute of the plain component name (length
// characters, with an instance when bracketed) under parent. Without an
// instance it is at most one '!' and name characters, a valid identifier
// made without checking it again; hint: where the lookup that missed it
// stopped in parent's name index (ds_step_attr_locked).
int make_plain_attr(cfg_handle parent, const char *name, std::size_t length, bool bracketed, const char *value,
                    bool *valued, cfg_handle *out, const ds_slot_hint *hint) noexcept {
    return bracketed ? create_attr(parent, name, value, valued, out)
                     : make_attr(parent, name, value, valued, out, length, hint);
}

// The component that plain_component reads from the name[0..length): at
// most one '!' and then name characters only, as the caller vouches (debug
// builds check it), and a NUL.
cfgtree::Component vouched_component(const char *name, std::size_t length) noexcept {
    const std::size_t mark = name[0] == '!' ? 1 : 0;
    cfgtree::Component c{name + mark, length - mark, name + length, 0, false, length};
#if defined(CFGTREE_ASSERTS)
    cfgtree::Component read{};
    CFG_ASSERT(length <= cfgtree::kComponentMax && name[length] == '\0' && cfgtree::plain_component(name, read) &&
               read.name == c.name && read.nlen == c.nlen && read.ilen == 0 && !read.bracketed &&
               read.length == length);
#endif
    return c;
}

// The usual definition, one plain attribute name under a known object (a
// line of a block): found or made in place, without the walk's copy. Returns
// false, doing nothing, when the store cannot tell whether the attribute
// exists (see plain_attribute); the full walk then decides. plain_length: as
// create_attr_locked's.
bool create_plain_attr(cfg_handle parent, const char *name, const char *value, bool *valued, cfg_handle *found,
                       int *status, std::size_t plain_length) noexcept {
    cfgtree::Component c;
    if (plain_length) {
        c = vouched_component(name, plain_length);
    } else if (!cfgtree::plain_component(name, c) || name[c.length] != '\0') {
        return false;
    }
    cfg_handle attr = 0;
    ds_slot_hint hint{};
    if (!cfgtree::plain_attribute(parent, name, c, &attr, &hint)) return false;
    // A name without instance, read whole, is name characters after at most
    // one '!': a valid identifier, which need not be checked again.
    *status = CFG_OK;
    if (!attr) *status = make_plain_attr(parent, name, c.length, c.bracketed, value, valued, &attr, &hint);
    *found = attr;
    return true;
}

// The objects, and the attribute below them, that a lookup which read plain
// components only left to be made from the object component it missed at
// miss.offset, made one under the other as the full walk would make them,
// when they are plain as well and the identifier is short (a longer one is
// walked in a heap copy, whose failure the caller reports). Returns false,
// doing nothing, when the walk must decide. Out of line: its name buffer
// stays off the path of a missing attribute alone.
[[gnu::noinline]] bool create_objects_below(const cfgtree::WalkMiss &miss, const char *text, const char *value,
                                            bool *valued, cfg_handle *out, int *status) noexcept {
    const char *at = text + miss.offset;
    if (std::strlen(at) + miss.offset >= cfgtree::kTextSize) return false;
    for (const char *p = at;;) {
        cfgtree::Component c;
        if (!cfgtree::plain_component(p, c)) return false;
        if (p[c.length] == '\0') break;
        p += c.length + 1;
    }
    cfg_handle parent = miss.parent, found = 0;
    for (;;) {
        cfgtree::Component c{};
        (void)cfgtree::plain_component(at, c);  // read as plain above
        if (at[c.length] == '\0') {
            *status = make_plain_attr(parent, at, c.length, c.bracketed, value, valued, &found, nullptr);
            break;
        }
        char name[cfgtree::kTextSize];
        std::memcpy(name, at, c.length);
        name[c.length] = '\0';
        *status = create_object(parent, name, &found);
        if (*status != CFG_OK) break;
        parent = found;
        at += c.length + 1;
    }
    if (out) *out = *status == CFG_OK ? found : 0;
    return true;
}

// What a lookup that read plain components only and missed the one at
// miss.offset left to be made, made where it stopped: the walk would come
// to the same parent and search nothing below it. The missed component, when
// it is the last, is the attribute (a set that creates, as in an update-mode
// load), made at the slot the lookup's probe left; otherwise see
// create_objects_below. Returns false, doing nothing, when the walk must
// decide.
bool create_below(const cfgtree::WalkMiss &miss, const char *text, const char *value, bool *valued,
                  cfg_handle *out, int *status) noexcept {
    const char *at = text + miss.offset;
    if (at[miss.length] != '\0') return create_objects_below(miss, text, value, valued, out, status);
    cfg_handle found = 0;
    *status = make_plain_attr(miss.parent, at, miss.length, miss.bracketed, value, valued, &found, &miss.hint);
    if (out) *out = *status == CFG_OK ? found : 0;
    return true;
}

// The usual block, one plain object name under a known object (a file's
// block line, or a caller's cfg_create_item of one such name): found or
// made in place, without the walk's copy. Returns false, doing nothing,
// when the store cannot tell whether the object exists (see plain_object);
// the full walk then decides.
bool create_object_locked(cfg_handle parent, const char *name, cfg_handle *out, int *status) noexcept {
    cfgtree::Component c;
    if (!cfgtree::plain_component(name, c) || name[c.length] != '\0') return false;
    cfg_handle object = 0;
    ds_slot_hint hint{};
    if (!cfgtree::plain_object(parent, name, c, &object, &hint)) return false;
    *status = object ? CFG_OK : create_object(parent, name, &object, &hint);
    if (out) *out = *status == CFG_OK ? object : 0;
    return true;
}

// The store could not make the root: items made now would hang nowhere.
int no_root(cfg_handle *out) noexcept {
    CFG_LOG(3, "%s: ds_get_cntl_info(1) == 0, ds error = %d", "cfg_create_item", ds_get_error());
    if (out) *out = 0;
    return ERR_CREATE_FAILED;
}

}  // namespace

namespace cfgtree {

bool create_attr_locked(cfg_handle start, const char *identifier, const char *value, bool *valued, cfg_handle *out,
                        int *status, std::size_t plain_length) noexcept {
    cfg_handle found = 0;
    if (!create_plain_attr(start ? start : root(), identifier, value, valued, &found, status, plain_length))
        return false;
    if (out) *out = *status == CFG_OK ? found : 0;
    return true;
}

// A NULL identifier is treated as the empty text (a syntax error).
int create_item(cfg_handle start, const char *identifier, uint16_t kind, cfg_handle *out, const WalkMiss *miss,
                const char *value, bool *valued) noexcept {
    if (valued) *valued = false;
    const char *text = identifier ? identifier : "";
    if (start == 0) start = root();  // once: a store that cannot make it now is not asked again
    if (start == 0) return no_root(out);
    if (kind == xid_item()) {
        StoreLock lock;
        int status = CFG_OK;
        if (miss && miss->known && miss->plain && create_below(*miss, text, value, valued, out, &status))
            return status;
        if (create_attr_locked(start, text, value, valued, out, &status)) return status;
    } else if (kind == xid_reference()) {
        StoreLock lock;
        int status = CFG_OK;
        if (create_object_locked(start, text, out, &status)) return status;
    }
    return create_walk(start, text, kind, out, miss, value, valued);
}

int create_walk(cfg_handle start, const char *text, uint16_t kind, cfg_handle *out, const WalkMiss *miss,
                const char *value, bool *valued) noexcept {
    WorkCopy copy(text);
    if (!copy.get()) {
        int err = errno;
        CFG_LOG(2, "%s: strdup(%s)\n\t\terrno = %d => \"%s\"", "cfg_create_item", text, err, errno_text(err));
        return ERR_NO_MEMORY;
    }
    if (start == 0) start = root();
    if (start == 0) return no_root(out);

    cfg_handle found = 0;
    int status = CFG_OK;
    {
        StoreLock lock;
        char component[kTextSize];
        const char *base = copy.get();
        const char *pos = nullptr;
        cfg_handle parent = start;
        uint32_t marked = 0;  // not used: creation looks at the stored marks
        uint64_t reports = search_reports();
        const char *at = base + g_create_memo.resume(start, base, &parent, &marked);
        status = split_identifier(at, component, nullptr, &pos);
        bool created = false;
        while (status == CFG_OK) {
            bool object = *pos == '.' || kind == xid_reference();
            found = 0;
            status = find_or_create(parent, component, object, created, known_missing(miss, parent, base, at, pos),
                                    value, valued, &found);
            if (status != CFG_OK || *pos != '.') break;
            // An object made here is the first of its name too (there was
            // none, or its parent is new): the next walk may go on after it.
            g_create_memo.step(static_cast<std::size_t>(pos - base), found, 0);
            parent = found;
            at = pos + 1;
            status = split_identifier(at, component, nullptr, &pos);
        }
        g_create_memo.finish(base, status == CFG_OK && search_reports() == reports);
        if (status != CFG_OK) found = 0;
    }
    if (out) *out = found;
    return status;
}

}  // namespace cfgtree

extern "C" {

// Children made under anything but an object (an attribute, a reference
// node) could never be found, and a handle that names nothing has no
// children: a caller's start is checked here (the library's own starts are
// objects, so loads pay nothing), under the lock that the creation then
// holds, so that no other thread deletes the start in between.
CFG_API int cfg_create_item(cfg_handle start, const char *identifier, uint16_t kind, cfg_handle *out) noexcept {
    cfgtree::StoreLock lock;
    if (start != 0 && start != cfgtree::root() && !cfgtree::is_object(start)) {
        CFG_LOG(5, "%s: start <%ld> is not an object", "cfg_create_item", static_cast<long>(start));
        if (out) *out = 0;
        return CFG_ERR_BAD_OBJECT;
    }
    return cfgtree::create_item(start, identifier, kind, out);
}

}  // extern "C"
