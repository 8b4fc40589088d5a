// ds.cpp - the in-memory data store and the object-access service.
//
// Owns every node and its value. A node is one heap block: a fixed header
// followed by its value bytes. Handles index a two-level slot table
// (65,536 chunks of 65,536 slots), so a handle lookup is two loads and a
// handle is never reused: a deleted node leaves its slot empty for good.
// Children hang in append order on a doubly linked list, and on a second
// list per xid, so appends, deletions, next-sibling steps, value changes and
// the first-of-xid search are O(1); a search that starts at a child of
// another xid steps over that run of siblings (each sibling at most once per
// iteration over a parent's children).
//
// Locking: one mutex, taken on a thread's first ds_lock and released on its
// last ds_unlock (a thread-local count makes nested pairs cheap). Every
// public operation takes the lock itself as well.
#include "ds.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr uint32_t kChunkBits = 16;
constexpr uint32_t kChunkSize = 1u << kChunkBits;
constexpr uint32_t kChunks = 1u << (32 - kChunkBits);

constexpr uint32_t kIdRoot = 0x00010001u;
constexpr uint32_t kIdObjectRef = 0x00010010u;   // OID_OC_CONFIG
constexpr uint32_t kIdIdentifier = 0x00020011u;  // OID_ATT_CONFIG_IDENTIFIER
constexpr uint32_t kIdItem = 0x00020012u;        // OID_ATT_CONFIG_ITEM

// First and last child of one xid under a parent.
struct XidHead {
    uint16_t xid;
    uint32_t first;
    uint32_t last;
};

// What a node needs only once it has children.
struct Children {
    uint32_t first;     // first child in append order
    uint32_t last;      // last child
    uint32_t count;     // number of children
    uint32_t nheads;    // entries used in heads
    uint32_t capheads;  // entries allocated in heads
    XidHead heads[1];   // grown with the block
};

struct Node {
    uint32_t id;         // class id; the low 16 bits are the xid
    uint32_t parent;     // parent handle, 0 for a standalone node
    uint32_t prev, next; // siblings in append order
    uint32_t prev_same;  // previous sibling of the same xid
    uint32_t next_same;  // next sibling of the same xid
    uint32_t refs;       // bound references that keep this node alive
    uint32_t target;     // for a bound reference node: its target, else 0
    uint16_t len;        // value length in bytes
    uint16_t cap;        // bytes available for the value
    Children *kids;      // NULL until the node has children
    // the value bytes follow the header
    char *value() { return reinterpret_cast<char *>(this + 1); }
};

struct FaultPlan {
    unsigned ops = 0;
    int skip = 0;
    int count = 0;
};

std::mutex g_mutex;
thread_local int tl_depth = 0;
thread_local int tl_error = DS_E_NONE;

Node **g_slots[kChunks];      // chunk table; chunks are allocated on demand
uint32_t g_next_handle = 1;   // next handle to hand out; 0 is never used
cfg_handle g_root = 0;
int g_precedence = 10;
FaultPlan g_fault;

// RAII form of ds_lock/ds_unlock for the store's own operations.
struct Locked {
    Locked() noexcept { ds_lock(); }
    ~Locked() { ds_unlock(); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

int fail(int error) noexcept {
    tl_error = error;
    return 0;
}

Node *node_of(cfg_handle h) noexcept {
    if (h == 0) return nullptr;
    Node **chunk = g_slots[h >> kChunkBits];
    return chunk ? chunk[h & (kChunkSize - 1)] : nullptr;
}

void set_slot(cfg_handle h, Node *n) noexcept { g_slots[h >> kChunkBits][h & (kChunkSize - 1)] = n; }

// Reserves a slot for a new handle; 0 when memory or handles run out.
cfg_handle new_handle() noexcept {
    cfg_handle h = g_next_handle;
    if (h == 0) return 0;  // all 2^32 - 1 handles used
    Node **&chunk = g_slots[h >> kChunkBits];
    if (!chunk) {
        chunk = static_cast<Node **>(std::calloc(kChunkSize, sizeof(Node *)));
        if (!chunk) return 0;
    }
    ++g_next_handle;
    return h;
}

bool injected(unsigned op) noexcept {
    if (!(g_fault.ops & op) || g_fault.count <= 0) return false;
    if (g_fault.skip > 0) {
        --g_fault.skip;
        return false;
    }
    --g_fault.count;
    return true;
}

Node *make_node(uint32_t id, const void *value, uint16_t length) noexcept {
    size_t cap = length < 8 ? 8 : length;
    Node *n = static_cast<Node *>(std::malloc(sizeof(Node) + cap));
    if (!n) return nullptr;
    std::memset(n, 0, sizeof(Node));
    n->id = id;
    n->len = length;
    n->cap = static_cast<uint16_t>(cap > 0xffff ? 0xffff : cap);
    if (length) std::memcpy(n->value(), value, length);
    else n->value()[0] = '\0';
    return n;
}

void init_root() noexcept {
    if (g_root) return;
    cfg_handle h = new_handle();
    Node *n = h ? make_node(kIdRoot, "", 1) : nullptr;
    if (!n) return;
    set_slot(h, n);
    g_root = h;
}

XidHead *head_of(Children *k, uint16_t xid) noexcept {
    for (uint32_t i = 0; i < k->nheads; ++i)
        if (k->heads[i].xid == xid) return &k->heads[i];
    return nullptr;
}

// Makes room for one more child of xid under p; false when memory runs out.
bool reserve_child(Node *p, uint16_t xid) noexcept {
    Children *k = p->kids;
    if (k && (head_of(k, xid) || k->nheads < k->capheads)) return true;
    uint32_t cap = k ? k->capheads * 2 : 2;
    auto *grown = static_cast<Children *>(std::realloc(k, sizeof(Children) + (cap - 1) * sizeof(XidHead)));
    if (!grown) return false;
    if (!k) std::memset(grown, 0, sizeof(Children));
    grown->capheads = cap;
    p->kids = grown;
    return true;
}

void link_child(Node *p, cfg_handle ph, Node *c, cfg_handle ch) noexcept {
    Children *k = p->kids;
    uint16_t xid = static_cast<uint16_t>(c->id);
    c->parent = ph;
    c->prev = k->last;
    if (k->last) node_of(k->last)->next = ch;
    else k->first = ch;
    k->last = ch;
    ++k->count;
    XidHead *hd = head_of(k, xid);
    if (!hd) {
        hd = &k->heads[k->nheads++];
        hd->xid = xid;
        hd->first = hd->last = 0;
    }
    c->prev_same = hd->last;
    if (hd->last) node_of(hd->last)->next_same = ch;
    else hd->first = ch;
    hd->last = ch;
}

void unlink_child(Node *p, Node *c, cfg_handle ch) noexcept {
    Children *k = p->kids;
    if (c->prev) node_of(c->prev)->next = c->next;
    else k->first = c->next;
    if (c->next) node_of(c->next)->prev = c->prev;
    else k->last = c->prev;
    --k->count;
    XidHead *hd = head_of(k, static_cast<uint16_t>(c->id));
    if (c->prev_same) node_of(c->prev_same)->next_same = c->next_same;
    else if (hd) hd->first = c->next_same;
    if (c->next_same) node_of(c->next_same)->prev_same = c->prev_same;
    else if (hd) hd->last = c->prev_same;
    (void)ch;
    c->parent = c->prev = c->next = c->prev_same = c->next_same = 0;
}

// Frees h and everything only it holds: its children and, for a bound
// reference, a target that no other reference keeps. Iterative, so any
// depth of nesting is fine; the work list lives in the freed slots' order.
void destroy(cfg_handle h) noexcept {
    // A small explicit stack grown with realloc; on memory failure the rest
    // of the subtree is leaked rather than corrupted.
    size_t cap = 64, top = 0;
    auto *stack = static_cast<cfg_handle *>(std::malloc(cap * sizeof(cfg_handle)));
    if (!stack) return;
    stack[top++] = h;
    while (top) {
        cfg_handle cur = stack[--top];
        Node *n = node_of(cur);
        if (!n) continue;
        size_t need = top + 1 + (n->kids ? n->kids->count : 0);
        if (need > cap) {
            size_t ncap = cap;
            while (ncap < need) ncap *= 2;
            auto *grown = static_cast<cfg_handle *>(std::realloc(stack, ncap * sizeof(cfg_handle)));
            if (!grown) break;
            stack = grown;
            cap = ncap;
        }
        if (n->kids)
            for (cfg_handle c = n->kids->first; c; c = node_of(c)->next) stack[top++] = c;
        if (n->target) {
            Node *t = node_of(n->target);
            if (t && t->refs > 0 && --t->refs == 0 && t->parent == 0) stack[top++] = n->target;
        }
        set_slot(cur, nullptr);
        std::free(n->kids);
        std::free(n);
    }
    std::free(stack);
}

}  // namespace

extern "C" {

CFG_API void ds_lock(void) noexcept {
    if (tl_depth++ == 0) g_mutex.lock();
}

CFG_API void ds_unlock(void) noexcept {
    if (tl_depth <= 0) return;  // unbalanced: ignore rather than corrupt
    if (--tl_depth == 0) g_mutex.unlock();
}

CFG_API cfg_handle ds_get_cntl_info(int which) noexcept {
    if (which != 1) return 0;
    Locked lock;
    init_root();
    return g_root;
}

CFG_API uint32_t ds_get_attr_id(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) return fail(DS_E_BAD_HANDLE);
    return n->id;
}

CFG_API void *ds_get_av_ptr(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) {
        fail(DS_E_BAD_HANDLE);
        return nullptr;
    }
    return n->value();
}

CFG_API int ds_get_error(void) noexcept { return tl_error; }

CFG_API cfg_handle ds_get_next_avp(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) return fail(DS_E_BAD_HANDLE);
    return n->next;
}

CFG_API void *ds_srch_av_ptr(cfg_handle start, int mode, uint16_t xid, cfg_handle *found) noexcept {
    (void)mode;
    Locked lock;
    Node *n = node_of(start);
    if (!n) {
        fail(DS_E_BAD_HANDLE);
        return nullptr;
    }
    cfg_handle h = 0;
    if (n->parent == 0) {  // a parent: its first child of that xid
        XidHead *hd = n->kids ? head_of(n->kids, xid) : nullptr;
        h = hd ? hd->first : 0;
    } else {  // a child: that node or the next one of that xid
        for (h = start; h && static_cast<uint16_t>(node_of(h)->id) != xid; h = node_of(h)->next) {
        }
    }
    if (!h) return nullptr;
    if (found) *found = h;
    return node_of(h)->value();
}

CFG_API cfg_handle ds_append_avp2(cfg_handle parent, int mode, uint16_t xid, int flags, const void *value,
                                  uint16_t length) noexcept {
    (void)mode;
    (void)flags;
    Locked lock;
    init_root();
    Node *p = nullptr;
    if (parent) {
        p = node_of(parent);
        if (!p) return fail(DS_E_BAD_HANDLE);
    }
    if (injected(DS_FAULT_APPEND)) return fail(DS_E_REFUSED);
    if (length && !value) return fail(DS_E_REFUSED);
    uint32_t id = xid;
    if (xid == static_cast<uint16_t>(kIdObjectRef)) id = kIdObjectRef;
    else if (xid == static_cast<uint16_t>(kIdIdentifier)) id = kIdIdentifier;
    else if (xid == static_cast<uint16_t>(kIdItem)) id = kIdItem;
    if (p && !reserve_child(p, xid)) return fail(DS_E_NO_MEMORY);
    cfg_handle h = new_handle();
    if (!h) return fail(DS_E_NO_MEMORY);
    Node *n = make_node(id, value, length);
    if (!n) return fail(DS_E_NO_MEMORY);  // the reserved slot stays unused
    set_slot(h, n);
    if (p) link_child(p, parent, n, h);
    return h;
}

CFG_API int ds_bind_reference(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n || n->len < sizeof(cfg_handle)) return fail(DS_E_BAD_HANDLE);
    if (n->target) return 1;
    cfg_handle t;
    std::memcpy(&t, n->value(), sizeof t);
    Node *tn = node_of(t);
    if (!tn) return fail(DS_E_BAD_HANDLE);
    ++tn->refs;
    n->target = t;
    return 1;
}

CFG_API int ds_delete_obj(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n || n->parent != 0 || h == g_root) return fail(DS_E_BAD_HANDLE);
    if (injected(DS_FAULT_DELETE)) return fail(DS_E_REFUSED);
    destroy(h);
    return 1;
}

CFG_API int ds_delete_avp3(cfg_handle parent, cfg_handle node) noexcept {
    Locked lock;
    Node *p = node_of(parent);
    Node *c = node_of(node);
    if (!p || !c) return fail(DS_E_BAD_HANDLE);
    if (c->parent != parent) return fail(DS_E_NOT_CHILD);
    if (injected(DS_FAULT_DELETE)) return fail(DS_E_REFUSED);
    unlink_child(p, c, node);
    destroy(node);
    return 1;
}

CFG_API int ds_modify_av(cfg_handle h, const void *value, uint16_t length) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) return fail(DS_E_BAD_HANDLE);
    if (injected(DS_FAULT_MODIFY)) return fail(DS_E_REFUSED);
    if (length && !value) return fail(DS_E_REFUSED);
    if (length > n->cap) {
        // Grow with some slack so that repeated sets of a growing value
        // do not reallocate every time.
        size_t cap = length + length / 4;
        if (cap > 0xffff) cap = 0xffff;
        auto *grown = static_cast<Node *>(std::realloc(n, sizeof(Node) + cap));
        if (!grown) return fail(DS_E_NO_MEMORY);
        n = grown;
        n->cap = static_cast<uint16_t>(cap);
        set_slot(h, n);
    }
    std::memmove(n->value(), value, length);
    if (!length) n->value()[0] = '\0';
    n->len = length;
    return 1;
}

CFG_API int ds_set_precedence(int precedence) noexcept {
    Locked lock;
    int previous = g_precedence;
    g_precedence = precedence;
    return previous;
}

CFG_API uint32_t oa_xid_of(const char *name) noexcept {
    if (!name) return 0;
    if (std::strcmp(name, "OID_OC_CONFIG") == 0) return kIdObjectRef;
    if (std::strcmp(name, "OID_ATT_CONFIG_IDENTIFIER") == 0) return kIdIdentifier;
    if (std::strcmp(name, "OID_ATT_CONFIG_ITEM") == 0) return kIdItem;
    if (std::strcmp(name, "OID_OC_ROOT") == 0) return kIdRoot;
    return 0;
}

CFG_API void ds_inject_fault(unsigned ops, int skip, int count) noexcept {
    Locked lock;
    g_fault.ops = count > 0 ? ops : 0;
    g_fault.skip = skip < 0 ? 0 : skip;
    g_fault.count = count < 0 ? 0 : count;
}

}  // extern "C"
