// fuzz_store.cpp - the store's name index against a scan of every child.
//
// The input is a program: each byte picks an operation on two parents (a
// first byte decides how many padding attributes they start with, so that
// small, scanned parents and indexed ones are both met): append an attribute
// or an object of a name from a dictionary that holds wildcard instances,
// read-only marks and names the parser cannot read; leave a reference
// unbound, bind it later, or refer to one object from both parents; rename
// attributes and objects; delete children. Every few operations a lookup's
// result, and the children it reports as unreadable, must be those of a
// plain scan of the children in store order (the finder's rule written
// out with the library's parser and matcher: tests/scan_model.h), and the
// children found after a point must be those met walking from the first.
#include "ds_index.h"
#include "fuzz_support.h"
#include "scan_model.h"

namespace {

const char *const kNames[] = {"a",  "a[1]", "a[2]", "a[*]", "a[1:*]", "!a", "b", "b[2]", "!b[1]", "line[**]",
                              "ab", "a[]",  "",     "[x",   "a[1",    "a b", "a.b", "=", "!!a", "b[1]x"};
constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];
const char *const kQueries[] = {"a", "a[1]", "a[2]", "a[*]", "a[**]", "!a", "b", "b[2]", "b[*]", "ab", "line[3]", "zz"};
constexpr std::size_t kQueryCount = sizeof kQueries / sizeof kQueries[0];

using scan_model::Reports;

Reports g_reported;

void capture_sink(void *, int level, const char *, int, const char *message) {
    if (level == 3) g_reported.push_back(message);
}

struct Program {
    const uint8_t *data;
    std::size_t size, at = 0;
    bool more() const { return at < size; }
    unsigned next() { return at < size ? data[at++] : 0u; }
};

struct Store {
    cfg_handle parents[2] = {};
    std::vector<cfg_handle> children[2];  // what each parent holds, as far as we made it
    std::vector<cfg_handle> idents;       // standalone objects we made
    std::vector<cfg_handle> unbound;      // references appended but not bound yet

    cfg_handle append_ident(const char *name) {
        cfg_handle h = ds_append_avp2(0, 2, fuzz::xid("OID_ATT_CONFIG_IDENTIFIER"), 0, name,
                                      static_cast<uint16_t>(std::strlen(name) + 1));
        if (h) idents.push_back(h);
        return h;
    }
    cfg_handle append_ref(int p, cfg_handle target, bool bind) {
        cfg_handle r = ds_append_avp2(parents[p], 2, fuzz::ref_xid(), 0, &target, sizeof target);
        if (!r) return 0;
        children[p].push_back(r);
        if (!bind || !ds_bind_reference(r)) unbound.push_back(r);
        return r;
    }
    cfg_handle pick(int p, unsigned byte) const {
        return children[p].empty() ? 0 : children[p][byte % children[p].size()];
    }
};

// A search going on from a point finds the first child of a kind, the first
// namesake and the first unreadable child after it from the lists' tails:
// they must be those met walking from the heads.
void check_points(cfg_handle parent, unsigned arg) {
    static const char *const kBare[] = {"a", "b", "ab", "line"};
    const char *name = kBare[arg % 4];
    for (uint16_t xid : {fuzz::item_xid(), fuzz::ref_xid()}) {
        cfg_handle last = ds_last_of(parent, xid);
        const uint32_t seq = last ? (arg * 2654435761u >> 8) % (ds_seq(last) + 2) : 0;
        cfg_handle first = 0;
        for (cfg_handle c : fuzz::children(parent, xid))
            if (ds_seq(c) > seq) {
                first = c;
                break;
            }
        cfg_handle named = ds_first_named(parent, xid, name, std::strlen(name));
        while (named && ds_seq(named) <= seq) named = ds_next_named(named);
        cfg_handle odd = ds_first_odd(parent, xid);
        while (odd && ds_seq(odd) <= seq) odd = ds_next_odd(odd);
        if (first != ds_first_after(parent, xid, seq)) fuzz::fail("the first child after %u is not <%u>", seq, first);
        if (named != ds_named_after(parent, xid, name, std::strlen(name), seq))
            fuzz::fail("the first '%s' after %u is not <%u>", name, seq, named);
        if (odd != ds_odd_after(parent, xid, seq)) fuzz::fail("the first odd child after %u is not <%u>", seq, odd);
    }
}

void step(Program &prog, Store &s) {
    unsigned op = prog.next() % 8;
    int p = static_cast<int>(prog.next() & 1);
    unsigned arg = prog.next();
    const char *name = kNames[arg % kNameCount];
    switch (op) {
        case 0:
        case 1: {  // an attribute
            std::string text = std::string(name) + (arg & 0x80 ? "=v" : "=w");
            if (cfg_handle h = ds_append_avp2(s.parents[p], 2, fuzz::item_xid(), 0, text.c_str(),
                                              static_cast<uint16_t>(text.size() + 1)))
                s.children[p].push_back(h);
            break;
        }
        case 2: {  // an object, bound or left unbound
            if (cfg_handle ident = s.append_ident(name)) s.append_ref(p, ident, (arg & 0x80) == 0);
            break;
        }
        case 3: {  // bind a reference appended earlier
            if (s.unbound.empty()) break;
            std::size_t i = arg % s.unbound.size();
            if (ds_bind_reference(s.unbound[i])) s.unbound.erase(s.unbound.begin() + static_cast<long>(i));
            break;
        }
        case 4: {  // refer to an object of one parent from the other too
            cfg_handle r = s.pick(1 - p, arg);
            cfg_handle target = r && static_cast<uint16_t>(ds_get_attr_id(r)) == fuzz::ref_xid() ? fuzz::target_of(r) : 0;
            if (target && cfg_is_object(target)) s.append_ref(p, target, true);
            break;
        }
        case 5: {  // rename an attribute, or the object a reference names
            cfg_handle h = s.pick(p, arg);
            if (!h) break;
            const char *to = kNames[prog.next() % kNameCount];
            bool attribute = static_cast<uint16_t>(ds_get_attr_id(h)) == fuzz::item_xid();
            std::string text = std::string(to) + (attribute ? "=r" : "");
            cfg_handle node = attribute ? h : fuzz::target_of(h);
            if (node && cfg_is_object(node) != attribute)
                (void)ds_modify_av(node, text.c_str(), static_cast<uint16_t>(text.size() + 1));
            break;
        }
        case 6: {  // delete a child
            if (s.children[p].empty()) break;
            std::size_t i = arg % s.children[p].size();
            cfg_handle h = s.children[p][i];
            if (!ds_delete_avp3(s.parents[p], h)) fuzz::fail("deleting child <%u> failed", h);
            s.children[p].erase(s.children[p].begin() + static_cast<long>(i));
            std::erase(s.unbound, h);
            break;
        }
        default: {  // a lookup
            std::string identifier = std::string(p ? "fz_q." : "fz_p.") + kQueries[arg % kQueryCount];
            if (arg & 0x80) identifier += std::string(".") + kQueries[prog.next() % kQueryCount];
            g_reported.clear();
            Log_SetSink(&capture_sink, nullptr);
            cfg_handle got = 0;
            int status = cfg_find_item(0, identifier.c_str(), &got, nullptr, nullptr);
            fuzz::install_quiet_log();
            Reports want_reports;
            ds_lock();
            cfg_handle want = scan_model::scan_find(identifier, want_reports);
            ds_unlock();
            if ((status == CFG_OK ? got : 0) != want)
                fuzz::fail("'%s' found <%u> (status %d), a scan finds <%u>", identifier.c_str(), got, status, want);
            if (g_reported != want_reports)
                fuzz::fail("'%s' reported %zu children, a scan reports %zu", identifier.c_str(), g_reported.size(),
                           want_reports.size());
            check_points(s.parents[p], arg);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::install_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    Program prog{data, size};
    Store s;
    if (cfg_create_item(0, "fz_p", fuzz::ref_xid(), &s.parents[0]) != CFG_OK ||
        cfg_create_item(0, "fz_q", fuzz::ref_xid(), &s.parents[1]) != CFG_OK)
        fuzz::fail("the parents cannot be made");
    unsigned padding = prog.next() % 10;  // more than four children: an index
    for (int p = 0; p < 2; ++p)
        for (unsigned i = 0; i < padding; ++i) (void)ds_append_avp2(s.parents[p], 2, fuzz::item_xid(), 0, "pad=0", 6);
    for (int steps = 0; prog.more() && steps < 2000; ++steps) step(prog, s);
    fuzz::reset_library();
    for (cfg_handle ident : s.idents) (void)ds_delete_obj(ident);  // those no reference kept
    return 0;
}
