// ds.cpp - the in-memory data store and the object-access service.
//
// Owns every node and its value. A handle is a slot index (low 24 bits: at
// most 16,777,215 nodes at once) and the slot's generation (high 8 bits).
// Slots sit in a two-level table (256 chunks of 65,536 node pointers, 8
// bytes a slot), so a handle lookup is two loads and a comparison of the
// generation the node carries. A deleted node's slot waits in a queue until
// kQuarantine others wait, then serves again with the next generation: a
// store that is loaded and deleted again and again keeps a bounded table,
// and a deleted node's handle stays invalid for at least 16 million later
// deletions (the generation wraps after 256 reuses of a slot). Children
// hang in append order on a doubly linked list, and on a second list per
// xid, so appends, deletions, next-sibling steps, value changes, the
// first-of-xid search and each step of an iteration over one xid (search
// from the sibling after the current node) are O(1).
//
// Memory. A node is one block: a 40-byte header (sibling links, name-chain
// links, sequence number, xid, length, capacity, flags, generation) followed
// by its value bytes and a guard NUL. What only some nodes need goes before the
// header, present as their flags say: objects, references and the root
// carry the children block, the count of bound references and the
// reference link (Extra, 16 bytes; an attribute made a parent or a
// reference target through the raw API keeps its Extra in a side table),
// and references and attributes with an instance carry their key-chain
// links (8 bytes; see below). Blocks of up to kPoolMax bytes come from a
// pool of 8-byte size classes carved from 64 KiB slabs (2 MiB huge pages,
// where the system has them, once the pool holds 256 KiB), so a node costs no
// malloc header and little rounding; freed blocks go back to the free list
// of their class (slabs are kept for reuse, never returned). Blocks from
// 16 KiB to 128 KiB (mid-sized indexes) come from the slabs as well, with a
// free list per size; larger ones are mapped, and given back when freed
// (one that an index outgrew becomes room for the next slabs).
// An attribute in the usual shape (a short name and value) thus costs a
// 72-byte block, 8 bytes of handle slot and about 10 to 20 bytes of its
// parent's index.
//
// Children of the indexed kinds (attributes, object references) are also
// found by name (ds_index.h): parents with more than kIndexFrom children keep
// an open-addressing hash index of 8-byte slots (hash, head of chain), from
// bare name, and from name plus instance, to chains of children in store
// order; smaller parents are scanned. A table of any size (at least 8
// slots) grows by half when more than 3/4 full (7/8 up to 64 slots), so
// an object of ten attributes has a 104-byte index. A chain's head links
// back to its tail, so appends need no tail field. While no child of a name
// has an instance (the common case), its name chain is also its key chain
// and takes one slot, and those children have no key links. The first
// child of that name with an instance makes the chain "mixed": the plain
// ones get a key chain of their own, their key links in a side table.
//
// Locking: one mutex, taken on a thread's first ds_lock and released on its
// last ds_unlock (a thread-local count makes nested pairs cheap). Every
// public operation takes the lock itself as well; the pool and the side
// tables are used under it only.
#include "ds.h"

#include "alloc.h"
#include "ds_index.h"
#include "name_chars.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include <sys/mman.h>
#if defined(__has_include)
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define CFG_HAVE_SINGLE_THREADED 1
#endif
#endif

#if defined(CFG_ADDRESS_SANITIZER) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#define LSAN_REGISTER_ROOT_REGION(addr, size) __lsan_register_root_region(addr, size)
#else
#define LSAN_REGISTER_ROOT_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace {

// For the small steps of every lookup.
#define CFG_INLINE inline __attribute__((always_inline))

constexpr uint32_t kIndexBits = 24;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr uint32_t kChunkBits = 16;
constexpr uint32_t kChunkSize = 1u << kChunkBits;
constexpr uint32_t kChunks = 1u << (kIndexBits - kChunkBits);
// Freed slots that wait before one serves again.
constexpr uint32_t kQuarantine = 1u << 16;

constexpr uint32_t kIdRoot = DS_ID_ROOT;
constexpr uint32_t kIdObjectRef = DS_ID_OBJECT_REF;
constexpr uint32_t kIdIdentifier = DS_ID_IDENTIFIER;
constexpr uint32_t kIdItem = DS_ID_ITEM;
constexpr uint16_t kXidRef = static_cast<uint16_t>(kIdObjectRef);
constexpr uint16_t kXidIdent = static_cast<uint16_t>(kIdIdentifier);
constexpr uint16_t kXidItem = static_cast<uint16_t>(kIdItem);

// ---- the block pool ------------------------------------------------------------

// Nodes, children blocks and small indexes are many and small: a malloc
// header and 16-byte rounding would add a fifth to an attribute. They come
// from slabs instead, in size classes of kGrain bytes with a free list each.
// Filling fresh memory costs a page fault per 4 KiB, which can be half the
// time of a load (some 10 us a fault on virtual machines, against about
// 0.25 us per 4 KiB inside a huge page): once the pool holds kLargeFrom
// bytes (some 2,000 attributes) its slabs are huge pages, kLargeSlab bytes
// on a kHugePage boundary, and the large blocks (the big indexes) ask for
// huge pages too. Smaller stores keep small slabs: a configuration of a few
// settings does not hold a 2 MiB page, and a larger one holds at most one
// partly used. A load announces the size of its file (ds_expect), so that a
// store that will be large skips the small slabs, whose pages would cost it
// a fault or a populate call each.
constexpr size_t kGrain = 8;
constexpr size_t kPoolMax = 1024;  // larger blocks: medium_alloc
constexpr size_t kSlabSize = 64 * 1024;
constexpr size_t kLargeFrom = 256 * 1024;
constexpr size_t kHugePage = 2 * 1024 * 1024;
constexpr size_t kLargeSlab = kHugePage;

// A free list for blocks of one size above kPoolMax (see medium_alloc).
struct MediumList {
    size_t size;  // 0: not yet taken
    void *head;
};
constexpr size_t kMediumLists = 32;

// A mapped block kept as room for slabs (see pool_recycle), on a list
// through its first bytes.
struct Spare {
    Spare *next;
    size_t size;
};

struct Pool {
    void *free_list[kPoolMax / kGrain + 1] = {};
    MediumList medium[kMediumLists] = {};
    char *bump = nullptr;  // the unused rest of the newest slab
    char *end = nullptr;
    void *slabs = nullptr;  // every slab, linked through its first word
    Spare *spare = nullptr;  // room for the next slabs (pool_recycle)
    size_t held = 0;        // bytes of all slabs
    size_t planned = 0;     // what the store is expected to hold (ds_expect)
    bool small = false;     // the newest slab is a small one (made present ahead)
};
Pool g_pool;

// Asks for huge pages for the whole 2 MiB pages inside [p, p + size), before
// they are first touched. Only a hint: where the system has none (or says
// no), the memory is used as it is.
void advise_huge(void *p, size_t size) noexcept {
#if defined(MADV_HUGEPAGE)
    auto first = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
    auto last = (reinterpret_cast<uintptr_t>(p) + size) & ~(kHugePage - 1);
    if (last > first) (void)madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)size;
#endif
}

// Fresh memory costs a page fault per 4 KiB when it is first touched; made
// present in one call (cfg_mem_present) it costs a fraction of that.
// Memory that is filled in order (the slabs of a small pool, the handle
// slots) is made present ahead of use, in steps that double up to
// kAheadMax, so that a store of a few settings still takes a page, not 16
// KiB.
constexpr size_t kPage = 4096;
constexpr size_t kAheadMax = 16 * 1024;

constexpr uintptr_t page_floor(uintptr_t a) noexcept { return a & ~(kPage - 1); }
constexpr uintptr_t page_ceil(uintptr_t a) noexcept { return (a + kPage - 1) & ~(kPage - 1); }

// A region filled in order: how far it is present, and how far ahead the
// next step goes.
struct Ahead {
    uintptr_t done = 0;
    size_t ahead = 0;
    void start(const void *region) noexcept { *this = Ahead{page_floor(reinterpret_cast<uintptr_t>(region)), 0}; }
};

// Makes the region present up to need (an end address) and a step beyond,
// within limit.
void present_ahead(Ahead &a, const void *need, const void *limit) noexcept {
    auto n = reinterpret_cast<uintptr_t>(need);
    if (n <= a.done) return;
    uintptr_t to = std::min(page_ceil(n) + a.ahead, page_ceil(reinterpret_cast<uintptr_t>(limit)));
    cfg_mem_present(reinterpret_cast<void *>(a.done), to - a.done);
    a.done = to;
    a.ahead = a.ahead ? std::min(2 * a.ahead, kAheadMax) : kPage;
}

// A block the pool does not keep: from kMapFrom bytes up (the indexes of
// parents of some 16,000 children and more) mapped directly, so that a
// freed one goes back to the system at once (or, outgrown, serves the
// pool: pool_recycle); below, from malloc only when the pool's lists for
// sizes are all taken (see medium_alloc). malloc maps large sizes itself
// only until the program frees a large block of its own (it then raises its
// threshold): from then on an index that grew would leave its old tables
// resident and unused, a fifth of the peak memory of a load of a million
// attributes.
// From half a huge page up (parents of some 100,000 children), blocks are
// whole huge pages on a huge-page boundary: an index that grows is made
// afresh each time, and would otherwise fault in every 4 KiB of every size
// it passes through.
constexpr size_t kMapFrom = 128 * 1024;

size_t mapped_size(size_t size) noexcept {
    return size < kHugePage / 2 ? size : (size + kHugePage - 1) & ~(kHugePage - 1);
}

void *map_block(size_t size) noexcept {
    size_t whole = mapped_size(size);
    size_t slack = size < kHugePage / 2 ? 0 : kHugePage;  // room to move to a huge-page boundary
    void *m = mmap(nullptr, whole + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    if (!slack) return cfg_mem_present(m, whole), m;
    auto start = reinterpret_cast<uintptr_t>(m);
    auto aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (size_t head = aligned - start) (void)munmap(m, head);
    if (size_t tail = slack - (aligned - start)) (void)munmap(reinterpret_cast<char *>(aligned + whole), tail);
    advise_huge(reinterpret_cast<void *>(aligned), whole);
    cfg_mem_present(reinterpret_cast<void *>(aligned), whole);  // an index fills it at once
    return reinterpret_cast<void *>(aligned);
}

// Blocks this large are indexes, filled at once: one from malloc is made
// present in one call too (fresh, it would take a page fault per 4 KiB).
void *large_alloc(size_t size) noexcept {
    if (size >= kMapFrom) return map_block(size);
    void *block = std::malloc(size);
    if (block && size >= 2 * kPage) cfg_mem_present(block, size);
    return block;
}

void large_free(void *block, size_t size) noexcept {
    if (size < kMapFrom) std::free(block);
    else (void)munmap(block, mapped_size(size));
}

// Blocks above kPoolMax and under kMapFrom belong to the pool (medium_alloc).
bool is_medium(size_t size) noexcept { return size > kPoolMax && size < kMapFrom; }

// The free list of blocks of this size above kPoolMax and under kMapFrom,
// taken for it when make is set and a list is left; NULL otherwise. Lists
// are never given back, so a size keeps its answer: with a list, its blocks
// belong to the pool, without one they come from malloc.
MediumList *medium_list(size_t size, bool make) noexcept {
    for (MediumList &m : g_pool.medium) {
        if (m.size == size) return &m;
        if (!m.size) return make ? (m.size = size, &m) : nullptr;
    }
    return nullptr;
}

// A mapped block freed as an index outgrew it (kMapFrom bytes and more),
// kept as room for the next slabs instead of being given back: the parent
// that grew is being filled, and the nodes it gets next would otherwise take
// fresh pages, each cleared by the system at its first touch, while these
// are present already. Each table a growing index leaves is less than a third
// of what the nodes appended before its next growth take, so none waits
// long, and the store's peak is the one of the growth that freed it. Never
// given back (like the slabs), and scanned by leak checkers as the slabs
// are: nodes in it hold pointers to blocks of their own.
void pool_recycle(void *block, size_t size) noexcept {
    size = mapped_size(size);
    LSAN_REGISTER_ROOT_REGION(block, size);
    auto *spare = static_cast<Spare *>(block);
    *spare = Spare{g_pool.spare, size};
    g_pool.spare = spare;
    g_pool.held += size;
}

// A new slab of size bytes, linked into the pool's chain through its first
// word (its use starts kGrain bytes in); NULL when memory runs out. Slabs
// are never freed, and the chain must stay visible to leak checkers: they
// come from malloc, huge ones on a huge-page boundary.
char *new_slab(size_t size) noexcept {
    void *p = size < kHugePage ? std::malloc(size) : std::aligned_alloc(kHugePage, size);
    if (!p) return nullptr;
    if (size >= kHugePage) advise_huge(p, size);
    *static_cast<void **>(p) = g_pool.slabs;
    g_pool.slabs = p;
    g_pool.held += size;
    return static_cast<char *>(p);
}

constexpr size_t round_up(size_t n) noexcept { return (n + kGrain - 1) & ~(kGrain - 1); }

void push_block(void *&list, void *block, size_t size) noexcept {
    *static_cast<void **>(block) = list;
    list = block;
    ASAN_POISON_MEMORY_REGION(block, size);
}

void *pop_block(void *&list, size_t size) noexcept {
    void *block = list;
    if (!block) return nullptr;
    ASAN_UNPOISON_MEMORY_REGION(block, size);
    list = *static_cast<void **>(block);
    return block;
}

void pool_push(void *block, size_t size) noexcept { push_block(g_pool.free_list[size / kGrain], block, size); }

Ahead g_slab_ahead;  // the newest small slab

// Takes size bytes from the newest slab when they fit; NULL otherwise.
void *carve(size_t size) noexcept {
    if (static_cast<size_t>(g_pool.end - g_pool.bump) < size) return nullptr;
    void *block = g_pool.bump;
    g_pool.bump += size;
    if (g_pool.small) present_ahead(g_slab_ahead, g_pool.bump, g_pool.end);
    ASAN_UNPOISON_MEMORY_REGION(block, size);
    return block;
}

// A block above kPoolMax. Under kMapFrom (the indexes of parents of some
// 100 to 16,000 children) it belongs to the pool, with a free list for its
// size: an index that grows is made afresh at each size it passes, and from
// malloc each would be fresh memory, a page fault per 4 KiB (and one more
// for the header malloc writes after it), where the newest slab (made
// present ahead, a huge page once the pool is large) has its pages
// already; a parent that grows leaves its old tables to the next one (a
// small store holds up to some 30 KiB more than malloc would). Their sizes
// are few (a table's capacity follows one sequence), so a short table of
// lists serves them all. What the newest slab cannot hold gets a block of
// its own, linked in with the slabs.
void *medium_alloc(size_t size) noexcept {
    MediumList *m = is_medium(size) ? medium_list(size, true) : nullptr;
    if (!m) return large_alloc(size);
    if (void *block = pop_block(m->head, size)) return block;
    if (void *block = carve(size)) return block;
    char *own = new_slab(kGrain + size);
    if (!own) return nullptr;
    cfg_mem_present(own, kGrain + size);  // an index fills it at once
    return own + kGrain;
}

void medium_free(void *block, size_t size) noexcept {
    if (MediumList *m = is_medium(size) ? medium_list(size, false) : nullptr) push_block(m->head, block, size);
    else large_free(block, size);
}

bool injected(unsigned op) noexcept;

// A block of size bytes (a multiple of kGrain), NULL when memory runs out.
void *pool_alloc(size_t size) noexcept {
    if (injected(DS_FAULT_MEMORY)) return nullptr;
    if (size > kPoolMax) return medium_alloc(size);
    if (void *block = pop_block(g_pool.free_list[size / kGrain], size)) return block;
    if (static_cast<size_t>(g_pool.end - g_pool.bump) < size) {
        bool small = std::max(g_pool.held, g_pool.planned) < kLargeFrom;
        size_t slab_size = small ? kSlabSize : kLargeSlab;
        char *slab = nullptr;
        if (Spare *spare = g_pool.spare) {  // present already: no step ahead
            g_pool.spare = spare->next;
            slab = reinterpret_cast<char *>(spare);
            slab_size = spare->size;
            small = false;
        } else if (!(slab = new_slab(slab_size))) {
            return nullptr;
        }
        // The old slab's tail is a block of its own size class.
        if (size_t rest = static_cast<size_t>(g_pool.end - g_pool.bump); rest >= kGrain) {
            ASAN_UNPOISON_MEMORY_REGION(g_pool.bump, rest);
            pool_push(g_pool.bump, rest);
        }
        g_pool.bump = slab + kGrain;
        g_pool.end = slab + slab_size;
        g_pool.small = small;  // a huge page is present at its first touch
        g_slab_ahead.start(slab);
        ASAN_POISON_MEMORY_REGION(g_pool.bump, slab_size - kGrain);
    }
    return carve(size);
}

void pool_free(void *block, size_t size) noexcept {
    if (!block) return;
    if (size > kPoolMax) medium_free(block, size);
    else pool_push(block, size);
}

// ---- nodes ---------------------------------------------------------------------

struct Index;

// First and last child of one xid under a parent and, while the parent is
// indexed, the heads of two lists of the children of that xid that the index
// cannot decide for: the aside list (a wildcard instance, or a name it
// cannot read), and the odd list, the unreadable ones alone.
struct XidHead {
    uint32_t first;
    uint32_t last;
    uint32_t wild;  // the aside list (through the key links)
    uint32_t odd;   // the odd list (through the name links, which they do not use)
    uint16_t xid;
};

// What a node needs only once it has children.
struct Children {
    Index *index;       // NULL while the parent is small
    uint32_t first;     // first child in append order
    uint32_t last;      // last child
    uint32_t count;     // number of children
    uint32_t next_seq;  // sequence number of the next appended child
    uint16_t nheads;    // entries used in heads
    uint16_t capheads;  // entries allocated in heads
    XidHead heads[1];   // grown with the block
};

constexpr uint32_t kMaxHeads = 0xffff;  // kinds of children under one parent (capheads is 16 bits)

size_t children_size(uint32_t capheads) noexcept {
    return round_up(offsetof(Children, heads) + capheads * sizeof(XidHead));
}

// The prefix of every node that is not an attribute: what only parents,
// references and reference targets need. The references bound to one target
// form a list, so that a new name of the target reaches the index of every
// parent that refers to it.
struct Extra {
    Children *kids;     // NULL until the node has children
    uint32_t refs;      // bound references that keep this node alive
    uint32_t aux;       // bound reference: its target; target: its first referrer
    uint32_t ref_prev;  // bound reference: the other references to its target
    uint32_t ref_next;
};

// A node's place in an index chain. The head's prev is the tail; the
// tail's next is 0.
struct Links {
    uint32_t prev;
    uint32_t next;
};

struct Node {
    uint32_t parent;      // parent handle, 0 for a standalone node
    uint32_t prev, next;  // siblings in append order
    uint32_t prev_same;   // previous sibling of the same xid
    uint32_t next_same;   // next sibling of the same xid
    uint32_t seq;         // append sequence number under the parent
    Links name;           // indexed: siblings of the same kind and bare name
    uint16_t xid;         // the kind; the full id follows from it (id_of)
    uint16_t len;         // value length in bytes
    uint16_t cap;         // bytes available for the value
    uint8_t flags;        // kBound, kWild, kIndexed, kPrefix, kSide, kOdd, kLinks, kSideLinks
    uint8_t generation;   // its handle's high byte (set_slot)
    char text[1];         // the value starts here, not padding: see kHead
    char *value() noexcept { return reinterpret_cast<char *>(this) + offsetof(Node, text); }
};
// The value follows the last header byte; nothing writes the header as a
// whole (no struct copies), so its size rounded to 48 never matters.
constexpr size_t kHead = offsetof(Node, text);
static_assert(kHead == 40, "node header layout");
static_assert(sizeof(Extra) % kGrain == 0 && sizeof(Links) % kGrain == 0, "prefixes keep the header aligned");

constexpr uint8_t kBound = 1;    // a reference node bound to its target (aux)
constexpr uint8_t kWild = 2;     // on the aside list: a "*" or "**" instance token, or kOdd
constexpr uint8_t kIndexed = 4;  // linked into its parent's index chains
constexpr uint8_t kOdd = 32;     // indexed, but its name cannot be read: on the odd and aside lists
constexpr uint8_t kPrefix = 8;   // an Extra precedes the header
constexpr uint8_t kSide = 16;    // its Extra is in the side table
constexpr uint8_t kLinks = 64;   // its key links (Links) come first in its block
constexpr uint8_t kSideLinks = 128;  // its key links are in the side link table

struct FaultPlan {
    unsigned ops = 0;
    int skip = 0;
    int count = 0;
};

// Parents with more children get an index. A scan reads every child's name
// (a search must report the unreadable ones it meets), so past a handful of
// children a table is cheaper; it costs an object of five to eight children
// one 72-byte block.
constexpr uint32_t kIndexFrom = 4;

// True while the process has one thread, as the C library tells (it never
// says so wrongly): no other thread can then race for the store's mutex.
bool single_threaded() noexcept {
#if defined(CFG_HAVE_SINGLE_THREADED)
    return __libc_single_threaded != 0;
#else
    return false;
#endif
}

// The store's mutex: a word that is 0 (free), 1 (held) or 2 (held, and a
// thread may wait). Taking and giving it back uncontended is one atomic
// instruction each, where a pthread mutex adds some 50 instructions of type
// checks to every public call (a lookup is about 1,000); a thread that finds
// it held sleeps on the word (a futex, through atomic wait). While the
// process has one thread the word is written with plain stores (a load: some
// 5 ns a line less): a thread made while it is held finds it held, since its
// creation orders every earlier store before the thread's start, and the
// release, the process no longer single, goes through the exchange.
class StoreMutex {
public:
    void lock() noexcept {
        if (single_threaded()) {
            word_.store(1, std::memory_order_relaxed);
            return;
        }
        int seen = 0;
        if (word_.compare_exchange_strong(seen, 1, std::memory_order_acquire)) return;
        if (seen != 2) seen = word_.exchange(2, std::memory_order_acquire);
        while (seen != 0) {
            word_.wait(2, std::memory_order_relaxed);
            seen = word_.exchange(2, std::memory_order_acquire);
        }
    }
    void unlock() noexcept {
        if (single_threaded()) {
            word_.store(0, std::memory_order_relaxed);
            return;
        }
        if (word_.exchange(0, std::memory_order_release) == 2) word_.notify_one();
    }

private:
    std::atomic<int> word_{0};
};

StoreMutex g_mutex;
thread_local int tl_depth = 0;  // in the static TLS block, as all the library's (see CMakeLists.txt)
thread_local int tl_error = DS_E_NONE;

Node **g_slots[kChunks];    // chunk table; chunks are allocated on demand
uint32_t g_next_index = 1;  // next slot never used; slot 0 never is
Ahead g_slot_ahead;         // the chunk of g_next_index, filled in order
// The queue of freed slots, threaded through the slots themselves: a free
// slot holds (next free index << 9) | (generation of its last handle << 1) | 1,
// odd where a node pointer is even.
uint32_t g_free_head = 0, g_free_tail = 0, g_free_count = 0;
bool g_reserved_reused = false;  // the last new_handle took a freed slot
cfg_handle g_root = 0;
int g_precedence = 10;
FaultPlan g_fault;
// Counts the changes after which a name may find another child than before,
// or a scan may meet a child it cannot read: deletions, bindings, value
// changes of nodes other than attributes, and new names of attributes.
// Appends do not count: a new child comes after every child a search has
// already matched.
// Bumped under the lock; read without it (a relaxed load) by walks that
// hold the lock anyway.
std::atomic<uint64_t> g_generation{1};
void bump_generation() noexcept {
    g_generation.store(g_generation.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
// The side tables are made on first use and never destroyed, like the
// nodes they serve: no exit-time destructor pulls them from under a late
// store call.
// The Extra of nodes without a prefix that came to need one, by handle.
std::unordered_map<uint32_t, Extra> &side_extras() {
    static auto *table = new std::unordered_map<uint32_t, Extra>;
    return *table;
}
// The key links of attributes without an instance whose name chain keeps
// key chains (some namesake has an instance), by handle.
std::unordered_map<uint32_t, Links> &side_links() {
    static auto *table = new std::unordered_map<uint32_t, Links>;
    return *table;
}

// RAII form of ds_lock/ds_unlock for the store's own operations, inline:
// every store call takes it, mostly nested in a caller's lock, where it
// only counts.
struct Locked {
    Locked() noexcept {
        if (tl_depth++ == 0) g_mutex.lock();
    }
    ~Locked() {
        if (--tl_depth == 0) g_mutex.unlock();
    }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

int fail(int error) noexcept {
    tl_error = error;
    return 0;
}

Node **slot_of(uint32_t index) noexcept { return &g_slots[index >> kChunkBits][index & (kChunkSize - 1)]; }

CFG_INLINE Node *node_of(cfg_handle h) noexcept {
    uint32_t index = h & kIndexMask;
    Node **chunk = g_slots[index >> kChunkBits];
    if (!chunk) return nullptr;
    Node *n = chunk[index & (kChunkSize - 1)];
    if (!n || (reinterpret_cast<uintptr_t>(n) & 1) || n->generation != (h >> kIndexBits)) return nullptr;
    return n;
}

// Puts n in the slot h reserved (new_handle).
void set_slot(cfg_handle h, Node *n) noexcept {
    n->generation = static_cast<uint8_t>(h >> kIndexBits);
    *slot_of(h & kIndexMask) = n;
}

// Gives h's slot back (its node freed, or never made): it waits in the queue.
void release_handle(cfg_handle h) noexcept {
    uint32_t index = h & kIndexMask;
    auto tagged = [](uint32_t next, uint32_t generation) {
        return reinterpret_cast<Node *>((static_cast<uintptr_t>(next) << 9) | (generation << 1) | 1u);
    };
    *slot_of(index) = tagged(0, h >> kIndexBits);
    if (g_free_tail) {
        Node **tail = slot_of(g_free_tail);
        *tail = tagged(index, (reinterpret_cast<uintptr_t>(*tail) >> 1) & 0xffu);
    } else {
        g_free_head = index;
    }
    g_free_tail = index;
    ++g_free_count;
}

// Gives back the handle new_handle has just reserved, which no node held:
// its slot goes back where it came from, its generation unspent, so that
// refused appends do not bring a stale handle's return nearer.
void unreserve_handle(cfg_handle h) noexcept {
    uint32_t index = h & kIndexMask;
    if (!g_reserved_reused) {
        *slot_of(index) = nullptr;
        g_next_index = index;
        return;
    }
    uint32_t generation = ((h >> kIndexBits) - 1) & 0xffu;
    *slot_of(index) = reinterpret_cast<Node *>((static_cast<uintptr_t>(g_free_head) << 9) | (generation << 1) | 1u);
    g_free_head = index;
    if (!g_free_tail) g_free_tail = index;
    ++g_free_count;
}

uint16_t xid_of(const Node *n) noexcept { return n->xid; }

// The node's full id: the root's, or the one its xid stands for (every
// other xid is its own id).
uint32_t id_of(const Node *n, cfg_handle h) noexcept {
    // the high halves of the ids of xids kXidRef, kXidIdent and kXidItem
    static constexpr uint32_t kHigh[] = {kIdObjectRef & 0xffff0000u, kIdIdentifier & 0xffff0000u,
                                         kIdItem & 0xffff0000u, 0};
    static_assert(kXidIdent == kXidRef + 1 && kXidItem == kXidRef + 2, "the kinds' xids follow each other");
    if (h == g_root) return kIdRoot;
    uint32_t k = static_cast<uint32_t>(n->xid) - kXidRef;
    return kHigh[k < 3 ? k : 3] | n->xid;
}

// Bytes before the header: [Links if kLinks][Extra if kPrefix]. The Extra,
// read on every step into a parent, sits right before the header.
size_t prefix_size(uint8_t flags) noexcept {
    return ((flags & kPrefix) ? sizeof(Extra) : 0) + ((flags & kLinks) ? sizeof(Links) : 0);
}
char *block_of(Node *n) noexcept { return reinterpret_cast<char *>(n) - prefix_size(n->flags); }
size_t block_size(const Node *n) noexcept { return round_up(prefix_size(n->flags) + kHead + n->cap + 1); }
Extra *prefix_extra(Node *n) noexcept { return reinterpret_cast<Extra *>(n) - 1; }

__attribute__((noinline)) Extra *side_extra(cfg_handle h) noexcept { return &side_extras().find(h)->second; }

// The node's Extra, NULL when it has none (then it has no children, no
// references and no reference link).
CFG_INLINE Extra *extra_of(Node *n, cfg_handle h) noexcept {
    if (n->flags & kPrefix) return prefix_extra(n);
    if (n->flags & kSide) return side_extra(h);
    return nullptr;
}

// make_extra for a node that has no Extra yet: one in the side table.
__attribute__((noinline)) Extra *make_side_extra(Node *n, cfg_handle h) noexcept {
    if (injected(DS_FAULT_MEMORY)) return nullptr;
    try {
        Extra *e = &side_extras().try_emplace(h, Extra{nullptr, 0, 0, 0, 0}).first->second;
        n->flags |= kSide;
        return e;
    } catch (...) {
        return nullptr;
    }
}

// The node's Extra, made in the side table when it has none; NULL on no
// memory. Inline: every append asks it of a parent that has one.
CFG_INLINE Extra *make_extra(Node *n, cfg_handle h) noexcept {
    if (Extra *e = extra_of(n, h)) return e;
    return make_side_extra(n, h);
}

CFG_INLINE Children *children_of(Node *n, cfg_handle h) noexcept {
    Extra *e = extra_of(n, h);
    return e ? e->kids : nullptr;
}

// A chunk of handle slots (512 KiB), mapped directly: zero and not yet
// present, it is made present ahead of use as slots are taken. From calloc
// it could come out of the heap, where malloc's threshold for mapping has
// risen once the program freed a large block; calloc then clears what the
// heap held before by hand, a page fault per 4 KiB (33 of them, 0.3 ms, in
// the first load of a child forked from a busy program). Chunks are never
// given back; they hold the only pointers to nodes too large for the pool.
Node **map_slot_chunk() noexcept {
    const size_t bytes = kChunkSize * sizeof(Node *);
    void *m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    LSAN_REGISTER_ROOT_REGION(m, bytes);
    return static_cast<Node **>(m);
}

// Reserves a slot for a new handle (set_slot fills it, release_handle gives
// it back); 0 when memory or slots run out. A freed slot serves again once
// kQuarantine others wait, or when no slot was never used is left.
cfg_handle new_handle() noexcept {
    if (g_free_count > kQuarantine || (g_next_index > kIndexMask && g_free_count)) {
        g_reserved_reused = true;
        uint32_t index = g_free_head;
        Node **slot = slot_of(index);
        auto bits = reinterpret_cast<uintptr_t>(*slot);
        g_free_head = static_cast<uint32_t>(bits >> 9);
        if (!g_free_head) g_free_tail = 0;
        --g_free_count;
        *slot = nullptr;
        uint32_t generation = static_cast<uint32_t>((bits >> 1) + 1) & 0xffu;
        return (generation << kIndexBits) | index;
    }
    g_reserved_reused = false;
    uint32_t index = g_next_index;
    if (index > kIndexMask) return 0;  // every slot holds a node
    Node **&chunk = g_slots[index >> kChunkBits];
    if (!chunk) {
        if (injected(DS_FAULT_MEMORY)) return 0;
        chunk = map_slot_chunk();
        if (!chunk) return 0;
        g_slot_ahead.start(chunk);
    }
    present_ahead(g_slot_ahead, chunk + (index & (kChunkSize - 1)) + 1, chunk + kChunkSize);
    ++g_next_index;
    return index;
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

// The block for a node with the prefixes that layout (kPrefix, kLinks)
// asks for and room for cap value bytes (and the guard NUL); what the size
// class rounds up is capacity too. Sets cap and the layout flags; the
// caller fills in the rest.
Node *alloc_node(uint8_t layout, size_t cap) noexcept {
    // cap is 16 bits: a block larger than it describes would be freed as
    // the smaller size block_size computes from cap.
    if (cap > 0xffff) cap = 0xffff;
    size_t pre = prefix_size(layout);
    size_t size = round_up(pre + kHead + cap + 1);
    char *block = static_cast<char *>(pool_alloc(size));
    if (!block) return nullptr;
    auto *n = reinterpret_cast<Node *>(block + pre);
    cap = size - pre - kHead - 1;
    n->cap = static_cast<uint16_t>(cap > 0xffff ? 0xffff : cap);
    n->flags = layout;
    return n;
}

struct Key;
bool split_name(const char *text, size_t len, bool dot_ends, Key &k) noexcept;

// The prefixes a node of xid with this value needs. Attributes are the
// many: only the other kinds carry an Extra. Key links are needed by
// references (their name is their target's and changes with it) and by
// attributes with an instance; those without one are usually alone with
// their name, and their name chain serves as their key chain.
// instanced: an attribute whose name has an instance.
uint8_t layout_of(uint16_t xid, bool instanced) noexcept {
    if (xid == kXidItem) return instanced ? kLinks : 0;
    return xid == kXidRef ? kPrefix | kLinks : kPrefix;
}

// plain: the caller vouches that the value is a plain name (plain_name_key),
// which holds no '='. room: the length an attribute's text will have once
// the set that follows at once gives it its value (0: not known).
Node *make_node(uint16_t xid, const void *value, uint16_t length, bool instanced = false, bool plain = false,
                uint16_t room = 0) noexcept {
    // A new attribute that holds its name only gets its value at once: room
    // for it, or for a short one, so that the first set need not move it.
    bool bare = xid == kXidItem && (plain || !(length && std::memchr(value, '=', length)));
    size_t cap = bare ? std::max<size_t>(static_cast<size_t>(length) + 24, room) : length;
    uint8_t layout = layout_of(xid, instanced);
    Node *n = alloc_node(layout, cap);
    if (!n) return nullptr;
    if (size_t pre = prefix_size(layout)) std::memset(block_of(n), 0, pre);  // an attribute has none
    std::memset(n, 0, offsetof(Node, cap));
    n->xid = xid;
    n->len = length;
    if (length) std::memcpy(n->value(), value, length);
    n->value()[length] = '\0';  // a guard NUL past the value, so texts always end
    return n;
}

void init_root() noexcept {
    if (g_root) return;
    cfg_handle h = new_handle();
    if (!h) return;
    Node *n = make_node(static_cast<uint16_t>(kIdRoot), "", 1);
    if (!n) return unreserve_handle(h);
    set_slot(h, n);
    g_root = h;
}

XidHead *head_of(Children *k, uint16_t xid) noexcept {
    XidHead *h = k->heads, *end = h + k->nheads;
    for (; h != end; ++h)
        if (h->xid == xid) return h;
    return nullptr;
}

// ---- names -----------------------------------------------------------------

// A child's name, split as the index compares it. A plain key (name
// characters only, an instance without ']' or NUL) may be compared with a
// stored text in place (text_matches).
struct Key {
    const char *name;
    size_t nlen;
    const char *inst;
    size_t ilen;
    bool plain = false;
    const char *end = nullptr;  // split_name: just after the component
};

bool indexed_kind(uint16_t xid) noexcept { return xid == kXidItem || xid == kXidRef; }

// Splits a stored name exactly as the library's parser does, so that the
// index keys a child by what the matcher compares: one leading '!' dropped,
// the run of name characters, and when '[' follows, the instance up to the
// first ']' of the text. False for a text the parser refuses (no name
// character, no ']', a component longer than 639 characters) and, for an
// object's name (dot_ends false), one that goes on with a '.': the matcher
// compares those with no single component.
bool split_name(const char *text, size_t len, bool dot_ends, Key &k) noexcept {
    cfgtree::Component c;
    if (cfgtree::read_component(text, len, c) != cfgtree::ComponentRead::kOk || c.length > cfgtree::kComponentMax)
        return false;
    k.name = c.name;
    k.nlen = c.nlen;
    k.inst = c.inst;
    k.ilen = c.ilen;
    k.end = text + c.length;
    return dot_ends || c.length == len || text[c.length] != '.';
}

// The stored name of an indexed child: an attribute's text, or the text of
// the object a reference refers to. False when the matcher can read none.
bool key_of(Node *n, Key &k) noexcept {
    if (xid_of(n) == kXidItem) return split_name(n->value(), n->len, true, k);
    if (xid_of(n) == kXidRef && (n->flags & kBound)) {
        Node *t = node_of(prefix_extra(n)->aux);  // a reference always has its prefix
        if (!t || xid_of(t) != kXidIdent) return false;  // only objects have names
        return split_name(t->value(), strnlen(t->value(), t->len), false, k);
    }
    return false;
}

// Compares n bytes the way short names want: in overlapping words, with no
// call (a memcmp of a variable length is one).
CFG_INLINE bool same_bytes(const char *a, const char *b, size_t n) noexcept {
    auto word = [](const char *p, auto w) {
        std::memcpy(&w, p, sizeof w);
        return w;
    };
    if (n >= 8) {
        for (size_t i = 0; i + 8 <= n; i += 8)
            if (word(a + i, uint64_t{}) != word(b + i, uint64_t{})) return false;
        return word(a + n - 8, uint64_t{}) == word(b + n - 8, uint64_t{});
    }
    if (n >= 4)
        return word(a, uint32_t{}) == word(b, uint32_t{}) && word(a + n - 4, uint32_t{}) == word(b + n - 4, uint32_t{});
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

bool same(const char *a, size_t alen, const char *b, size_t blen) noexcept {
    return alen == blen && same_bytes(a, b, alen);
}

// ---- the hash index ----------------------------------------------------------

// A slot's hash word: 30 bits of hash, the kind of chain, and for a name
// chain whether it has kept key chains.
constexpr uint32_t kKeyed = 0x80000000u;  // a key chain (name and instance)
constexpr uint32_t kMixed = 0x40000000u;  // a name chain whose children have key chains
constexpr uint32_t kHashBits = 0x3fffffffu;

// Mixes bytes into a 64-bit state eight at a time (names are short: most
// take one step); the length goes in too, so "a" and "a\0" differ.
CFG_INLINE uint64_t mix_bytes(uint64_t h, const char *p, size_t n) noexcept {
    constexpr uint64_t kMul = 0x9e3779b97f4a7c15ull;
    h ^= n * kMul;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    if (n) {  // the tail in two overlapping loads (the length is mixed in already)
        uint64_t w;
        if (n >= 4) {
            uint32_t lo, hi;
            std::memcpy(&lo, p, 4);
            std::memcpy(&hi, p + n - 4, 4);
            w = static_cast<uint64_t>(hi) << 32 | lo;
        } else {
            auto byte = [p](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(p[i])); };
            w = byte(0) << 16 | byte(n >> 1) << 8 | byte(n - 1);
        }
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    return h;
}

// A hash of the xid, the name and (key chains) the instance, finished so
// that every input bit reaches the high bits that pick the home slot.
CFG_INLINE uint32_t hash_of(bool keyed, uint16_t xid, const Key &k) noexcept {
    uint64_t h = mix_bytes(0x243f6a8885a308d3ull ^ xid, k.name, k.nlen);
    if (keyed) h = mix_bytes(h ^ 0xff51afd7ed558ccdull, k.inst, k.ilen);
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return (static_cast<uint32_t>(h) & kHashBits) | (keyed ? kKeyed : 0u);
}

struct Slot {
    uint32_t hash;  // hash_of, with kMixed on some name chains
    uint32_t head;  // first child of the chain; 0: the slot is empty
};

struct Index {
    uint32_t cap;   // slots (at least 8, at most 2^30)
    uint32_t used;  // slots in use
    Slot slots[1];
};

// Counts every change of any index that may move where a probe stops: a
// slot filled or emptied, a table made or freed (a new table may come at
// the address of a freed one). A ds_slot_hint holds the count of its probe:
// while it stands, the hinted name still has no chain and the hinted gap is
// still the first empty slot from its home. One count for all tables: it
// costs them no field (an index's size is part of every attribute's).
uint64_t g_index_changes = 0;

// Chains a table may hold. Small tables (an object of ten attributes gets
// 12 slots) are probed within a cache line or two, so they may be fuller.
uint32_t max_used(uint32_t cap) noexcept { return cap <= 64 ? cap * 7 / 8 : cap / 4 * 3; }

// The slot where a hash's probe starts: its 30 bits scaled to the table,
// so that any size works (growth by half keeps large tables fuller).
CFG_INLINE uint32_t home_of(const Index *ix, uint32_t hash) noexcept {
    return static_cast<uint32_t>((static_cast<uint64_t>(hash & kHashBits) * ix->cap) >> 30);
}

CFG_INLINE uint32_t probe_next(const Index *ix, uint32_t i) noexcept { return i + 1 == ix->cap ? 0 : i + 1; }

size_t index_size(uint32_t cap) noexcept { return round_up(offsetof(Index, slots) + cap * sizeof(Slot)); }

Index *new_index(uint32_t cap) noexcept {
    size_t size = index_size(cap);
    auto *ix = static_cast<Index *>(pool_alloc(size));
    if (!ix) return nullptr;
    std::memset(ix, 0, size);
    ix->cap = cap;
    ++g_index_changes;
    return ix;
}

void free_index(Index *ix) noexcept {
    if (!ix) return;
    ++g_index_changes;
    pool_free(ix, index_size(ix->cap));
}

// A table its index outgrew: a mapped one is kept as room for the nodes
// that the growing parent gets next (pool_recycle).
void free_outgrown(Index *ix) noexcept {
    size_t size = index_size(ix->cap);
    if (size < kMapFrom) return free_index(ix);
    ++g_index_changes;
    pool_recycle(ix, size);
}

void free_node(Node *n, cfg_handle h) noexcept {
    if (Children *k = children_of(n, h)) {
        free_index(k->index);
        pool_free(k, children_size(k->capheads));
    }
    if (n->flags & kSide) side_extras().erase(h);
    if (n->flags & kSideLinks) side_links().erase(h);
    pool_free(block_of(n), block_size(n));
}

// Can a lookup's key be compared in place (text_matches)? Its name must be
// name characters only and its instance free of ']' and NUL.
bool plain_key(const Key &k) noexcept {
    for (size_t i = 0; i < k.nlen; ++i)
        if (!cfgtree::is_name_char(static_cast<unsigned char>(k.name[i]))) return false;
    for (size_t i = 0; i < k.ilen; ++i)
        if (k.inst[i] == ']' || k.inst[i] == '\0') return false;
    return true;
}

// Does the stored name of an indexed child (len bytes of a text the parser
// reads: split_name) have a plain key's name, and (keyed) instance? The
// answer of key_of and a comparison, without splitting first: the name run
// is the key's name when the key's bytes are followed by no further name
// character, and the instance ends at the first ']'.
CFG_INLINE bool text_matches(const char *text, size_t len, bool keyed, const Key &k) noexcept {
    if (len && text[0] == '!') ++text, --len;
    auto at = [&](size_t i) { return i < len ? text[i] : '\0'; };
    if (len < k.nlen || !same_bytes(text, k.name, k.nlen)) return false;
    char c = at(k.nlen);
    if (cfgtree::is_name_char(static_cast<unsigned char>(c))) return false;
    if (!keyed) return true;
    if (c != '[') return k.ilen == 0;
    size_t inst = k.nlen + 1;
    if (k.ilen && (len < inst + k.ilen || std::memcmp(text + inst, k.inst, k.ilen) != 0)) return false;
    return at(inst + k.ilen) == ']';
}

// Does the chain in slot s hold children of this kind and name? Its head
// node when it does (a lookup reads it next), else NULL.
CFG_INLINE Node *matching_head(const Slot &s, uint32_t hash, bool keyed, uint16_t xid, const Key &k) noexcept {
    if ((s.hash & ~kMixed) != hash || !s.head) return nullptr;
    Node *head = node_of(s.head);
    if (!head || xid_of(head) != xid) return nullptr;
    bool match;
    if (k.plain && xid == kXidItem) {
        match = text_matches(head->value(), head->len, keyed, k);
    } else if (k.plain && xid == kXidRef) {
        Node *t = head->flags & kBound ? node_of(prefix_extra(head)->aux) : nullptr;
        match = t && xid_of(t) == kXidIdent && text_matches(t->value(), t->len, keyed, k);
    } else {
        Key hk;
        match = key_of(head, hk) && same(hk.name, hk.nlen, k.name, k.nlen) &&
                (!keyed || same(hk.inst, hk.ilen, k.inst, k.ilen));
    }
    return match ? head : nullptr;
}

// The slot of the chain of this kind and name, its head node in *head; on
// a miss, the empty slot the probe stopped at in *gap (where new_slot puts a
// chain of this hash while the table is unchanged).
CFG_INLINE Slot *find_slot(Index *ix, uint32_t hash, bool keyed, uint16_t xid, const Key &k,
                           Node **head = nullptr, Slot **gap = nullptr) noexcept {
    for (uint32_t i = home_of(ix, hash);; i = probe_next(ix, i)) {
        Slot &s = ix->slots[i];
        if (!s.head) {
            if (gap) *gap = &s;
            return nullptr;
        }
        if (Node *n = matching_head(s, hash, keyed, xid, k)) {
            if (head) *head = n;
            return &s;
        }
    }
}

bool grow_index(Children *k) noexcept;

CFG_INLINE Slot *find_slot(Index *ix, bool keyed, uint16_t xid, const Key &k, Node **head = nullptr) noexcept {
    return find_slot(ix, hash_of(keyed, xid, k), keyed, xid, k, head);
}

// Makes room for `more` new chains; false on no memory.
bool reserve_slots(Children *kids, uint32_t more) noexcept {
    while (kids->index->used + more > max_used(kids->index->cap))
        if (!grow_index(kids)) return false;
    return true;
}

// A new empty slot for a chain of this hash. Room must have been reserved
// first (reserve_slots); the slot holds no chain until the caller links one
// into it.
Slot *new_slot(Index *ix, uint32_t hash) noexcept {
    uint32_t i = home_of(ix, hash);
    while (ix->slots[i].head) i = probe_next(ix, i);
    ix->slots[i] = Slot{hash, 0};
    ++ix->used;
    ++g_index_changes;
    return &ix->slots[i];
}

// new_slot at the gap a missed find_slot of this hash left, the table
// unchanged since: the first empty slot from its home, as new_slot finds.
Slot *new_slot_at(Index *ix, Slot *gap, uint32_t hash) noexcept {
    *gap = Slot{hash, 0};
    ++ix->used;
    ++g_index_changes;
    return gap;
}

// The slot for a chain, made empty when there is none (as new_slot).
Slot *claim_slot(Index *ix, uint32_t hash, bool keyed, uint16_t xid, const Key &k) noexcept {
    if (Slot *s = find_slot(ix, hash, keyed, xid, k)) return s;
    return new_slot(ix, hash);
}

// Empties a slot, shifting later entries of its probe run back (no tombstones).
void drop_slot(Index *ix, Slot *s) noexcept {
    uint32_t i = static_cast<uint32_t>(s - ix->slots);
    ix->slots[i] = Slot{0, 0};
    --ix->used;
    ++g_index_changes;
    for (uint32_t j = probe_next(ix, i); ix->slots[j].head; j = probe_next(ix, j)) {
        uint32_t home = home_of(ix, ix->slots[j].hash);
        // move j back to i when its home is not within (i, j]
        bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (!stays) {
            ix->slots[i] = ix->slots[j];
            ix->slots[j] = Slot{0, 0};
            i = j;
        }
    }
}

// A node's key links: before its header, or in the side link table; NULL
// for an attribute without an instance while its name chain serves as its
// key chain.
Links *key_links(Node *n, cfg_handle h) noexcept {
    if (n->flags & kLinks) return reinterpret_cast<Links *>(reinterpret_cast<char *>(n) - prefix_size(n->flags));
    if (n->flags & kSideLinks) return &side_links().find(h)->second;
    return nullptr;
}

// Gives a node key links when it has none; false on no memory.
bool make_key_links(Node *n, cfg_handle h) noexcept {
    if (n->flags & (kLinks | kSideLinks)) return true;
    if (injected(DS_FAULT_MEMORY)) return false;
    try {
        side_links().try_emplace(h, Links{0, 0});
    } catch (...) {
        return false;
    }
    n->flags |= kSideLinks;
    return true;
}

void drop_side_links(Node *n, cfg_handle h) noexcept {
    if (!(n->flags & kSideLinks)) return;
    side_links().erase(h);
    n->flags = static_cast<uint8_t>(n->flags & ~kSideLinks);
}

// The links of name chains (Keyed false) or of key chains and wild lists.
template <bool Keyed>
Links &links(Node *x, cfg_handle h) noexcept {
    if constexpr (Keyed) return *key_links(x, h);
    else return x->name;
}

// Links h into the chain at head in sequence order. The head's prev link is
// the tail, where appends go; a renamed child walks back to its place.
template <bool Keyed>
void chain_insert(uint32_t &head, Node *n, cfg_handle h) noexcept {
    Links &nl = links<Keyed>(n, h);
    if (!head) {
        nl = Links{h, 0};
        head = h;
        return;
    }
    Links &hl = links<Keyed>(node_of(head), head);
    uint32_t tail = hl.prev;
    uint32_t after = tail;
    while (after) {
        Node *an = node_of(after);
        if (an->seq <= n->seq) break;
        after = after == head ? 0 : links<Keyed>(an, after).prev;
    }
    if (!after) {  // the new head
        nl = Links{tail, head};
        hl.prev = h;
        head = h;
        return;
    }
    Links &al = links<Keyed>(node_of(after), after);
    uint32_t before = al.next;
    nl = Links{after, before};
    al.next = h;
    (before ? links<Keyed>(node_of(before), before) : hl).prev = h;  // without a successor, h is the tail
}

// The first node of the chain at head appended after sequence number seq,
// walked back from the tail as first_after walks.
template <bool Keyed>
cfg_handle chain_after(uint32_t head, uint32_t seq) noexcept {
    if (!head) return 0;
    uint32_t c = links<Keyed>(node_of(head), head).prev;  // the tail
    if (node_of(c)->seq <= seq) return 0;
    while (c != head) {
        uint32_t b = links<Keyed>(node_of(c), c).prev;
        if (node_of(b)->seq <= seq) break;
        c = b;
    }
    return c;
}

template <bool Keyed>
void chain_remove(uint32_t &head, Node *n, cfg_handle h) noexcept {
    Links &nl = links<Keyed>(n, h);
    uint32_t p = nl.prev, x = nl.next;
    if (h == head) {
        head = x;
        if (x) links<Keyed>(node_of(x), x).prev = p;  // p is the tail
    } else {
        links<Keyed>(node_of(p), p).next = x;
        uint32_t succ = x ? x : head;  // without a successor, the head keeps the tail
        links<Keyed>(node_of(succ), succ).prev = p;
    }
    nl = Links{0, 0};
}

// A child whose name the index cannot read (no name the parser accepts, a
// reference not bound, or bound to no object) goes on the odd and aside
// lists: a lookup compares it in full, in store order, as a scan would, and
// reports it as the scan does. False on no memory.
bool odd_add(Children *kids, Node *n, cfg_handle h) noexcept {
    if (!make_key_links(n, h)) return false;
    XidHead *hd = head_of(kids, xid_of(n));
    chain_insert<false>(hd->odd, n, h);
    chain_insert<true>(hd->wild, n, h);
    n->flags |= kIndexed | kWild | kOdd;
    return true;
}

void odd_remove(Children *kids, Node *n, cfg_handle h) noexcept {
    XidHead *hd = head_of(kids, xid_of(n));
    chain_remove<false>(hd->odd, n, h);
    chain_remove<true>(hd->wild, n, h);
    drop_side_links(n, h);
    n->flags = static_cast<uint8_t>(n->flags & ~(kIndexed | kWild | kOdd));
}

// Is hint (ds_slot_hint) one for kids's index, taken since its last change?
// Debug builds check that it is what a probe of the key k finds now.
bool hint_holds(const ds_slot_hint *hint, Children *kids, uint16_t xid, const Key &k) noexcept {
    if (!hint || hint->index != kids->index || hint->changes != g_index_changes) return false;
#if defined(CFGTREE_ASSERTS)
    Slot *gap = nullptr;
    uint32_t hash = hash_of(false, xid, k);
    if (k.ilen || hash != hint->hash || find_slot(kids->index, hash, false, xid, k, nullptr, &gap) ||
        gap != &kids->index->slots[hint->gap])
        std::abort();
#else
    (void)xid;
    (void)k;
#endif
    return true;
}

// Adds a child to its parent's index; false on no memory (the child then
// stays out of the index, which the caller must undo or accept).
// known: the node's key when the caller has split its name already; hint:
// where a lookup of that key just missed (ds_slot_hint), or NULL.
bool index_add(Children *kids, Node *n, cfg_handle h, const Key *known = nullptr,
               const ds_slot_hint *hint = nullptr) noexcept {
    uint16_t xid = xid_of(n);
    // The usual append: a plain name without a chain yet, whose missed
    // lookup left the empty slot, in a table with room. No wildcard, no key
    // chain: the name's new chain is all there is to make.
    if (known && known->ilen == 0 && hint_holds(hint, kids, xid, *known) &&
        kids->index->used + 1 <= max_used(kids->index->cap)) {
        Slot *ns = new_slot_at(kids->index, &kids->index->slots[hint->gap], hint->hash);
        chain_insert<false>(ns->head, n, h);
        n->flags = static_cast<uint8_t>((n->flags & ~kWild) | kIndexed);
        return true;
    }
    Key k;
    if (known) k = *known;
    else if (!indexed_kind(xid)) return true;
    else if (!key_of(n, k)) return odd_add(kids, n, h);
    bool wild = cfgtree::has_wild_token(k.inst, k.ilen);
    bool plain = k.ilen == 0;  // a wildcard is an instance
    uint32_t name_hash;
    Slot *gap = nullptr;
    Slot *ns = nullptr;
    if (known && hint_holds(hint, kids, xid, k)) {  // the name has no chain yet
        name_hash = hint->hash;
        gap = &kids->index->slots[hint->gap];
    } else {
        name_hash = hash_of(false, xid, k);
        ns = find_slot(kids->index, name_hash, false, xid, k, nullptr, &gap);
    }
    // New chains: a plain child's name, unless it exists and serves as the
    // key chain; otherwise up to two more: its key, and the key its plain
    // namesakes get.
    bool shared = plain && (!ns || !(ns->hash & kMixed));
    uint32_t more = (ns ? 0 : 1) + (shared ? 0 : 2);
    if (kids->index->used + more > max_used(kids->index->cap)) {
        if (!reserve_slots(kids, more)) return false;
        if (ns) ns = find_slot(kids->index, name_hash, false, xid, k);  // the table moved
        gap = nullptr;
    }
    Index *ix = kids->index;
    // A new slot holds no chain yet: link into it before the next claim.
    if (!ns) ns = gap ? new_slot_at(ix, gap, name_hash) : new_slot(ix, name_hash);
    bool convert = ns->head && !plain && !(ns->hash & kMixed);
    bool mixed = !plain || (ns->head && (ns->hash & kMixed));
    // Key links come first: all that can fail is done before any chain changes.
    if (convert) {
        for (cfg_handle c = ns->head; c; c = node_of(c)->name.next) {
            if (!make_key_links(node_of(c), c)) {
                for (cfg_handle d = ns->head; d != c; d = node_of(d)->name.next) drop_side_links(node_of(d), d);
                if (!ns->head) drop_slot(ix, ns);
                return false;
            }
        }
    }
    if (mixed && !make_key_links(n, h)) {
        if (convert)
            for (cfg_handle d = ns->head; d; d = node_of(d)->name.next) drop_side_links(node_of(d), d);
        if (!ns->head) drop_slot(ix, ns);
        return false;
    }
    if (convert) {
        // The first of this name with an instance: the plain ones so far,
        // all of the name chain, get the key chain they shared with it.
        ns->hash |= kMixed;
        Key pk{k.name, k.nlen, k.name + k.nlen, 0};
        Slot *ps = claim_slot(ix, hash_of(true, xid, pk), true, xid, pk);
        for (cfg_handle c = ns->head; c;) {
            Node *cn = node_of(c);
            *key_links(cn, c) = cn->name;
            c = cn->name.next;
        }
        ps->head = ns->head;
    } else if (!ns->head && mixed) {
        ns->hash |= kMixed;
    }
    chain_insert<false>(ns->head, n, h);
    if (wild) {
        chain_insert<true>(head_of(kids, xid)->wild, n, h);
    } else if (mixed) {
        Slot *ks = claim_slot(ix, hash_of(true, xid, k), true, xid, k);
        chain_insert<true>(ks->head, n, h);
    }
    n->flags = static_cast<uint8_t>((n->flags & ~kWild) | kIndexed | (wild ? kWild : 0));
    return true;
}

void index_remove(Children *kids, Node *n, cfg_handle h) noexcept {
    if (!(n->flags & kIndexed)) return;
    if (n->flags & kOdd) return odd_remove(kids, n, h);
    Key k;
    uint16_t xid = xid_of(n);
    n->flags = static_cast<uint8_t>(n->flags & ~kIndexed);
    if (!key_of(n, k)) return;
    Slot *ns = find_slot(kids->index, false, xid, k);
    if (!ns) return;
    bool mixed = ns->hash & kMixed;
    chain_remove<false>(ns->head, n, h);
    if (!ns->head) drop_slot(kids->index, ns);
    if (!mixed) return;  // its name chain was its key chain
    if (n->flags & kWild) {
        if (XidHead *hd = head_of(kids, xid)) chain_remove<true>(hd->wild, n, h);
    } else if (Slot *ks = find_slot(kids->index, true, xid, k)) {
        chain_remove<true>(ks->head, n, h);
        if (!ks->head) drop_slot(kids->index, ks);
    }
    drop_side_links(n, h);
}

bool grow_index(Children *kids) noexcept {
    Index *old = kids->index;
    // Growth by half: large tables stay between 1/2 and 3/4 full.
    Index *ix = new_index((old->cap + old->cap / 2 + 3) & ~3u);
    if (!ix) return false;
    for (uint32_t i = 0; i < old->cap; ++i) {
        const Slot &s = old->slots[i];
        if (!s.head) continue;
        uint32_t j = home_of(ix, s.hash);
        while (ix->slots[j].head) j = probe_next(ix, j);
        ix->slots[j] = s;
        ++ix->used;
    }
    kids->index = ix;
    free_outgrown(old);
    return true;
}

// Drops a parent's index: its children are scanned again, which finds
// exactly what the index would. What an index update that runs out of
// memory falls back to, so that no child is ever left out of a search; the
// next append builds the index anew.
void drop_index(Children *kids) noexcept {
    for (cfg_handle c = kids->first; c; c = node_of(c)->next) {
        Node *n = node_of(c);
        n->flags = static_cast<uint8_t>(n->flags & ~(kIndexed | kOdd));
        n->name = Links{0, 0};
        drop_side_links(n, c);
        if (Links *kl = key_links(n, c)) *kl = Links{0, 0};
    }
    for (uint32_t i = 0; i < kids->nheads; ++i) kids->heads[i].wild = kids->heads[i].odd = 0;
    free_index(kids->index);
    kids->index = nullptr;
}

// Builds the index of a parent that has grown past kIndexFrom children. On
// no memory the parent simply stays unindexed (searches scan it).
void build_index(Children *kids) noexcept {
    // A chain a child (two for names with instances): small objects (the
    // common case) get a small table that grows with them.
    uint32_t cap = 8;
    while (max_used(cap) < kids->count + 1) cap = (cap + cap / 2 + 3) & ~3u;
    kids->index = new_index(cap);
    if (!kids->index) return;
    for (cfg_handle c = kids->first; c; c = node_of(c)->next) {
        if (!index_add(kids, node_of(c), c)) {
            drop_index(kids);
            return;
        }
    }
}
// ---- children ----------------------------------------------------------------

// Makes room for one more child of xid under p; false when memory runs out.
bool reserve_child(Node *p, cfg_handle ph, uint16_t xid) noexcept {
    Extra *e = make_extra(p, ph);
    if (!e) return false;
    Children *k = e->kids;
    if (k && (head_of(k, xid) || k->nheads < k->capheads)) return true;
    if (k && k->capheads == kMaxHeads) return false;  // a parent holds at most kMaxHeads kinds
    // Most objects hold one kind of child: start with one head.
    uint32_t cap = k ? std::min(k->capheads * 2u, kMaxHeads) : 1u;
    auto *grown = static_cast<Children *>(pool_alloc(children_size(cap)));
    if (!grown) return false;
    if (k) {
        std::memcpy(grown, k, children_size(k->capheads));
        pool_free(k, children_size(k->capheads));
    } else {
        std::memset(grown, 0, offsetof(Children, heads));
    }
    grown->capheads = static_cast<uint16_t>(cap);
    e->kids = grown;
    return true;
}

// Links a new child at the tail; false (nothing linked) when its index entry
// cannot be made.
bool link_child(Children *k, cfg_handle ph, Node *c, cfg_handle ch, const Key *known,
                const ds_slot_hint *hint = nullptr) noexcept {
    uint16_t xid = xid_of(c);
    c->parent = ph;
    c->seq = k->next_seq;
    XidHead *hd = head_of(k, xid);
    if (!hd) {
        hd = &k->heads[k->nheads++];
        *hd = XidHead{0, 0, 0, 0, xid};
    }
    if (k->index && !index_add(k, c, ch, known, hint)) {
        c->parent = 0;
        return false;
    }
    ++k->next_seq;
    // The last child is usually the last of its kind too: one read for both.
    Node *tail = k->last ? node_of(k->last) : nullptr;
    c->prev = k->last;
    if (tail) tail->next = ch;
    else k->first = ch;
    k->last = ch;
    ++k->count;
    c->prev_same = hd->last;
    if (hd->last) (hd->last == c->prev ? tail : node_of(hd->last))->next_same = ch;
    else hd->first = ch;
    hd->last = ch;
    if (!k->index && k->count > kIndexFrom) build_index(k);
    return true;
}

void unlink_child(Children *k, Node *c, cfg_handle ch) noexcept {
    if (k->index) index_remove(k, c, ch);
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

// The referrer list of a target: the target's aux is its head.
Extra *referrer_extra(cfg_handle r) noexcept {
    Node *n = node_of(r);
    return n ? extra_of(n, r) : nullptr;
}

void link_referrer(Extra *te, Extra *e, cfg_handle h) noexcept {
    e->ref_prev = 0;
    e->ref_next = te->aux;
    if (Extra *first = referrer_extra(te->aux)) first->ref_prev = h;
    te->aux = h;
}

void unlink_referrer(Extra *te, Extra *e) noexcept {
    if (Extra *prev = referrer_extra(e->ref_prev)) prev->ref_next = e->ref_next;
    else te->aux = e->ref_next;
    if (Extra *next = referrer_extra(e->ref_next)) next->ref_prev = e->ref_prev;
    e->ref_prev = e->ref_next = 0;
}

// Drops the reference a bound node holds on its target. A standalone target
// left without references is put on the pending list, linked through its
// sibling link (a standalone node has no siblings), to be freed next.
void release_target(Node *n, cfg_handle h, cfg_handle &pending) noexcept {
    if (!(n->flags & kBound)) return;
    Extra *e = extra_of(n, h);  // a bound node has its Extra
    cfg_handle th = e->aux;
    Node *t = node_of(th);
    Extra *te = t ? extra_of(t, th) : nullptr;
    if (!te || te->refs == 0) return;
    unlink_referrer(te, e);
    if (--te->refs == 0 && t->parent == 0) {
        t->next = pending;
        pending = th;
    }
}

// Frees h and everything only it holds: its children and, for a bound
// reference, a target that no other reference keeps. A walk in post-order
// over the child links, each child taken off the front of its parent's list
// as it is freed, so that any depth or width is fine and a deletion needs
// no memory of its own.
void destroy(cfg_handle h) noexcept {
    cfg_handle pending = 0;
    for (cfg_handle top = h; top;) {
        for (cfg_handle cur = top;;) {
            Node *n = node_of(cur);
            if (Children *kids = children_of(n, cur); kids && kids->first) {
                cur = kids->first;
                continue;
            }
            cfg_handle parent = n->parent, next = n->next;
            release_target(n, cur, pending);
            free_node(n, cur);
            release_handle(cur);
            if (cur == top) break;
            children_of(node_of(parent), parent)->first = next;
            cur = next ? next : parent;
        }
        top = pending;
        if (top) {
            Node *t = node_of(top);
            pending = t->next;
            t->next = 0;
        }
    }
}

// Would this new value change the node's name? An attribute's name is its
// text up to '=', an object's name its whole text. Setting a value keeps
// the name, and then the index is left alone.
bool renames(Node *n, const void *value, uint16_t length) noexcept {
    const char *old_text = n->value();
    const char *new_text = static_cast<const char *>(value);
    if (xid_of(n) == kXidItem) {  // an attribute's key is what the parser reads of its text
        Key was, will;
        bool readable = split_name(old_text, n->len, true, was);
        if (readable && new_text) {
            // The common case, a new value after the same name: the new text
            // repeats the old component, and what follows cannot extend it.
            size_t stop = static_cast<size_t>(was.end - old_text);
            bool bracketed = was.end != was.name + was.nlen;  // ends with its ']'
            char next = stop < length ? new_text[stop] : '\0';
            if (stop <= length && std::memcmp(old_text, new_text, stop) == 0 &&
                (bracketed || (next != '[' && !cfgtree::is_name_char(static_cast<unsigned char>(next)))))
                return false;
        }
        if (readable != (length && split_name(new_text, length, true, will))) return true;
        return readable && !(same(was.name, was.nlen, will.name, will.nlen) && same(was.inst, was.ilen, will.inst, will.ilen));
    }
    return !same(old_text, strnlen(old_text, n->len), new_text, length ? strnlen(new_text, length) : 0);
}

// The children of a parent, or NULL; sets the store error for a bad parent.
Children *kids_of(cfg_handle parent) noexcept {
    Node *p = node_of(parent);
    if (!p) {
        fail(DS_E_BAD_HANDLE);
        return nullptr;
    }
    return children_of(p, parent);
}

bool name_is(Node *n, uint16_t xid, const char *name, size_t nlen, Key &k) noexcept {
    return xid_of(n) == xid && key_of(n, k) && same(k.name, k.nlen, name, nlen);
}

// In a parent without index: the first child from c on (same xid) that an
// index would put aside (a wildcard instance, or a name it cannot read), or
// with odd, the first whose name it cannot read.
cfg_handle scan_aside(cfg_handle c, bool odd) noexcept {
    Key ck;
    for (; c; c = node_of(c)->next_same)
        if (!key_of(node_of(c), ck) || (!odd && cfgtree::has_wild_token(ck.inst, ck.ilen))) return c;
    return 0;
}

// The parent's children of a node, when the parent is indexed.
Children *indexed_parent(Node *n) noexcept {
    Node *p = n ? node_of(n->parent) : nullptr;
    Children *k = p ? children_of(p, n->parent) : nullptr;
    return k && k->index ? k : nullptr;
}

// Calls fn (the parent's children, child, its handle) for each indexed child
// whose name is n's text: n itself, or every reference bound to n.
template <class Fn>
void for_each_named(Node *n, cfg_handle h, Fn fn) noexcept {
    if (indexed_kind(xid_of(n))) {
        if (Children *kids = indexed_parent(n)) fn(kids, n, h);
        return;
    }
    Extra *e = extra_of(n, h);
    for (cfg_handle r = e ? e->aux : 0; r;) {
        Node *c = node_of(r);
        cfg_handle next = extra_of(c, r)->ref_next;
        if (Children *kids = indexed_parent(c)) fn(kids, c, r);
        r = next;
    }
}

cfg_handle first_after(cfg_handle parent, uint16_t xid, uint32_t seq) noexcept;

// The aside list (odd: the odd list) of a parent's children of kind xid;
// with after, its first child appended after that sequence number.
cfg_handle first_aside(cfg_handle parent, uint16_t xid, bool odd, const uint32_t *after = nullptr) noexcept {
    Locked lock;
    Children *kids = kids_of(parent);
    XidHead *hd = kids && indexed_kind(xid) ? head_of(kids, xid) : nullptr;
    if (!hd) return 0;
    if (kids->index && !after) return odd ? hd->odd : hd->wild;
    if (kids->index) return odd ? chain_after<false>(hd->odd, *after) : chain_after<true>(hd->wild, *after);
    return scan_aside(after ? first_after(parent, xid, *after) : hd->first, odd);
}

cfg_handle next_aside(cfg_handle h, bool odd) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) return fail(DS_E_BAD_HANDLE);
    if (!indexed_kind(xid_of(n))) return 0;
    if (!indexed_parent(n)) return scan_aside(n->next_same, odd);
    if (odd) return (n->flags & kOdd) ? n->name.next : 0;
    return (n->flags & (kIndexed | kWild)) == (kIndexed | kWild) ? key_links(n, h)->next : 0;
}

// The first node of xid from start: a parent's first child of that xid, or
// for a child, that node or the next sibling of that xid.
cfg_handle search_from(Node *n, cfg_handle start, uint16_t xid) noexcept {
    if (n->parent == 0) {  // a parent: its first child of that xid
        Children *kids = children_of(n, start);
        XidHead *hd = kids ? head_of(kids, xid) : nullptr;
        return hd ? hd->first : 0;
    }
    if (xid_of(n) == xid) return start;  // a child of that xid: itself
    if (n->prev && xid_of(node_of(n->prev)) == xid) {
        // The usual step of an iteration, search(next(current)): the next
        // node of that xid after the current one is linked from it.
        return node_of(n->prev)->next_same;
    }
    cfg_handle h = start;  // otherwise step over the run of other kinds
    while (h && xid_of(node_of(h)) != xid) h = node_of(h)->next;
    return h;
}

// The name a lookup compares for a child: an attribute's text, the text of
// the object a reference node refers to (NULL when it refers to no object),
// any other node's value.
const char *compared_text(Node *n) noexcept {
    if (xid_of(n) != kXidRef) return n->value();
    cfg_handle target = 0;
    if (n->len >= sizeof target) std::memcpy(&target, n->value(), sizeof target);
    Node *t = node_of(target);
    return t && xid_of(t) == kXidIdent ? t->value() : nullptr;
}

// find_slot of a name chain that, on a miss, writes where the chain would
// go to *miss (ds_slot_hint).
CFG_INLINE Slot *find_name_slot(Index *ix, uint16_t xid, const Key &k, Node **node, ds_slot_hint *miss) noexcept {
    uint32_t hash = hash_of(false, xid, k);
    Slot *gap = nullptr;
    Slot *ns = find_slot(ix, hash, false, xid, k, node, &gap);
    if (!ns) *miss = ds_slot_hint{ix, g_index_changes, hash, static_cast<uint32_t>(gap - ix->slots), 0};
    return ns;
}

// The first child keyed exactly name[instance] in an indexed parent, its
// node in *node. miss: where the name's chain would go, written when a name
// without instance has none (ds_slot_hint).
CFG_INLINE cfg_handle keyed_child(Index *ix, uint16_t xid, const Key &k, Node **node = nullptr,
                                  ds_slot_hint *miss = nullptr) noexcept {
    if (!indexed_kind(xid)) return 0;
    if (k.ilen == 0) {  // while no namesake has an instance, the name chain is the key chain
        Slot *ns = miss ? find_name_slot(ix, xid, k, node, miss) : find_slot(ix, false, xid, k, node);
        if (!ns) return 0;
        if (!(ns->hash & kMixed)) return ns->head;
    }
    Slot *s = find_slot(ix, true, xid, k, node);
    return s ? s->head : 0;
}

// One lookup step (ds_lookup_keyed, ds_lookup_plain); plain: the caller
// vouches that the key is plain (plain_key).
int lookup_step(cfg_handle parent, uint16_t xid, const char *name, size_t nlen, const char *instance, size_t ilen,
                cfg_handle *exact, cfg_handle *first_wild, bool plain) noexcept {
    Locked lock;
    Children *kids = kids_of(parent);
    if (!kids || !kids->index || !name || (ilen && !instance)) return 0;
    XidHead *hd = head_of(kids, xid);
    // No child of that kind: no need to probe the table (which the other
    // kind may have made large, and cold).
    *exact = 0;
    if (hd && hd->first) {
        Key k{name, nlen, instance ? instance : name + nlen, ilen};
#if defined(CFGTREE_ASSERTS)
        if (plain && !plain_key(k)) std::abort();
#endif
        k.plain = plain || plain_key(k);
        *exact = keyed_child(kids->index, xid, k);
    }
    *first_wild = hd ? hd->wild : 0;
    return 1;
}

// ds_step_plain_locked: the lookup step, in the store, of a plain component; the
// caller holds the store lock. Hinted: a creation's step, which fills in
// hint (see ds_step_attr_locked). Kind: the kind an entry point fixes (the
// xid passed is then ignored), or 0. One instance for each entry point, each
// called once, so that it is compiled into it: a forced inline costs a
// lookup some registers.
template <bool Hinted, uint16_t Kind = 0>
int step_plain(cfg_handle parent, uint16_t any_xid, const Key &k, cfg_handle *child, cfg_handle *target,
               void **text, ds_slot_hint *hint) noexcept {
    const uint16_t xid = Kind ? Kind : any_xid;
    Node *p = node_of(parent);
    if (!p || p->parent != 0 || !indexed_kind(xid)) return 0;
    Children *kids = children_of(p, parent);
    XidHead *hd = kids ? head_of(kids, xid) : nullptr;
    cfg_handle found = 0;
    Node *fn = nullptr;  // found's node
    if (hd && hd->first && kids->index) {
        if (hd->wild) return 0;  // which match comes first takes the full comparison
        found = keyed_child(kids->index, xid, k, &fn, Hinted ? hint : nullptr);
    } else if (hd) {
        for (cfg_handle c = hd->first; c && !found; c = node_of(c)->next_same) {
            using cfgtree::Judgement;
            Node *cn = node_of(c);
            Judgement j = cfgtree::judge_name(compared_text(cn), xid == kXidRef, k.name, k.nlen, k.inst, k.ilen);
            if (j == Judgement::kAsk) return 0;  // the full search reports what it cannot read
            if (j == Judgement::kMatch) found = c, fn = cn;
        }
    }
    *child = found;
    if (Hinted && !found) {
        XidHead *refs = kids ? head_of(kids, kXidRef) : nullptr;
        hint->no_objects = !refs || !refs->first;
    }
    if (text) *text = found ? fn->value() : nullptr;
    if (target) {
        Node *n = xid == kXidRef && found ? fn : nullptr;
        *target = 0;
        if (n && n->len >= sizeof *target) std::memcpy(target, n->value(), sizeof *target);
    }
    return 1;
}

// The key of the component of a plain step (ds_step_plain_locked), which its
// caller vouches for; debug builds check that, and that it holds the lock.
CFG_INLINE Key step_key(const char *name, size_t nlen, const char *instance, size_t ilen) noexcept {
    Key k{name, nlen, instance ? instance : name + nlen, ilen};
#if defined(CFGTREE_ASSERTS)
    if (tl_depth <= 0 || !plain_key(k) || (ilen && cfgtree::has_wild_token(instance, ilen))) std::abort();
#endif
    k.plain = true;
    return k;
}

// The first child of parent of kind xid appended after sequence number seq.
// Walked back from the last: it costs the children after seq, which a
// search going on from there compares anyway, not those before it.
cfg_handle first_after(cfg_handle parent, uint16_t xid, uint32_t seq) noexcept {
    Node *p = node_of(parent);
    Children *kids = p ? children_of(p, parent) : nullptr;
    XidHead *hd = kids ? head_of(kids, xid) : nullptr;
    cfg_handle c = hd ? hd->last : 0;
    if (!c || node_of(c)->seq <= seq) return 0;
    for (cfg_handle b = node_of(c)->prev_same; b && node_of(b)->seq > seq; b = node_of(b)->prev_same) c = b;
    return c;
}

// The key split_name reads from an attribute's name text[0..len) (NUL at
// text[len]) that is at most one '!' and then name characters only, as
// ds_append_set's caller may vouch: taken without reading the name.
Key plain_name_key(const char *text, size_t len) noexcept {
    size_t mark = text[0] == '!' ? 1 : 0;
    Key k{text + mark, len - mark, text + len, 0, false, text + len};
#if defined(CFGTREE_ASSERTS)
    Key s;
    if (!split_name(text, len + 1, true, s) || s.name != k.name || s.nlen != k.nlen || s.inst != k.inst || s.ilen ||
        s.end != k.end)
        std::abort();
#endif
    return k;
}

// A target is a standalone node other than the root, which only its
// references keep alive; a bound reference and a target keep different
// things in their aux, so a bound reference is none.
bool takes_references(const Node *tn, cfg_handle t) noexcept {
    return tn && t != g_root && tn->parent == 0 && !(tn->flags & kBound);
}

// Binds n (handle h, Extra e) to the target t whose Extra is te.
void bind_to(Node *n, cfg_handle h, Extra *e, cfg_handle t, Extra *te) noexcept {
    ++te->refs;
    link_referrer(te, e, h);
    e->aux = t;
    n->flags |= kBound;
}

// Undoes bind_to for a new reference n (Extra e) that could not be linked.
void unbind_new(Node *n, Extra *e, Extra *te) noexcept {
    unlink_referrer(te, e);
    --te->refs;
    e->aux = 0;
    n->flags &= static_cast<uint8_t>(~kBound);
}

// ds_append_avp2 under the lock; keyed: an attribute whose name the index
// could read (split_name). plain: an attribute whose name is vouched for as
// plain_name_key wants it. made: the new node, when it is made. room: as
// make_node's. bound: the Extra of the target a new reference is bound to
// (ds_append_reference), whose handle is the value; hint then is for the
// target's name.
cfg_handle append_node(cfg_handle parent, uint16_t xid, const void *value, uint16_t length, bool &keyed,
                       bool plain = false, const ds_slot_hint *hint = nullptr, Node **made = nullptr,
                       uint16_t room = 0, Extra *bound = nullptr) noexcept {
    init_root();
    Node *p = nullptr;
    if (parent) {
        p = node_of(parent);
        if (!p) return fail(DS_E_BAD_HANDLE);
    }
    if (length && !value) return fail(DS_E_REFUSED);
    if (injected(DS_FAULT_APPEND)) return fail(DS_E_REFUSED);
    if (p && !reserve_child(p, parent, xid)) return fail(DS_E_NO_MEMORY);
    cfg_handle h = new_handle();
    if (!h) return fail(DS_E_NO_MEMORY);
    // An attribute's name is split once: for its layout and its index entry.
    Key key;
    if (plain) key = plain_name_key(static_cast<const char *>(value), length - 1u);
    keyed = xid == kXidItem && (plain || split_name(static_cast<const char *>(value), length, true, key));
    Node *n = make_node(xid, value, length, keyed && key.ilen != 0, plain, room);
    if (!n) {
        unreserve_handle(h);
        return fail(DS_E_NO_MEMORY);
    }
    set_slot(h, n);
    if (keyed) {  // the same split, in the node's own copy of the text
        auto moved = [&](const char *q) { return n->value() + (q - static_cast<const char *>(value)); };
        key = Key{moved(key.name), key.nlen, moved(key.inst), key.ilen, false, moved(key.end)};
    }
    // A reference bound before it is linked is indexed under its target's
    // name at once, never kept aside as a reference that names nothing.
    if (bound) {
        cfg_handle t;
        std::memcpy(&t, value, sizeof t);
        bind_to(n, h, prefix_extra(n), t, bound);  // a reference always has its prefix
        keyed = key_of(n, key);
    }
    if (p && !link_child(children_of(p, parent), parent, n, h, keyed ? &key : nullptr,
                         (plain || bound) ? hint : nullptr)) {
        if (bound) unbind_new(n, prefix_extra(n), bound);
        free_node(n, h);
        unreserve_handle(h);
        return fail(DS_E_NO_MEMORY);
    }
    if (made) *made = n;
    return h;
}

// A copy of the node n (handle h) with room for a value of length bytes,
// put in h's slot; NULL on no memory (n unchanged). It grows with some
// slack so that repeated sets of a growing value do not move the node every
// time. The old block is the caller's to free (free_block) once the new
// value is in: the value may be read from it.
Node *grown_node(Node *n, cfg_handle h, uint16_t length) noexcept {
    Node *grown = alloc_node(n->flags & (kPrefix | kLinks), length + length / 4u);
    if (!grown) return nullptr;
    size_t pre = prefix_size(n->flags);
    uint16_t cap = grown->cap;
    std::memcpy(block_of(grown), block_of(n), pre + kHead + n->len + 1);
    grown->cap = cap;
    set_slot(h, grown);
    return grown;
}

void free_block(Node *n) noexcept { pool_free(block_of(n), block_size(n)); }

// ds_modify_av under the lock, once the set is allowed; rekey: the value
// may change the node's name (renames).
int replace_value(Node *n, cfg_handle h, const void *value, uint16_t length, bool rekey) noexcept {
    Node *old = nullptr;
    if (length > n->cap) {
        old = n;
        n = grown_node(n, h, length);
        if (!n) return fail(DS_E_NO_MEMORY);
    }
    if (rekey) for_each_named(n, h, [](Children *kids, Node *c, cfg_handle ch) { index_remove(kids, c, ch); });
    if (length) std::memmove(n->value(), value, length);
    n->value()[length] = '\0';
    n->len = length;
    if (old) free_block(old);
    if (rekey)
        for_each_named(n, h, [](Children *kids, Node *c, cfg_handle ch) {
            if (!index_add(kids, c, ch)) drop_index(kids);
        });
    // An attribute never stands between two levels, but a new name may make
    // it match where it did not (a wildcard delete goes on after it).
    if (xid_of(n) != kXidItem || rekey) bump_generation();
    return 1;
}

// Sets the attribute n (handle h), which holds its name alone, to that name,
// '=' and value[0..value_length): what replace_value makes of the joined
// text (an attribute keeps its name), the value written after the name.
int add_value(Node *n, cfg_handle h, const char *value, uint16_t value_length) noexcept {
    const uint16_t name_end = static_cast<uint16_t>(n->len - 1);  // the name's NUL
    const auto length = static_cast<uint16_t>(n->len + value_length + 1);
    Node *old = nullptr;
    if (length > n->cap) {
        old = n;
        n = grown_node(n, h, length);
        if (!n) return fail(DS_E_NO_MEMORY);
    }
    char *text = n->value();
    text[name_end] = '=';
    if (value_length) std::memcpy(text + name_end + 1, value, value_length);
    text[length - 1] = '\0';
    text[length] = '\0';
    n->len = length;
    if (old) free_block(old);
    return 1;
}

// The first step of ds_append_set and ds_append_value: appends under parent
// the attribute holding the name name[0..name_length] (with the NUL there),
// its handle in h (0 when refused; readable as append_node's keyed), with
// room for the text of length bytes (its NUL counted) that the set makes.
// Its node when the set that follows may go on, NULL when the append or the
// set is refused.
CFG_INLINE Node *append_to_set(cfg_handle parent, const char *name, uint16_t name_length, bool plain,
                               const ds_slot_hint *hint, bool &readable, cfg_handle &h, uint16_t length) noexcept {
    Node *n = nullptr;
    h = append_node(parent, kXidItem, name, static_cast<uint16_t>(name_length + 1), readable, plain, hint, &n,
                    length);
    if (!h) return nullptr;
    if (injected(DS_FAULT_MODIFY)) {
        fail(DS_E_REFUSED);
        return nullptr;
    }
    return n;
}

// The first child of parent of kind xid whose bare name is name[0..nlen),
// or with after, the first appended after that sequence number.
cfg_handle first_named(cfg_handle parent, uint16_t xid, const char *name, size_t nlen,
                       const uint32_t *after) noexcept {
    Children *kids = kids_of(parent);
    if (!kids || !name) return 0;
    Key k{name, nlen, name + nlen, 0};
    if (kids->index) {
        Slot *s = indexed_kind(xid) ? find_slot(kids->index, false, xid, k) : nullptr;
        return !s ? 0 : after ? chain_after<false>(s->head, *after) : s->head;
    }
    XidHead *hd = head_of(kids, xid);
    Key ck;
    for (cfg_handle c = after ? first_after(parent, xid, *after) : hd ? hd->first : 0; c; c = node_of(c)->next_same)
        if (name_is(node_of(c), xid, name, nlen, ck)) return c;
    return 0;
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
    return g_root ? g_root : fail(DS_E_NO_MEMORY);  // the root is made on first use
}

CFG_API uint32_t ds_get_attr_id(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) return fail(DS_E_BAD_HANDLE);
    return id_of(n, h);
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

void *ds_get_av_ptr_of(cfg_handle h, uint16_t xid) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) {
        fail(DS_E_BAD_HANDLE);
        return nullptr;
    }
    return xid_of(n) == xid ? n->value() : nullptr;
}

cfg_handle ds_ref_target(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    cfg_handle target = 0;
    if (!n) fail(DS_E_BAD_HANDLE);
    else if (n->len >= sizeof target) std::memcpy(&target, n->value(), sizeof target);
    return target;
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
    cfg_handle h = search_from(n, start, xid);
    if (!h) return nullptr;
    if (found) *found = h;
    return node_of(h)->value();
}

CFG_API cfg_handle ds_append_avp2(cfg_handle parent, int mode, uint16_t xid, int flags, const void *value,
                                  uint16_t length) noexcept {
    (void)mode;
    (void)flags;
    Locked lock;
    bool keyed = false;
    return append_node(parent, xid, value, length, keyed);
}

cfg_handle ds_append_reference(cfg_handle parent, cfg_handle target, const ds_slot_hint *hint) noexcept {
    Locked lock;
    init_root();
    Node *tn = node_of(target);
    if (!takes_references(tn, target)) return fail(DS_E_BAD_HANDLE);
    Extra *te = make_extra(tn, target);
    if (!te) return fail(DS_E_NO_MEMORY);
    bool keyed = false;
    return append_node(parent, kXidRef, &target, sizeof target, keyed, false, hint, nullptr, 0, te);
}

CFG_API int ds_bind_reference(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n || h == g_root || n->len < sizeof(cfg_handle)) return fail(DS_E_BAD_HANDLE);
    if (n->flags & kBound) return 1;
    cfg_handle t;
    std::memcpy(&t, n->value(), sizeof t);
    Node *tn = node_of(t);
    if (t == h || !takes_references(tn, t)) return fail(DS_E_BAD_HANDLE);
    if (Extra *own = extra_of(n, h); own && own->refs) return fail(DS_E_BAD_HANDLE);
    Extra *e = make_extra(n, h);
    Extra *te = e ? make_extra(tn, t) : nullptr;
    if (!te) return fail(DS_E_NO_MEMORY);
    // A reference appended before it was bound is not in its parent's index
    // yet (it had no name); take it out and in again around the binding.
    Children *kids = indexed_parent(n);
    if (kids) index_remove(kids, n, h);
    bind_to(n, h, e, t, te);
    if (kids && !index_add(kids, n, h)) drop_index(kids);
    // A reference named now may be found before a later sibling that used to
    // be the first match. The last of its kind (the usual new object) comes
    // after every match, as an append does, and changes no walk.
    if (n->next_same) bump_generation();
    return 1;
}

CFG_API int ds_delete_obj(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n || n->parent != 0 || h == g_root) return fail(DS_E_BAD_HANDLE);
    if (Extra *e = extra_of(n, h); e && e->refs) return fail(DS_E_BAD_HANDLE);
    if (injected(DS_FAULT_DELETE)) return fail(DS_E_REFUSED);
    destroy(h);
    bump_generation();
    return 1;
}

CFG_API int ds_delete_avp3(cfg_handle parent, cfg_handle node) noexcept {
    Locked lock;
    Node *p = node_of(parent);
    Node *c = node_of(node);
    if (!p || !c) return fail(DS_E_BAD_HANDLE);
    if (c->parent != parent) return fail(DS_E_NOT_CHILD);
    if (injected(DS_FAULT_DELETE)) return fail(DS_E_REFUSED);
    unlink_child(children_of(p, parent), c, node);
    destroy(node);
    bump_generation();
    return 1;
}

CFG_API int ds_modify_av(cfg_handle h, const void *value, uint16_t length) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) return fail(DS_E_BAD_HANDLE);
    if (n->flags & kBound) return fail(DS_E_REFUSED);  // a bound reference keeps its target
    if (length && !value) return fail(DS_E_REFUSED);
    if (injected(DS_FAULT_MODIFY)) return fail(DS_E_REFUSED);
    return replace_value(n, h, value, length, renames(n, value, length));
}

cfg_handle ds_append_set(cfg_handle parent, const char *text, uint16_t name_length, uint16_t length,
                         int plain, int *set, const ds_slot_hint *hint) noexcept {
    Locked lock;
    *set = 0;
    if (!text || name_length > cfgtree::kComponentMax || length <= name_length || text[name_length] != '=')
        return fail(DS_E_REFUSED);
    char name[cfgtree::kComponentMax + 1];
    std::memcpy(name, text, name_length);
    name[name_length] = '\0';
    bool readable = false;
    cfg_handle h = 0;
    Node *n = append_to_set(parent, name, name_length, plain, hint, readable, h, length);
    // A name the index could read ends where its component ends, or before
    // a character that is no name character and no '[' (so '=' cannot
    // extend it): the value that follows keeps the key. Only an unreadable
    // name (say "a[x", closed by the value) is renamed by the set.
    if (n) *set = replace_value(n, h, text, length, !readable && renames(n, text, length));
    return h;
}

cfg_handle ds_append_value(cfg_handle parent, const char *name, uint16_t name_length, const char *value,
                           uint16_t value_length, int *set, const ds_slot_hint *hint) noexcept {
    Locked lock;
    *set = 0;
    if (!name || name_length > cfgtree::kComponentMax || name[name_length] != '\0' || (value_length && !value) ||
        name_length + value_length + 2u > 0xffffu)
        return fail(DS_E_REFUSED);
    bool readable = false;
    cfg_handle h = 0;
    const auto length = static_cast<uint16_t>(name_length + value_length + 2);  // '=' and the NUL
    if (Node *n = append_to_set(parent, name, name_length, true, hint, readable, h, length))
        *set = add_value(n, h, value, value_length);
    return h;
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
    return first_named(parent, xid, name, nlen, nullptr);
}

cfg_handle ds_named_after(cfg_handle parent, uint16_t xid, const char *name, size_t nlen, uint32_t seq) noexcept {
    Locked lock;
    return first_named(parent, xid, name, nlen, &seq);
}

cfg_handle ds_next_named(cfg_handle h) noexcept {
    Locked lock;
    Node *n = node_of(h);
    if (!n) return fail(DS_E_BAD_HANDLE);
    if (indexed_parent(n)) return (n->flags & (kIndexed | kOdd)) == kIndexed ? n->name.next : 0;
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
    if (kids->index) return keyed_child(kids->index, xid, k);
    XidHead *hd = head_of(kids, xid);
    Key ck;
    for (cfg_handle c = hd ? hd->first : 0; c; c = node_of(c)->next_same)
        if (name_is(node_of(c), xid, name, nlen, ck) && same(ck.inst, ck.ilen, k.inst, k.ilen) &&
            !cfgtree::has_wild_token(ck.inst, ck.ilen))
            return c;
    return 0;
}

cfg_handle ds_first_wild(cfg_handle parent, uint16_t xid) noexcept { return first_aside(parent, xid, false); }
cfg_handle ds_next_wild(cfg_handle h) noexcept { return next_aside(h, false); }
cfg_handle ds_first_odd(cfg_handle parent, uint16_t xid) noexcept { return first_aside(parent, xid, true); }
cfg_handle ds_next_odd(cfg_handle h) noexcept { return next_aside(h, true); }

cfg_handle ds_odd_after(cfg_handle parent, uint16_t xid, uint32_t seq) noexcept {
    return first_aside(parent, xid, true, &seq);
}

int ds_lookup_keyed(cfg_handle parent, uint16_t xid, const char *name, size_t nlen, const char *instance,
                    size_t ilen, cfg_handle *exact, cfg_handle *first_wild) noexcept {
    return lookup_step(parent, xid, name, nlen, instance, ilen, exact, first_wild, false);
}

int ds_lookup_plain(cfg_handle parent, uint16_t xid, const char *name, size_t nlen, const char *instance,
                    size_t ilen, cfg_handle *exact, cfg_handle *first_wild) noexcept {
    return lookup_step(parent, xid, name, nlen, instance, ilen, exact, first_wild, true);
}

void ds_expect(size_t bytes) noexcept {
    Locked lock;
    // A store takes at least twice the text it is given (a short definition
    // four times: its node header, handle slot and index entry).
    size_t room = SIZE_MAX - g_pool.held;
    size_t more = bytes < room / 2 ? 2 * bytes : room;
    g_pool.planned = std::max(g_pool.planned, g_pool.held + more);
}

void ds_prefetch_named(cfg_handle parent, uint16_t xid, const char *name, size_t nlen) noexcept {
    Locked lock;
    Children *kids = kids_of(parent);
    if (!kids || !kids->index || !name || !indexed_kind(xid)) return;
    Key k{name, nlen, name + nlen, 0};
    __builtin_prefetch(&kids->index->slots[home_of(kids->index, hash_of(false, xid, k))]);
}

// Out of line, so that the walk's step is compiled once, into this function.
__attribute__((noinline)) int ds_step_plain_locked(cfg_handle parent, uint16_t xid, const char *name, size_t nlen,
                                                   const char *instance, size_t ilen, cfg_handle *child,
                                                   cfg_handle *target, void **text) noexcept {
    if (!name || !child || (ilen && !instance)) return 0;
    return step_plain<false>(parent, xid, step_key(name, nlen, instance, ilen), child, target, text, nullptr);
}

__attribute__((noinline)) int ds_step_attr_locked(cfg_handle parent, const char *name, size_t nlen,
                                                  const char *instance, size_t ilen, cfg_handle *child,
                                                  ds_slot_hint *hint) noexcept {
    if (!name || !child || (ilen && !instance)) return 0;
    return step_plain<true, kXidItem>(parent, kXidItem, step_key(name, nlen, instance, ilen), child, nullptr, nullptr,
                                      hint);
}

int ds_step_object_locked(cfg_handle parent, const char *name, size_t nlen, const char *instance, size_t ilen,
                          cfg_handle *child, cfg_handle *target, ds_slot_hint *hint) noexcept {
    if (!name || !child || !target || (ilen && !instance)) return 0;
    return step_plain<true, kXidRef>(parent, kXidRef, step_key(name, nlen, instance, ilen), child, target, nullptr,
                                     hint);
}

cfg_handle ds_last_of(cfg_handle parent, uint16_t xid) noexcept {
    Locked lock;
    Children *kids = kids_of(parent);
    XidHead *hd = kids ? head_of(kids, xid) : nullptr;
    return hd ? hd->last : 0;
}

cfg_handle ds_first_after(cfg_handle parent, uint16_t xid, uint32_t seq) noexcept {
    Locked lock;
    return first_after(parent, xid, seq);
}

cfg_handle ds_scan_named(cfg_handle start, uint16_t xid, ds_visit_fn visit, void *arg) noexcept {
    Locked lock;
    Node *n = node_of(start);
    if (!n || !visit) return fail(DS_E_BAD_HANDLE);
    const cfg_handle parent = n->parent ? n->parent : start;
    for (cfg_handle c = search_from(n, start, xid); c;) {
        const uint32_t seq = node_of(c)->seq;
        if (visit(c, compared_text(node_of(c)), arg)) return c;
        // The visitor may have logged, and a log sink may change the store:
        // when it deleted the child, the scan goes on with the first child
        // left that was appended after it, so only what was deleted is missed.
        Node *cn = node_of(c);
        c = cn && xid_of(cn) == xid && cn->parent == parent ? cn->next_same : first_after(parent, xid, seq);
    }
    return 0;
}

uint64_t ds_generation(void) noexcept { return g_generation.load(std::memory_order_relaxed); }

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
