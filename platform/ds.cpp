// ds.cpp - the in-memory data store and the object-access service.
//
// Owns every node and its value. A node is one heap block: a fixed header
// followed by its value bytes. Handles index a two-level slot table
// (65,536 chunks of 65,536 slots), so a handle lookup is two loads and a
// handle is never reused: a deleted node leaves its slot empty for good.
// Children hang in append order on a doubly linked list, and on a second
// list per xid, so appends, deletions, next-sibling steps, value changes,
// the first-of-xid search and each step of an iteration over one xid
// (search from the sibling after the current node) are O(1).
//
// Children of the indexed kinds (attributes, object references) are also
// found by name (ds_index.h): parents with more than kIndexFrom children keep
// a hash index from bare name, and from name plus instance, to chains of
// children in store order; smaller parents are scanned.
//
// Locking: one mutex, taken on a thread's first ds_lock and released on its
// last ds_unlock (a thread-local count makes nested pairs cheap). Every
// public operation takes the lock itself as well.
#include "ds.h"

#include "ds_index.h"

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

struct Index;

// First and last child of one xid under a parent, and the children of that
// xid whose instance is a wildcard.
struct XidHead {
    uint16_t xid;
    uint32_t first;
    uint32_t last;
    uint32_t wild_first;  // only kept while the parent is indexed
    uint32_t wild_last;
};

// What a node needs only once it has children.
struct Children {
    uint32_t first;     // first child in append order
    uint32_t last;      // last child
    uint32_t count;     // number of children
    uint32_t next_seq;  // sequence number of the next appended child
    Index *index;       // NULL while the parent is small
    uint32_t nheads;    // entries used in heads
    uint32_t capheads;  // entries allocated in heads
    XidHead heads[1];   // grown with the block
};

struct Node {
    uint32_t id;          // class id; the low 16 bits are the xid
    uint32_t parent;      // parent handle, 0 for a standalone node
    uint32_t prev, next;  // siblings in append order
    uint32_t prev_same;   // previous sibling of the same xid
    uint32_t next_same;   // next sibling of the same xid
    uint32_t refs;        // bound references that keep this node alive
    uint32_t aux;         // bound reference: its target; identifier: its first referrer
    uint32_t seq;         // append sequence number under the parent
    uint32_t name_prev;   // indexed: siblings of the same kind and bare name
    uint32_t name_next;
    uint32_t key_prev;    // indexed: same kind, name and instance; or the wild list
    uint32_t key_next;
    uint16_t len;         // value length in bytes
    uint16_t cap;         // bytes available for the value
    uint8_t flags;        // kBound, kWild, kIndexed
    Children *kids;       // NULL until the node has children
    // the value bytes follow the header
    char *value() { return reinterpret_cast<char *>(this + 1); }
};

constexpr uint8_t kBound = 1;    // a reference node bound to its target (aux)
constexpr uint8_t kWild = 2;     // its instance holds a "*" or "**" token
constexpr uint8_t kIndexed = 4;  // linked into its parent's index chains

struct FaultPlan {
    unsigned ops = 0;
    int skip = 0;
    int count = 0;
};

constexpr uint32_t kIndexFrom = 8;  // parents with more children get an index

// Every store call checks the lock depth: keep its thread-local slots in the
// static TLS block, not behind __tls_get_addr.
#define CFG_FAST_TLS __attribute__((tls_model("initial-exec")))
std::mutex g_mutex;
thread_local int tl_depth CFG_FAST_TLS = 0;
thread_local int tl_error CFG_FAST_TLS = DS_E_NONE;

Node **g_slots[kChunks];     // chunk table; chunks are allocated on demand
uint32_t g_next_handle = 1;  // next handle to hand out; 0 is never used
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

uint16_t xid_of(const Node *n) noexcept { return static_cast<uint16_t>(n->id); }

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
    // A new attribute holds its name only; its value follows at once, so it
    // gets room for a short one and the first set need not move it.
    size_t cap = id == kIdItem ? static_cast<size_t>(length) + 24 : (length < 8 ? 8 : length);
    Node *n = static_cast<Node *>(std::malloc(sizeof(Node) + cap + 1));
    if (!n) return nullptr;
    std::memset(n, 0, sizeof(Node));
    n->id = id;
    n->len = length;
    n->cap = static_cast<uint16_t>(cap > 0xffff ? 0xffff : cap);
    if (length) std::memcpy(n->value(), value, length);
    n->value()[length] = '\0';  // a guard NUL past the value, so texts always end
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

// ---- names -----------------------------------------------------------------

// A child's name, split as the index compares it.
struct Key {
    const char *name;
    size_t nlen;
    const char *inst;
    size_t ilen;
};

bool indexed_kind(uint16_t xid) noexcept {
    return xid == static_cast<uint16_t>(kIdItem) || xid == static_cast<uint16_t>(kIdObjectRef);
}

// The stored name of an indexed child: an attribute's text up to '=', or the
// text of the object a reference refers to. False when it has none.
bool key_of(Node *n, Key &k) noexcept {
    const char *text;
    size_t len;
    if (xid_of(n) == static_cast<uint16_t>(kIdItem)) {
        text = n->value();
        len = strnlen(text, n->len);
        const void *eq = std::memchr(text, '=', len);
        if (eq) len = static_cast<size_t>(static_cast<const char *>(eq) - text);
    } else if (xid_of(n) == static_cast<uint16_t>(kIdObjectRef) && (n->flags & kBound)) {
        Node *t = node_of(n->aux);
        if (!t || t->id != kIdIdentifier) return false;  // only objects have names
        text = t->value();
        len = strnlen(text, t->len);
    } else {
        return false;
    }
    if (len && text[0] == '!') ++text, --len;
    const void *open = std::memchr(text, '[', len);
    k.name = text;
    k.nlen = open ? static_cast<size_t>(static_cast<const char *>(open) - text) : len;
    k.inst = text + k.nlen;
    k.ilen = 0;
    if (open) {
        k.inst = k.name + k.nlen + 1;
        size_t rest = len - k.nlen - 1;
        const void *close = std::memchr(k.inst, ']', rest);
        k.ilen = close ? static_cast<size_t>(static_cast<const char *>(close) - k.inst) : rest;
    }
    return true;
}

// True when an instance holds a token that is exactly "*" or "**".
bool wild_instance(const char *inst, size_t ilen) noexcept {
    size_t start = 0;
    for (size_t i = 0; i <= ilen; ++i) {
        if (i == ilen || inst[i] == ':') {
            size_t n = i - start;
            if ((n == 1 && inst[start] == '*') || (n == 2 && inst[start] == '*' && inst[start + 1] == '*'))
                return true;
            start = i + 1;
        }
    }
    return false;
}

bool same(const char *a, size_t alen, const char *b, size_t blen) noexcept {
    return alen == blen && (alen == 0 || std::memcmp(a, b, alen) == 0);
}

// FNV-1a over the kind of chain, the xid, the name and (key chains) the
// instance. The top bit tells name chains (0) from key chains (1).
uint32_t hash_of(bool keyed, uint16_t xid, const Key &k) noexcept {
    uint32_t h = 2166136261u;
    auto mix = [&h](unsigned char c) { h = (h ^ c) * 16777619u; };
    mix(static_cast<unsigned char>(xid));
    mix(static_cast<unsigned char>(xid >> 8));
    for (size_t i = 0; i < k.nlen; ++i) mix(static_cast<unsigned char>(k.name[i]));
    if (keyed) {
        mix(0xff);
        for (size_t i = 0; i < k.ilen; ++i) mix(static_cast<unsigned char>(k.inst[i]));
    }
    return (h & 0x7fffffffu) | (keyed ? 0x80000000u : 0u);
}

// ---- the hash index ----------------------------------------------------------

struct Slot {
    uint32_t hash;  // hash_of; 0 with head 0 means empty
    uint32_t head;  // first child of the chain
    uint32_t tail;  // last child of the chain
};

struct Index {
    uint32_t cap;   // slots, a power of two
    uint32_t used;  // slots in use
    Slot slots[1];
};

Index *new_index(uint32_t cap) noexcept {
    auto *ix = static_cast<Index *>(std::calloc(1, sizeof(Index) + (cap - 1) * sizeof(Slot)));
    if (ix) ix->cap = cap;
    return ix;
}

// Does the chain in slot s hold children of this kind and name?
bool slot_matches(const Slot &s, uint32_t hash, bool keyed, uint16_t xid, const Key &k) noexcept {
    if (s.hash != hash || !s.head) return false;
    Node *head = node_of(s.head);
    Key hk;
    if (!head || xid_of(head) != xid || !key_of(head, hk)) return false;
    return same(hk.name, hk.nlen, k.name, k.nlen) && (!keyed || same(hk.inst, hk.ilen, k.inst, k.ilen));
}

Slot *find_slot(Index *ix, uint32_t hash, bool keyed, uint16_t xid, const Key &k) noexcept {
    uint32_t mask = ix->cap - 1;
    for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
        Slot &s = ix->slots[i];
        if (!s.head) return nullptr;
        if (slot_matches(s, hash, keyed, xid, k)) return &s;
    }
}

bool grow_index(Children *k) noexcept;

Slot *find_slot(Index *ix, bool keyed, uint16_t xid, const Key &k) noexcept {
    return find_slot(ix, hash_of(keyed, xid, k), keyed, xid, k);
}

// Makes room for `more` new chains; false on no memory.
bool reserve_slots(Children *kids, uint32_t more) noexcept {
    return (kids->index->used + more) * 4 <= kids->index->cap * 3 || grow_index(kids);
}

// The slot for a chain, made empty when there is none. Room must have been
// reserved first (reserve_slots); a claimed slot holds no chain until the
// caller links one into it.
Slot *claim_slot(Index *ix, uint32_t hash, bool keyed, uint16_t xid, const Key &k) noexcept {
    if (Slot *s = find_slot(ix, hash, keyed, xid, k)) return s;
    uint32_t mask = ix->cap - 1;
    uint32_t i = hash & mask;
    while (ix->slots[i].head) i = (i + 1) & mask;
    ix->slots[i] = Slot{hash, 0, 0};
    ++ix->used;
    return &ix->slots[i];
}

// Empties a slot, shifting later entries of its probe run back (no tombstones).
void drop_slot(Index *ix, Slot *s) noexcept {
    uint32_t mask = ix->cap - 1;
    uint32_t i = static_cast<uint32_t>(s - ix->slots);
    ix->slots[i] = Slot{0, 0, 0};
    --ix->used;
    for (uint32_t j = (i + 1) & mask; ix->slots[j].head; j = (j + 1) & mask) {
        uint32_t home = ix->slots[j].hash & mask;
        // move j back to i when its home is not within (i, j]
        bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (!stays) {
            ix->slots[i] = ix->slots[j];
            ix->slots[j] = Slot{0, 0, 0};
            i = j;
        }
    }
}

// Links h into a chain (name links or key links) in sequence order.
void chain_insert(uint32_t &head, uint32_t &tail, Node *n, cfg_handle h, bool keyed) noexcept {
    auto prev_of = [keyed](Node *x) -> uint32_t & { return keyed ? x->key_prev : x->name_prev; };
    auto next_of = [keyed](Node *x) -> uint32_t & { return keyed ? x->key_next : x->name_next; };
    uint32_t after = tail;  // appends go at the tail; a renamed child finds its place
    while (after && node_of(after)->seq > n->seq) after = prev_of(node_of(after));
    uint32_t before = after ? next_of(node_of(after)) : head;
    prev_of(n) = after;
    next_of(n) = before;
    if (after) next_of(node_of(after)) = h;
    else head = h;
    if (before) prev_of(node_of(before)) = h;
    else tail = h;
}

void chain_remove(uint32_t &head, uint32_t &tail, Node *n, bool keyed) noexcept {
    uint32_t &p = keyed ? n->key_prev : n->name_prev;
    uint32_t &x = keyed ? n->key_next : n->name_next;
    if (p) (keyed ? node_of(p)->key_next : node_of(p)->name_next) = x;
    else head = x;
    if (x) (keyed ? node_of(x)->key_prev : node_of(x)->name_prev) = p;
    else tail = p;
    p = x = 0;
}

// Adds a child to its parent's index; false on no memory (the child then
// stays out of the index, which the caller must undo or accept).
bool index_add(Children *kids, Node *n, cfg_handle h) noexcept {
    Key k;
    uint16_t xid = xid_of(n);
    if (!indexed_kind(xid) || !key_of(n, k)) return true;  // nameless: never matches
    bool wild = wild_instance(k.inst, k.ilen);
    if (!reserve_slots(kids, wild ? 1 : 2)) return false;
    uint32_t name_hash = hash_of(false, xid, k);
    // A claimed slot holds no chain yet: link into it before the next claim.
    Slot *ns = claim_slot(kids->index, name_hash, false, xid, k);
    chain_insert(ns->head, ns->tail, n, h, false);
    if (wild) {
        XidHead *hd = head_of(kids, xid);
        chain_insert(hd->wild_first, hd->wild_last, n, h, true);
    } else {
        Slot *ks = claim_slot(kids->index, hash_of(true, xid, k), true, xid, k);
        chain_insert(ks->head, ks->tail, n, h, true);
    }
    n->flags = static_cast<uint8_t>((n->flags & ~kWild) | kIndexed | (wild ? kWild : 0));
    return true;
}

void index_remove(Children *kids, Node *n) noexcept {
    if (!(n->flags & kIndexed)) return;
    Key k;
    uint16_t xid = xid_of(n);
    n->flags = static_cast<uint8_t>(n->flags & ~kIndexed);
    if (!key_of(n, k)) return;
    if (Slot *ns = find_slot(kids->index, false, xid, k)) {
        chain_remove(ns->head, ns->tail, n, false);
        if (!ns->head) drop_slot(kids->index, ns);
    }
    if (n->flags & kWild) {
        XidHead *hd = head_of(kids, xid);
        if (hd) chain_remove(hd->wild_first, hd->wild_last, n, true);
    } else if (Slot *ks = find_slot(kids->index, true, xid, k)) {
        chain_remove(ks->head, ks->tail, n, true);
        if (!ks->head) drop_slot(kids->index, ks);
    }
}

bool grow_index(Children *kids) noexcept {
    Index *old = kids->index;
    Index *ix = new_index(old->cap * 2);
    if (!ix) return false;
    for (uint32_t i = 0; i < old->cap; ++i) {
        const Slot &s = old->slots[i];
        if (!s.head) continue;
        uint32_t mask = ix->cap - 1;
        uint32_t j = s.hash & mask;
        while (ix->slots[j].head) j = (j + 1) & mask;
        ix->slots[j] = s;
        ++ix->used;
    }
    kids->index = ix;
    std::free(old);
    return true;
}

// Builds the index of a parent that has grown past kIndexFrom children. On
// no memory the parent simply stays unindexed (searches scan it).
void build_index(Children *kids) noexcept {
    // Two chains a child at most, at most 3/4 full: small objects (the
    // common case) get a small table that grows with them.
    uint32_t cap = 16;
    while (cap * 3 < (kids->count * 2 + 2) * 4) cap *= 2;
    kids->index = new_index(cap);
    if (!kids->index) return;
    for (cfg_handle c = kids->first; c; c = node_of(c)->next) {
        if (!index_add(kids, node_of(c), c)) {
            for (cfg_handle d = kids->first; d; d = node_of(d)->next) {
                Node *dn = node_of(d);
                dn->flags = static_cast<uint8_t>(dn->flags & ~kIndexed);
                dn->name_prev = dn->name_next = dn->key_prev = dn->key_next = 0;
            }
            for (uint32_t i = 0; i < kids->nheads; ++i) kids->heads[i].wild_first = kids->heads[i].wild_last = 0;
            std::free(kids->index);
            kids->index = nullptr;
            return;
        }
    }
}

// ---- children ----------------------------------------------------------------

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

// Links a new child at the tail; false (nothing linked) when its index entry
// cannot be made.
bool link_child(Node *p, cfg_handle ph, Node *c, cfg_handle ch) noexcept {
    Children *k = p->kids;
    uint16_t xid = xid_of(c);
    c->parent = ph;
    c->seq = k->next_seq;
    XidHead *hd = head_of(k, xid);
    if (!hd) {
        hd = &k->heads[k->nheads++];
        *hd = XidHead{xid, 0, 0, 0, 0};
    }
    if (k->index && !index_add(k, c, ch)) {
        c->parent = 0;
        return false;
    }
    ++k->next_seq;
    c->prev = k->last;
    if (k->last) node_of(k->last)->next = ch;
    else k->first = ch;
    k->last = ch;
    ++k->count;
    c->prev_same = hd->last;
    if (hd->last) node_of(hd->last)->next_same = ch;
    else hd->first = ch;
    hd->last = ch;
    if (!k->index && k->count > kIndexFrom) build_index(k);
    return true;
}

void unlink_child(Node *p, Node *c) noexcept {
    Children *k = p->kids;
    if (k->index) index_remove(k, c);
    if (c->prev) node_of(c->prev)->next = c->next;
    else k->first = c->next;
    if (c->next) node_of(c->next)->prev = c->prev;
    else k->last = c->prev;
    --k->count;
    XidHead *hd = head_of(k, xid_of(c));
    if (c->prev_same) node_of(c->prev_same)->next_same = c->next_same;
    else if (hd) hd->first = c->next_same;
    if (c->next_same) node_of(c->next_same)->prev_same = c->prev_same;
    else if (hd) hd->last = c->prev_same;
    c->parent = c->prev = c->next = c->prev_same = c->next_same = 0;
}

void free_node(Node *n) noexcept {
    if (n->kids) std::free(n->kids->index);
    std::free(n->kids);
    std::free(n);
}

// Frees h and everything only it holds: its children and, for a bound
// reference, a target that no other reference keeps. Iterative, so any
// depth of nesting is fine.
void destroy(cfg_handle h) noexcept {
    size_t cap = 64, top = 0;
    auto *stack = static_cast<cfg_handle *>(std::malloc(cap * sizeof(cfg_handle)));
    if (!stack) return;  // the subtree is leaked rather than corrupted
    stack[top++] = h;
    while (top) {
        cfg_handle cur = stack[--top];
        Node *n = node_of(cur);
        if (!n) continue;
        size_t need = top + 2 + (n->kids ? n->kids->count : 0);
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
        if (n->flags & kBound) {
            Node *t = node_of(n->aux);
            if (t && t->refs > 0) {
                if (t->aux == cur) t->aux = 0;
                if (--t->refs == 0 && t->parent == 0) stack[top++] = n->aux;
            }
        }
        set_slot(cur, nullptr);
        free_node(n);
    }
    std::free(stack);
}

// Would this new value change the node's name? An attribute's name is its
// text up to '=', an object's name its whole text. Setting a value keeps
// the name, and then the index is left alone.
bool renames(Node *n, const void *value, uint16_t length) noexcept {
    const char *old_text = n->value();
    const char *new_text = static_cast<const char *>(value);
    size_t old_len = strnlen(old_text, n->len);
    size_t new_len = length ? strnlen(new_text, length) : 0;
    if (xid_of(n) == static_cast<uint16_t>(kIdItem)) {
        const void *eq = std::memchr(old_text, '=', old_len);
        if (eq) old_len = static_cast<size_t>(static_cast<const char *>(eq) - old_text);
        if (new_len > old_len && new_text[old_len] != '=') return true;
        if (new_len < old_len) return true;
        if (new_len > old_len) new_len = old_len;
        // a '=' earlier in the new text shortens its name
        if (new_len && std::memchr(new_text, '=', new_len)) return true;
    }
    return !same(old_text, old_len, new_text, new_len);
}

// The children of a parent, or NULL; sets the store error for a bad parent.
Children *kids_of(cfg_handle parent) noexcept {
    Node *p = node_of(parent);
    if (!p) {
        fail(DS_E_BAD_HANDLE);
        return nullptr;
    }
    return p->kids;
}

bool name_is(Node *n, uint16_t xid, const char *name, size_t nlen, Key &k) noexcept {
    return xid_of(n) == xid && key_of(n, k) && same(k.name, k.nlen, name, nlen);
}

// In a parent without index: the first child from c on (same xid) whose
// instance holds a wildcard.
cfg_handle scan_wild(cfg_handle c) noexcept {
    Key ck;
    for (; c; c = node_of(c)->next_same)
        if (key_of(node_of(c), ck) && wild_instance(ck.inst, ck.ilen)) return c;
    return 0;
}

// The parent's children of a node, when the parent is indexed.
Children *indexed_parent(Node *n) noexcept {
    Node *p = n ? node_of(n->parent) : nullptr;
    return p && p->kids && p->kids->index ? p->kids : nullptr;
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
    } else if (xid_of(n) == xid) {  // a child of that xid: itself
        h = start;
    } else if (n->prev && xid_of(node_of(n->prev)) == xid) {
        // The usual step of an iteration, search(next(current)): the next
        // node of that xid after the current one is linked from it.
        h = node_of(n->prev)->next_same;
    } else {  // otherwise step over the run of other kinds
        for (h = start; h && xid_of(node_of(h)) != xid; h = node_of(h)->next) {
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
    if (p && !link_child(p, parent, n, h)) {
        set_slot(h, nullptr);
        free_node(n);
        return fail(DS_E_NO_MEMORY);
    }
    return h;
}

CFG_API int ds_bind_reference(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n || n->len < sizeof(cfg_handle)) return fail(DS_E_BAD_HANDLE);
    if (n->flags & kBound) return 1;
    cfg_handle t;
    std::memcpy(&t, n->value(), sizeof t);
    Node *tn = node_of(t);
    if (!tn || t == h) return fail(DS_E_BAD_HANDLE);
    // A reference appended before it was bound is not in its parent's index
    // yet (it had no name); take it out and in again around the binding.
    Children *kids = indexed_parent(n);
    if (kids) index_remove(kids, n);
    ++tn->refs;
    if (!tn->aux) tn->aux = h;
    n->aux = t;
    n->flags |= kBound;
    if (kids) (void)index_add(kids, n, h);  // on no memory it stays findable by scan only
    return 1;
}

CFG_API int ds_delete_obj(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n || n->parent != 0 || h == g_root || n->refs) return fail(DS_E_BAD_HANDLE);
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
    unlink_child(p, c);
    destroy(node);
    return 1;
}

CFG_API int ds_modify_av(cfg_handle h, const void *value, uint16_t length) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) return fail(DS_E_BAD_HANDLE);
    if (n->flags & kBound) return fail(DS_E_REFUSED);  // a bound reference keeps its target
    if (injected(DS_FAULT_MODIFY)) return fail(DS_E_REFUSED);
    if (length && !value) return fail(DS_E_REFUSED);
    // The node whose name may change with this value: the node itself, or
    // for an object's identifier node, the reference that names it.
    Node *keyed = (n->flags & kIndexed) ? n : node_of(n->aux && !(n->flags & kBound) ? n->aux : 0);
    cfg_handle keyed_h = keyed == n ? h : (keyed ? n->aux : 0);
    Children *kids = keyed && (keyed->flags & kIndexed) && renames(n, value, length) ? indexed_parent(keyed) : nullptr;
    if (length > n->cap) {
        // Grow with some slack so that repeated sets of a growing value
        // do not reallocate every time.
        size_t cap = length + length / 4;
        if (cap > 0xffff) cap = 0xffff;
        auto *grown = static_cast<Node *>(std::realloc(n, sizeof(Node) + cap + 1));
        if (!grown) return fail(DS_E_NO_MEMORY);
        if (keyed == n) keyed = grown;
        n = grown;
        n->cap = static_cast<uint16_t>(cap);
        set_slot(h, n);
    }
    if (kids) index_remove(kids, keyed);
    std::memmove(n->value(), value, length);
    n->value()[length] = '\0';
    n->len = length;
    if (kids) (void)index_add(kids, keyed, keyed_h);  // on no memory: found by name no more
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

// ---- the name index ------------------------------------------------------------

cfg_handle ds_first_named(cfg_handle parent, uint16_t xid, const char *name, size_t nlen) noexcept {
    Locked lock;
    Children *kids = kids_of(parent);
    if (!kids || !name) return 0;
    Key k{name, nlen, name + nlen, 0};
    if (kids->index) {
        Slot *s = indexed_kind(xid) ? find_slot(kids->index, false, xid, k) : nullptr;
        return s ? s->head : 0;
    }
    XidHead *hd = head_of(kids, xid);
    Key ck;
    for (cfg_handle c = hd ? hd->first : 0; c; c = node_of(c)->next_same)
        if (name_is(node_of(c), xid, name, nlen, ck)) return c;
    return 0;
}

cfg_handle ds_next_named(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) return fail(DS_E_BAD_HANDLE);
    if (indexed_parent(n)) return (n->flags & kIndexed) ? n->name_next : 0;
    Key k, ck;
    if (!key_of(n, k)) return 0;
    for (cfg_handle c = n->next_same; c; c = node_of(c)->next_same)
        if (name_is(node_of(c), xid_of(n), k.name, k.nlen, ck)) return c;
    return 0;
}

cfg_handle ds_first_keyed(cfg_handle parent, uint16_t xid, const char *name, size_t nlen, const char *instance,
                          size_t ilen) noexcept {
    Locked lock;
    Children *kids = kids_of(parent);
    if (!kids || !name || (ilen && !instance)) return 0;
    Key k{name, nlen, instance ? instance : name + nlen, ilen};
    if (kids->index) {
        Slot *s = indexed_kind(xid) ? find_slot(kids->index, true, xid, k) : nullptr;
        return s ? s->head : 0;
    }
    XidHead *hd = head_of(kids, xid);
    Key ck;
    for (cfg_handle c = hd ? hd->first : 0; c; c = node_of(c)->next_same)
        if (name_is(node_of(c), xid, name, nlen, ck) && same(ck.inst, ck.ilen, k.inst, k.ilen) &&
            !wild_instance(ck.inst, ck.ilen))
            return c;
    return 0;
}

cfg_handle ds_first_wild(cfg_handle parent, uint16_t xid) noexcept {
    Locked lock;
    Children *kids = kids_of(parent);
    XidHead *hd = kids ? head_of(kids, xid) : nullptr;
    if (!hd) return 0;
    if (kids->index) return hd->wild_first;
    return scan_wild(hd->first);
}

cfg_handle ds_next_wild(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) return fail(DS_E_BAD_HANDLE);
    if (indexed_parent(n)) return (n->flags & (kIndexed | kWild)) == (kIndexed | kWild) ? n->key_next : 0;
    return scan_wild(n->next_same);
}

int ds_index_ready(cfg_handle parent) noexcept {
    Locked lock;
    Children *kids = kids_of(parent);
    return kids && kids->index ? 1 : 0;
}

uint32_t ds_seq(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    return n ? n->seq : 0;
}

}  // extern "C"
