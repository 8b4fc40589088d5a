// cfg_d_delete.cpp - deleting objects and attributes.
//
// cfg_delete_item walks a dotted identifier from a start object and removes
// the one child that its last component names: for an object its reference
// node under the parent (the store drops what only it held), for an
// attribute the node itself. At the last component objects are tried before
// attributes. Cfg_Delete repeats that from the current context until nothing
// matches, each round going on where the one before left the last
// component's search. Read-only marks play no part. Components live in
// 640-byte buffers.
#include "cfg_private.h"
#include "ds_index.h"

namespace {
constexpr const char kModule[] = "cfg_d_delete";
constexpr const char kDelete[] = "cfg_delete_item";

// Where the rounds of a Cfg_Delete have come in the search of the last
// component under parent: for each kind, the children up to a sequence
// number were compared, and none matched or was unreadable. The next round
// goes on from there while the store has not changed since (its generation;
// children appended meanwhile come after every point) instead of comparing
// them all again, which made a wildcard delete quadratic in the namesakes it
// does not match (srv[db:*] after many srv[web:k]). The prefix is walked in
// full in every round.
struct Resume {
    struct Point {
        bool known = false;
        cfgtree::SearchFrom from;
    };
    cfg_handle parent = 0;
    uint64_t generation = 0;
    Point objects, attributes;
};

// What the walk found: the item, its reference node (0 for an attribute)
// and the parent holding it; clean: the search of the last component
// reported no unreadable child; generation and last_object: the store's
// generation and the parent's last object reference when that search began
// (a log sink may change the store while it runs).
struct Target {
    cfg_handle parent = 0;
    cfg_handle item = 0;
    cfg_handle reference = 0;
    bool clean = false;
    uint64_t generation = 0;
    cfg_handle last_object = 0;
};

// Searches the last component under parent, objects before attributes,
// each kind from its point when resume keeps one for this parent and the
// store is as it left it (checked before each kind: the trace between them
// may let a log sink change it). The finder decides how to go on from a
// point (a name without wildcards is looked up through the index again).
void search_last(cfg_handle parent, const char *component, Target *target, const Resume *resume) noexcept {
    auto from = [&](const Resume::Point Resume::*kind) -> const cfgtree::SearchFrom * {
        bool usable = resume && resume->parent == parent && resume->generation == ds_generation();
        return usable && (resume->*kind).known ? &(resume->*kind).from : nullptr;
    };
    uint64_t reports = cfgtree::search_reports();
    target->generation = ds_generation();
    if (resume) target->last_object = ds_last_of(parent, cfgtree::xid_reference());
    target->item = cfgtree::find_child_object(parent, component, &target->reference, {kModule, kDelete, __LINE__},
                                              from(&Resume::objects));
    if (!target->item) {
        CFG_LOG(13, "%s: looking in <%ld> for attribute '%s'", kDelete, static_cast<long>(parent), component);
        target->item =
            cfgtree::find_child_attribute(parent, component, {kModule, kDelete, __LINE__}, from(&Resume::attributes));
    }
    target->clean = cfgtree::search_reports() == reports;
}

// Walks text from start; 0 with *target filled, 106, or the parser's status.
// Components before the last are looked up among sub-objects only.
int walk(cfg_handle start, const char *text, Target *target, const Resume *resume) noexcept {
    char component[cfgtree::kTextSize];
    const char *pos = nullptr;
    int status = cfgtree::split_identifier(text, component, nullptr, &pos);
    target->parent = start;
    while (status == CFG_OK) {
        cfg_handle parent = target->parent;
        CFG_LOG(13, "%s: looking in <%ld> for object '%s'", kDelete, static_cast<long>(parent), component);
        if (*pos != '.') {
            search_last(parent, component, target, resume);
            return target->item ? CFG_OK : CFG_NOT_FOUND;
        }
        target->item =
            cfgtree::find_child_object(parent, component, &target->reference, {kModule, kDelete, __LINE__});
        if (!target->item) return CFG_NOT_FOUND;
        target->parent = target->item;
        target->item = target->reference = 0;
        status = cfgtree::split_identifier(pos + 1, component, nullptr, &pos);
    }
    target->item = target->reference = 0;
    return status;
}

// The points after a deleted match (sequence number seq, next: the next
// child of its bare name): its kind goes on after it; a match among the
// attributes leaves every object compared that was there when the search
// began.
void keep_points(Resume *resume, const Target &target, uint32_t seq, cfg_handle next) noexcept {
    Resume::Point point{true, {seq, next}};
    *resume = Resume{target.parent, ds_generation(), {}, {}};
    if (target.reference) {
        resume->objects = point;
    } else {
        resume->objects = Resume::Point{true, {ds_seq(target.last_object), 0}};
        resume->attributes = point;
    }
}

}  // namespace

namespace cfgtree {

namespace {

// cfg_delete_item; resume (may be NULL) is where the previous round of a
// Cfg_Delete left off, and receives where this one does.
int delete_one(cfg_handle start, const char *identifier, Resume *resume) noexcept {
    const char *text = identifier ? identifier : "";
    HeapText copy = dup_text(text);
    if (!copy) {
        int err = errno;
        CFG_LOG(2, "%s: malloc(%s)\n\t\terrno = %d => \"%s\"", kDelete, text, err, errno_text(err));
        return ERR_NO_MEMORY;
    }
    CFG_LOG(10, "%s('%s')", kDelete, text);
    if (start == 0) start = root();

    StoreLock lock;
    Target target;
    int status = walk(start, copy.get(), &target, resume);
    if (resume) *resume = Resume{};
    CFG_LOG(13, "%s: ref_h = %ld, item_h = %ld", kDelete, static_cast<long>(target.reference),
            static_cast<long>(target.item));
    // The trace comes first: a log sink that deleted the item meanwhile makes
    // the deletion fail (-139), and one that changed the store otherwise
    // leaves the next round nowhere to go on from (steady).
    if (status == CFG_OK && target.item) {
        cfg_handle node = target.reference ? target.reference : target.item;
        const uint32_t seq = resume ? ds_seq(node) : 0;
        const cfg_handle next = resume ? ds_next_named(node) : 0;
        bool steady = target.clean && ds_generation() == target.generation;
        status = ds_delete_avp3(target.parent, node) ? CFG_OK : ERR_DELETE_FAILED;
        if (status == CFG_OK && resume && steady) keep_points(resume, target, seq, next);
    }
    return status;
}

}  // namespace

// A NULL identifier is treated as the empty text (a syntax error).
int delete_item(cfg_handle start, const char *identifier) noexcept { return delete_one(start, identifier, nullptr); }

// Each round deletes one match; the store takes a deleted node out of its
// parent's children, so the same item is never found twice. Every round
// starts from the context current when it starts (a log sink may push or
// pop one meanwhile); it goes on where the last round left off only in the
// same parent.
int delete_all(const char *identifier) noexcept {
    Resume resume;
    int status = delete_one(context_start(), identifier, &resume);
    if (status != CFG_OK) return status;
    while (status == CFG_OK) status = delete_one(context_start(), identifier, &resume);
    return status == CFG_NOT_FOUND ? CFG_OK : status;
}

}  // namespace cfgtree

extern "C" {

CFG_API int cfg_delete_item(cfg_handle start, const char *identifier) noexcept {
    return cfgtree::delete_item(start, identifier);
}

CFG_API int Cfg_Delete(const char *identifier) noexcept { return cfgtree::delete_all(identifier); }

}  // extern "C"
