// cfg_d_find.cpp - finding items: the child searches and the identifier walk.
//
// Owns the one child lookup by name (find_child_object/_attribute), which
// every module uses to pick the child a component names, and cfg_find_item,
// which walks a dotted identifier from a start object (going on after the
// prefix it shares with the last walk, while that is known to lead to the
// same object: WalkMemo, which also lives here). The child lookup asks
// the store's name index for the few candidates that can match, so finding a
// child costs the same among ten siblings or a million. The walk reads the
// identifier in place: the store answers a plain component in one call
// (ds_step_plain_locked); a component it cannot judge is cut into a copy, on the
// stack up to 639 characters, on the heap (the only allocation a lookup may
// make) beyond, and compared in full. The stored attribute name under
// comparison lives in one 640-byte stack buffer (the parser refuses
// components of more than 639 characters, so it always fits).
#include "cfg_private.h"
#include "ds_index.h"

#include <bit>
#include <type_traits>

namespace {
constexpr const char kModule[] = "cfg_d_find";

// A component as the name index compares it: the bare name (mark dropped)
// and the instance between its brackets, empty when there are none.
struct Pattern : cfgtree::Component {
    bool wild;  // an instance token is "*" or "**": it matches many names
};

// False when the component is not a plain name with an optional instance;
// such a component is compared with every child, as compare_items decides.
bool pattern_of(const char *component, Pattern &p) noexcept {
    if (cfgtree::read_component(component, p) != cfgtree::ComponentRead::kOk) return false;
    p.wild = false;
    if (p.ilen) p.wild = cfgtree::has_wild_token(p.inst, p.ilen);
    return true;
}

// Visits the children of a scanned parent: judge_name decides for
// well-formed names, `matches` for the rest.
template <class Matches>
struct ScanVisitor {
    const Pattern *pattern;  // NULL: every child goes to matches
    bool objects;            // the children are references, named by their objects
    Matches *matches;
    static int visit(cfg_handle child, const char *text, void *arg) noexcept {
        auto *self = static_cast<ScanVisitor *>(arg);
        using cfgtree::Judgement;
        const Pattern *p = self->pattern;
        Judgement j = p ? cfgtree::judge_name(text, self->objects, p->name, p->nlen, p->inst, p->ilen)
                        : Judgement::kAsk;
        return j == Judgement::kMatch || (j == Judgement::kAsk && (*self->matches)(child));
    }
};

// A report of a child that cannot be read may let a log sink change the
// store: a search takes its next candidate before comparing one (which the
// sink may rename away from its list), and when the sink deleted the child
// it reported, or that next candidate, goes on as a scan does: with the
// children appended after the one reported, compared in full.
bool alive(cfg_handle h) noexcept { return h && ds_get_attr_id(h) != 0; }

// The store as a search found it: a sink may also append a child that
// matches, or give a later child a matching name, which the candidates taken
// from the index before the report do not hold. A search that finds the
// store changed after a comparison goes on as a scan does, with the children
// after the one compared. Deletions, bindings and renames change the
// generation; an append changes the last child of the kind.
struct StoreState {
    cfg_handle parent;
    uint16_t xid;
    uint64_t generation;
    cfg_handle last;
    StoreState(cfg_handle p, uint16_t x) noexcept
        : parent(p), xid(x), generation(ds_generation()), last(ds_last_of(p, x)) {}
    bool changed() const noexcept { return ds_generation() != generation || ds_last_of(parent, xid) != last; }
};

// The first child of kind xid that `matches` accepts, from the first child,
// or (after given) from the first one appended after the child of sequence
// number *after: numbers start at 0, so 0 names the first child, which a
// search going on after it must not compare again. Pattern NULL compares
// every child in full.
template <class Matches>
cfg_handle scan_children(cfg_handle parent, uint16_t xid, const Pattern *pattern, Matches &matches,
                         const uint32_t *after = nullptr) noexcept {
    using Visitor = ScanVisitor<std::remove_reference_t<Matches>>;
    Visitor visitor{pattern, xid == cfgtree::xid_reference(), &matches};
    cfg_handle from = after ? ds_first_after(parent, xid, *after) : parent;
    return from ? ds_scan_named(from, xid, &Visitor::visit, &visitor) : 0;
}

// The namesakes from named and the unreadable children from odd, merged in
// store order, compared until one matches (*after: the candidates after it);
// as a scan after the child a log sink deleted, or whose next candidate it
// deleted (see alive()).
template <class Matches>
cfg_handle merged_walk(cfg_handle parent, uint16_t xid, cfg_handle named, cfg_handle odd, Matches &matches,
                       cfgtree::SearchFrom *after) noexcept {
    StoreState found_as(parent, xid);
    while (named || odd) {
        bool take_odd = odd && (!named || ds_seq(odd) < ds_seq(named));
        cfg_handle c = take_odd ? odd : named;
        if (take_odd) odd = ds_next_odd(odd);
        else named = ds_next_named(named);
        uint32_t seq = ds_seq(c);
        if (matches(c)) {
            *after = cfgtree::SearchFrom{seq, named, odd};
            return c;
        }
        if (found_as.changed() || !alive(c) || (odd && !alive(odd)) || (named && !alive(named)))
            return scan_children(parent, xid, nullptr, matches, &seq);
    }
    return 0;
}

// The first child of kind xid, in store order, that `matches` accepts.
// A small parent is simply scanned: every child is compared, and a child
// whose stored name cannot be read is reported as the scan meets it. A large
// parent's name index narrows the candidates: for a component without
// wildcard tokens, the first child with exactly its name and instance and
// the few children kept aside, whose own instance holds a wildcard or whose
// name cannot be read (whichever comes first in store order); with
// wildcards, the children of that bare name and those whose name cannot be
// read. Those are compared in full, so they are reported where a scan would
// meet them. A component the index cannot read is compared with every child.
template <class Matches>
cfg_handle first_child(cfg_handle parent, uint16_t xid, const char *component, Matches &&matches,
                       cfgtree::SearchFrom *after) noexcept {
    Pattern p;
    bool readable = pattern_of(component, p);
    if (readable && !p.wild) {
        cfg_handle exact = 0, wild = 0;
        if (ds_lookup_plain(parent, xid, p.name, p.nlen, p.inst, p.ilen, &exact, &wild)) {
            // The store keys a child by exactly the name and instance the
            // matcher compares, so an exact hit needs no second comparison
            // (checked in debug builds).
#if defined(CFGTREE_ASSERTS)
            if (exact && !CFG_ASSERT(matches(exact))) exact = 0;
#endif
            if (!wild) return exact;
            uint32_t before = exact ? ds_seq(exact) : UINT32_MAX;
            StoreState found_as(parent, xid);
            for (cfg_handle w = wild; w && ds_seq(w) < before;) {
                cfg_handle next = ds_next_wild(w);  // see alive()
                uint32_t seq = ds_seq(w);
                if (matches(w)) return w;
                if (found_as.changed() || !alive(w) || (next && !alive(next)))
                    return scan_children(parent, xid, &p, matches, &seq);
                w = next;
            }
            return alive(exact) ? exact : 0;
        }
    } else if (readable && ds_index_ready(parent)) {
        return merged_walk(parent, xid, ds_first_named(parent, xid, p.name, p.nlen), ds_first_odd(parent, xid),
                           matches, after);
    }
    return scan_children(parent, xid, readable && !p.wild ? &p : nullptr, matches);
}

// first_child going on after the children up to from.seq, which were
// compared and did not match: a name without wildcards is found through the
// index as before (what the point passed cannot match, and going on child by
// child would cost every sibling after it); with wildcards, an indexed
// parent's namesakes from from.named (when known) and its unreadable children
// after the point, else the children after it.
template <class Matches>
cfg_handle next_child(cfg_handle parent, uint16_t xid, const char *component, Matches &matches,
                      const cfgtree::SearchFrom &from, cfgtree::SearchFrom *after) noexcept {
    Pattern p;
    bool readable = pattern_of(component, p);
    if (readable && !p.wild) return first_child(parent, xid, component, matches, after);
    if (!readable || !ds_index_ready(parent)) return scan_children(parent, xid, nullptr, matches, &from.seq);
    // The candidates the search before left, or those after the point found
    // from their lists' tails: the rounds of a wildcard delete go on there
    // without passing again what comes before the point or after it.
    cfg_handle named = from.named ? from.named : ds_named_after(parent, xid, p.name, p.nlen, from.seq);
    cfg_handle odd = from.odd ? from.odd : ds_odd_after(parent, xid, from.seq);
    return merged_walk(parent, xid, named, odd, matches, after);
}

}  // namespace

namespace cfgtree {

namespace {
uint64_t g_reports = 0;  // unreadable children reported by the searches
WalkMemo g_find_memo;    // the last lookup's object levels
}  // namespace

uint64_t search_reports() noexcept { return g_reports; }

namespace {

// The longest kept prefix that a resumed walk compares byte by byte.
constexpr std::size_t kQuickBytes = 7;

// The bits in which the eight bytes at a + at and at b + at differ.
uint64_t word_diff(const char *a, const char *b, std::size_t at) noexcept {
    uint64_t x, y;
    std::memcpy(&x, a + at, 8);
    std::memcpy(&y, b + at, 8);
    return x ^ y;
}

// How many leading bytes of a[0..n) and b[0..n) agree: eight at a time
// (the first differing bit tells the byte), the last eight overlapping those
// before, so that no tail is compared one by one.
std::size_t common_prefix(const char *a, const char *b, std::size_t n) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        auto first_differing = [](std::size_t at, uint64_t d) {
            return at + static_cast<std::size_t>(std::countr_zero(d) >> 3);
        };
        if (n >= 8) {
            for (std::size_t i = 0; i + 8 < n; i += 8)
                if (uint64_t d = word_diff(a, b, i)) return first_differing(i, d);
            const uint64_t d = word_diff(a, b, n - 8);
            return d ? first_differing(n - 8, d) : n;
        }
    }
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

}  // namespace

// Every lookup starts with it: it is inlined into find_item below (the
// creation walk calls the copy out of line). GCC warns that a function not
// declared inline might not be inlinable; within this file it is.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
[[gnu::always_inline]] std::size_t WalkMemo::resume(cfg_handle start, const char *text, cfg_handle *object,
                                                    uint32_t *marked, bool *plain) noexcept {
    if (depth_++ > 0) return 0;
    walk_start_ = start;
    walk_generation_ = ds_generation();
    walked_ = resumed_ = 0;
    overflow_ = false;
    if (start != start_ || walk_generation_ != generation_) kept_ = 0;
    // A level is shared when the text agrees up to its dot. The kept prefix
    // holds no NUL, so a short one is compared byte by byte, which stops at
    // the text's end; a longer one eight bytes at a time, within the text
    // measured first. Dots rise with the levels, and a walk mostly shares
    // all but the last few: the levels are counted off from the deepest.
    if (kept_) {
        const std::size_t kept_length = level_[kept_ - 1].dot + 1u;
        std::size_t common = 0;
        if (kept_length <= kQuickBytes) {
            while (common < kept_length && text_[common] == text[common]) ++common;
        } else {
            common = common_prefix(text_, text, strnlen(text, kept_length));
        }
        int shared = kept_;
        while (shared > 0 && level_[shared - 1].dot >= common) --shared;
        resumed_ = shared;
    }
    walked_ = resumed_;
    if (resumed_ == 0) return 0;
    *object = level_[resumed_ - 1].object;
    *marked = level_[resumed_ - 1].marked;
    if (plain) *plain = level_[resumed_ - 1].plain;
    return level_[resumed_ - 1].dot + 1u;
}
#pragma GCC diagnostic pop

void WalkMemo::step(std::size_t dot, cfg_handle object, uint32_t marked, bool plain) noexcept {
    if (depth_ > 1) return;
    if (overflow_ || walked_ == kLevels || dot + 1 >= kTextSize) {
        overflow_ = true;  // deeper levels are not kept: the prefix kept so far stays exact
        return;
    }
    level_[walked_++] = Level{static_cast<uint16_t>(dot), plain, marked, object};
}

void WalkMemo::finish(const char *text, bool keep) noexcept {
    if (--depth_ > 0) return;
    // A report may have let a log sink change the store: then nothing is kept.
    bool unchanged = ds_generation() == walk_generation_;
    // A walk that took over every kept level and added none (a lookup in
    // the object of the last) leaves the kept walk as it was.
    if (unchanged && walked_ == kept_ && resumed_ == kept_) return;
    kept_ = !unchanged ? 0 : keep ? walked_ : resumed_;
    start_ = walk_start_;
    generation_ = walk_generation_;
    std::size_t length = kept_ ? level_[kept_ - 1].dot + 1u : 0;
    // The prefix this walk resumed after is in text_ already.
    std::size_t held = resumed_ && kept_ ? level_[resumed_ - 1].dot + 1u : 0;
    if (length > held) std::memcpy(text_ + held, text + held, length - held);
    text_[length] = '\0';
}

cfg_handle WalkMemo::known(cfg_handle start, const char *text, std::size_t length) const noexcept {
    if (depth_ > 0 || start != start_ || ds_generation() != generation_) return 0;
    for (int i = kept_; i-- > 0;) {
        if (level_[i].dot < length) return 0;
        if (level_[i].dot == length) return std::memcmp(text_, text, length) == 0 ? level_[i].object : 0;
    }
    return 0;
}

cfg_handle srch_object(cfg_handle start, cfg_handle *target) noexcept {
    if (start == 0) return 0;
    cfg_handle found = 0;
    if (!ds_srch_av_ptr(start, 2, xid_reference(), &found)) return 0;
    if (target) *target = ds_ref_target(found);
    return found;
}

cfg_handle srch_attribute(cfg_handle start) noexcept {
    if (start == 0) return 0;
    cfg_handle found = 0;
    return ds_srch_av_ptr(start, 2, xid_item(), &found) ? found : 0;
}

namespace {

// compare_items for a search. A name the parser refuses (it logs why) counts
// as a report: a walk that met one is not kept, so that the next one meets
// it, and logs it, again.
bool same_item(const char *component, const char *name) noexcept {
    int status = compare_items(component, name, nullptr);
    if (status != CFG_OK && status != CFG_NO_MATCH) ++g_reports;
    return status == CFG_OK;
}

}  // namespace

cfg_handle find_child_object(cfg_handle parent, const char *component, cfg_handle *reference,
                             const SearchReporter &who, const SearchFrom *from, SearchFrom *after) noexcept {
    auto matches = [&](cfg_handle ref) {
        cfg_handle target = static_cast<cfg_handle>(object_ref(ref));
        const char *name = object_id(target);
        if (!name) {
            ++g_reports;
            Log_Entry(3, who.module, who.line ? who.line : __LINE__, "Bad config object at <%ld>",
                      static_cast<long>(target));
            return false;
        }
        return same_item(component, name);
    };
    SearchFrom walked;
    cfg_handle ref = from ? next_child(parent, xid_reference(), component, matches, *from, &walked)
                          : first_child(parent, xid_reference(), component, matches, &walked);
    if (!ref) return 0;
    if (reference) *reference = ref;
    if (after) *after = SearchFrom{ds_seq(ref), walked.named, walked.odd};
    return ds_ref_target(ref);
}

cfg_handle find_child_attribute(cfg_handle parent, const char *component, const SearchReporter &who,
                                const SearchFrom *from, SearchFrom *after) noexcept {
    char name[kTextSize];
    auto matches = [&](cfg_handle h) {
        const char *text = static_cast<const char *>(ds_get_av_ptr(h));
        if (!text) {
            ++g_reports;
            Log_Entry(3, who.module, who.line ? who.line : __LINE__, "%s: ds_get_av_ptr(%ld)", who.function,
                      static_cast<long>(h));
            return false;
        }
        name[0] = '\0';
        if (split_identifier(text, name, nullptr, nullptr) != CFG_OK) {
            ++g_reports;
            Log_Entry(3, who.module, who.line ? who.line : __LINE__, "Bad config attribute at <%ld>",
                      static_cast<long>(h));
            return false;
        }
        return same_item(component, name);
    };
    SearchFrom walked;
    cfg_handle h = from ? next_child(parent, xid_item(), component, matches, *from, &walked)
                        : first_child(parent, xid_item(), component, matches, &walked);
    if (h && after) *after = SearchFrom{ds_seq(h), walked.named, walked.odd};
    return h;
}

namespace {

// The full search for one component (length characters at text, ended by a
// '.' or the identifier's end): the attribute when it is the last, else the
// object. The component is cut into a copy of its own, on the stack unless
// it is longer than 639 characters. False when that copy cannot be made.
bool search_component(cfg_handle parent, const char *text, std::size_t length, bool last, cfg_handle *found,
                      cfg_handle *ref) noexcept {
    char local[kTextSize];
    HeapText heap;
    char *component = local;
    if (length < sizeof local) {
        std::memcpy(local, text, length);
        local[length] = '\0';
    } else {
        heap = HeapText(cfg_mem_strndup(text, length));
        if (!heap) return false;
        component = heap.get();
    }
    *found = *ref = 0;
    if (last) *found = find_child_attribute(parent, component);
    if (!*found) *found = find_child_object(parent, component, ref);
    return true;
}

// Debug builds check the store's sure answer attr for the plain component c
// (at text) under parent against the full search.
void check_attribute_step(cfg_handle parent, const char *text, const Component &c, cfg_handle attr) noexcept {
#if defined(CFGTREE_ASSERTS)
    char component[kTextSize];  // a plain component holds at most 639 characters
    std::memcpy(component, text, c.length);
    component[c.length] = '\0';
    CFG_ASSERT(attr == find_child_attribute(parent, component));
#else
    (void)parent;
    (void)text;
    (void)c;
    (void)attr;
#endif
}

// The attribute step of a lookup's walk, which holds the store lock already:
// the store need not take it once more nested. *stored is the found
// attribute's stored text, so that the reader need not look the attribute's
// handle up again; or, with hint (a lookup that a creation may follow), the
// text is not read and a miss fills in *hint (ds_step_attr_locked).
bool attribute_step(cfg_handle parent, const char *text, const Component &c, cfg_handle *attr, void **stored,
                    ds_slot_hint *hint) noexcept {
    *attr = 0;
    if (hint ? !ds_step_attr_locked(parent, c.name, c.nlen, c.inst, c.ilen, attr, hint)
             : !ds_step_plain_locked(parent, xid_item(), c.name, c.nlen, c.inst, c.ilen, attr, nullptr, stored))
        return false;
    check_attribute_step(parent, text, c, *attr);
    return true;
}

// The step of the plain component c (at text) asked of the store, whose lock
// the caller holds: false when it cannot tell. *stored is the stored text of
// the attribute found (NULL when the step found none, or with hint: see
// attribute_step). Debug builds check every sure answer against the full
// search.
bool step_plain(cfg_handle parent, const char *text, const Component &c, bool last, cfg_handle *found, cfg_handle *ref,
                void **stored, ds_slot_hint *hint) noexcept {
    cfg_handle child = 0, target = 0;
    bool sure = false;
    *stored = nullptr;
    if (last && !attribute_step(parent, text, c, &child, stored, hint)) return false;
    if (child || (last && hint && hint->no_objects)) {  // the parent holds no object to look at
        *found = child;
        *ref = 0;
        sure = true;
    } else if (ds_step_plain_locked(parent, xid_reference(), c.name, c.nlen, c.inst, c.ilen, &child, &target,
                                    nullptr)) {
        *found = target;
        *ref = child;
        sure = true;
    }
#if defined(CFGTREE_ASSERTS)
    cfg_handle full = 0, full_ref = 0;
    if (sure && search_component(parent, text, c.length, last, &full, &full_ref))
        CFG_ASSERT(full == *found && full_ref == *ref);
#else
    (void)text;
#endif
    return sure;
}

// The value in the stored text of the attribute that the plain component c
// found: a name without instance, which c matched after its mark, ends
// where its value starts when an '=' follows it; any other is read to its
// first '='.
const char *value_after(const char *text, const Component &c) noexcept {
    const std::size_t end = (text[0] == '!' ? 1u : 0u) + c.nlen;
    const char *value = c.ilen == 0 && text[end] == '=' ? text + end + 1 : value_in(text);
#if defined(CFGTREE_ASSERTS)
    CFG_ASSERT(value == value_in(text));
#endif
    return value;
}

}  // namespace

bool plain_attribute(cfg_handle parent, const char *text, const Component &c, cfg_handle *attr,
                     ds_slot_hint *hint) noexcept {
    return attribute_step(parent, text, c, attr, nullptr, hint);
}

bool plain_object(cfg_handle parent, const char *text, const Component &c, cfg_handle *object,
                  ds_slot_hint *hint) noexcept {
    cfg_handle ref = 0, target = 0;
    if (!ds_step_object_locked(parent, c.name, c.nlen, c.inst, c.ilen, &ref, &target, hint)) return false;
    *object = ref ? target : 0;
#if defined(CFGTREE_ASSERTS)
    char component[kTextSize];  // a plain component holds at most 639 characters
    std::memcpy(component, text, c.length);
    component[c.length] = '\0';
    CFG_ASSERT(*object == find_child_object(parent, component, nullptr));
#else
    (void)text;
#endif
    return true;
}

// A NULL identifier is looked up as the empty one: nothing is found (106).
// Components are looked up in place; only one that the store cannot judge
// is copied, to be compared in full.
int find_item_locked(cfg_handle start, const char *identifier, cfg_handle *item, cfg_handle *reference,
                     uint32_t *read_only, WalkMiss *miss, const char **value) noexcept {
    const char *text = identifier ? identifier : "";
    if (start == 0) start = root();

    cfg_handle found = 0, ref = 0;
    uint32_t marked = 0;
    int status = CFG_OK;
    void *text_found = nullptr;  // the found attribute's stored text, when the last step read it
    const char *value_found = nullptr;
    cfg_handle current = start;
    uint64_t reports = g_reports;
    bool path_plain = true;  // every component before the current one was plain
    // A lookup that a creation may follow (miss) probes for it, into the
    // miss itself.
    ds_slot_hint *probe = miss && !value ? &miss->hint : nullptr;
    if (probe) *probe = ds_slot_hint{};
    std::size_t offset = g_find_memo.resume(start, text, &current, &marked, &path_plain);
    for (;;) {
        const char *at = text + offset;
        Component c;
        bool plain = plain_component(at, c);
        std::size_t length = plain ? c.length : std::strcspn(at, ".");
        bool last = at[length] == '\0';
        if (at[0] == '!') marked = 1;
        bool sure = plain && step_plain(current, at, c, last, &found, &ref, &text_found, probe);
        if (!sure && !search_component(current, at, length, last, &found, &ref)) {
            status = ERR_NO_MEMORY;
            int err = errno;
            CFG_LOG(2, "%s: malloc(%s)\n\t\terrno = %d => \"%s\"", "cfg_find_item", text, err,
                    errno_text(err));
            break;
        }
        if (!found) {
            status = CFG_NOT_FOUND;
            if (miss && g_reports == reports) {
                miss->known = true;
                miss->parent = current;
                miss->offset = offset;
                miss->length = length;
                miss->plain = path_plain && plain;
                miss->bracketed = plain && c.bracketed;
            }
            break;
        }
        if (last) {
            if (text_found) value_found = value_after(static_cast<const char *>(text_found), c);
            break;
        }
        path_plain = path_plain && plain;
        g_find_memo.step(offset + length, found, marked, path_plain);
        current = found;
        offset += length + 1;
    }
    g_find_memo.finish(text, g_reports == reports);
    if (status != CFG_OK) return status;
    if (item) *item = found;
    if (reference) *reference = ref;
    if (read_only) *read_only = marked;
    if (value) *value = value_found;
    return CFG_OK;
}

int find_item(cfg_handle start, const char *identifier, cfg_handle *item, cfg_handle *reference,
              uint32_t *read_only, WalkMiss *miss) noexcept {
    StoreLock lock;
    return find_item_locked(start, identifier, item, reference, read_only, miss);
}

int find(const char *identifier, cfg_handle *item) noexcept {
    return find_item(context_start(), identifier, item, nullptr, nullptr);
}

int find_locked(const char *identifier, cfg_handle *item, const char **value) noexcept {
    return find_item_locked(context_start(), identifier, item, nullptr, nullptr, nullptr, value);
}

cfg_handle walked_object(const char *prefix, std::size_t length) noexcept {
    return g_find_memo.known(context_start(), prefix, length);
}

int is_read_only_id(const char *identifier, uint32_t *read_only) noexcept {
    return find_item(context_start(), identifier, nullptr, nullptr, read_only);
}

}  // namespace cfgtree

extern "C" {

CFG_API cfg_handle cfg_srch_object(cfg_handle start, cfg_handle *target) noexcept {
    return cfgtree::srch_object(start, target);
}

CFG_API cfg_handle cfg_srch_attribute(cfg_handle start) noexcept { return cfgtree::srch_attribute(start); }

CFG_API int cfg_find_item(cfg_handle start, const char *identifier, cfg_handle *item, cfg_handle *reference,
                          uint32_t *read_only) noexcept {
    return cfgtree::find_item(start, identifier, item, reference, read_only);
}

CFG_API int Cfg_Find(const char *identifier, cfg_handle *item) noexcept { return cfgtree::find(identifier, item); }

CFG_API int Cfg_IsReadOnly(const char *identifier, uint32_t *read_only) noexcept {
    return cfgtree::is_read_only_id(identifier, read_only);
}

}  // extern "C"
