// cfg_d_delete.cpp - deleting objects and attributes.
//
// cfg_delete_item walks a dotted identifier from a start object and removes
// the one child that its last component names: for an object its reference
// node under the parent (the store drops what only it held), for an
// attribute the node itself. At the last component objects are tried before
// attributes. Cfg_Delete repeats that from the current context until nothing
// matches, each round taking again the objects the round before went
// through and going on where it left the last component's search.
// Read-only marks play no part. Components live in 640-byte buffers.
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
// does not match (srv[db:*] after many srv[web:k]). The objects on the way
// to the last component are the Path's to keep.
struct Resume {
    struct Point {
        bool known = false;
        cfgtree::SearchFrom from;
    };
    cfg_handle parent = 0;
    uint64_t generation = 0;
    Point objects, attributes;
};

// The objects a round's walk went through: at(0) where it began, at(i + 1)
// the object that component i found in at(i). The next round, beginning at
// the same object in a store that nothing changed since this round kept
// them (its generation), takes them again rather than searching: each
// component's first match is the same child. Searching again compared, in
// every round, each namesake before that first match (x[2:*].y[*] behind
// many x[1:k] was quadratic). Kept only when the walk that made them
// reported nothing, and when this round's deletion cannot have changed a
// first match: the object it deleted from is none of the earlier ones (a
// tree whose objects hold each other), nor the deleted object one of them.
class Path {
  public:
    Path() = default;
    Path(const Path &) = delete;
    Path &operator=(const Path &) = delete;
    ~Path() {
        if (objects_ != inline_) cfg_mem_free(objects_);
    }

    bool usable(cfg_handle start) const noexcept {
        return kept_ && size_ > 0 && objects_[0] == start && generation_ == ds_generation();
    }
    cfg_handle next(std::size_t level) const noexcept { return level + 1 < size_ ? objects_[level + 1] : 0; }
    // A walk's objects from start.
    void begin(cfg_handle start) noexcept {
        size_ = 0;
        whole_ = true;
        add(start);
    }
    void add(cfg_handle object) noexcept {
        if (whole_ && (size_ < cap_ || grow())) objects_[size_++] = object;
        else whole_ = false;
    }
    void spoil() noexcept { whole_ = false; }
    void drop() noexcept { kept_ = false; }
    // After the round deleted from the last object (deleted: the object
    // whose reference it deleted, or 0).
    void keep(cfg_handle deleted) noexcept {
        kept_ = whole_ && size_ > 0;
        for (std::size_t i = 0; kept_ && i < size_; ++i)
            kept_ = !(i + 1 < size_ && objects_[i] == objects_[size_ - 1]) && objects_[i] != deleted;
        generation_ = ds_generation();
    }

  private:
    bool grow() noexcept {
        std::size_t cap = cap_ * 2;
        void *old = objects_ == inline_ ? nullptr : objects_;
        auto *grown = static_cast<cfg_handle *>(cfg_mem_realloc(old, cap * sizeof(cfg_handle)));
        if (!grown) return false;
        if (!old) std::memcpy(grown, inline_, size_ * sizeof(cfg_handle));
        objects_ = grown;
        cap_ = cap;
        return true;
    }

    cfg_handle inline_[16] = {};
    cfg_handle *objects_ = inline_;
    std::size_t size_ = 0, cap_ = 16;
    uint64_t generation_ = 0;
    bool kept_ = false, whole_ = true;
};

// What the walk found: the item, its reference node (0 for an attribute)
// and the parent holding it; clean: the search of the last component
// reported no unreadable child; generation and last_object: the store's
// generation and the parent's last object reference when that search began
// (a log sink may change the store while it runs); walked: the generation
// when the walk began; after: where a search going on after the item starts.
struct Target {
    cfg_handle parent = 0;
    cfg_handle item = 0;
    cfg_handle reference = 0;
    bool clean = false;
    uint64_t generation = 0;
    cfg_handle last_object = 0;
    uint64_t walked = 0;
    cfgtree::SearchFrom after;
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
                                              from(&Resume::objects), &target->after);
    if (!target->item) {
        CFG_LOG(13, "%s: looking in <%ld> for attribute '%s'", kDelete, static_cast<long>(parent), component);
        target->item = cfgtree::find_child_attribute(parent, component, {kModule, kDelete, __LINE__},
                                                     from(&Resume::attributes), &target->after);
    }
    target->clean = cfgtree::search_reports() == reports;
}

// Walks text from start; 0 with *target filled, 106, or the parser's status.
// Components before the last are looked up among sub-objects only, or
// taken from path (may be NULL) when it is usable; path receives them.
int walk(cfg_handle start, const char *text, Target *target, const Resume *resume, Path *path) noexcept {
    char component[cfgtree::kTextSize];
    const char *pos = nullptr;
    int status = cfgtree::split_identifier(text, component, nullptr, &pos);
    target->parent = start;
    target->walked = ds_generation();
    const uint64_t reports = cfgtree::search_reports();
    bool again = path && path->usable(start);
    if (path && !again) path->begin(start);
    for (std::size_t level = 0; status == CFG_OK; ++level) {
        cfg_handle parent = target->parent;
        CFG_LOG(13, "%s: looking in <%ld> for object '%s'", kDelete, static_cast<long>(parent), component);
        if (*pos != '.') {
            if (path && cfgtree::search_reports() != reports) path->spoil();
            search_last(parent, component, target, resume);
            return target->item ? CFG_OK : CFG_NOT_FOUND;
        }
        // The trace may have let a log sink change the store: then the
        // components from here on are searched (and the path is not kept).
        if (again && !(path->usable(start) && path->next(level))) {
            again = false;
            path->spoil();
        }
        if (again) {
            target->item = path->next(level);
        } else {
            target->item =
                cfgtree::find_child_object(parent, component, &target->reference, {kModule, kDelete, __LINE__});
            if (path) path->add(target->item);
        }
        if (!target->item) return CFG_NOT_FOUND;
        target->parent = target->item;
        target->item = target->reference = 0;
        status = cfgtree::split_identifier(pos + 1, component, nullptr, &pos);
    }
    target->item = target->reference = 0;
    return status;
}

// The points after a deleted match: its kind goes on after it; a match
// among the attributes leaves every object compared that was there when the
// search began.
void keep_points(Resume *resume, const Target &target) noexcept {
    Resume::Point point{true, target.after};
    *resume = Resume{target.parent, ds_generation(), {}, {}};
    if (target.reference) {
        resume->objects = point;
    } else {
        resume->objects = Resume::Point{true, {ds_seq(target.last_object), 0, 0}};
        resume->attributes = point;
    }
}

}  // namespace

namespace cfgtree {

namespace {

// cfg_delete_item; resume (may be NULL) is where the previous round of a
// Cfg_Delete left off, and receives where this one does.
int delete_one(cfg_handle start, const char *identifier, Resume *resume, Path *path) noexcept {
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
    int status = walk(start, copy.get(), &target, resume, path);
    if (resume) *resume = Resume{};
    CFG_LOG(13, "%s: ref_h = %ld, item_h = %ld", kDelete, static_cast<long>(target.reference),
            static_cast<long>(target.item));
    // The trace comes first: a log sink that deleted the item meanwhile makes
    // the deletion fail (-139), and one that changed the store otherwise
    // leaves the next round nowhere to go on from (steady).
    if (status == CFG_OK && target.item) {
        cfg_handle node = target.reference ? target.reference : target.item;
        bool steady = target.clean && ds_generation() == target.generation;
        bool walked_steady = steady && ds_generation() == target.walked;
        status = ds_delete_avp3(target.parent, node) ? CFG_OK : ERR_DELETE_FAILED;
        if (status == CFG_OK && resume && steady) keep_points(resume, target);
        if (status == CFG_OK && path && walked_steady) {
            path->keep(target.reference ? target.item : 0);
            return status;
        }
    }
    if (path) path->drop();
    return status;
}

}  // namespace

// A NULL identifier is treated as the empty text (a syntax error).
int delete_item(cfg_handle start, const char *identifier) noexcept {
    return delete_one(start, identifier, nullptr, nullptr);
}

// Each round deletes one match; the store takes a deleted node out of its
// parent's children, so the same item is never found twice. Every round
// starts from the context current when it starts (a log sink may push or
// pop one meanwhile); it goes on where the last round left off only in the
// same parent.
int delete_all(const char *identifier) noexcept {
    Resume resume;
    Path path;
    int status = delete_one(context_start(), identifier, &resume, &path);
    if (status != CFG_OK) return status;
    while (status == CFG_OK) status = delete_one(context_start(), identifier, &resume, &path);
    return status == CFG_NOT_FOUND ? CFG_OK : status;
}

}  // namespace cfgtree

extern "C" {

CFG_API int cfg_delete_item(cfg_handle start, const char *identifier) noexcept {
    return cfgtree::delete_item(start, identifier);
}

CFG_API int Cfg_Delete(const char *identifier) noexcept { return cfgtree::delete_all(identifier); }

}  // extern "C"
