// fuzz_ds.cpp - the store's exported calls, made directly, against a model.
//
// The input is a program of store operations on a small pool of handles
// (every handle the program got, alive or deleted, the root, 0, forged and
// re-generationed ones): appends, standalone or under a parent, of the
// library's kinds and of any 16-bit xid, with values from empty to 65,535
// bytes (with or without '=', NULL with a length, copied from a node's own
// storage); value changes that grow and shrink; deletions of children and of
// standalone nodes; bindings of nodes that hold another node's handle, the
// root's or their own; searches and sibling walks; reads; injected faults of
// every kind for a few steps; the modification precedence; and loops that
// give one parent thousands of children, of one kind or each of a kind of
// its own (once an input, past 32,768 kinds). A model knows every node the
// program made: what it holds, its children in append order, what it is
// bound to and how many bindings keep it alive. Each call's result must be
// the one the model predicts (a call an armed fault covers may also fail,
// changing nothing), a live node reads back what was last written, a
// deleted one reads as nothing and refuses every change, and a walk over a
// parent's children of one kind meets them in append order. At the end the
// program's nodes are deleted (bindings that keep each other alive are cut
// first), every handle it ever got must read as deleted, and the root is as
// it was.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "fuzz_support.h"

namespace {

using fuzz::fail;

// Operations one input may run, values near the 16-bit limit one input may
// store, and children the loops may append in all: one input stays well
// under a second, and its memory bounded.
constexpr int kSteps = 2000;
constexpr int kBigValues = 4;
constexpr std::size_t kBigFrom = 4096;
constexpr unsigned kLoopBudget = 20000;
constexpr unsigned kKindsPerLoop = 512;
constexpr unsigned kNamedPerLoop = 8192;
constexpr unsigned kKindsMax = 65535;  // kinds of children one parent may hold

const char *const kNames[] = {"a", "a[1]", "a[*]", "!a", "b[2]", "", "[x", "a.b", "a[", "line[**]", "x y"};
constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];
const char kFill[] = {'x', '=', '\0', '[', ']', '*', '.', '!', ' ', '\xff'};
constexpr std::size_t kFillCount = sizeof kFill;

struct Program {
    const uint8_t *data;
    std::size_t size, at = 0;
    bool more() const { return at < size; }
    unsigned next() { return at < size ? data[at++] : 0u; }
    uint32_t next32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | next();
        return v;
    }
};

struct Node {
    cfg_handle parent = 0;  // 0: standalone
    uint16_t xid = 0;
    std::string value;
    bool bound = false;
    cfg_handle target = 0;
    int refs = 0;                       // bound nodes that keep it alive
    std::vector<cfg_handle> kids;       // in append order
    std::unordered_set<uint16_t> kinds;  // xids of children it holds for sure
    std::unordered_set<uint16_t> maybe;  // and of appends a fault refused (they may have left their kind)
};

struct Model {
    std::unordered_map<cfg_handle, Node> live;
    std::vector<cfg_handle> made;         // every handle the program got, in order
    std::unordered_set<cfg_handle> ever;  // the same, as a set
    cfg_handle root = 0;
    bool root_changed = false;
    int precedence = 0;
    unsigned armed = 0;  // DS_FAULT_* of the plan in force
    int armed_steps = 0;
    int big = 0;           // values of kBigFrom bytes or more stored so far
    unsigned looped = 0;   // children the loops appended
    bool many_kinds = false;  // a loop went past 32,768 kinds
    Node *find(cfg_handle h) {
        if (!h) return nullptr;
        auto it = live.find(h);
        return it == live.end() ? nullptr : &it->second;
    }
    bool may_fail(unsigned ops) const { return (armed & ops) != 0; }
};

int g_initial_precedence = 0;
bool g_libfuzzer = false;  // the program is libFuzzer, not the corpus replay
std::vector<char> g_buffer(65536);

uint16_t item_xid() { return fuzz::item_xid(); }
uint16_t ref_xid() { return fuzz::ref_xid(); }
uint16_t ident_xid() { return fuzz::xid("OID_ATT_CONFIG_IDENTIFIER"); }

const char *error_name(int e) {
    switch (e) {
        case DS_E_NONE: return "none";
        case DS_E_BAD_HANDLE: return "bad handle";
        case DS_E_NO_MEMORY: return "no memory";
        case DS_E_REFUSED: return "refused";
        case DS_E_NOT_CHILD: return "not a child";
        default: return "?";
    }
}

void expect_error(const char *what, int want) {
    int got = ds_get_error();
    if (got != want) fail("%s failed with store error %s, expected %s", what, error_name(got), error_name(want));
}

// A failure that an armed fault explains: the store says refused or no memory.
void expect_fault_error(const char *what) {
    int got = ds_get_error();
    if (got != DS_E_REFUSED && got != DS_E_NO_MEMORY)
        fail("%s failed under an injected fault with store error %s", what, error_name(got));
}

// ---- checks ------------------------------------------------------------------

void check_node(Model &m, cfg_handle h) {
    ds_lock();
    const Node *n = m.find(h);
    const char *v = static_cast<const char *>(ds_get_av_ptr(h));
    uint32_t id = ds_get_attr_id(h);
    if (!n) {
        if (v || id) fail("handle <%u> is not alive, yet reads as a node (id %u)", h, id);
        ds_unlock();
        return;
    }
    if (!v) fail("node <%u> (xid %u) reads as nothing", h, n->xid);
    if (!n->value.empty() && std::memcmp(v, n->value.data(), n->value.size()) != 0)
        fail("node <%u> (xid %u) does not hold its %zu value bytes", h, n->xid, n->value.size());
    if (v[n->value.size()] != '\0') fail("node <%u>'s value (%zu bytes) has no NUL after it", h, n->value.size());
    if (h == m.root) {
        if (id != oa_xid_of("OID_OC_ROOT")) fail("the root's id is %#x", id);
    } else if (static_cast<uint16_t>(id) != n->xid) {
        fail("node <%u> has id %#x, appended with xid %#x", h, id, n->xid);
    }
    ds_unlock();
}

cfg_handle model_next(Model &m, cfg_handle h) {
    const Node *n = m.find(h);
    if (!n || n->parent == 0) return 0;
    const std::vector<cfg_handle> &sib = m.find(n->parent)->kids;
    auto it = std::find(sib.begin(), sib.end(), h);
    if (it == sib.end()) fail("node <%u> is not among its parent's children in the model", h);
    return ++it == sib.end() ? 0 : *it;
}

// The walk search(start), search(next(found)), ... as the store does it, and
// as the model predicts it: from a standalone node (or the root) its
// children of that kind, from a child that node and its later siblings of
// that kind, in append order.
void check_walk(Model &m, cfg_handle start, uint16_t xid) {
    constexpr cfg_handle kUntouched = 0xdeadbeefu;
    std::vector<cfg_handle> got, want;
    ds_lock();
    cfg_handle h = kUntouched;
    void *v = ds_srch_av_ptr(start, 2, xid, &h);
    if (!v && h != kUntouched) fail("a search that found nothing from <%u> wrote <%u>", start, h);
    while (v) {
        if (v != ds_get_av_ptr(h)) fail("a search returns <%u> with a value pointer not its own", h);
        got.push_back(h);
        if (got.size() > 200000) fail("a walk from <%u> over xid %#x does not end", start, xid);
        cfg_handle next = ds_get_next_avp(h);
        if (!next) break;
        h = kUntouched;
        v = ds_srch_av_ptr(next, 2, xid, &h);
        if (!v && h != kUntouched) fail("a search that found nothing from <%u> wrote <%u>", next, h);
    }
    ds_unlock();
    if (const Node *n = m.find(start)) {
        const std::vector<cfg_handle> &list = n->parent ? m.find(n->parent)->kids : n->kids;
        auto from = n->parent ? std::find(list.begin(), list.end(), start) : list.begin();
        for (auto it = from; it != list.end(); ++it)
            if (m.find(*it)->xid == xid) want.push_back(*it);
    }
    if (got != want) {
        std::size_t i = 0;
        while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
        fail("a walk from <%u> over xid %#x meets %zu nodes, the model %zu; they part at %zu (<%u> against <%u>)",
             start, xid, got.size(), want.size(), i, i < got.size() ? got[i] : 0u, i < want.size() ? want[i] : 0u);
    }
}

// Every child's next sibling, in store order.
void check_siblings(Model &m, cfg_handle parent) {
    const Node *p = m.find(parent);
    if (!p) return;
    for (std::size_t i = 0; i < p->kids.size(); ++i) {
        cfg_handle want = i + 1 < p->kids.size() ? p->kids[i + 1] : 0;
        cfg_handle got = ds_get_next_avp(p->kids[i]);
        if (got != want) fail("the sibling after <%u> is <%u>, the model says <%u>", p->kids[i], got, want);
    }
}

// ---- the model's side of each call -------------------------------------------

// Takes every node of the subtree at top, and the standalone targets its
// bindings alone kept alive, out of the model (what the store's delete does).
void model_destroy(Model &m, cfg_handle top) {
    std::vector<cfg_handle> tops{top};
    while (!tops.empty()) {
        std::vector<cfg_handle> stack{tops.back()};
        tops.pop_back();
        while (!stack.empty()) {
            cfg_handle h = stack.back();
            stack.pop_back();
            Node *n = m.find(h);
            if (!n) fail("the model destroys <%u> twice", h);
            stack.insert(stack.end(), n->kids.begin(), n->kids.end());
            if (n->bound) {
                Node *t = m.find(n->target);
                if (!t || t->refs <= 0) fail("the model's target <%u> of <%u> has no count", n->target, h);
                if (--t->refs == 0 && t->parent == 0) tops.push_back(n->target);
            }
            m.live.erase(h);
        }
    }
}

void model_unlink(Model &m, cfg_handle parent, cfg_handle child) {
    std::vector<cfg_handle> &kids = m.find(parent)->kids;
    kids.erase(std::find(kids.begin(), kids.end(), child));
}

// A value to store: length and content from the program.
struct Value {
    const void *ptr = nullptr;
    uint16_t len = 0;
    std::string bytes;  // what the store must then hold
};

uint16_t pick_length(Program &prog, Model &m) {
    unsigned cls = prog.next();
    unsigned len;
    switch (cls % 16) {
        case 0: len = 0; break;
        case 1: len = 1; break;
        case 2: len = 4; break;  // a handle
        case 3: len = prog.next() % 32; break;
        case 4: len = prog.next(); break;
        case 5: len = 635 + prog.next() % 8; break;              // a component's longest name
        case 6: len = 970 + prog.next() % 32; break;             // the largest blocks of the size classes
        case 7: len = 16384 - 64 + prog.next() % 128; break;     // blocks of 16 KiB, the smallest kept by size
        case 8: len = 65535; break;
        case 9: len = 65535 - prog.next() % 64; break;
        case 10: len = 65535 - 24 - 4 + prog.next() % 8; break;  // a bare attribute's slack passes the limit
        case 11: len = 52428 - 4 + prog.next() % 8; break;       // growth by a quarter reaches it
        case 12: len = prog.next() << 8 | prog.next(); break;
        default: len = prog.next() % 16; break;
    }
    if (len >= kBigFrom && m.big >= kBigValues) len &= 0xfff;
    return static_cast<uint16_t>(len);
}

void count_big(Model &m, std::size_t len) {
    if (len >= kBigFrom) ++m.big;
}

// Text: a name from the dictionary, maybe '=', a filler byte to the length;
// or a handle (of a node the program knows, the root, a forged one) and
// filler; or NULL.
cfg_handle pick(Program &prog, Model &m);

Value make_value(Program &prog, Model &m, bool handle_first) {
    Value v;
    unsigned shape = prog.next();
    v.len = pick_length(prog, m);
    char fill = kFill[(shape >> 4) % kFillCount];
    std::size_t at = 0;
    if (handle_first) {
        cfg_handle h = pick(prog, m);
        std::memcpy(g_buffer.data(), &h, sizeof h);
        at = sizeof h;
    } else {
        std::string text = kNames[shape % kNameCount];
        if (shape & 0x80) text += '=';
        std::memcpy(g_buffer.data(), text.data(), text.size());
        at = text.size();
    }
    if (v.len > at) std::memset(g_buffer.data() + at, fill, v.len - at);
    if ((shape & 0x70) == 0x70) {  // NULL, with whatever length was picked
        v.ptr = nullptr;
        return v;
    }
    v.ptr = g_buffer.data();
    v.bytes.assign(g_buffer.data(), v.len);
    return v;
}

// A value read from a live node's own storage (the store copies it before
// it frees or moves anything).
bool value_from_node(Program &prog, Model &m, cfg_handle from, Value &v) {
    const Node *src = m.find(from);
    if (!src) return false;
    std::size_t off = src->value.empty() ? 0 : prog.next() % src->value.size();
    std::size_t room = src->value.size() - off;
    std::size_t len = room ? (prog.next() << 8 | prog.next()) % (room + 1) : 0;
    if (len >= kBigFrom && m.big >= kBigValues) len &= 0xfff;
    v.ptr = static_cast<const char *>(ds_get_av_ptr(from)) + off;
    v.len = static_cast<uint16_t>(len);
    v.bytes = src->value.substr(off, len);
    return true;
}

// A handle from the pool: one the program got (alive or deleted), the
// root, 0, a forged one, or one of the program's with another generation or
// slot.
cfg_handle pick(Program &prog, Model &m) {
    unsigned b = prog.next();
    if (b < 0xd8 && !m.made.empty()) {
        if (b & 0x40) return m.made[m.made.size() - 1 - (b & 0x3f) % m.made.size()];  // a recent one
        return m.made[(b << 8 | prog.next()) % m.made.size()];
    }
    cfg_handle any = m.made.empty() ? m.root : m.made[prog.next() % m.made.size()];
    switch (b % 8) {
        case 0: return 0;
        case 1: return prog.next32();
        case 2: return any + (1u << 24);  // the same slot, another generation
        case 3: return any + 1;
        case 4: return any & 0xffffffu;
        default: return m.root;
    }
}

// A parent for an append: 0 (standalone) or a node from the pool. Under
// the root only the library's kinds go: it outlives every input, and keeps
// a head for each kind it ever held.
uint16_t pick_xid(Program &prog, cfg_handle parent, Model &m) {
    unsigned b = prog.next();
    const uint16_t library[] = {item_xid(), ref_xid(), ident_xid()};
    if (parent == m.root) return library[b % 3];
    switch (b % 8) {
        case 0:
        case 1:
        case 2: return library[b % 3];
        case 3: return static_cast<uint16_t>(b >> 3);  // small ones, the root's among them
        case 4: return static_cast<uint16_t>(0xffff - (b >> 3));
        default: return static_cast<uint16_t>(prog.next() << 8 | prog.next());
    }
}

// ds_append_avp2 and its prediction. Returns the new handle, or 0.
cfg_handle do_append(Model &m, cfg_handle parent, uint16_t xid, const Value &v) {
    Node *p = parent ? m.find(parent) : nullptr;
    bool valid = (!parent || p) && (v.ptr || !v.len);
    bool sure = valid, never = !valid;
    if (valid && p && !p->kinds.count(xid)) {
        if (p->maybe.size() >= kKindsMax) sure = false;
        if (p->kinds.size() >= kKindsMax && !p->maybe.count(xid)) never = true;
    }
    cfg_handle h = ds_append_avp2(parent, 2, xid, 0, v.ptr, v.len);
    if (!h) {
        if (sure && !m.may_fail(DS_FAULT_APPEND | DS_FAULT_MEMORY))
            fail("append of %u bytes (xid %#x) under <%u> refused (store error %s)", v.len, xid, parent,
                 error_name(ds_get_error()));
        if (parent && !p) expect_error("append under a dead parent", DS_E_BAD_HANDLE);
        else if (!v.ptr && v.len) expect_error("append of NULL with a length", DS_E_REFUSED);
        else if (sure) expect_fault_error("append");
        if (p && valid) p->maybe.insert(xid);  // a refused append may have kept its kind's place
        return 0;
    }
    if (never) fail("append of xid %#x under <%u> made <%u>, which the model refuses", xid, parent, h);
    if (h == m.root || m.ever.count(h)) fail("append made <%u>, a handle the program held before", h);
    m.made.push_back(h);
    m.ever.insert(h);
    Node &n = m.live[h];
    n.parent = parent;
    n.xid = xid;
    n.value = v.bytes;
    count_big(m, v.len);
    if (p) {
        p->kids.push_back(h);
        p->kinds.insert(xid);
        p->maybe.insert(xid);
    }
    check_node(m, h);
    return h;
}

void do_modify(Model &m, cfg_handle h, const Value &v) {
    Node *n = m.find(h);
    bool valid = n && !n->bound && (v.ptr || !v.len);
    std::size_t was = n ? n->value.size() : 0;
    int ok = ds_modify_av(h, v.ptr, v.len);
    if (ok && !valid) fail("modify of <%u> (%s) succeeded", h, n ? "bound, or NULL with a length" : "not alive");
    if (!ok) {
        if (!n) expect_error("modify of a dead handle", DS_E_BAD_HANDLE);
        else if (!valid) expect_error("modify of a bound node or with NULL", DS_E_REFUSED);
        else if (!m.may_fail(DS_FAULT_MODIFY | DS_FAULT_MEMORY))
            fail("modify of <%u> to %u bytes (from %zu) refused (store error %s)", h, v.len, was,
                 error_name(ds_get_error()));
        else expect_fault_error("modify");
    } else {
        n->value = v.bytes;
        count_big(m, v.len);
        if (h == m.root) m.root_changed = true;
    }
    check_node(m, h);
}

void do_delete_child(Model &m, cfg_handle parent, cfg_handle child) {
    Node *p = m.find(parent), *c = m.find(child);
    bool valid = p && c && c->parent == parent;
    int ok = ds_delete_avp3(parent, child);
    if (ok && !valid) fail("delete of <%u> from <%u> succeeded, the model refuses it", child, parent);
    if (!ok) {
        if (!p || !c) expect_error("delete with a dead handle", DS_E_BAD_HANDLE);
        else if (!valid) expect_error("delete of a node from another parent", DS_E_NOT_CHILD);
        else if (!m.may_fail(DS_FAULT_DELETE))
            fail("delete of <%u> from <%u> refused (store error %s)", child, parent, error_name(ds_get_error()));
        else expect_error("delete under an injected fault", DS_E_REFUSED);
        check_node(m, child);
        return;
    }
    model_unlink(m, parent, child);
    model_destroy(m, child);
    check_node(m, child);
    if (ds_delete_avp3(parent, child)) fail("<%u> deleted twice from <%u>", child, parent);
    if (ds_modify_av(child, "x", 1)) fail("deleted <%u> takes a new value", child);
}

void do_delete_object(Model &m, cfg_handle h) {
    Node *n = m.find(h);
    bool valid = n && h != m.root && n->parent == 0 && n->refs == 0;
    int ok = ds_delete_obj(h);
    if (ok && !valid) fail("delete of object <%u> succeeded, the model refuses it", h);
    if (!ok) {
        if (valid && !m.may_fail(DS_FAULT_DELETE))
            fail("delete of standalone <%u> refused (store error %s)", h, error_name(ds_get_error()));
        expect_error("delete of an object", valid ? DS_E_REFUSED : DS_E_BAD_HANDLE);
        check_node(m, h);
        return;
    }
    model_destroy(m, h);
    check_node(m, h);
    if (ds_delete_obj(h)) fail("object <%u> deleted twice", h);
}

void do_bind(Model &m, cfg_handle h) {
    Node *n = m.find(h);
    cfg_handle t = 0;
    if (n && n->value.size() >= sizeof t) std::memcpy(&t, n->value.data(), sizeof t);
    Node *tn = m.find(t);
    bool already = n && n->bound;
    bool valid = already || (n && h != m.root && n->value.size() >= sizeof t && tn && t != h && t != m.root &&
                             tn->parent == 0 && !tn->bound && n->refs == 0);
    int ok = ds_bind_reference(h);
    if (ok && !valid) fail("binding of <%u> to <%u> succeeded, the model refuses it", h, t);
    if (!ok) {
        if (valid && !m.may_fail(DS_FAULT_MEMORY))
            fail("binding of <%u> to <%u> refused (store error %s)", h, t, error_name(ds_get_error()));
        if (!valid) expect_error("a refused binding", DS_E_BAD_HANDLE);
        else expect_error("a binding under an injected fault", DS_E_NO_MEMORY);
        return;
    }
    if (!already) {
        n->bound = true;
        n->target = t;
        ++tn->refs;
    }
    if (ds_modify_av(h, "abcd", 4)) fail("bound <%u> takes a new value", h);
    check_node(m, h);
}

// ---- cleaning up -------------------------------------------------------------

// Deletes everything the program made, through the store's own calls, and
// checks that every handle it got now reads as deleted.
void clean_up(Model &m) {
    ds_inject_fault(0, 0, 0);
    m.armed = 0;
    int was = ds_set_precedence(g_initial_precedence);
    if (was != m.precedence) fail("the precedence reads %d, %d was set", was, m.precedence);
    for (const auto &entry : m.live) check_node(m, entry.first);
    if (m.root_changed) {
        if (!ds_modify_av(m.root, "", 1)) fail("the root's value cannot be set back");
        m.find(m.root)->value.assign(1, '\0');
    }
    for (cfg_handle c : std::vector<cfg_handle>(m.find(m.root)->kids)) do_delete_child(m, m.root, c);
    while (m.live.size() > 1) {
        // Standalone nodes no binding keeps; when none is left, the rest keep
        // each other alive: cut the bindings of children.
        std::vector<cfg_handle> free_ones, binders;
        for (auto &[h, n] : m.live) {
            if (h == m.root) continue;
            if (n.parent == 0 && n.refs == 0) free_ones.push_back(h);
            else if (n.bound && n.parent) binders.push_back(h);
        }
        if (free_ones.empty() && binders.empty()) fail("%zu nodes are left that nothing can delete", m.live.size() - 1);
        for (cfg_handle h : free_ones)
            if (m.find(h)) do_delete_object(m, h);
        if (free_ones.empty()) do_delete_child(m, m.find(binders.front())->parent, binders.front());
    }
    for (cfg_handle h : m.made) check_node(m, h);
    check_node(m, m.root);
    for (uint16_t xid : {item_xid(), ref_xid(), ident_xid()}) check_walk(m, m.root, xid);
    std::string rest = fuzz::dump();
    if (!rest.empty()) fail("the tree is not empty after the program's nodes are deleted:\n%s", rest.c_str());
}

// ---- the program ---------------------------------------------------------------

// Children appended in one go: of as many kinds as the bytes ask (each its
// own xid), or of one kind with names of their own (the parent's index grows
// through every size). A parent's kinds are searched one by one, so an
// append of a new kind costs as many steps as kinds are there: past 32,768
// kinds (where a 16-bit count of them would wrap) takes 5 to 10 seconds
// under the sanitizers, and libFuzzer would spend most of its time on the
// inputs that ask for it: it takes two bytes of their own (a mode of 0xf9,
// a count of 0x80xx), runs once an input, and only in the corpus replay
// (half a second without the sanitizers), never under libFuzzer, whose
// inputs thus reproduce with the fuzzer as they were found.
void loop(Program &prog, Model &m) {
    unsigned mode = prog.next();
    unsigned count = prog.next() << 8 | prog.next();
    bool many = mode == 0xf9 && (count >> 8) == 0x80 && !m.many_kinds && !g_libfuzzer;
    if (many) {
        m.many_kinds = true;
        count = 32760 + count % 16;
    } else {
        count %= (mode & 1) ? kKindsPerLoop : kNamedPerLoop;
        count = std::min(count, kLoopBudget - m.looped);
        m.looped += count;
    }
    cfg_handle parent = pick(prog, m);
    Node *p = m.find(parent);
    if (!p || parent == m.root) {
        Value none;
        parent = do_append(m, 0, pick_xid(prog, 0, m), none);
        if (!parent) return;
    }
    uint16_t base = static_cast<uint16_t>(prog.next() << 8 | prog.next());
    uint16_t step = static_cast<uint16_t>((prog.next() << 1) | 1);  // odd: 65,536 distinct xids
    char text[32];
    for (unsigned i = 0; i < count && m.find(parent); ++i) {
        Value v;
        uint16_t xid = base;
        if (mode & 1) {
            xid = static_cast<uint16_t>(base + i * step);
        } else {
            xid = (mode & 2) ? item_xid() : base;
            int n = std::snprintf(text, sizeof text, "k%u=%u", i, i & 7);
            v.ptr = text;
            v.len = static_cast<uint16_t>(n + ((mode & 4) ? 1 : 0));
            v.bytes.assign(text, v.len);
        }
        if (!do_append(m, parent, xid, v) && !m.armed) break;  // the kinds are used up
    }
    const Node *pn = m.find(parent);
    if (pn && !pn->kids.empty()) {
        check_walk(m, parent, m.find(pn->kids.back())->xid);
        check_walk(m, pn->kids.front(), m.find(pn->kids.front())->xid);
    }
}

void step(Program &prog, Model &m) {
    unsigned op = prog.next() % 13;
    switch (op) {
        case 0:
        case 1: {  // an append, standalone or under a node
            cfg_handle parent = (prog.next() & 1) ? 0 : pick(prog, m);
            uint16_t xid = pick_xid(prog, parent, m);
            Value v = make_value(prog, m, false);
            if (prog.next() % 8 == 0 && !m.made.empty()) value_from_node(prog, m, pick(prog, m), v);
            do_append(m, parent, xid, v);
            break;
        }
        case 2: {  // a node that holds a handle (maybe bound at once)
            cfg_handle parent = (prog.next() & 1) ? 0 : pick(prog, m);
            uint16_t xid = parent == m.root || (prog.next() & 3) ? ref_xid() : pick_xid(prog, parent, m);
            Value v = make_value(prog, m, true);
            cfg_handle h = do_append(m, parent, xid, v);
            unsigned how = prog.next();
            if (h && (how & 1)) {  // hold its own handle, and ask to be bound to itself
                Value own;
                own.ptr = &h;
                own.len = sizeof h;
                own.bytes.assign(reinterpret_cast<const char *>(&h), sizeof h);
                do_modify(m, h, own);
            }
            if (h && (how & 2)) do_bind(m, h);
            break;
        }
        case 3: {  // a new value
            cfg_handle h = pick(prog, m);
            Value v;
            unsigned how = prog.next() % 4;
            if (how == 0 && value_from_node(prog, m, h, v)) {
            } else if (how == 1 && value_from_node(prog, m, pick(prog, m), v)) {
            } else {
                v = make_value(prog, m, how == 2);
            }
            do_modify(m, h, v);
            break;
        }
        case 4: {  // a child deleted, from its parent or another node
            cfg_handle h = pick(prog, m);
            const Node *n = m.find(h);
            cfg_handle parent = n && (prog.next() & 3) ? n->parent : pick(prog, m);
            do_delete_child(m, parent, h);
            break;
        }
        case 5: do_delete_object(m, pick(prog, m)); break;
        case 6: do_bind(m, pick(prog, m)); break;
        case 7: {  // a walk over one kind
            cfg_handle start = pick(prog, m);
            const Node *n = m.find(start);
            uint16_t xid;
            if (n && !n->kids.empty() && (prog.next() & 1))
                xid = m.find(n->kids[prog.next() % n->kids.size()])->xid;
            else if (n && n->parent && (prog.next() & 1))
                xid = n->xid;
            else
                xid = pick_xid(prog, 0, m);
            check_walk(m, start, xid);
            if (n && (prog.next() & 1)) check_siblings(m, n->parent ? n->parent : start);
            break;
        }
        case 8: {  // reads
            cfg_handle h = pick(prog, m);
            check_node(m, h);
            cfg_handle next = ds_get_next_avp(h);
            if (next != model_next(m, h)) fail("the sibling after <%u> is <%u>, the model's <%u>", h, next, model_next(m, h));
            if (!m.find(h) && ds_bind_reference(h)) fail("dead <%u> is bound", h);
            break;
        }
        case 9: {  // faults for a few steps
            unsigned ops = prog.next() & 15;
            int skip = static_cast<int>(prog.next() % 8);
            int count = 1 + static_cast<int>(prog.next() % 4);
            ds_inject_fault(ops, skip, count);
            m.armed = ops;
            m.armed_steps = 1 + static_cast<int>(prog.next() % 8);
            break;
        }
        case 10: {  // the precedence of later changes
            int p = static_cast<int>(prog.next32());
            int was = ds_set_precedence(p);
            if (was != m.precedence) fail("ds_set_precedence returned %d, %d was set", was, m.precedence);
            m.precedence = p;
            break;
        }
        case 11: loop(prog, m); break;
        default: {  // a parent's whole family checked
            cfg_handle h = pick(prog, m);
            if (const Node *n = m.find(h)) {
                check_siblings(m, h);
                for (cfg_handle c : n->kids) check_node(m, c);
            }
            break;
        }
    }
    if (m.armed && --m.armed_steps <= 0) {
        ds_inject_fault(0, 0, 0);
        m.armed = 0;
    }
}

}  // namespace

// Defined by libFuzzer only.
extern "C" size_t LLVMFuzzerMutate(uint8_t *data, std::size_t size, std::size_t max_size) __attribute__((weak));

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::install_quiet_log();
    g_libfuzzer = &LLVMFuzzerMutate != nullptr;
    g_initial_precedence = ds_set_precedence(0);
    (void)ds_set_precedence(g_initial_precedence);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    Program prog{data, size};
    Model m;
    m.root = ds_get_cntl_info(1);
    m.precedence = g_initial_precedence;
    Node &root = m.live[m.root];
    root.value.assign(1, '\0');
    root.xid = static_cast<uint16_t>(oa_xid_of("OID_OC_ROOT"));
    check_node(m, m.root);
    for (uint16_t xid : {item_xid(), ref_xid(), ident_xid()}) check_walk(m, m.root, xid);
    for (int steps = 0; prog.more() && steps < kSteps; ++steps) step(prog, m);
    clean_up(m);
    return 0;
}
