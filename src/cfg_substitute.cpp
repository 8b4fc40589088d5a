// cfg_substitute.cpp - references inside texts: the table-driven scanner that
// finds nested references and hands each closed one to its evaluator, and
// the default evaluator of ${path[:modifier]}.
//
// The scanner reads a heap copy of the source and keeps one zero-filled heap
// buffer per level (the result and at most 10 open references); a
// substitution nested in another (a value's, while a reference to it is
// evaluated) leaves its buffers to the next one, and the outermost frees
// everything before it returns. The evaluator keeps only fixed 640-byte
// buffers on the stack and bounds self-reference by a per-thread count of
// nested evaluations (CFG_MAX_REFERENCE_RECURSION).
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "cfg_private.h"

namespace {
constexpr const char kModule[] = "cfg_substitute";

// At most this many references are open at one time; levels 1..10 hold
// them and level 0 holds the result.
constexpr int kMaxOpen = 10;

// The characters of an environment variable name that a reference may read.
constexpr const char kEnvChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890_";

// The library's own table: ${ ... } evaluated by cfg_evalReference. It is
// never written; the scanner only reads tables.
const CfgRefTag kDefaultTable[] = {
    {"${", "}", cfg_evalReference, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

// ---- scanner ---------------------------------------------------------------

// True when text starts with tag (a non-empty tag).
bool starts_with(const char *text, const char *tag) noexcept {
    while (*tag && *text == *tag) ++text, ++tag;
    return *tag == '\0';
}

// A row opens references only with two non-empty tags: an empty tag would
// match at every position, so such a row is ignored.
bool usable(const CfgRefTag &entry) noexcept {
    return entry.open[0] != '\0' && entry.close && entry.close[0] != '\0';
}

// The first row whose open tag stands at text, or null.
const CfgRefTag *match_open(const CfgRefTag *table, const char *text) noexcept {
    for (const CfgRefTag *e = table; e && e->open; ++e)
        if (usable(*e) && starts_with(text, e->open)) return e;
    return nullptr;
}

// The first characters of every usable open tag: only they can start one.
// Kept as a string (for one vectorised search of a whole text, which is all
// most texts need: they hold no reference) and as a table (for the scan).
struct FirstChars {
    char set[257];  // NUL-terminated
    std::size_t count = 0;
    bool has[256];  // filled by build_table, before the scan
    explicit FirstChars(const CfgRefTag *table) noexcept {
        for (const CfgRefTag *e = table; e && e->open; ++e)
            if (usable(*e) && !std::memchr(set, e->open[0], count)) set[count++] = e->open[0];
        set[count] = '\0';
    }
    // Where text's first such character is, else its end: one pass that
    // also measures a text holding none. glibc scans fastest for a single
    // character (the usual set).
    const char *first_in(const char *text) const noexcept {
#if defined(__GLIBC__)
        if (count == 1) return strchrnul(text, set[0]);
#endif
        return text + std::strcspn(text, set);
    }
    void build_table() noexcept {
        std::memset(has, 0, sizeof has);
        for (std::size_t i = 0; i < count; ++i) has[static_cast<unsigned char>(set[i])] = true;
    }
};

// Zero-fills n bytes at p. A long run (an evaluator's room in a long text,
// which a level reopened for every reference would otherwise clear again
// each time) keeps its edges cleared here and its whole pages given back to
// the system: private anonymous memory, as malloc's is, reads as zeros again
// after MADV_DONTNEED, and only the pages the next evaluator touches cost a
// fault. A text of many nested references thus costs what they write, not
// the rest of the text again for each of them.
void clear(char *p, std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_DONTNEED)
    constexpr std::size_t kReleaseFrom = 256 * 1024;
    static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    if (n >= kReleaseFrom && page > 0 && (page & (page - 1)) == 0) {
        auto from = reinterpret_cast<uintptr_t>(p), to = from + n;
        uintptr_t first = (from + page - 1) & ~(page - 1), last = to & ~(page - 1);
        if (madvise(reinterpret_cast<void *>(first), last - first, MADV_DONTNEED) == 0) {
            std::memset(p, 0, first - from);
            std::memset(reinterpret_cast<char *>(last), 0, to - last);
            return;
        }
    }
#endif
    std::memset(p, 0, n);
}

// Calls an evaluator that is not the library's own (defined with the read
// counters below).
[[nodiscard]] int evaluate_apart(CfgRefEvaluator evaluate, char *reference, char *out, uint32_t room,
                                 void *arg) noexcept;

// A level's buffer stands for a zero-filled one of capacity bytes: the
// bytes from `zeroed` on have not been written since the level was opened,
// and are zeroed only when an evaluator that is not the library's own
// (which writes its expansion and one NUL, nothing more) is handed them as
// its room. A buffer serves every level opened later at the same depth
// (their capacities only shrink, as the scan moves on). Allocating and
// zero-filling a buffer for each reference would cost the rest of the text
// and the output's size again for every one of them.
struct Level {
    std::size_t used = 0;
    std::size_t capacity = 0;
    std::size_t zeroed = 0;  // the bytes from here on stand for zeros
    char *buffer = nullptr;
    std::size_t size = 0;  // of the buffer: capacity or more
    const char *open = nullptr;
    const char *close = nullptr;
    CfgRefEvaluator evaluate = nullptr;
    void *arg = nullptr;

    // Appends at most n characters; what does not fit before the last byte
    // is dropped (a level never grows).
    void append(const char *text, std::size_t n) noexcept {
        std::size_t room = capacity - 1 - used;
        if (n > room) n = room;
        std::memcpy(buffer + used, text, n);
        used += n;
        buffer[used] = '\0';
        wrote_to(used);
    }
    void wrote_to(std::size_t last) noexcept {
        if (last >= zeroed) zeroed = last + 1;
    }
    // Makes the bytes that stand for zeros zero.
    void zero_rest() noexcept {
        if (zeroed < capacity) clear(buffer + zeroed, capacity - zeroed);
        zeroed = capacity;
    }
};

// Level buffers of substitutions that ended inside one still under way on
// this thread (a value's references, substituted while a reference to it is
// evaluated). Each such substitution sizes its buffers by the room it was
// given, the rest of the outer text: allocated afresh for every reference,
// they cost a trip to the system and a page fault each. Kept here, the next
// nested substitution takes them over; the outermost one frees them when it
// ends, so nothing is held between reads.
struct Spares {
    static constexpr int kMax = 2 * (kMaxOpen + 1);
    char *buffer[kMax];
    std::size_t size[kMax];
    int count = 0;
    int users = 0;  // substitutions under way on this thread

    // A kept buffer of at least capacity bytes, or NULL.
    char *take(std::size_t capacity, std::size_t *got) noexcept {
        for (int i = count - 1; i >= 0; --i) {
            if (size[i] < capacity) continue;
            char *b = buffer[i];
            *got = size[i];
            buffer[i] = buffer[--count];
            size[i] = size[count];
            return b;
        }
        return nullptr;
    }
    void give(char *b, std::size_t n) noexcept {
        if (!b) return;
        if (users > 1 && count < kMax) {
            buffer[count] = b;
            size[count++] = n;
        } else {
            cfg_mem_free(b);
        }
    }
    void release() noexcept {
        while (count > 0) cfg_mem_free(buffer[--count]);
    }
};
thread_local Spares t_spares;

// The level stack of one substitution; hands every buffer it still holds
// back (see Spares).
class Levels {
  public:
    Levels() noexcept { ++t_spares.users; }
    Levels(const Levels &) = delete;
    Levels &operator=(const Levels &) = delete;
    ~Levels() {
        for (Level &l : level_) t_spares.give(l.buffer, l.size);
        if (--t_spares.users == 0) t_spares.release();
    }

    int depth() const noexcept { return depth_; }
    Level &at(int i) noexcept { return level_[i]; }
    Level &innermost() noexcept { return level_[depth_]; }

    // Gives level index a buffer of capacity bytes that stands for a
    // zero-filled one (see Level): the one it had when that is large enough.
    [[nodiscard]] bool allocate(int index, std::size_t capacity) noexcept {
        Level &l = level_[index];
        char *buffer = l.buffer;
        std::size_t size = l.size;
        if (size < capacity) {
            t_spares.give(buffer, size);
            l = Level{};
            buffer = t_spares.take(capacity, &size);
            if (!buffer) {
                buffer = static_cast<char *>(cfg_mem_alloc(capacity));
                size = capacity;
            }
            if (!buffer) {
                int err = errno;
                CFG_LOG(2, "%s: calloc(1,%d)\n\t\terrno = %d => \"%s\"", "ref_substitute",
                        static_cast<int>(capacity), err, cfgtree::errno_text(err));
                return false;
            }
        }
        l = Level{};
        l.buffer = buffer;
        l.size = size;
        l.capacity = capacity;
        l.buffer[0] = '\0';
        l.buffer[capacity - 1] = '\0';
        l.zeroed = 1;
        return true;
    }

    // Opens a level for entry with capacity bytes, its open tag first.
    [[nodiscard]] bool open(const CfgRefTag &entry, std::size_t capacity) noexcept {
        if (!allocate(depth_ + 1, capacity)) return false;
        Level &l = level_[++depth_];
        l.open = entry.open;
        l.close = entry.close;
        l.evaluate = entry.evaluate;
        l.arg = entry.arg;
        l.append(entry.open, std::strlen(entry.open));
        return true;
    }

    // Closes the innermost level: its evaluator appends to the enclosing
    // level, whose length is then taken from its text. An evaluator's
    // result replaces status; without an evaluator status stays.
    void close(int &status) noexcept {
        Level &inner = level_[depth_];
        Level &outer = level_[depth_ - 1];
        if (inner.evaluate) {
            std::size_t room = outer.capacity - outer.used;
            if (room > UINT32_MAX) room = UINT32_MAX;
            char *out = outer.buffer + outer.used;
            if (inner.evaluate == cfg_evalReference) {
                status = cfgtree::eval_reference(inner.buffer, out, static_cast<uint32_t>(room), inner.arg,
                                                 cfgtree::Rest::kLeave);
            } else {
                outer.zero_rest();
                status = evaluate_apart(inner.evaluate, inner.buffer, out, static_cast<uint32_t>(room), inner.arg);
            }
        }
        inner.evaluate = nullptr;  // the buffer stays for the next level at this depth
        --depth_;
        // The text before the room holds no NUL: only the room is measured.
        outer.buffer[outer.capacity - 1] = '\0';
        outer.used += std::strlen(outer.buffer + outer.used);
        outer.wrote_to(outer.used);
    }

  private:
    Level level_[kMaxOpen + 1];
    int depth_ = 0;
};

// The scan proper over the working copy: fills levels and sets status to
// that of the last evaluation. False when a level cannot be allocated.
// Traces quote the rest of the text with a precision: a message holds at
// most 4,095 characters, and formatting then measures no more than that
// (a trace per tag would otherwise measure a long text again and again).
// No copy is made: evaluations nest through this frame, so it stays small
// enough for a thread with a small stack. Only the working copy is read:
// the source may be a stored text that an evaluation changes.
[[nodiscard]] bool scan(const char *work, std::size_t work_len, uint32_t len, const CfgRefTag *table,
                        const FirstChars &first, Levels &levels, int &status) noexcept {
    const char *pos = work;
    while (*pos) {
        if (levels.depth() == 0 && !first.has[static_cast<unsigned char>(*pos)]) {
            levels.at(0).append(pos++, 1);
            continue;
        }
        if (const CfgRefTag *entry = match_open(table, pos)) {
            CFG_LOG(13, "  found reference open tag at '%.4095s'", pos);
            std::size_t tag_len = std::strlen(entry->open);
            if (levels.depth() == kMaxOpen) {
                // Refused: the tag stays as plain text of the innermost
                // reference and the scan goes on behind it.
                CFG_LOG(5, "%s: Reference nesting exceeds max depth (%d)\n\t\t'%.4095s'", "ref_substitute", kMaxOpen,
                        work);
                levels.innermost().append(pos, tag_len);
            } else {
                std::size_t capacity = work_len - static_cast<std::size_t>(pos - work) + 1 + len;
                if (!levels.open(*entry, capacity)) return false;
            }
            pos += tag_len;
            continue;
        }
        if (levels.depth() > 0 && starts_with(pos, levels.innermost().close)) {
            CFG_LOG(13, "  found reference close tag at '%.4095s'", pos);
            pos += std::strlen(levels.innermost().close);
            levels.close(status);
            continue;
        }
        levels.innermost().append(pos++, 1);
    }
    return true;
}

// ---- evaluator ---------------------------------------------------------------

// Nested evaluations on this thread. A value that refers to itself recurses
// through get_attr_value -> ref_substitute -> eval_reference; an evaluation
// nested deeper than CFG_MAX_REFERENCE_RECURSION fails, and only that one:
// the references beside it, at every level above, are evaluated as usual
// (x=${self}${v} reads the same directly and through ${x}). The limit is
// reported once per read.
// Depth bounds a cycle but not a fan-out: values that each refer several
// times to the next one (a=${b}${b}, b=${c}${c}, ...), or to themselves
// (x=${x}${x}), multiply the work at every level, and a text may hold many
// such references. So one read (the outermost substitution, or an evaluation
// called on its own), with everything it sets off, evaluates at most
// CFG_MAX_REFERENCE_EVALUATIONS references; past that budget every
// evaluation it still starts fails at once and silently (it is unwinding).
// A log sink may substitute while a read is under way (even one past its
// limits): its reads are counted apart, as reads of their own.
struct ReadState {
    int eval_depth = 0;
    int subst_depth = 0;  // substitutions under way
    long eval_count = 0;
    long apart_count = 0;  // evaluators of the caller's own called, at every level
    bool depth_reported = false;
    bool unwinding = false;
};
thread_local ReadState t_reads[2];  // [1]: while this thread's log sink runs
ReadState &read_state() noexcept { return t_reads[Log_InSink() ? 1 : 0]; }

// A read starts with the whole budget.
void start_read(ReadState &r) noexcept {
    r.eval_count = 0;
    r.apart_count = 0;
    r.depth_reported = false;
    r.unwinding = false;
}

// Is an evaluation at depth nested too deep? Says so once per read (function
// names the evaluator, at the reference).
bool past_depth(ReadState &read, int depth, const char *function, const char *at) noexcept {
    if (depth <= CFG_MAX_REFERENCE_RECURSION) return false;
    if (!read.depth_reported)
        CFG_LOG(3, "%s: reference recursion exceeds max depth (%d) at '%s'", function, CFG_MAX_REFERENCE_RECURSION,
                at);
    read.depth_reported = true;
    return true;
}

// An evaluator of the caller's own runs outside the read under way, as a
// log sink does: the values it reads through the library are reads of their
// own, each with the whole budget and its own report of the depth limit.
// Its evaluation still counts toward the depth: an evaluator that
// substitutes what it reads with its own table recurses through
// ref_substitute, and a value that refers to itself must end that cycle as
// it ends the library's own.
// The calls of such evaluators are counted over the whole read, at every
// level, as the library's own evaluations are: an evaluator may ignore a
// refusal and go on, so one that substitutes two references of its own
// table each time would dive to the depth limit once per path, 2^32 paths.
// Past CFG_MAX_REFERENCE_EVALUATIONS calls every one fails at once.
int evaluate_apart(CfgRefEvaluator evaluate, char *reference, char *out, uint32_t room, void *arg) noexcept {
    ReadState &state = read_state();
    if (past_depth(state, state.eval_depth + 1, "ref_substitute", reference)) return CFG_ERR_UNRESOLVED;
    if (++state.apart_count > CFG_MAX_REFERENCE_EVALUATIONS) {
        if (state.apart_count == CFG_MAX_REFERENCE_EVALUATIONS + 1)
            CFG_LOG(3, "%s: evaluations of the caller's own exceed max (%d) at '%s'", "ref_substitute",
                    CFG_MAX_REFERENCE_EVALUATIONS, reference);
        return CFG_ERR_UNRESOLVED;
    }
    ReadState outer = state;
    state.eval_count = 0;
    state.depth_reported = false;
    state.unwinding = false;
    ++state.eval_depth;
    int status = evaluate(reference, out, room, arg);
    outer.apart_count = state.apart_count;
    state = outer;
    return status;
}

// The counters are picked once per evaluation or substitution: the thread
// is in its sink, or not, from the start of either to its end.
struct EvalDepth {
    ReadState &state = read_state();
    EvalDepth() noexcept {
        if (state.eval_depth++ == 0 && state.subst_depth == 0) start_read(state);
        ++state.eval_count;
    }
    ~EvalDepth() { --state.eval_depth; }
    EvalDepth(const EvalDepth &) = delete;
    EvalDepth &operator=(const EvalDepth &) = delete;
};

struct SubstDepth {
    ReadState &state = read_state();
    SubstDepth() noexcept {
        if (state.subst_depth++ == 0 && state.eval_depth == 0) start_read(state);
    }
    ~SubstDepth() { --state.subst_depth; }
    SubstDepth(const SubstDepth &) = delete;
    SubstDepth &operator=(const SubstDepth &) = delete;
};

// What the modifier of one reference asks for; a null text is "not given".
struct Modifier {
    const char *alternate = nullptr;  // +
    const char *fallback = nullptr;   // - and =
    const char *assigned = nullptr;   // =
    const char *message = nullptr;    // ?
    const char *map = nullptr;        // / and '\'
    char delimiter = '\0';
    long start = 0;    // #
    long length = -1;  // # (counts the NUL); -1: the room
};

// Appends n characters of text at out, cut to room - 1.
void append_n(char *out, uint32_t room, const char *text, std::size_t n) noexcept {
    if (room == 0) return;
    if (n > room - 1) n = room - 1;
    std::memcpy(out, text, n);
    out[n] = '\0';
}

void append(char *out, uint32_t room, const char *text) noexcept { append_n(out, room, text, std::strlen(text)); }

// Parses the item path at body and cuts it off at its ':'; fills mod.
[[nodiscard]] int parse_body(char *body, Modifier &mod) noexcept {
    const char *end = nullptr;
    int status = cfgtree::parse_identifier(body, nullptr, &end);
    while (status == CFG_OK && *end == '.') status = cfgtree::parse_identifier(end + 1, nullptr, &end);
    if (status != CFG_OK) return status;
    char *at = body + (end - body);
    if (*at == '\0') return CFG_OK;
    if (*at != ':') {
        CFG_LOG(3, "%s: invalid component separator character '%c'", "cfg_evalReference", *at);
        return CFG_ERR_SYNTAX;
    }
    *at = '\0';
    char kind = at[1];
    if (kind == '\0') return CFG_OK;
    char *arg = at + 2;
    switch (kind) {
        case '#': {
            if (char *comma = std::strchr(arg, ',')) {
                *comma = '\0';
                mod.length = std::strtol(comma + 1, nullptr, 10);
            }
            mod.start = std::strtol(arg, nullptr, 10);
            break;
        }
        case '+': mod.alternate = arg; break;
        case '-': mod.fallback = arg; break;
        case '=': mod.fallback = mod.assigned = arg; break;
        case '?': mod.message = arg; break;
        case '/':
        case '\\':
            mod.map = arg;
            mod.delimiter = kind;
            break;
        default: break;  // any other modifier is ignored
    }
    return CFG_OK;
}

// Walks a value map. With a value, the first key=result entry whose key is
// the whole value wins; otherwise (and without a value) the last default
// entry. Returns false when neither exists.
bool map_lookup(const char *map, char delimiter, const char *value, const char **result,
                std::size_t *result_len) noexcept {
    bool found = false;
    std::size_t value_len = value ? std::strlen(value) : 0;
    for (const char *p = map; *p;) {
        const char *stop = std::strchr(p, delimiter);
        if (!stop) stop = p + std::strlen(p);
        std::size_t n = static_cast<std::size_t>(stop - p);
        const char *eq = static_cast<const char *>(std::memchr(p, '=', n));
        if (n == 0) {
            // an empty entry is skipped
        } else if (!eq) {
            *result = p;
            *result_len = n;
            found = true;
        } else if (value && static_cast<std::size_t>(eq - p) == value_len && std::memcmp(p, value, value_len) == 0) {
            *result = eq + 1;
            *result_len = static_cast<std::size_t>(stop - eq - 1);
            return true;
        }
        p = *stop ? stop + 1 : stop;
    }
    return found;
}

// The item exists: apply the modifier to its value and append at out.
// An item's value through a part or map modifier. Out of line: a plain
// reference nests through expand_item, which so carries no value buffer.
[[gnu::noinline]] int expand_modified(cfg_handle item, const Modifier &mod, char *out, uint32_t room,
                                      uint32_t length) noexcept {
    char value[cfgtree::kTextSize] = {};
    int status = cfgtree::get_attr_value(item, value, sizeof value);
    if (status != CFG_OK) return status;
    if (!mod.map) {
        // a start before the value's beginning starts at the beginning
        long value_len = static_cast<long>(std::strlen(value));
        long start = mod.start < 0 ? mod.start + value_len : mod.start;
        if (start < 0) start = 0;
        if (start > value_len) start = value_len;
        if (length > 0) cfgtree::copy_bounded(out, length, value + start);
        return CFG_OK;
    }
    const char *result = nullptr;
    std::size_t result_len = 0;
    if (!map_lookup(mod.map, mod.delimiter, value, &result, &result_len)) return CFG_OK;
    if (result_len == 2 && result[0] == '$' && result[1] == '$')
        append(out, room, value);
    else
        append_n(out, room, result, result_len);
    return CFG_OK;
}

[[nodiscard]] int expand_item(cfg_handle item, const Modifier &mod, char *out, uint32_t room, uint32_t length,
                              cfgtree::Rest rest) noexcept {
    if (!cfgtree::is_attribute(item)) return CFG_ERR_UNRESOLVED;
    if (mod.alternate) {
        append(out, room, mod.alternate);
        return CFG_OK;
    }
    if (mod.start == 0 && !mod.map) return cfgtree::get_attr_value(item, out, length, rest);
    return expand_modified(item, mod, out, room, length);
}

// The item does not exist: environment, assigned default, map default,
// default, or failure.
[[nodiscard]] int expand_missing(const char *path, Modifier mod, char *out, uint32_t room) noexcept {
    if ((cfgtree::ctl_flags() & CFG_CTL_DEREFERENCE_ENV) && std::strspn(path, kEnvChars) == std::strlen(path)) {
        if (const char *env = std::getenv(path)) {
            append(out, room, mod.alternate ? mod.alternate : env);
            return CFG_OK;
        }
    }
    if (mod.assigned) {
        cfg_handle created = 0;
        int status = cfgtree::create_item(0, path, cfgtree::xid_item(), &created);
        if (status != CFG_OK) return status;
        status = cfgtree::set_attr_value(created, mod.assigned);
        if (status != CFG_OK) return status;
    }
    const char *fallback = mod.fallback;
    std::size_t fallback_len = fallback ? std::strlen(fallback) : 0;
    if (mod.map && mod.delimiter == '/') {
        const char *result = nullptr;
        if (map_lookup(mod.map, mod.delimiter, nullptr, &result, &fallback_len)) fallback = result;
    }
    if (fallback) {
        append_n(out, room, fallback, fallback_len);
        return CFG_OK;
    }
    if (mod.message)
        CFG_LOG(3, "%s: alternate substitution error for '%s':\n\t\t%s", "cfg_evalReference", path, mod.message);
    return CFG_ERR_UNRESOLVED;
}

}  // namespace

namespace cfgtree {

int ref_substitute(const char *source, char *out, uint32_t len, CfgRefTag *table, Rest rest) noexcept {
    if (!source || !out) {
        CFG_LOG(5, "%s: NULL text or output buffer", "ref_substitute");
        return ERR_NULL_ARGUMENT;
    }
    if (len == 0) return CFG_OK;  // no room even for the NUL: nothing to do
    FirstChars first(table);
    if (const char *end = first.first_in(source); *end == '\0') {
        // No open tag can start anywhere: the text is its own result.
        hand_over(out, len, source, static_cast<std::size_t>(end - source), rest);
        return CFG_OK;
    }
    SubstDepth read;
    HeapText work = dup_text(source);
    if (!work) {
        int err = errno;
        CFG_LOG(2, "%s: strdup(%s)\n\t\terrno = %d => \"%s\"", "ref_substitute", source, err, errno_text(err));
        return ERR_NO_MEMORY;
    }
    std::size_t work_len = std::strlen(work.get());
    first.build_table();
    Levels levels;
    if (!levels.allocate(0, work_len + 1 + len)) return ERR_NO_MEMORY;
    int status = CFG_OK;
    if (!scan(work.get(), work_len, len, table, first, levels, status)) return ERR_NO_MEMORY;
    if (levels.depth() > 0) {
        CFG_LOG(5, "%s: Unclosed reference at depth %d", "ref_substitute", levels.depth());
        for (int d = 1; d <= levels.depth(); ++d) levels.at(0).append(levels.at(d).buffer, levels.at(d).used);
    }
    if (status == CFG_OK) hand_over(out, len, levels.at(0).buffer, levels.at(0).used, rest);
    return status;
}

bool without_reference(const char *text, std::size_t *length) noexcept {
    static const FirstChars first(kDefaultTable);
    const char *end = first.first_in(text);
    if (*end != '\0') return false;
    *length = static_cast<std::size_t>(end - text);
    return true;
}

int ref_substitute_default(const char *source, char *out, uint32_t len, Rest rest) noexcept {
    return cfgtree::ref_substitute(source, out, len, const_cast<CfgRefTag *>(kDefaultTable), rest);
}

int eval_reference(char *reference, char *out, uint32_t room, void *arg, Rest rest) noexcept {
    (void)arg;
    if (!reference || !out) return ERR_NULL_ARGUMENT;
    EvalDepth depth;
    ReadState &read = depth.state;
    if (read.unwinding) return CFG_ERR_UNRESOLVED;
    char *body = reference;
    for (int i = 0; i < 2 && *body; ++i) ++body;  // the open tag ${
    Modifier mod;
    int status = parse_body(body, mod);
    if (status != CFG_OK) return status;
    if (past_depth(read, read.eval_depth, "cfg_evalReference", body)) return CFG_ERR_UNRESOLVED;
    if (read.eval_count > CFG_MAX_REFERENCE_EVALUATIONS) {
        CFG_LOG(3, "%s: reference evaluations exceed max (%d) at '%s'", "cfg_evalReference",
                CFG_MAX_REFERENCE_EVALUATIONS, body);
        read.unwinding = true;
        return CFG_ERR_UNRESOLVED;
    }
    // a # length counts the NUL; none, negative or beyond the room: the room
    uint32_t length = (mod.length < 0 || mod.length > static_cast<long>(room)) ? room
                                                                               : static_cast<uint32_t>(mod.length);
    cfg_handle item = 0;
    status = find_item(root(), body, &item, nullptr, nullptr);
    if (status == CFG_OK) return expand_item(item, mod, out, room, length, rest);
    if (status == CFG_NOT_FOUND) return expand_missing(body, mod, out, room);
    return status;
}

}  // namespace cfgtree

extern "C" {

CFG_API int ref_substitute(const char *source, char *out, uint32_t len, CfgRefTag *table) noexcept {
    return cfgtree::ref_substitute(source, out, len, table);
}

CFG_API int cfg_refSubstitute(const char *source, char *out, uint32_t len) noexcept {
    cfgtree::StoreLock lock;  // the default evaluator reads the tree (the lock nests)
    return cfgtree::ref_substitute_default(source, out, len);
}

// The default evaluator reads the tree, so a direct call holds the lock.
CFG_API int Cfg_Substitute(const char *source, char *out, uint32_t len) noexcept {
    cfgtree::StoreLock lock;
    return cfgtree::ref_substitute_default(source, out, len);
}

CFG_API int cfg_evalReference(char *reference, char *out, uint32_t room, void *arg) noexcept {
    return cfgtree::eval_reference(reference, out, room, arg);
}

CFG_API uint32_t Cfg_DereferenceEnv(int on) noexcept {
    return cfgtree::ctl(CFG_CTL_DEREFERENCE_ENV, on ? CFG_CTL_DEREFERENCE_ENV : 0u);
}

}  // extern "C"
