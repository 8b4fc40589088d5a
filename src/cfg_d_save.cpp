// cfg_d_save.cpp - writing items back in the configuration language.
//
// An attribute becomes "name = value" (the value in double quotes when it is
// empty or begins or ends with white space), an object "name {", its
// contents one level (four spaces) deeper - attributes first, then
// sub-objects, each in store order - and "}". Values are written with their
// references substituted while dereferencing is on. Nesting is bounded: an
// object 256 levels below the saved item is left out with all it holds,
// with a level 3 message, so any tree saves in bounded stack (a reference
// to a node that is neither an object nor an attribute, which only a
// program writing to the store makes, counts as a level too). A reference
// back to an object that is open around it is not followed (level 3
// message). The walk is linear in the number of references; an object that
// several references lead to (again, only a program writing to the store
// makes one) is written once for each.
#include "cfg_private.h"
#include "ds_index.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>

namespace {
constexpr const char kModule[] = "cfg_d_save";

// Objects a save opens one inside another, the saved item's own included.
// A load opens no more blocks than that (kMaxOpenBlocks), so an object
// deeper down is left out whole and whatever a save writes loads again.
// 256 levels need about 1 KB of indentation per line at the bottom and a
// few hundred bytes of stack per level.
constexpr int kMaxSaveNesting = cfgtree::kMaxOpenBlocks;

constexpr const char kReferenceFailure[] = "# Reference failure on the following attribute:\n";

void indent(FILE *stream, int depth) noexcept {
    static constexpr char kSpaces[] = "                                                                ";
    constexpr std::size_t kChunk = sizeof kSpaces - 1;
    std::size_t remaining = depth > 0 ? static_cast<std::size_t>(depth) * 4 : 0;
    while (remaining > 0) {
        std::size_t n = remaining < kChunk ? remaining : kChunk;
        std::fwrite(kSpaces, 1, n, stream);
        remaining -= n;
    }
}

int deeper(int depth) noexcept { return depth < INT_MAX ? depth + 1 : depth; }

// Quoted when empty or when the first or last character is white space.
bool needs_quotes(const char *value) noexcept {
    std::size_t length = std::strlen(value);
    return length == 0 || std::isspace(static_cast<unsigned char>(value[0])) ||
           std::isspace(static_cast<unsigned char>(value[length - 1]));
}

// Writes one attribute line (after the reference-failure comment when its
// references cannot be substituted). Always 0.
int save_attr(FILE *stream, cfg_handle attribute, const char *name, int depth) noexcept {
    const char *stored = static_cast<const char *>(ds_get_av_ptr(attribute));
    if (!stored) {
        CFG_LOG(3, "%s: ds_get_av_ptr(%ld)", "cfg_save_attr", static_cast<long>(attribute));
        return CFG_OK;
    }
    char text[cfgtree::kTextSize] = {};
    if (cfgtree::ctl_flags() & CFG_CTL_DEREFERENCE) {
        if (cfgtree::substitute_stored(stored, text, cfgtree::kTextSize) != CFG_OK) {
            // An evaluator may store values, and a log sink may even delete
            // the attribute: a deleted one is left out like one without text.
            stored = static_cast<const char *>(ds_get_av_ptr(attribute));
            if (!stored) {
                CFG_LOG(3, "%s: ds_get_av_ptr(%ld)", "cfg_save_attr", static_cast<long>(attribute));
                return CFG_OK;
            }
            cfgtree::copy_bounded(text, sizeof text, stored);
            indent(stream, depth);
            std::fputs(kReferenceFailure, stream);
        }
    } else {
        cfgtree::copy_bounded(text, sizeof text, stored);
    }
    text[cfgtree::kTextMax] = '\0';
    const char *value = "";
    if (char *equals = std::strchr(text, '=')) {
        *equals = '\0';
        value = equals + 1;
    }
    indent(stream, depth);
    std::fprintf(stream, needs_quotes(value) ? "%s = \"%s\"\n" : "%s = %s\n", name ? name : text, value);
    return CFG_OK;
}

// The objects (and nodes saved as contents) open around the one being
// saved, innermost first: a reference back to one of them is not followed.
// count: the objects open, this one included (0 for the saved contents'
// own node, which opens no block).
struct Open {
    const Open *outer;
    cfg_handle node;
    int count;
};

int nesting_of(const Open *open) noexcept { return open ? open->count : 0; }

bool holds(const Open *open, cfg_handle node) noexcept {
    for (; open; open = open->outer)
        if (open->node == node) return true;
    return false;
}

int save_item_at(FILE *stream, cfg_handle item, const char *name, int depth, const Open *open) noexcept;
int save_target(FILE *stream, cfg_handle target, int depth, const Open *open) noexcept;

// The value of the child of kind xid after node, which becomes node; null
// after the last. after and seq are node's next sibling and sequence number
// from before it was saved: a log sink may delete node while it is saved (a
// sink may call the library), and the children after it as well. The walk
// then goes on with the child that followed it, or when that is gone too
// with the first child left that was appended after node, so only what was
// deleted is left out.
const void *next_child(cfg_handle object, cfg_handle &node, cfg_handle after, uint32_t seq, uint16_t xid) noexcept {
    cfg_handle from = cfgtree::xid_of_node(node) != 0                  ? ds_get_next_avp(node)
                      : after != 0 && cfgtree::xid_of_node(after) != 0 ? after
                                                                         : ds_first_after(object, xid, seq);
    return from ? ds_srch_av_ptr(from, 2, xid, &node) : nullptr;
}

// Attributes first, then sub-objects; stops at the first non-zero status.
int save_contents_at(FILE *stream, cfg_handle object, int depth, const Open *open) noexcept {
    if (object == 0) return ERR_NULL_HANDLE;
    int status = CFG_OK;
    cfg_handle node = 0;
    const uint16_t item_xid = cfgtree::xid_item();
    const void *value = ds_srch_av_ptr(object, 2, item_xid, &node);
    while (value && status == CFG_OK) {
        cfg_handle after = ds_get_next_avp(node);
        uint32_t seq = ds_seq(node);
        status = save_attr(stream, node, nullptr, depth);
        value = next_child(object, node, after, seq, item_xid);
    }
    if (status != CFG_OK) return status;
    const uint16_t reference_xid = cfgtree::xid_reference();
    value = ds_srch_av_ptr(object, 2, reference_xid, &node);
    while (value && status == CFG_OK) {
        cfg_handle target = ds_ref_target(node);
        cfg_handle after = ds_get_next_avp(node);
        uint32_t seq = ds_seq(node);
        status = save_target(stream, target, depth, open);
        value = next_child(object, node, after, seq, reference_xid);
    }
    return status;
}

// Opening line, contents one level deeper, closing line. Always 0.
int save_object(FILE *stream, cfg_handle object, const char *name, int depth, const Open *open) noexcept {
    const char *written = name ? name : cfgtree::object_id(object);
    if (!written) written = "";
    if (nesting_of(open) >= kMaxSaveNesting) {
        CFG_LOG(3, "%s: object '%s' lies more than %d levels deep; it is not saved", "cfg_save_item", written,
                kMaxSaveNesting);
        return CFG_OK;
    }
    if (holds(open, object)) {
        CFG_LOG(3, "%s: object '%s' holds itself; it is not saved again", "cfg_save_item", written);
        return CFG_OK;
    }
    indent(stream, depth);
    std::fprintf(stream, "%s {\n", written);
    const Open here{open, object, nesting_of(open) + 1};
    (void)save_contents_at(stream, object, deeper(depth), &here);
    indent(stream, depth);
    std::fputs("}\n", stream);
    return CFG_OK;
}

int save_item_at(FILE *stream, cfg_handle item, const char *name, int depth, const Open *open) noexcept {
    if (item == 0) return ERR_NULL_HANDLE;
    uint16_t xid = cfgtree::xid_of_node(item);
    if (xid == cfgtree::xid_identifier()) return save_object(stream, item, name, depth, open);
    if (xid == cfgtree::xid_item()) return save_attr(stream, item, name, depth);
    return save_contents_at(stream, item, depth, open);
}

// A reference's target: an object or an attribute is saved as such; any
// other node (the root, say) has its contents written in place, counted as
// a level, so that a reference back to a node around it ends.
int save_target(FILE *stream, cfg_handle target, int depth, const Open *open) noexcept {
    if (target == 0) return ERR_NULL_HANDLE;
    uint16_t xid = cfgtree::xid_of_node(target);
    if (xid == cfgtree::xid_identifier() || xid == cfgtree::xid_item())
        return save_item_at(stream, target, nullptr, depth, open);
    if (nesting_of(open) >= kMaxSaveNesting) {
        CFG_LOG(3, "%s: node <%ld> lies more than %d levels deep; it is not saved", "cfg_save_item",
                static_cast<long>(target), kMaxSaveNesting);
        return CFG_OK;
    }
    if (holds(open, target)) {
        CFG_LOG(3, "%s: node <%ld> holds itself; it is not saved again", "cfg_save_item", static_cast<long>(target));
        return CFG_OK;
    }
    const Open here{open, target, nesting_of(open) + 1};
    return save_contents_at(stream, target, depth, &here);
}

}  // namespace

namespace cfgtree {

int save_file(const char *identifier, const char *path) noexcept {
    FILE *file = path ? std::fopen(path, "w") : nullptr;
    if (!file) {
        int err = path ? errno : EINVAL;
        CFG_LOG(2, "%s: fopen(%s)\n\t\terrno = %d => \"%s\"", "Cfg_SaveFile", path ? path : "(null)", err,
                errno_text(err));
        return ERR_FILE_ACCESS;
    }
    // A saved file gets mode 0644 (on a best-effort basis); a device or a
    // pipe written through (/dev/null, /dev/stdout) keeps its own.
    struct stat st {};
    bool regular = fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
    int status = save(identifier, file);
    std::fclose(file);
    if (regular) (void)chmod(path, 0644);
    return status;
}

int save(const char *identifier, FILE *stream) noexcept {
    if (!stream) return ERR_NULL_ARGUMENT;
    StoreLock lock;
    if (!identifier) {
        cfg_handle start = context_start();
        const Open top{nullptr, start, 0};
        return save_contents_at(stream, start, 0, &top);
    }
    cfg_handle item = 0;
    int status = find(identifier, &item);
    if (status != CFG_OK) return status;
    return save_item_at(stream, item, identifier, 0, nullptr);
}

int save_item(FILE *stream, cfg_handle item, const char *name, int depth) noexcept {
    if (!stream) return ERR_NULL_ARGUMENT;
    StoreLock lock;
    return save_item_at(stream, item, name, depth, nullptr);
}

int save_object_contents(FILE *stream, cfg_handle object, int depth) noexcept {
    if (!stream) return ERR_NULL_ARGUMENT;
    StoreLock lock;
    const Open top{nullptr, object, 0};
    return save_contents_at(stream, object, depth, &top);
}

}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_SaveFile(const char *identifier, const char *path) noexcept {
    return cfgtree::save_file(identifier, path);
}
CFG_API int Cfg_Save(const char *identifier, FILE *stream) noexcept { return cfgtree::save(identifier, stream); }
CFG_API int cfg_save_item(FILE *stream, cfg_handle item, const char *name, int depth) noexcept {
    return cfgtree::save_item(stream, item, name, depth);
}
CFG_API int cfg_save_object_contents(FILE *stream, cfg_handle object, int depth) noexcept {
    return cfgtree::save_object_contents(stream, object, depth);
}
}  // extern "C"
