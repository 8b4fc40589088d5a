// cfg_f_load.cpp - loads configuration files.
//
// Reads a file one line at a time (at most 639 characters a read; a regular
// file through its descriptor, in blocks of 16 KiB read ahead), expands the
// file references %(...) against the load's variables and open blocks, follows
// include lines, scans definition lines with their index ranges and stores each
// definition directly or hands it to the update tables. Owns the state of one
// load: its file stack, variable table and block (context) stack, and the
// scratch stack its nested blocks and ranges keep their buffers on. A line is
// scanned where it was read: only a line with a file reference is expanded into
// a second buffer, and only a quoted value or a range's list is cut in a copy;
// the usual definition's name is cut in place, its end put back after. Limits:
// 100 variables, 32 nested files and 256 open blocks (per thread, loads started
// from callbacks counted in), 10,000 files and 1,000,000 range definitions a
// load (counted the same way), 639-character names and lines, 2147483647 lines
// a file, 4095-character load arguments and paths.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>

#include "cfg_private.h"
#include "ds_index.h"

namespace cfgtree {
namespace {

constexpr const char kModule[] = "cfg_f_load";

// CONFIG_PATH, read once per process (null when unset): a copy, since the
// program may change or free its environment's text afterwards.
bool g_path_looked_up = false;
bool g_path_logged = false;  // the value read first has been logged (a failed copy is retried unlogged)
char *g_config_path = nullptr;

// Files being read and blocks open on this thread, by every load under way:
// a callback or handler may start a load inside a load, and every level
// holds its frames on the one stack.
thread_local int t_files_open = 0;
thread_local int t_blocks_open = 0;
// Files the outermost load under way on this thread has tried to open, and
// definitions its ranges have made, with those of every load inside it.
thread_local long t_files_loaded = 0;
thread_local int64_t t_range_definitions = 0;

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }
// isspace in the program's locale, which every line's leading and trailing
// characters are tested with. The six ASCII white-space characters are white
// space in every locale (and no locale counts another ASCII character): they
// are compared here, and only bytes past ASCII are asked of the locale.
bool is_space(char c) noexcept {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x80) return u == ' ' || (u >= '\t' && u <= '\r');
    return std::isspace(u) != 0;
}
// The first character of a line that is not white space. Indentation is
// mostly spaces, which a plain comparison skips at a fraction of is_space's
// cost (a line nested nine blocks deep starts with 18 of them).
char *skip_space(char *line) noexcept {
    for (;; ++line) {
        while (*line == ' ') ++line;
        if (!is_space(*line)) return line;
    }
}
bool direct_mode() noexcept { return (ctl_flags() & CFG_CTL_DIRECT_LOAD) != 0; }

FileEntry *top_file(const LoaderState *state) noexcept {
    return state->files ? static_cast<FileEntry *>(LS_Next(state->files, nullptr, 0, 1)) : nullptr;
}

LoaderContext *top_context(LS_List list) noexcept {
    return list ? static_cast<LoaderContext *>(LS_Next(list, nullptr, 0, 1)) : nullptr;
}

// Appends text at out, at most room - 1 characters; the last byte of room is
// always NUL.
void append_result(char *out, uint32_t room, const char *text) noexcept {
    if (room == 0) return;
    copy_bounded(out, room, text);
    out[room - 1] = '\0';
}

// ---- context modifiers ------------------------------------------------------

// Drops the last n components; false when a cut finds no '.'.
bool drop_last(char *copy, long n) noexcept {
    for (long i = 0; i < n; ++i) {
        char *dot = std::strrchr(copy, '.');
        if (!dot) return false;
        CFG_LOG(13, "%s: back one: ptr3=(%p)", "cfg_evalContext", static_cast<void *>(dot));
        *dot = '\0';
    }
    return true;
}

// Keeps the first n components (n <= 0 keeps nothing); dots are counted
// from the second character on.
bool keep_first(char *copy, long n) noexcept {
    if (n <= 0) {
        copy[0] = '\0';
        return true;
    }
    char *p = copy[0] ? copy + 1 : copy;
    for (long i = 0;; ++i) {
        p = std::strchr(p, '.');
        if (!p) return false;
        if (i + 1 == n) break;
        ++p;
    }
    *p = '\0';
    return true;
}

// Cuts at the first '.' at or after the end of the occurrence at occ.
void cut_after(char *occ, std::size_t length) noexcept {
    char *dot = std::strchr(occ + length, '.');
    if (dot) *dot = '\0';
}

// The last occurrence of text in copy; an empty text occurs last at the end
// of the copy (so it keeps the whole context).
char *last_occurrence(char *copy, const char *text) noexcept {
    if (!*text) return copy + std::strlen(copy);
    char *last = nullptr;
    for (char *p = std::strstr(copy, text); p; p = std::strstr(p + 1, text)) last = p;
    return last;
}

// Applies the modifier that starts at m to copy; false when it does not apply.
bool apply_modifier(char *copy, const char *m) noexcept {
    switch (*m) {
    case '\0':
        return true;
    case '-':
        CFG_LOG(13, "%s: numeric mod '%s'", "cfg_evalContext", m);
    {
        long number = std::strtol(m, nullptr, 10);
        return drop_last(copy, number == LONG_MIN ? LONG_MAX : -number);
    }
    case '/': {
        CFG_LOG(13, "  looking for match '/%s' in context '%s'", m + 1, copy);
        char *occ = std::strstr(copy, m + 1);
        if (occ) cut_after(occ, std::strlen(m + 1));
        return occ != nullptr;
    }
    case '\\': {
        CFG_LOG(13, "  looking for match '\\%s' in context '%s'", m + 1, copy);
        char *occ = last_occurrence(copy, m + 1);
        if (occ) cut_after(occ, std::strlen(m + 1));
        return occ != nullptr;
    }
    case 'b': {
        // A context ending in ']' without any '[' is left whole.
        std::size_t len = std::strlen(copy);
        char *open = len && copy[len - 1] == ']' ? std::strrchr(copy, '[') : nullptr;
        if (open) *open = '\0';
        return true;
    }
    default:
        CFG_LOG(13, "%s: numeric mod '%s'", "cfg_evalContext", m);
        return keep_first(copy, std::strtol(m, nullptr, 10));
    }
}

// ---- definitions --------------------------------------------------------------

int name_too_long(const char *what, const char *text) noexcept {
    CFG_LOG(3, "%s: %s exceeds %d characters: '%s'", "parse_definition", what, static_cast<int>(kTextMax), text);
    return CFG_ERR_SYNTAX;
}

// is_valid_identifier of the text [seg, end), through a NUL-terminated
// copy (the line is read in place). Out of line: its buffer stays off the
// blocks' recursion.
[[gnu::noinline]] int validate_segment(const char *seg, const char *end) noexcept {
    char text[kTextSize];
    const std::size_t length = static_cast<std::size_t>(end - seg);
    if (length >= sizeof text) return CFG_ERR_SYNTAX;  // a line holds at most 639 characters
    std::memcpy(text, seg, length);
    text[length] = '\0';
    return is_valid_identifier(text);
}

// Checks a segment [seg, stop) as far as its first blank with
// is_valid_identifier; an empty segment passes unless it must not be empty.
[[nodiscard]] int check_segment(const char *seg, const char *stop, bool even_empty) noexcept {
    // The usual segment, a plain name (at most one '!', then name characters)
    // up to a blank or its end, is what the validator accepts without a word.
    const char *name = seg + (seg < stop && *seg == '!');
    const char *after = name;
    while (after < stop && is_name_char(static_cast<unsigned char>(*after))) ++after;
    if (after > name && (after == stop || is_blank(*after))) return 0;
    const char *end = seg;
    while (end < stop && !is_blank(*end)) ++end;
    if (end == seg && !even_empty) return 0;
    return validate_segment(seg, end);
}

// A copy of text[0..length) and a NUL on the scratch stack, for a step
// that cuts the line (a quoted value, a range's list); NULL on no memory.
[[nodiscard]] char *working_copy(ScratchFrame &frame, const char *text, std::size_t length) noexcept {
    char *copy = frame.get();
    if (!copy) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

[[nodiscard]] int define_attribute(LoaderState *state, const char *name, std::size_t n, const char *seg,
                                   const char *eq) noexcept {
    const char *value = eq + 1;
    while (is_blank(*value)) ++value;
    if (*value != '"') {
        int status = check_segment(seg, eq, false);
        return status != 0 ? status : store_definition(state, name, n, value);
    }
    ++value;
    const char *close = std::strrchr(value, '"');
    if (!close) return CFG_ERR_SYNTAX;
    const auto length = static_cast<std::size_t>(close - value);
    ScratchFrame frame(state->scratch, length + 1, false);
    const char *quoted = working_copy(frame, value, length);
    if (!quoted) return ERR_NO_MEMORY;
    int status = check_segment(seg, eq, false);
    return status != 0 ? status : store_definition(state, name, n, quoted);
}

[[nodiscard]] int open_object(LoaderState *state, const char *name, std::size_t n, const char *seg,
                              const char *brace) noexcept {
    const char *p = brace + 1;
    while (is_blank(*p)) ++p;
    if (*p) return CFG_ERR_SYNTAX;
    int status = check_segment(seg, brace, false);
    if (status != 0) return status;
    return store_definition(state, name, n, nullptr);
}

// Where the next line of the file starts: the file's position less the
// bytes read ahead of it; -1 (errno set) when the file has no position.
long line_position(const FileEntry *file) noexcept {
    const ReadAhead *a = file->ahead;
    if (!a) return std::ftell(file->stream);
    off_t at = lseek(a->fd, 0, SEEK_CUR);
    if (at > LONG_MAX) return errno = EOVERFLOW, -1;
    return at < 0 ? -1 : static_cast<long>(at) - static_cast<long>(a->end - a->begin);
}

// Moves the file back to a position line_position gave: 0, or -1 with errno.
int reposition(FileEntry *file, long position) noexcept {
    ReadAhead *a = file->ahead;
    if (!a) return std::fseek(file->stream, position, SEEK_SET);
    a->reset();
    return lseek(a->fd, position, SEEK_SET) < 0 ? -1 : 0;
}

// One index range being expanded: where its line ends in the file, the name
// buffer of the scanning frame and the range variable's entry.
struct RangeRun {
    LoaderState *state;
    FileEntry *file;
    long position;  // file position just after the range line; -1: unknown
    int32_t line;   // the file's line counter at the range line
    char *name;     // the name so far; instances are written at name + length
    std::size_t length;
    int variable;  // index of the range variable's entry, or -1
    const char *rest;
    int position_error;  // errno of the failed ftell
};

// Sets the instance [index] and the range variable, repositions the file to
// the end of the range line and processes the rest of the line once.
[[nodiscard]] int run_index(const RangeRun &run, const char *index, bool numeric) noexcept {
    // Only a block read for the last index moved the stream (every line read
    // counts); otherwise it still stands after the range line. A stream
    // whose position could not be noted (a pipe) fails only here.
    if (run.file && run.file->line != run.line) {
        // Each line of a block read again counts as a definition made, so
        // that a short block range over a long block of comments cannot keep
        // a load busy for hours either.
        t_range_definitions += run.file->line - run.line;
        if (run.position < 0 || reposition(run.file, run.position) != 0) {
            int err = run.position < 0 ? run.position_error : errno;
            CFG_LOG(3, "%s: cannot reposition file '%s'\n\t\terrno = %d  => %s", "parse_definition", run.file->name,
                    err, errno_text(err));
            return ERR_READ_FAILED;
        }
        run.file->line = run.line;
    }
    if (++t_range_definitions > CFG_MAX_RANGE_DEFINITIONS) {
        CFG_LOG(3, "%s: ranges expand to more than %d definitions in file '%s' line %d", "parse_definition",
                CFG_MAX_RANGE_DEFINITIONS, run.file ? run.file->name : "<NULL>", run.file ? run.line : 0);
        return CFG_ERR_SYNTAX;
    }
    std::size_t len = std::strlen(index);
    if (run.length + len + 2 > kTextMax) return name_too_long("name with instance", run.name);
    run.name[run.length] = '[';
    std::memcpy(run.name + run.length + 1, index, len);
    run.name[run.length + len + 1] = ']';
    run.name[run.length + len + 2] = '\0';
    if (run.variable >= 0) {
        char *entry = run.state->vars.entries[run.variable];
        char *value = std::strchr(entry, '=') + 1;
        // A range variable's value must fit its 127-character entry.
        if (static_cast<std::size_t>(value - entry) + len > kVariableSize - 1) {
            CFG_LOG(3, "%s: value '%s' of range variable '%s' exceeds %d characters", "parse_definition", index,
                    entry, static_cast<int>(kVariableSize - 1));
            return CFG_ERR_SYNTAX;
        }
        std::memcpy(value, index, len + 1);
    }
    if (numeric) CFG_LOG(13, "    processing %s", run.name);
    else CFG_LOG(9, "  processing %s", run.name);
    return parse_definition(run.state, run.name, run.rest);
}

// One item of a range list: a numeric range (each index in turn, stopping at
// the first failure) or a text item taken as written.
[[nodiscard]] int expand_item(const RangeRun &run, const char *item) noexcept {
    int32_t first = 0, last = 0;
    if (get_range(item, &first, &last) != 0) return run_index(run, item, false);
    run.name[run.length] = '\0';
    CFG_LOG(13, "  range %s[%d .. %d]", run.name, first, last);
    const int64_t step = first <= last ? 1 : -1;
    int status = 0;
    for (int64_t i = first;; i += step) {
        char index[16];
        std::snprintf(index, sizeof index, "%d", static_cast<int>(i));
        status = run_index(run, index, true);
        if (status < 0 || i == last) break;
    }
    return status;
}

// The range step: name[length] is where the '[' stands in the name; bracket
// points at the '[' in the line.
[[nodiscard]] int expand_range(LoaderState *state, char *name, std::size_t length, const char *seg,
                               const char *bracket) noexcept {
    FileEntry *file = top_file(state);
    long position = file ? line_position(file) : 0;
    int position_error = position < 0 ? errno : 0;
    int status = check_segment(seg, bracket, true);
    if (status != 0) return status;
    const char *closing = std::strchr(bracket + 1, ']');
    if (!closing) return CFG_ERR_SYNTAX;
    // The list is cut in a copy of the line's rest, which each index reads.
    const std::size_t rest = std::strlen(bracket + 1);
    ScratchFrame frame(state->scratch, rest + 1, false);
    char *list = working_copy(frame, bracket + 1, rest);
    if (!list) return ERR_NO_MEMORY;
    char *close = list + (closing - (bracket + 1));
    *close = '\0';
    RangeRun run{state, file, position, file ? file->line : 0, name, length, -1, close + 1, position_error};
    if (char *eq = std::strchr(list, '=')) {
        char saved = eq[1];
        eq[1] = '\0';
        run.variable = PutEnv(&state->vars, list);
        eq[1] = saved;
        if (run.variable < 0) return ERR_NO_MEMORY;
        list = eq + 1;
    }
    for (char *item = list;;) {
        char *comma = std::strchr(item, ',');
        if (comma) *comma = '\0';
        while (is_blank(*item)) ++item;
        status = expand_item(run, item);
        if (status != 0 || !comma) break;
        item = comma + 1;
    }
    if (run.variable >= 0) {  // the slot is reclaimed by the enclosing block's mark
        cfg_mem_free(state->vars.entries[run.variable]);
        state->vars.entries[run.variable] = nullptr;
    }
    return status;
}

// ---- storing ---------------------------------------------------------------

// Length of the full name: the innermost block's name, '.', and the name.
std::size_t full_length(const LoaderContext *head, std::size_t name_length) noexcept {
    return (head ? head->length + 1 : 0) + name_length;
}

// Kept out of line so that the recursion through blocks carries no name
// buffer of its own.
[[gnu::noinline]] int filter_matches(const char *filter, const LoaderContext *head, const char *name) noexcept {
    char full[kTextSize];
    (void)join_text(full, sizeof full, {head ? head->name : "", head ? "." : "", name});
    return compare_items(filter, full, nullptr);
}

// The text full-name=value for the update tables, on the scratch stack: a
// callback may start a load, which then runs on top of this frame (a full
// name and a value of up to 639 characters each; what the tables accept is
// theirs to decide). It is copied in runs: the block's name and the line's
// name (name_length characters) are measured already.
[[nodiscard]] int send_update(LoaderState *state, const LoaderContext *head, const char *name,
                              std::size_t name_length, const char *value) noexcept {
#if defined(CFGTREE_ASSERTS)
    CFG_ASSERT(std::strlen(name) == name_length && (!head || std::strlen(head->name) == head->length));
#endif
    const std::size_t value_length = std::strlen(value);
    ScratchFrame frame(state->scratch, full_length(head, name_length) + 1 + value_length + 1);
    char *text = frame.get();
    if (!text) return ERR_NO_MEMORY;
    char *at = text;
    if (head) {
        std::memcpy(at, head->name, head->length);
        at += head->length;
        *at++ = '.';
    }
    std::memcpy(at, name, name_length);
    at += name_length;
    *at++ = '=';
    std::memcpy(at, value, value_length + 1);
    return process_load_update(text, static_cast<std::size_t>(at - text) + value_length);
}

// The object of an open block is gone when the error handler deleted it
// during the load: nothing can be made below it, and the block's lines fail
// as cfg_create_item fails for such a start, not as a refused new node.
// Only a deletion can take it, so it is looked at again only after one.
[[nodiscard]] int check_parent(const LoaderContext *head) noexcept {
    if (!head || head->item == 0) return CFG_OK;
    uint64_t now = ds_generation();
    if (now == head->checked) return CFG_OK;
    if (is_object(head->item)) {
        head->checked = now;
        return CFG_OK;
    }
    CFG_LOG(5, "%s: the object <%ld> of the block no longer exists", "store_definition",
            static_cast<long>(head->item));
    return CFG_ERR_BAD_OBJECT;
}

// plain: the name is vouched plain (create_attr_locked).
[[nodiscard]] int store_attribute(LoaderState *state, const LoaderContext *head, const char *name,
                                  std::size_t name_length, const char *value, bool plain) noexcept {
    if (state->blocked) return 0;
    if (!direct_mode()) return send_update(state, head, name, name_length, value);
    const std::size_t plain_length = plain ? name_length : 0;
    // An entry holding 0 (update mode, blocked, initial context) means the
    // configuration root: the relative name is created there as written.
    // One lock spans the creation and the set (the inner ones nest).
    StoreLock lock;
    int status = check_parent(head);
    if (status != CFG_OK) return status;
    cfg_handle parent = head ? head->item : 0;
    cfg_handle item = 0;
    bool valued = false;
    // The usual line, without create_item's second (nested) hold of the
    // lock; any other goes the whole walk.
    if (!create_attr_locked(parent, name, value, &valued, &item, &status, plain_length))
        status = create_walk(parent, name, xid_item(), &item, nullptr, value, &valued);
    if (status < 0 || valued) return status;
    return set_attr_value(item, value);
}

[[nodiscard]] int open_block(LoaderState *state, const LoaderContext *head, const char *name) noexcept {
    FileEntry *file = top_file(state);
    // Blocks nest through parse_object -> store_definition -> parse_object;
    // the bound keeps a deeply nested file, or a chain of loads started from
    // callbacks, from exhausting the stack.
    if (t_blocks_open >= kMaxOpenBlocks) {
        CFG_LOG(3, "%s: blocks nest deeper than %d in file '%s' line %d", "store_definition", kMaxOpenBlocks,
                file ? file->name : "<NULL>", file ? file->line : 0);
        return CFG_ERR_SYNTAX;
    }
    cfg_handle parent = head ? head->item : 0;
    LoaderContext *entry = PushContext(state->contexts, 0, name);
    if (!entry) return ERR_NO_MEMORY;
    const char *trace = name;
    int status = 0;
    if (direct_mode() && !state->blocked) {
        trace = nullptr;
        StoreLock lock;
        status = check_parent(head);
        if (status == CFG_OK) status = create_item(parent, name, xid_reference(), &entry->item);
    }
    if (status == 0) {
        ++t_blocks_open;
        if (file) ++file->open_blocks;
        status = parse_object(state, trace);
        if (file) --file->open_blocks;
        --t_blocks_open;
    }
    PopContext(state->contexts);
    return status;
}

// ---- files -------------------------------------------------------------------

// A file is read in pieces, as fgets(line, kTextSize, stream) reads it: a
// piece ends after its '\n' or after kTextMax bytes, NUL bytes counted in;
// the line is the piece's text up to its first NUL. The readers below hand
// out a piece in line with its text's length in *length: 1 read, 0 end of
// file, -1 read error (errno kept).

// For a pipe or device, fgets: a read may be interrupted part way, and the
// next one must not wait for more than a line.
int read_piece_stdio(FileEntry *file, char *line, std::size_t *length) noexcept {
    // The part of the line an interrupted fgets has taken into line comes
    // without its NUL: the buffer is zeroed first, so that the part is kept
    // and the read goes on after it.
    std::memset(line, 0, kTextSize);
    std::size_t got = 0;
    int result = 1;
    for (;;) {
        errno = 0;
        if (std::fgets(line + got, static_cast<int>(kTextSize - got), file->stream)) break;
        got += std::strlen(line + got);
        if (std::feof(file->stream)) {
            result = got > 0 ? 1 : 0;
            break;
        }
        if (errno != EINTR) return -1;
        std::clearerr(file->stream);
    }
    *length = std::strlen(line);
    return result;
}

// Moves the bytes not handed out yet to the front of the read-ahead buffer
// and reads more after them: 1 when some came, 0 at end of file, -1 on a
// read error (errno kept). A read either brings bytes or fails, so the
// pieces before an error are handed out first, as fgets hands them out.
int read_ahead(FileEntry *file) noexcept {
    ReadAhead &a = *file->ahead;
    const uint32_t have = a.end - a.begin;
    std::memmove(a.bytes, a.bytes + a.begin, have);
    a.nul -= a.begin;
    a.begin = 0;
    a.end = have;
    ssize_t got;
    do got = read(a.fd, a.bytes + a.end, ReadAhead::kSize - a.end);
    while (got < 0 && errno == EINTR);
    if (got <= 0) return got < 0 ? -1 : 0;
    if (a.nul == a.end) {  // no NUL so far: look for one among the new bytes
        const void *nul = std::memchr(a.bytes + a.end, '\0', static_cast<std::size_t>(got));
        a.nul = nul ? static_cast<uint32_t>(static_cast<const char *>(nul) - a.bytes) : static_cast<uint32_t>(a.end + got);
    }
    a.end += static_cast<uint32_t>(got);
    return 1;
}

// For a regular file, from its read-ahead bytes: no stdio call a line.
int read_piece_ahead(FileEntry *file, char *line, std::size_t *length) noexcept {
    ReadAhead &a = *file->ahead;
    std::size_t size = 0;  // of the piece
    for (;;) {
        const char *p = a.bytes + a.begin;
        const std::size_t have = a.end - a.begin;
        size = have < kTextMax ? have : kTextMax;
        if (const void *newline = std::memchr(p, '\n', size)) {
            size = static_cast<std::size_t>(static_cast<const char *>(newline) - p) + 1;
            break;
        }
        if (size == kTextMax) break;
        int got = read_ahead(file);
        if (got < 0) return -1;
        if (got == 0) {
            if (have == 0) return 0;
            break;  // the file's last piece, without '\n'
        }
    }
    const std::size_t text = a.nul - a.begin < size ? a.nul - a.begin : size;
    std::memcpy(line, a.bytes + a.begin, text);
    line[text] = '\0';
    *length = text;
    a.begin += static_cast<uint32_t>(size);
    if (a.nul < a.begin) {  // the NUL was in this piece: find the next one
        const void *nul = std::memchr(a.bytes + a.begin, '\0', a.end - a.begin);
        a.nul = nul ? static_cast<uint32_t>(static_cast<const char *>(nul) - a.bytes) : a.end;
    }
    return 1;
}

// Reads the next line: 1 read, 0 end of file, -1 read error (errno kept);
// *length is the line's length. The line counter is a 32-bit int: a file is
// read no further than its line 2147483647, as one that cannot be read
// (EOVERFLOW). The UTF-8 byte order mark that some editors write before a
// file's first line is no part of it (it still counts toward that line's
// first piece of 639 characters).
int read_line(FileEntry *file, char *line, std::size_t *length) noexcept {
    if (file->line == INT32_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    ++file->line;
    int got = file->ahead ? read_piece_ahead(file, line, length) : read_piece_stdio(file, line, length);
    if (got == 1 && file->line == 1 && *length >= 3 && std::memcmp(line, "\xEF\xBB\xBF", 3) == 0) {
        *length -= 3;
        std::memmove(line, line + 3, *length + 1);
    }
    return got;
}

void cut_trailing_space(char *line, std::size_t length) noexcept {
    while (length && is_space(line[length - 1])) line[--length] = '\0';
}

// Does the line hold "%(" (strstr's answer; a search for '%', which few
// lines hold, takes half its time)?
bool has_reference(const char *line) noexcept {
    for (const char *p = std::strchr(line, '%'); p; p = std::strchr(p + 1, '%'))
        if (p[1] == '(') return true;
    return false;
}

// The usual definition line, one plain name (at most one '!', then name
// characters), blanks, '=' and a value without quotes: defined as
// parse_definition defines it, the name cut where it stands (its end is put
// back after) rather than built in a buffer of its own. False, doing
// nothing, for any other line.
bool define_in_place(LoaderState *state, char *text, int *status) noexcept {
    char *end = text + (*text == '!');
    const char *const name = end;
    while (is_name_char(static_cast<unsigned char>(*end))) ++end;
    if (end == name) return false;
    const char *eq = end;
    while (is_blank(*eq)) ++eq;
    if (*eq != '=') return false;
    const char *value = eq + 1;
    while (is_blank(*value)) ++value;
    if (*value == '"') return false;
    const char saved = *end;
    *end = '\0';
    *status = store_definition(state, text, static_cast<std::size_t>(end - text), value, true);
    *end = saved;
    return true;
}

// One line of a block, from its first non-blank character: 1 when the line
// ends the block, else 0; *status is the line's status.
// expanded: kTextSize bytes for the line's expansion.
int handle_line(LoaderState *state, FileEntry *file, const char *line, char *text, char *expanded,
                int *status) noexcept {
    char *source = text;  // the line as it is, or its expansion
    if (has_reference(text)) {
        int s = cfg_substitute_line(state, text, expanded, kTextSize);
        if (s != 0) {  // the rest of the block is left unread
            *status = report_load_error(state, s, line);
            return 1;
        }
        source = expanded;
    }
    if (source[0] == '%') {
        if (PutEnv(&state->vars, source + 1) != -1) return 0;
        *status = ERR_NO_MEMORY;
        return 1;
    }
    if (source[0] == '<') {
        if (source != expanded) copy_bounded(expanded, kTextSize, source);
        char *close = std::strchr(expanded, '>');
        if (!close) {
            *status = report_load_error(state, CFG_ERR_SYNTAX, line);
            return 1;
        }
        *close = '\0';
        *status = cfg_load_file(state, expanded + 1);
        return 0;
    }
    int s = 0;
    if (!define_in_place(state, source, &s)) s = parse_definition(state, nullptr, source);
    if (s == CFG_ERR_SYNTAX)
        CFG_LOG(5, "%s: syntax error in file '%s' at line %d\n\t\t'%s'", "parse_object", file->name, file->line, line);
    *status = s != 0 ? report_load_error(state, s, line) : 0;
    return 0;
}

// A located file, opened: a regular file through its descriptor alone (read
// in blocks, see ReadAhead), anything else through a stdio stream.
struct OpenedFile {
    int fd = -1;             // a regular file
    std::size_t size = 0;    // its size
    FILE *stream = nullptr;  // anything else
};

// Opens the located path for reading (as fopen "r" would, and reported so).
[[nodiscard]] int open_path(const char *path, OpenedFile *out) noexcept {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        out->fd = fd;
        const auto size = static_cast<uintmax_t>(st.st_size > 0 ? st.st_size : 0);
        out->size = size < SIZE_MAX ? static_cast<std::size_t>(size) : SIZE_MAX;
        return 0;
    }
    if (fd >= 0 && !(out->stream = fdopen(fd, "r"))) {
        int err = errno;
        close(fd);
        errno = err;
    }
    if (!out->stream) {
        int err = errno;
        CFG_LOG(3, "%s: fopen(%s) failed\n\t\terrno = %d  => %s", "cfg_load_file", path, err, errno_text(err));
        return ERR_FILE_ACCESS;
    }
    return 0;
}

// Splits the load argument, stores its variables, locates and opens the
// file. Out of line: its two path buffers are gone before the file is read.
[[gnu::noinline]] int open_file(LoaderState *state, const char *load_argument, OpenedFile *file) noexcept {
    // Files nest at most CFG_MAX_INCLUDE_DEPTH deep, the first one included
    // and loads started from callbacks counted in, so a file that includes
    // itself, or whose callback loads it again, ends here; and one load
    // tries at most CFG_MAX_LOAD_FILES files. Passing either bound ends the
    // whole load, whatever the handler says: a file that includes itself
    // twice would otherwise go on at every level after the include that
    // fails at the depth bound (2^32 loads), and files that each include the
    // next twice make 2^depth loads.
    FileEntry *top = top_file(state);
    if (t_files_open >= CFG_MAX_INCLUDE_DEPTH) {
        CFG_LOG(3, "%s: include depth exceeds max (%d) in file '%s'", "cfg_load_file", CFG_MAX_INCLUDE_DEPTH,
                top ? top->name : load_argument);
        state->ended = true;
        return CFG_ERR_FILE_REFERENCE;
    }
    if (t_files_open == 0) t_files_loaded = t_range_definitions = 0;
    if (++t_files_loaded > CFG_MAX_LOAD_FILES) {
        CFG_LOG(3, "%s: files loaded exceed max (%d) in file '%s'", "cfg_load_file", CFG_MAX_LOAD_FILES,
                top ? top->name : load_argument);
        state->ended = true;
        return CFG_ERR_FILE_REFERENCE;
    }
    char text[kPathSize];
    copy_bounded(text, sizeof text, load_argument);
    char *p = text;
    while (*p == ',') ++p;  // leading commas belong to the name
    char *items = std::strchr(p, ',');
    if (items) *items++ = '\0';
    while (items && *items) {
        char *comma = std::strchr(items, ',');
        if (comma) *comma = '\0';
        if (*items && PutEnv(&state->vars, items) == -1) return ERR_NO_MEMORY;
        items = comma ? comma + 1 : nullptr;
    }
    char path[kPathSize];
    int status = locate_file(text, path, sizeof path);
    if (status != 0) return status;
    CFG_LOG(9, "%s: loading '%s' (len=%d)", "cfg_load_file", path, static_cast<int>(std::strlen(path)));
    status = open_path(path, file);
    // Told the file's size, the store can take a large load's memory in
    // huge pages from the start.
    if (status == 0 && file->size > 0) ds_expect(file->size);
    return status;
}

// The read-ahead buffer of a regular file, NULL when it cannot be had. The
// pages the file's bytes will fill are made present in one call.
ReadAhead *make_read_ahead(const OpenedFile &opened) noexcept {
    auto *ahead = static_cast<ReadAhead *>(cfg_mem_alloc(sizeof(ReadAhead)));
    if (!ahead) return nullptr;
    ahead->fd = opened.fd;
    ahead->reset();
    std::size_t used = opened.size < ReadAhead::kSize ? opened.size : ReadAhead::kSize;
    cfg_mem_present(ahead, offsetof(ReadAhead, bytes) + used);
    return ahead;
}

void close_file(const OpenedFile &opened) noexcept {
    if (opened.stream) std::fclose(opened.stream);
    else close(opened.fd);
}

// Reads an opened file in the current context; closes it.
[[nodiscard]] int read_file(LoaderState *state, const char *load_argument, const OpenedFile &opened) noexcept {
    // A defined %%, even empty, is the file's initial context.
    const char *initial = top_context(state->contexts) ? nullptr : GetEnv(&state->vars, "%%");
    const char *filter = GetEnv(&state->vars, "@");
    ReadAhead *ahead = opened.stream ? nullptr : make_read_ahead(opened);
    FileEntry entry{load_argument, 0, opened.stream, 0, 0, ahead};
    auto *file = opened.stream || ahead ? static_cast<FileEntry *>(LS_Add(state->files, 0, 1, &entry, 1)) : nullptr;
    if (!file) {
        int err = errno;
        CFG_LOG(3, "%s: file context push failure\n\t\terrno = %d  => %s", "cfg_load_file", err, errno_text(err));
        cfg_mem_free(ahead);
        close_file(opened);
        return ERR_NO_MEMORY;
    }
    ++t_files_open;
    int status = 0;
    bool pushed = initial && PushContext(state->contexts, 0, initial);
    if (initial && !pushed) status = ERR_NO_MEMORY;
    // An include hands the including file back its blocked state: a filter
    // given to the include alone (its load-argument variable ends with it)
    // or one that re-blocks inside a matched block would otherwise leave the
    // rest of the including file blocked.
    const int was_blocked = state->blocked;
    if (status == 0 && filter && *filter) {
        state->blocked = 1;
        CFG_LOG(6, "Filtering file load for '%s'", filter);
    }
    if (status == 0) status = parse_object(state, initial);
    if (pushed) PopContext(state->contexts);
    if (status == 0 && file->eof_in_block) {
        CFG_LOG(5, "%s: Unexpected EOF in file '%s'", "cfg_load_file", file->name);
        status = ERR_UNEXPECTED_EOF;
    }
    close_file(opened);
    cfg_mem_free(file->ahead);
    LS_Release(file, 0x7fffffff);
    --t_files_open;
    state->blocked = was_blocked;
    return status;
}

void dispose_list(LS_List list) noexcept {
    int flag = 0;
    LS_EmptyList(list, &flag);
    if (flag == 0) LS_DestroyList(list);
}

// Tries one candidate path: 0 when it exists with its owner-read bit.
[[nodiscard]] int probe(const char *path, char *out, uint32_t size) noexcept {
    struct stat info;
    if (stat(path, &info) != 0) {
        CFG_LOG(5, "%s: stat(%s): errno = %d", "cfg_locate_file", path, errno);
        return ERR_FILE_ACCESS;
    }
    if (!(info.st_mode & S_IRUSR)) {
        CFG_LOG(5, "%s: file '%s' is not readable", "cfg_locate_file", path);
        return ERR_FILE_ACCESS;
    }
    if (out) copy_bounded(out, size, path);
    return 0;
}

// A copy of CONFIG_PATH could not be made: logged, and the lookup fails.
[[nodiscard]] int path_copy_failed(int err) noexcept {
    CFG_LOG(3, "%s: strdup(envPath) failed\n\t\terrno = %d  => %s", "cfg_locate_file", err, errno_text(err));
    return ERR_NO_MEMORY;
}

[[nodiscard]] int search_path(const char *search, const char *name, char *out, uint32_t size) noexcept {
    HeapText dirs = dup_text(search);
    if (!dirs) return path_copy_failed(errno);
    char path[kPathSize];
    for (char *dir = dirs.get(); dir;) {
        char *colon = std::strchr(dir, ':');
        if (colon) *colon = '\0';
        if (*dir) {
            int n = std::snprintf(path, sizeof path, "%s/%s", dir, name);
            if (n >= 0 && static_cast<std::size_t>(n) < sizeof path) {
                if (probe(path, out, size) == 0) return 0;
            } else {  // a candidate that does not fit the path buffer is skipped
                CFG_LOG(5, "%s: path exceeds %d characters: '%s/%s'", "cfg_locate_file",
                        static_cast<int>(kPathSize - 1), dir, name);
            }
        }
        dir = colon ? colon + 1 : nullptr;
    }
    return ERR_FILE_ACCESS;
}

}  // namespace

// ---- file variables ----------------------------------------------------------

int PutEnv(VariableTable *table, const char *text) noexcept {
    if (table->count >= kMaxFileVariables) {
        CFG_LOG(3, "%s: Too many variable definitions (max=%d)", "PutEnv", kMaxFileVariables);
        return -1;
    }
    if (!text) return -1;
    CFG_LOG(13, "%s: storing variable '%s'", "PutEnv", text);
    auto *entry = static_cast<char *>(cfg_mem_alloc(kVariableSize));
    if (!entry) {
        int err = errno;
        CFG_LOG(3, "%s: env. malloc(%d) failure\n\t\terrno = %d  => %s", "PutEnv", static_cast<int>(kVariableSize),
                err, errno_text(err));
        return -1;
    }
    int index = table->count++;
    table->entries[index] = entry;
    std::size_t n = 0;
    for (const char *p = text; *p && *p != '=' && n < kVariableNameMax;) entry[n++] = *p++;
    entry[n++] = '=';
    if (const char *value = std::strchr(text, '=')) {
        for (++value; *value && n < kVariableSize - 1;) entry[n++] = *value++;
    }
    entry[n] = '\0';
    CFG_LOG(13, "%s: stored variable '%s'", "PutEnv", entry);
    return index;
}

int FindEnv(const VariableTable *table, const char *name) noexcept {
    if (!name) return -1;
    std::size_t len = std::strlen(name);
    for (int i = table->count - 1; i >= 0; --i) {
        const char *entry = table->entries[i];
        if (!entry) continue;
        CFG_LOG(13, "  comparing '%s' to env '%s'", name, entry);
        if (std::strncmp(entry, name, len) == 0 && entry[len] == '=') return i;
    }
    return -1;
}

const char *GetEnv(const VariableTable *table, const char *name) noexcept {
    int i = FindEnv(table, name);
    return i < 0 ? nullptr : std::strchr(table->entries[i], '=') + 1;
}

int TruncEnv(VariableTable *table, int mark) noexcept {
    if (mark < 0) mark = 0;
    if (mark > kMaxFileVariables) mark = kMaxFileVariables;
    if (table->count < mark) {
        table->count = mark;
        return mark;
    }
    for (int i = table->count; i >= mark; --i) {
        cfg_mem_free(table->entries[i]);
        table->entries[i] = nullptr;
    }
    table->count = mark;
    return mark;
}

// ---- the scratch stack -------------------------------------------------------

// Chunks hold frames one after another; a frame that does not fit the rest
// of its chunk goes to the next one, which is kept once made (a chunk too
// small for the frame is dropped with those after it).
namespace {
constexpr std::size_t kScratchChunk = 16 * 1024;  // a flat file's frames take 2.6 KB

void free_chunks(Scratch::Chunk *chunk) noexcept;
}  // namespace

Scratch::~Scratch() {
    Chunk *first = top_;
    while (first && first->prev) first = first->prev;
    free_chunks(first);
}

char *Scratch::push_chunk(std::size_t size, bool logged) noexcept {
    Chunk *next = top_ ? top_->next : nullptr;
    if (next && next->size < size) {
        free_chunks(next);
        top_->next = next = nullptr;
    }
    if (!next) {
        std::size_t bytes = size > kScratchChunk ? size : kScratchChunk;
        next = static_cast<Chunk *>(cfg_mem_alloc(sizeof(Chunk) + bytes));
        if (!next) {  // the line, name or update text that needed it fails with -109
            if (logged) {
                int err = errno;
                CFG_LOG(3, "%s: scratch malloc(%lu) failure\n\t\terrno = %d  => %s", "cfg_load_file",
                        static_cast<unsigned long>(sizeof(Chunk) + bytes), err, errno_text(err));
            }
            return nullptr;
        }
        *next = Chunk{top_, nullptr, bytes, 0};
        if (top_) top_->next = next;
    }
    top_ = next;
    top_->used = size;
    return top_->data();
}

namespace {
void free_chunks(Scratch::Chunk *chunk) noexcept {
    while (chunk) {
        Scratch::Chunk *next = chunk->next;
        cfg_mem_free(chunk);
        chunk = next;
    }
}
}  // namespace

// ---- loader contexts ---------------------------------------------------------

LoaderContext *PushContext(LS_List list, cfg_handle item, const char *name) noexcept {
    const LoaderContext *head = top_context(list);
    if (!name) name = "";
    // A context name holds at most 639 characters; a longer one is refused.
    char full[kTextSize];
    std::size_t n = join_text(full, sizeof full, {head ? head->name : "", head ? "." : "", name});
    if (n > kTextMax) {
        CFG_LOG(3, "%s: context name '%s.%s' exceeds %d characters", "PushContext", head ? head->name : "", name,
                static_cast<int>(kTextMax));
        return nullptr;
    }
    LoaderContext entry{item, cfg_mem_strdup(full), n};
    if (!entry.name) {
        int err = errno;
        CFG_LOG(2, "%s: strdup(): errno=%d => %s", "PushContext", err, errno_text(err));
        return nullptr;
    }
    auto *added = static_cast<LoaderContext *>(LS_Add(list, 0, 1, &entry, 1));
    if (!added) {
        CFG_LOG(3, "%s: cannot add '%s' to context stack", "PushContext", full);
        cfg_mem_free(entry.name);
    }
    return added;
}

LoaderContext *PopContext(LS_List list) noexcept {
    if (!list) return nullptr;
    if (void *head = LS_Next(list, nullptr, 0, 1)) LS_Release(head, 0x7fffffff);
    return top_context(list);
}

int FreeContext(LS_List list, void *entry) noexcept {
    (void)list;
    auto *context = static_cast<LoaderContext *>(entry);
    cfg_mem_free(context->name);
    context->name = nullptr;
    return 1;
}

// ---- file references ---------------------------------------------------------

int cfg_substitute_line(LoaderState *state, const char *line, char *out, uint32_t size) noexcept {
    // Without "%(" nothing can be expanded: the line is taken as it is.
    if (!has_reference(line)) {
        copy_bounded(out, size, line);
        return 0;
    }
    // The loader's reference tag table, made for each line: its argument is
    // the state of this load (another load may run in another thread, or in
    // a log sink while this line is expanded).
    CfgRefTag tags[2] = {{"%(", ")", &cfg_evalContext, state}, {nullptr, nullptr, nullptr, nullptr}};
    return cfgtree::ref_substitute(line, out, size, tags);
}

int cfg_evalContext(char *reference, char *out, uint32_t room, void *arg) noexcept {
    auto *state = static_cast<LoaderState *>(arg);
    const char *body = reference + 2;
    if (!(body[0] == '%' && body[1] == '%')) {
        const char *value = GetEnv(&state->vars, body);
        if (!value) {
            CFG_LOG(3, "%s: context variable '%s' not defined", "cfg_evalContext", body);
            return CFG_ERR_FILE_REFERENCE;
        }
        CFG_LOG(13, "  substituting '%s' for '%s'", value, body);
        append_result(out, room, value);
        return 0;
    }
    const LoaderContext *head = top_context(state->contexts);
    if (body[2] != ':') {
        append_result(out, room, head ? head->name : "");
        return 0;
    }
    if (!head || !head->name[0]) {
        CFG_LOG(5, "%s: Context modification '%s' with empty/no context", "cfg_evalContext", body);
        return CFG_ERR_FILE_REFERENCE;
    }
    HeapText copy = dup_text(head->name);
    if (!copy) {
        int err = errno;
        CFG_LOG(2, "%s: strdup(%s)\n\t\terrno = %d => \"%s\"", "cfg_evalContext", head->name, err, errno_text(err));
        return ERR_NO_MEMORY;
    }
    CFG_LOG(13, "%s: context substitution in context %p='%s'", "cfg_evalContext", static_cast<void *>(copy.get()),
            copy.get());
    if (!apply_modifier(copy.get(), body + 3)) return CFG_ERR_FILE_REFERENCE;
    append_result(out, room, copy.get());
    return 0;
}

// ---- the line reader -----------------------------------------------------------

// A definition line of a block names a child of the block's object: an
// attribute ("name = ..."), or an object ("name {"). In an object of many
// thousands of children the lookup of that name waits for memory (its index
// entry is in no cache); asked for now, the entry arrives while the line is
// parsed. Smaller objects, whose index stays cached, are not worth the ask:
// a level asks from its kPrefetchFrom-th line on. In update mode the
// block has no object of its own: a table's callback that stores the line
// by its full name (the usual one) looks the name up from the current
// context, and the last lookup, when it went through the block's name,
// tells the object it will look in.
constexpr uint32_t kPrefetchFrom = 16384;

// The object an update-mode block's lines are stored in, as far as the last
// lookup tells; asked again after a deletion or rename only (the store's
// generation), and while not known yet. A guess that has gone stale names
// another object or none, which only wastes the fetch.
cfg_handle guessed_parent(const LoaderContext *head) noexcept {
    if (direct_mode() || !head->length) return 0;
    uint64_t now = ds_generation();
    if (head->guess && head->guessed == now) return head->guess;
    StoreLock lock;
    head->guess = walked_object(head->name, head->length);
    head->guessed = now;
    return head->guess;
}

void prefetch_name(const LoaderState *state, const char *text) noexcept {
    const LoaderContext *head = top_context(state->contexts);
    if (!head) return;
    cfg_handle parent = head->item ? head->item : guessed_parent(head);
    if (!parent) return;
    const char *end = text;
    while (is_name_char(static_cast<unsigned char>(*end))) ++end;
    const char *next = end;
    while (is_space(*next)) ++next;
    if (end == text || (*next != '=' && *next != '{')) return;
    ds_prefetch_named(parent, *next == '=' ? xid_item() : xid_reference(), text,
                      static_cast<std::size_t>(end - text));
}

int parse_object(LoaderState *state, const char *context) noexcept {
    FileEntry *file = top_file(state);
    const int mark = state->vars.count;
    CFG_LOG(10, "%s(%s, blocked=%s)", "parse_object", context ? context : "<NULL>",
            state->blocked ? "TRUE" : "FALSE");
    int status = 0;
    ScratchFrame buffers(state->scratch, 2 * kTextSize);  // the line and its expansion
    char *line = buffers.get();
    if (!line) {
        status = ERR_NO_MEMORY;
        file = nullptr;
    }
    char *expanded = line ? line + kTextSize : nullptr;  // no offset from a null pointer
    uint32_t definitions = 0;  // definition lines read at this level so far (see prefetch_name)
    while (file) {
        std::size_t length = 0;
        int got = read_line(file, line, &length);
        if (got == 0) {
            if (file->open_blocks > 0) file->eof_in_block = 1;
            break;
        }
        if (got < 0) {
            int err = errno;
            status = ERR_READ_FAILED;
            CFG_LOG(3, "%s: read error in file '%s' line %d\n\t\terrno = %d  => %s", "parse_object", file->name,
                    file->line, err, errno_text(err));
            break;
        }
        cut_trailing_space(line, length);
        char *text = skip_space(line);
        if (!*text || *text == '#') continue;
        if (*text == '}') {
            status = 0;
            break;
        }
        if (++definitions > kPrefetchFrom) prefetch_name(state, text);
        if (handle_line(state, file, line, text, expanded, &status) != 0 || status < 0) break;
    }
    TruncEnv(&state->vars, mark);
    CFG_LOG(11, "%s(%s) = %ld", "parse_object", context ? context : "<NULL>", static_cast<long>(status));
    return status;
}

// The characters a definition's name is scanned for: blanks (left out of
// it), '.' (which ends a segment) and the characters that end the name.
struct NameStops {
    bool has[256] = {};
    constexpr NameStops() noexcept {
        for (char c : {'\0', ' ', '\t', '=', '{', '[', '.'}) has[static_cast<unsigned char>(c)] = true;
    }
};
constexpr NameStops kNameStops{};

int parse_definition(LoaderState *state, const char *prefix, const char *text) noexcept {
    if (!text) text = "";
    // The name, kept NUL-terminated as it grows; the text is read in place
    // (a step that cuts it works in a copy). A definition whose name buffer
    // cannot be had fails with -109 and no message.
    ScratchFrame buffers(state->scratch, kTextSize, false);
    char *name = buffers.get();
    if (!name) return ERR_NO_MEMORY;
    std::size_t n = 0;
    if (prefix) {
        n = std::strlen(prefix);
        if (n > kTextMax) return name_too_long("name", prefix);
        std::memcpy(name, prefix, n);
    }
    name[n] = '\0';
    const char *p = text;
    while (is_space(*p)) ++p;
    const char *seg = p;  // the current segment; its leading blanks are skipped
    for (;; ++p) {
        // Most characters only join the name: they are copied in one run.
        for (; !kNameStops.has[static_cast<unsigned char>(*p)]; ++p) {
            if (n >= kTextMax) break;
            name[n++] = *p;
        }
        name[n] = '\0';
        if (!kNameStops.has[static_cast<unsigned char>(*p)]) return name_too_long("name", name);
        switch (*p) {
        case ' ':
        case '\t':
            if (seg == p) ++seg;
            continue;
        case '\0':
            return CFG_ERR_SYNTAX;
        case '=':
            return define_attribute(state, name, n, seg, p);
        case '{':
            return open_object(state, name, n, seg, p);
        case '[':
            return expand_range(state, name, n, seg, p);
        case '.': {
            int status = check_segment(seg, p, false);
            if (status != 0) return status;
            seg = p + 1;
            break;  // the '.' joins the name
        }
        }
        if (n >= kTextMax) return name_too_long("name", name);
        name[n++] = *p;
        name[n] = '\0';
    }
}

int store_definition(LoaderState *state, const char *name, std::size_t name_length, const char *value,
                     bool plain) noexcept {
    const LoaderContext *head = top_context(state->contexts);
    // A full name holds at most 639 characters; a longer one is refused.
    if (full_length(head, name_length) > kTextMax) {
        CFG_LOG(3, "%s: full name of '%s' exceeds %d characters", "store_definition", name,
                static_cast<int>(kTextMax));
        return CFG_ERR_SYNTAX;
    }
    bool matched = false;
    if (state->blocked) {
        const char *filter = GetEnv(&state->vars, "@");
        if (filter && filter_matches(filter, head, name) == 0) {
            state->blocked = 0;
            matched = true;
        }
    }
    int status = value ? store_attribute(state, head, name, name_length, value, plain)
                       : open_block(state, head, name);
    if (matched) state->blocked = 1;
    return status;
}

// ---- loading -------------------------------------------------------------------

int report_load_error(LoaderState *state, int status, const char *line) noexcept {
    if (status == 0) return 0;
    if (state->first_error == 0) state->first_error = status;
    if (!state->handler || state->ended) return status;
    const FileEntry *file = top_file(state);
    return state->handler(file ? file->name : "", file ? file->line : 0, line, status);
}

int cfg_load_file(LoaderState *state, const char *load_argument) noexcept {
    const int mark = state->vars.count;
    CFG_LOG(10, "%s(%s)", "cfg_load_file", load_argument ? load_argument : "<NULL>");
    OpenedFile opened;
    int status = load_argument ? open_file(state, load_argument, &opened) : ERR_NO_LOAD_ARGUMENT;
    if (status == 0) status = read_file(state, load_argument, opened);
    TruncEnv(&state->vars, mark);
    CFG_LOG(11, "%s(%s)", "cfg_load_file", load_argument ? load_argument : "<NULL>");
    return status;
}

int load_file(const char *load_argument, CfgLoadErrorHandler handler) noexcept {
    LoaderState state{};
    KeptCallbackCopy kept;
    CFG_LOG(10, "%s(%s)", "CfgF_LoadFile", load_argument ? load_argument : "<NULL>");
    state.handler = handler;
    state.files = LS_CreateList(sizeof(FileEntry), 0);
    if (!state.files) {
        int err = errno;
        CFG_LOG(3, "%s: list malloc failure\n\t\terrno = %d  => %s", "CfgF_LoadFile", err, errno_text(err));
        return ERR_NO_MEMORY;
    }
    state.contexts = LS_CreateList(sizeof(LoaderContext), 0);
    if (!state.contexts) {
        int err = errno;
        CFG_LOG(3, "%s: list malloc failure\n\t\terrno = %d  => %s", "CfgF_LoadFile", err, errno_text(err));
        dispose_list(state.files);
        return ERR_NO_MEMORY;
    }
    LS_SetCallback(state.contexts, 2, &FreeContext);
    int status = cfg_load_file(&state, load_argument);
    if (status == 0) status = state.first_error;
    dispose_list(state.files);
    dispose_list(state.contexts);
    TruncEnv(&state.vars, 0);
    return status;
}

namespace {

// Tries a name as it is. One that would not fit the path buffer is refused,
// never cut.
[[nodiscard]] int probe_name(const char *name, char *out, uint32_t size) noexcept {
    if (std::strlen(name) > kPathSize - 1) {
        CFG_LOG(5, "%s: path exceeds %d characters: '%s'", "cfg_locate_file", static_cast<int>(kPathSize - 1),
                name);
        return ERR_FILE_ACCESS;
    }
    return probe(name, out, size);
}

// CONFIG_PATH's copy, made at the first call: null when it is unset, and
// when the copy failed (*status then says how the call ends). Threads that
// load at once read it once, under the lock; the copy never changes
// afterwards, so it is read without it. The messages are logged after the
// lock is let go: a log sink may hand work to a thread that needs it.
const char *search_path_value(const char *name, int *status) noexcept {
    const char *env = nullptr;
    bool first = false, failed = false;
    const char *value = nullptr;
    int err = 0;
    {
        StoreLock lock;
        if (!g_path_looked_up) {
            env = std::getenv("CONFIG_PATH");
            first = !g_path_logged;
            g_path_logged = true;
            if (env && !(g_config_path = cfg_mem_strdup(env))) {  // looked up again next time
                err = errno;
                failed = true;
            } else {
                g_path_looked_up = true;
            }
        }
        value = g_config_path;
    }
    if (first) CFG_LOG(1, "CONFIG_PATH = %s", env ? env : "<NULL>");
    *status = CFG_OK;
    // An absolute name needs no search path: it is tried as it is, with no
    // word of the copy it did not need.
    if (failed && !(name && name[0] == '/')) *status = path_copy_failed(err);
    return value;
}

}  // namespace

// A NULL name is found nowhere, before the search path is needed at all: a
// copy of it that cannot be made is no reason to fail otherwise.
int locate_file(const char *name, char *out, uint32_t size) noexcept {
    if (!name) return ERR_FILE_ACCESS;
    int status = CFG_OK;
    const char *search = search_path_value(name, &status);
    if (status != CFG_OK) return status;
    if (search && name[0] != '/') return search_path(search, name, out, size);
    return probe_name(name, out, size);
}

void reset_search_path() noexcept {
    g_path_looked_up = false;
    g_path_logged = false;
    cfg_mem_free(g_config_path);
    g_config_path = nullptr;
}

}  // namespace cfgtree

extern "C" {

CFG_API int CfgF_LoadFile(const char *load_argument, CfgLoadErrorHandler handler) noexcept {
    return cfgtree::guard(ERR_NO_MEMORY, [&] { return cfgtree::load_file(load_argument, handler); });
}

CFG_API int cfg_locate_file(const char *name, char *out, uint32_t size) noexcept {
    return cfgtree::guard(ERR_FILE_ACCESS, [&] { return cfgtree::locate_file(name, out, size); });
}

CFG_API uint32_t Cfg_DirectLoad(int on) noexcept {
    return cfgtree::ctl(CFG_CTL_DIRECT_LOAD, on ? CFG_CTL_DIRECT_LOAD : 0);
}

}  // extern "C"
