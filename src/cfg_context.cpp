// cfg_context.cpp - the caller's context stack.
//
// Owns cfgContext (the current record), emptyContext (handle 0, empty name:
// the root, current when nothing is pushed) and the list of pushed records,
// newest at the head. A record owns its name ("ident.") unless the name is
// the static empty string. The stack is process-wide and unlocked: pushing
// and popping belong to one thread at a time. A failed push changes nothing.
#include "cfg_private.h"

namespace {
constexpr const char kModule[] = "cfg_context";
constexpr const char kPush[] = "Cfg_PushContext";

// The static empty name: never freed.
char g_empty_name[1] = "";

// The pushed records, created on the first push and never destroyed.
LS_List g_contexts = nullptr;

// Lists rec at the head and makes it current; false when the list refuses.
bool push_record(const CfgContext &rec) noexcept {
    auto *listed = static_cast<CfgContext *>(LS_Add(g_contexts, 0, 1, &rec, 1));
    if (!listed) return false;
    cfgContext = listed;
    return true;
}

// Checks the text of a context identifier on its heap copy (which the split
// cuts): it must split, and carry no value. 0 or the split's -1405.
int check_context_text(char *copy, const char *identifier) noexcept {
    char *part = nullptr, *instance = nullptr, *value = nullptr;
    int status = cfgtree::split(copy, &part, &instance, &value);
    if (status != CFG_OK) {
        CFG_LOG(5, "%s: invalid context identifier: '%s'", kPush, identifier);
        return status;
    }
    if (value) {
        CFG_LOG(5, "%s: AVP is invalid for context: '%s'", kPush, identifier);
        return CFG_ERR_SYNTAX;
    }
    return CFG_OK;
}

// Looks an absolute context identifier up from the root into *object.
// 0; -1402 after the message that says why not; -109 when the lookup
// cannot copy the identifier (a refused allocation is not an absence).
int context_object(const char *identifier, cfg_handle *object) noexcept {
    cfg_handle found = 0;
    int status = cfgtree::find_item(cfgtree::root(), identifier, &found, nullptr, nullptr);
    if (status == ERR_NO_MEMORY) return status;
    if (status != CFG_OK) {
        CFG_LOG(5, "%s: '%s' does not exist", kPush, identifier);
        return CFG_ERR_BAD_OBJECT;
    }
    if (!found || !cfgtree::is_object(found)) {
        CFG_LOG(5, "%s: '%s' is not a configuration object", kPush, identifier);
        return CFG_ERR_BAD_OBJECT;
    }
    *object = found;
    return CFG_OK;
}

}  // namespace

CfgContext emptyContext = {0, g_empty_name};
CfgContext *cfgContext = &emptyContext;

namespace cfgtree {

const char *get_context() noexcept {
    CfgContext *current = cfgContext;
    return current && current->name ? current->name : g_empty_name;
}

// A context identifier is absolute: it is looked up from the root, never
// from the current context. A NULL identifier pushes the root itself.
int push_context(const char *identifier) noexcept {
    CFG_LOG(7, "%s(%s)", kPush, identifier ? identifier : "<NULL>");
    if (!g_contexts) {
        g_contexts = LS_CreateList(sizeof(CfgContext), 0);
        if (!g_contexts) return ERR_NO_MEMORY;
    }
    if (!identifier) return push_record(CfgContext{0, g_empty_name}) ? CFG_OK : ERR_NO_MEMORY;

    HeapText copy = dup_text(identifier);
    if (!copy) {
        int err = errno;
        CFG_LOG(2, "%s: strdup(%s)\n\t\terrno = %d => \"%s\"", kPush, identifier, err, errno_text(err));
        return ERR_NO_MEMORY;
    }
    int status = check_context_text(copy.get(), identifier);
    if (status != CFG_OK) return status;
    cfg_handle object = 0;
    status = context_object(identifier, &object);
    if (status != CFG_OK) return status;

    // The copy becomes the record's name "identifier.".
    std::size_t size = std::strlen(identifier) + 2;
    auto *name = static_cast<char *>(cfg_mem_realloc(copy.get(), size));
    if (!name) return ERR_NO_MEMORY;  // the copy is still valid and freed
    copy.release();
    copy.reset(name);
    std::snprintf(name, size, "%s.", identifier);
    if (!push_record(CfgContext{object, name})) return ERR_NO_MEMORY;
    copy.release();  // the listed record owns the name now
    CFG_LOG(9, "%s: new context: <%ld> = '%s'", kPush, static_cast<long>(object), name);
    return CFG_OK;
}

// The current record is popped wherever it stands in the list (a program
// may point cfgContext at an older one): its successor, the record pushed
// before it, becomes current. A current record that is not in the list
// (emptyContext, or one of the program's own) stays current and the list is
// not touched. The list holds one record per push still undone: a pop finds
// the current record at its head but for such a program. Every pop reports
// the context it leaves current, once the pop is whole (a log sink may push
// or pop itself).
static bool is_listed(const CfgContext *record) noexcept {
    for (void *r = g_contexts ? LS_Next(g_contexts, nullptr, 0, 1) : nullptr; r; r = LS_Next(nullptr, r, 0, 1))
        if (r == record) return true;
    return false;
}

int pop_context() noexcept {
    CfgContext *current = cfgContext;
    if (!current) return CFG_OK;
    if (is_listed(current)) {
        auto *previous = static_cast<CfgContext *>(LS_Next(nullptr, current, 0, 1));
        cfgContext = previous ? previous : &emptyContext;
        if (current->name && current->name != g_empty_name) cfg_mem_free(current->name);
        LS_Release(current, 0x7fffffff);
    }
    CFG_LOG(9, "%s: new context: <%ld> = '%s'", "Cfg_PopContext", static_cast<long>(cfgContext->handle),
            cfgContext->name ? cfgContext->name : "");
    return CFG_OK;
}

}  // namespace cfgtree

extern "C" {

CFG_API const char *Cfg_GetContext(void) noexcept { return cfgtree::get_context(); }

CFG_API int Cfg_PushContext(const char *identifier) noexcept { return cfgtree::push_context(identifier); }

CFG_API int Cfg_PopContext(void) noexcept { return cfgtree::pop_context(); }

}  // extern "C"
