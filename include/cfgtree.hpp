/*
 * cfgtree.hpp - a thin, header-only C++20 layer over the cfgtree C interface.
 *
 * Everything here calls the C functions of cfgtree.h and adds no behaviour of
 * its own: statuses are the library's codes, texts keep the library's limits
 * (639 characters), and the process-wide state (flags, context stack,
 * registered tables) is the same one the C interface changes.
 *
 *   cfgtree::FlagSwitch<Cfg_DirectLoad> direct(true);   // restored at scope end
 *   cfgtree::LoadResult r = cfgtree::load_file("app.cfg,MODE=fast");
 *   for (const auto &d : r.diagnostics) std::cerr << d.file << ':' << d.line << '\n';
 *   cfgtree::ContextGuard ctx("Server");                  // popped at scope end
 *   if (auto port = cfgtree::get<int32_t>("port")) use(*port);
 *   else std::cerr << port.status().name() << '\n';
 *
 * Nothing here throws except Result::value() on a missing value (as
 * std::expected does), UpdateTable misuse (std::logic_error), and the
 * standard library's std::bad_alloc.
 */
#ifndef CFGTREE_HPP
#define CFGTREE_HPP

// One clear message instead of errors from deep inside the layer. MSVC
// reports __cplusplus only with /Zc:__cplusplus; _MSVC_LANG always.
#if (defined(_MSVC_LANG) ? _MSVC_LANG : __cplusplus) < 202002L
#error "cfgtree.hpp needs C++20 (for example -std=c++20); C++ code on an older standard can use cfgtree.h"
#endif

#include <algorithm>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "cfgtree.h"

namespace cfgtree {
// The inline namespace keeps these names apart from the library's own
// internals when both are linked statically.
inline namespace v1 {

/** Size of the library's text buffers: 639 characters and the NUL. */
inline constexpr std::size_t text_size = 640;

/** A status code of the library with its name. */
class Status {
  public:
    constexpr Status() noexcept = default;
    constexpr explicit Status(int code) noexcept : code_(code) {}
    constexpr int code() const noexcept { return code_; }
    /** True for CFG_OK only: positive soft outcomes (105, 1403) are not ok. */
    constexpr bool ok() const noexcept { return code_ == CFG_OK; }
    /** The macro name ("CFG_ERR_SYNTAX"); static text. */
    const char *name() const noexcept { return Cfg_StatusName(code_); }
    friend constexpr bool operator==(Status a, Status b) noexcept { return a.code_ == b.code_; }
    friend constexpr bool operator==(Status a, int b) noexcept { return a.code_ == b; }

  private:
    int code_ = CFG_OK;
};

/** Thrown by Result::value() when the result holds a failure. */
class BadResultAccess : public std::exception {
  public:
    explicit BadResultAccess(Status status) noexcept : status_(status) {}
    const char *what() const noexcept override { return status_.name(); }
    Status status() const noexcept { return status_; }

  private:
    Status status_;
};

/** A value, or the status of the call that could not produce it
 *  (std::expected-style). */
template <class T>
class Result {
  public:
    Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
    Result(Status failure) : data_(std::in_place_index<1>, failure) {}

    bool has_value() const noexcept { return data_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }
    /** CFG_OK with a value, else the failure. */
    Status status() const noexcept { return has_value() ? Status() : std::get<1>(data_); }

    const T &value() const & {
        if (!has_value()) throw BadResultAccess(status());
        return std::get<0>(data_);
    }
    T &value() & {
        if (!has_value()) throw BadResultAccess(status());
        return std::get<0>(data_);
    }
    T &&value() && {
        if (!has_value()) throw BadResultAccess(status());
        return std::get<0>(std::move(data_));
    }
    template <class U>
    T value_or(U &&fallback) const & {
        return has_value() ? std::get<0>(data_) : static_cast<T>(std::forward<U>(fallback));
    }
    /** Unchecked access: only with a value. */
    const T &operator*() const & noexcept { return *std::get_if<0>(&data_); }
    T &operator*() & noexcept { return *std::get_if<0>(&data_); }
    const T *operator->() const noexcept { return std::get_if<0>(&data_); }
    T *operator->() noexcept { return std::get_if<0>(&data_); }

  private:
    std::variant<T, Status> data_;
};

/** A range value "low..high". */
struct Range {
    int32_t low = 0;
    int32_t high = 0;
    friend bool operator==(const Range &, const Range &) = default;
};

/** A server address "host:port" (port 0 when the text has none). */
struct Server {
    std::string host;
    int32_t port = 0;
    friend bool operator==(const Server &, const Server &) = default;
};

/** A byte string "0x..." . */
using Bytes = std::vector<unsigned char>;

namespace detail {
inline const char *c_str(const char *s) noexcept { return s; }
inline const char *c_str(const std::string &s) noexcept { return s.c_str(); }
// A std::string with a NUL inside names no item and holds no text the
// library can store: its C form would stand for a shorter, other text.
inline bool holds_nul(std::string_view s) noexcept { return s.find('\0') != std::string_view::npos; }
inline bool holds_nul(const char *) noexcept { return false; }
template <class T>
inline constexpr bool always_false = false;
template <class T>
inline constexpr bool is_character_v =
    std::is_same_v<std::remove_cv_t<T>, char> || std::is_same_v<std::remove_cv_t<T>, signed char> ||
    std::is_same_v<std::remove_cv_t<T>, unsigned char> || std::is_same_v<std::remove_cv_t<T>, wchar_t> ||
    std::is_same_v<std::remove_cv_t<T>, char8_t> || std::is_same_v<std::remove_cv_t<T>, char16_t> ||
    std::is_same_v<std::remove_cv_t<T>, char32_t>;
}  // namespace detail

/** Reads the attribute identifier (relative to the current context) as T:
 *  std::string (references resolved while dereferencing is on), int32_t,
 *  bool, Range, Server or Bytes. The failure is the status of the matching
 *  Cfg_Get...AttrValue: 106 not found, CFG_ERR_NOT_ATTRIBUTE for an object,
 *  CFG_ERR_UNRESOLVED, CFG_ERR_SYNTAX for a text that is no range,
 *  CFG_NO_MATCH for a text that is no byte string, ERR_NO_MEMORY;
 *  CFG_ERR_SYNTAX for a std::string identifier with a NUL inside. */
template <class T>
Result<T> get(const char *identifier) {
    int status = CFG_OK;
    if constexpr (std::is_same_v<T, std::string>) {
        char buffer[text_size] = {};
        status = Cfg_GetAttrValue(identifier, buffer, sizeof buffer);
        if (status == CFG_OK) return std::string(buffer);
    } else if constexpr (std::is_same_v<T, int32_t>) {
        int32_t value = 0;
        status = Cfg_GetIntAttrValue(identifier, &value);
        if (status == CFG_OK) return value;
    } else if constexpr (std::is_same_v<T, bool>) {
        uint32_t flag = 0;
        status = Cfg_GetBoolAttrValue(identifier, &flag);
        if (status == CFG_OK) return flag != 0;
    } else if constexpr (std::is_same_v<T, Range>) {
        Range range;
        status = Cfg_GetRangeAttrValue(identifier, &range.low, &range.high);
        if (status == CFG_OK) return range;
    } else if constexpr (std::is_same_v<T, Server>) {
        char host[text_size] = {};
        int32_t port = 0;
        status = Cfg_GetServerAttrValue(identifier, host, &port);
        if (status == CFG_OK) return Server{host, port};
    } else if constexpr (std::is_same_v<T, Bytes>) {
        // The converter reads at most 638 characters of the value: "0x" and 318 bytes.
        unsigned char bytes[text_size / 2 + 1];
        uint32_t count = 0;
        status = Cfg_GetBytesAttrValue(identifier, bytes, text_size / 2, &count);
        if (status == CFG_OK) return Bytes(bytes, bytes + count);
    } else {
        static_assert(detail::always_false<T>, "get<T>: T is std::string, int32_t, bool, Range, Server or Bytes");
    }
    return Status(status);
}
template <class T>
Result<T> get(const std::string &identifier) {
    if (detail::holds_nul(identifier)) return Status(CFG_ERR_SYNTAX);
    return get<T>(identifier.c_str());
}

/** Sets the attribute identifier (a const char * or std::string, relative
 *  to the current context) from a text, an integer, a bool, a Range, a
 *  Server or Bytes, through the matching Cfg_Set...AttrValue. Returns its
 *  status: CFG_OK, 105 (missing, create-on-set off), 1403 (read-only),
 *  CFG_ERR_NOT_ATTRIBUTE (an object), CFG_ERR_NO_VALUE (a null text),
 *  CFG_ERR_SYNTAX, ERR_NO_MEMORY, ... An integer outside the 32 bits of an
 *  attribute's integer gives CFG_NO_MATCH and stores nothing; a character
 *  type is no integer here (it does not compile). An identifier, text or
 *  host given as a std::string with a NUL inside gives CFG_ERR_SYNTAX and
 *  stores nothing. */
template <class I, class T>
Status set(const I &identifier, const T &value) {
    const char *id = detail::c_str(identifier);
    if (detail::holds_nul(identifier)) return Status(CFG_ERR_SYNTAX);
    if constexpr (std::is_same_v<T, bool>) {
        return Status(Cfg_SetBoolAttrValue(id, value ? 1u : 0u));
    } else if constexpr (std::is_integral_v<T>) {
        static_assert(!detail::is_character_v<T>, "set: a character is not an integer; pass a text or an int");
        if (!std::in_range<int32_t>(value)) return Status(CFG_NO_MATCH);
        return Status(Cfg_SetIntAttrValue(id, static_cast<int32_t>(value)));
    } else if constexpr (std::is_same_v<T, Range>) {
        return Status(Cfg_SetRangeAttrValue(id, value.low, value.high));
    } else if constexpr (std::is_same_v<T, Server>) {
        if (detail::holds_nul(value.host)) return Status(CFG_ERR_SYNTAX);
        return Status(Cfg_SetServerAttrValue(id, value.host.c_str(), value.port));
    } else if constexpr (std::is_same_v<T, Bytes>) {
        // A count past 32 bits is refused as any count too long for a text,
        // not cut to its low bits.
        auto count = static_cast<uint32_t>(std::min<std::size_t>(value.size(), UINT32_MAX));
        return Status(Cfg_SetBytesAttrValue(id, value.data(), count));
    } else if constexpr (std::is_convertible_v<const T &, const char *>) {
        return Status(Cfg_SetAttrValue(id, value));  // a null text is the library's to refuse
    } else if constexpr (std::is_convertible_v<const T &, std::string_view>) {
        std::string_view view(value);
        if (detail::holds_nul(view)) return Status(CFG_ERR_SYNTAX);
        std::string text{view};
        return Status(Cfg_SetAttrValue(id, text.c_str()));
    } else {
        static_assert(detail::always_false<T>, "set: value is a text, integer, bool, Range, Server or Bytes");
    }
}

/** True when identifier names an item from the current context. */
inline bool exists(const std::string &identifier) noexcept {
    return !detail::holds_nul(identifier) && Cfg_Find(identifier.c_str(), nullptr) == CFG_OK;
}

/** Text with its ${...} references resolved (at most 639 characters), or
 *  the substitution's status (CFG_ERR_SYNTAX for a text with a NUL inside). */
inline Result<std::string> substitute(const std::string &text) {
    if (detail::holds_nul(text)) return Status(CFG_ERR_SYNTAX);
    char buffer[text_size] = {};
    int status = Cfg_Substitute(text.c_str(), buffer, sizeof buffer);
    if (status != CFG_OK) return Status(status);
    return std::string(buffer);
}

/** Pushes a context for a scope and pops the current context at the end,
 *  when the push succeeded. Check ok() or status(): a failed push changes
 *  nothing. Code inside pops what it pushes: the guard's pop is an ordinary
 *  Cfg_PopContext. */
class ContextGuard {
  public:
    /** identifier is absolute; nullptr pushes the configuration root. */
    explicit ContextGuard(const char *identifier) noexcept : status_(Cfg_PushContext(identifier)) {}
    /** An identifier with a NUL inside pushes nothing: CFG_ERR_SYNTAX. */
    explicit ContextGuard(const std::string &identifier) noexcept
        : status_(detail::holds_nul(identifier) ? CFG_ERR_SYNTAX : Cfg_PushContext(identifier.c_str())) {}
    ~ContextGuard() {
        if (status_.ok()) (void)Cfg_PopContext();
    }
    ContextGuard(const ContextGuard &) = delete;
    ContextGuard &operator=(const ContextGuard &) = delete;

    bool ok() const noexcept { return status_.ok(); }
    /** Cfg_PushContext's status: 0, -109, CFG_ERR_SYNTAX, CFG_ERR_BAD_OBJECT. */
    Status status() const noexcept { return status_; }

  private:
    Status status_;
};

/** Sets one flag switch for a scope and gives it back its previous state at
 *  the end: FlagSwitch<Cfg_IgnoreReadOnly> force(true). Any of the six
 *  switches of cfgtree.h fits. */
template <uint32_t (*Switch)(int) noexcept>
class FlagSwitch {
  public:
    explicit FlagSwitch(bool on) noexcept : previous_(Switch(on ? 1 : 0)) {}
    ~FlagSwitch() { (void)Switch(static_cast<int>(previous_)); }
    FlagSwitch(const FlagSwitch &) = delete;
    FlagSwitch &operator=(const FlagSwitch &) = delete;
    /** True when the flag was on before this guard. */
    bool was_on() const noexcept { return previous_ != 0; }

  private:
    uint32_t previous_;
};

using CreateOnSet = FlagSwitch<Cfg_CreateOnSet>;
using IgnoreReadOnly = FlagSwitch<Cfg_IgnoreReadOnly>;
using IgnoreUpdateWarnings = FlagSwitch<Cfg_IgnoreUpdateWarnings>;
using Dereference = FlagSwitch<Cfg_Dereference>;
using DereferenceEnv = FlagSwitch<Cfg_DereferenceEnv>;
using DirectLoad = FlagSwitch<Cfg_DirectLoad>;

/** One failing line of a load, as the loader reports it. */
struct Diagnostic {
    std::string file;  // the file name as named (load argument items cut off)
    int line = 0;      // 1-based
    std::string text;  // the line as read, trailing white space cut
    Status status;
};

/** The outcome of load_file. */
struct LoadResult {
    Status status;  // CfgF_LoadFile's status: the load's, else the first failing line's
    std::vector<Diagnostic> diagnostics;
    bool ok() const noexcept { return status.ok() && diagnostics.empty(); }
};

/** What a load does after a failing line: keep_going reads on (as a
 *  handler answering 0; a line whose %(...) references fail still ends its
 *  block, see CfgLoadErrorHandler); stop ends the load at the first line
 *  that fails with a negative status, as CfgF_LoadFile does without a
 *  handler. */
enum class OnError { keep_going, stop };

namespace detail {
struct LoadCollector {
    std::vector<Diagnostic> *out;
    OnError policy;
    bool out_of_memory;
};
// The collector of the innermost load_file on this thread (loads may nest
// from callbacks; the loader's handler has no argument of its own).
inline LoadCollector *&current_collector() noexcept {
    thread_local LoadCollector *collector = nullptr;
    return collector;
}
inline std::string load_file_name(const char *argument) {
    std::string_view s = argument ? argument : "";
    std::size_t start = s.find_first_not_of(',');
    std::size_t comma = start == std::string_view::npos ? std::string_view::npos : s.find(',', start);
    return std::string(s.substr(0, comma));
}
inline int collect_failure(const char *file, int line, const char *text, int status) noexcept {
    LoadCollector *c = current_collector();
    if (!c) return status;
    try {
        c->out->push_back(Diagnostic{load_file_name(file), line, text ? text : "", Status(status)});
    } catch (const std::bad_alloc &) {
        c->out_of_memory = true;
        return ERR_NO_MEMORY;
    }
    return c->policy == OnError::keep_going ? 0 : status;
}
}  // namespace detail

/** Loads "file[,NAME=VALUE]..." through CfgF_LoadFile, collecting every
 *  failing line (see OnError). An argument with a NUL inside loads
 *  nothing: CFG_ERR_SYNTAX.
 *  Direct or update mode is whatever Cfg_DirectLoad says (see DirectLoad). */
inline LoadResult load_file(const std::string &load_argument, OnError policy = OnError::keep_going) {
    LoadResult result;
    if (detail::holds_nul(load_argument)) {
        result.status = Status(CFG_ERR_SYNTAX);
        return result;
    }
    detail::LoadCollector collector{&result.diagnostics, policy, false};
    detail::LoadCollector *outer = std::exchange(detail::current_collector(), &collector);
    int status = CfgF_LoadFile(load_argument.c_str(), detail::collect_failure);
    detail::current_collector() = outer;
    if (collector.out_of_memory) throw std::bad_alloc();
    result.status = Status(status);
    return result;
}

/** Builds an update table whose callbacks are any callables taking the
 *  item text (char *, a heap copy the callback may change) and returning a
 *  status: on("net.**", [](char *item) { return 0; }).
 *
 *  Storage: the C table that c_table() hands out, and that the registration
 *  calls pass to the library, points into this object (patterns, callables
 *  and the entry array). The library keeps a registered table until the
 *  process ends, so a table that register_notification or
 *  register_validation registered keeps that storage, and so does every
 *  sub-table it names, even when the UpdateTable is destroyed: a static one
 *  is destroyed at exit, while a later destructor or a running thread may
 *  still apply the registered tables (what its callables capture must live
 *  as long). A C table registered by other means must stay valid as the C
 *  calls say. It is neither copyable nor movable, and once its C table has
 *  been handed out, or made by a call that then threw, no entry can be
 *  added (std::logic_error).
 *
 *  A callable that throws std::bad_alloc yields ERR_NO_MEMORY; any other
 *  exception leaving it ends the program (std::terminate), as the library
 *  calls it from code that cannot unwind. */
class UpdateTable {
  public:
    using Callback = std::function<int(char *)>;

    UpdateTable() = default;
    UpdateTable(const UpdateTable &) = delete;
    UpdateTable &operator=(const UpdateTable &) = delete;
    ~UpdateTable() {
        if (!kept_) held_.storage.~Storage();
    }

    /** An entry: pattern, first callback (may be empty), a sub-table applied
     *  to the rest of the item (may be null), second callback (may be empty).
     *  A pattern with a NUL inside is refused (std::invalid_argument, a
     *  std::logic_error). */
    UpdateTable &on(std::string pattern, Callback first, UpdateTable *sub = nullptr, Callback second = {}) {
        if (frozen_) throw std::logic_error("cfgtree::UpdateTable: entry added after the table was handed out");
        if (detail::holds_nul(pattern)) throw std::invalid_argument("cfgtree::UpdateTable: a pattern with a NUL inside");
        subs_.reserve(subs_.size() + 1);  // the one step that may throw comes first
        slots_.push_back(Slot{std::move(pattern), std::move(first), std::move(second)});
        subs_.push_back(sub);
        return *this;
    }

    /** The C table (ended by a null pattern); freezes this table and every
     *  table it reaches through sub-tables. */
    CfgUpdateEntry *c_table() {
        if (!complete_) build();
        return entries_.data();
    }

    /** Cfg_NotifyRegister: 0 or -109. */
    Status register_notification() { return kept_if(Cfg_NotifyRegister(c_table())); }
    /** Cfg_ValidateRegister: 0 or -109. */
    Status register_validation() { return kept_if(Cfg_ValidateRegister(c_table())); }
    /** cfg_process_table on this table alone (no registration needed); an
     *  item with a NUL inside runs nothing: CFG_ERR_SYNTAX. */
    Status apply(const std::string &item) {
        if (detail::holds_nul(item)) return Status(CFG_ERR_SYNTAX);
        return Status(cfg_process_table(c_table(), item.c_str()));
    }

  private:
    // A registered table's storage is never let go (see above): this table
    // and every one it reaches keep theirs.
    Status kept_if(int status) noexcept {
        if (status != CFG_OK || kept_) return Status(status);
        // A walk whose list is linked through the tables themselves (no
        // allocation, no stack); a table kept already is not walked again.
        kept_ = true;
        next_kept_ = nullptr;
        for (UpdateTable *pending = this; pending;) {
            UpdateTable *t = pending;
            pending = t->next_kept_;
            for (UpdateTable *sub : t->subs_) {
                if (!sub || sub->kept_) continue;
                sub->kept_ = true;
                sub->next_kept_ = pending;
                pending = sub;
            }
        }
        return Status(status);
    }

    // Makes the arrays of this table and of every table it reaches, then
    // fills them: a walk with a list of its own, so that a chain of
    // sub-tables of any length costs no stack. An array never moves once
    // made (a table that names itself, directly or through others, gets its
    // own array back, which the library then refuses), and only making one
    // allocates: a throw leaves every array made a valid table of
    // terminators, frozen, as a table reached before may hold it already,
    // and the next call goes on from there.
    void build() {
        std::vector<UpdateTable *> reached;
        struct Unmark {
            std::vector<UpdateTable *> &tables;
            ~Unmark() {
                for (UpdateTable *t : tables) t->marked_ = false;
            }
        } unmark{reached};
        reached.push_back(this);
        marked_ = true;
        for (std::size_t next = 0; next < reached.size(); ++next) {
            UpdateTable *t = reached[next];
            t->freeze();
            for (UpdateTable *sub : t->subs_) {
                if (!sub || sub->complete_ || sub->marked_) continue;
                reached.push_back(sub);
                sub->marked_ = true;
            }
        }
        for (UpdateTable *t : reached) t->fill();
        for (UpdateTable *t : reached) t->complete_ = true;
    }
    void freeze() {
        if (frozen_) return;
        entries_.assign(slots_.size() + 1, CfgUpdateEntry{nullptr, nullptr, nullptr, nullptr, nullptr});
        frozen_ = true;
    }
    // Every sub-table's array is made by now.
    void fill() noexcept {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            Slot &s = slots_[i];
            CfgUpdateEntry *sub = subs_[i] ? subs_[i]->entries_.data() : nullptr;
            entries_[i] = CfgUpdateEntry{s.pattern.c_str(), &s, s.first ? &call_first : nullptr, sub,
                                         s.second ? &call_second : nullptr};
        }
    }

    struct Slot {
        std::string pattern;
        Callback first, second;
    };
    static int call(const Callback &fn, char *item) noexcept {
        try {
            return fn(item);
        } catch (const std::bad_alloc &) {
            return ERR_NO_MEMORY;
        }
    }
    static int call_first(char *item, void *arg) noexcept { return call(static_cast<Slot *>(arg)->first, item); }
    static int call_second(char *item, void *arg) noexcept { return call(static_cast<Slot *>(arg)->second, item); }

    // What the C table points into, held so that the destructor can leave
    // it in place (kept_).
    struct Storage {
        std::deque<Slot> slots;  // a deque keeps every slot's address while entries are added
        std::vector<UpdateTable *> subs;
        std::vector<CfgUpdateEntry> entries;
    };
    union Held {
        Storage storage;
        Held() : storage() {}
        ~Held() {}
    } held_;
    std::deque<Slot> &slots_ = held_.storage.slots;
    std::vector<UpdateTable *> &subs_ = held_.storage.subs;
    std::vector<CfgUpdateEntry> &entries_ = held_.storage.entries;
    bool frozen_ = false;    // the array is made: no entry can be added
    bool complete_ = false;  // this table and every one it reaches are filled
    bool marked_ = false;    // reached by the build under way
    bool kept_ = false;      // registered: the storage outlives this object
    UpdateTable *next_kept_ = nullptr;  // the walk that keeps sub-tables
};

}  // namespace v1
}  // namespace cfgtree

#endif /* CFGTREE_HPP */
