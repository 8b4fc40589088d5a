// cfg_util.cpp - the item model: node kinds, names, read-only marks, the
// control flag word, and the two definition-syntax checks.
//
// A configuration object is an identifier node (standalone, its text the
// object's name) reached through a reference node (4 bytes: the identifier
// node's handle) under its parent; an attribute is one node whose text is
// name=value. The xids of the three kinds are looked up once. None of these
// functions takes the data-store lock: callers hold it while they use a
// returned text.
#include "cfg_private.h"
#include "ds_index.h"

#include <atomic>

namespace {
constexpr const char kModule[] = "cfg_util";

// Shared body of the two validators: 1 when the text's kind is wrong.
int validate(const char *function, const char *text, bool want_value) noexcept {
    cfgtree::HeapText copy = cfgtree::dup_text(text ? text : "");
    if (!copy) {
        int err = errno;
        CFG_LOG(3, "%s: strdup() failed\n\t\terrno = %d  => %s", function, err, cfgtree::errno_text(err));
        return ERR_NO_MEMORY;
    }
    char *value = nullptr;
    if (cfgtree::split(copy.get(), nullptr, nullptr, &value) != CFG_OK) return 0;
    bool has_value = value != nullptr;
    return has_value == want_value ? 1 : 0;
}

}  // namespace

uint32_t cfgCtl = 0x19;

namespace cfgtree {

namespace {
std::atomic<cfg_handle> g_root{0};
}  // namespace

cfg_handle root() noexcept {
    cfg_handle h = g_root.load(std::memory_order_relaxed);
    if (h) return h;
    h = ds_get_cntl_info(1);  // 0 when the store could not make it: asked again next time
    g_root.store(h, std::memory_order_relaxed);
    return h;
}

cfg_handle context_start() noexcept {
    CfgContext *current = cfgContext;
    cfg_handle h = current ? current->handle : 0;
    return h ? h : root();
}

bool is_object(cfg_handle h) noexcept { return h != 0 && xid_of_node(h) == xid_identifier(); }
bool is_attribute(cfg_handle h) noexcept { return h != 0 && xid_of_node(h) == xid_item(); }
bool is_reference(cfg_handle h) noexcept { return h != 0 && xid_of_node(h) == xid_reference(); }

const char *object_id(cfg_handle h) noexcept {
    if (h == 0) {
        CFG_LOG(5, "%s: NULL_DS object handle", "cfg_object_id");
        return nullptr;
    }
    if (is_reference(h)) h = static_cast<cfg_handle>(object_ref(h));
    if (!is_object(h)) return nullptr;
    return static_cast<const char *>(ds_get_av_ptr(h));
}

const char *avp(cfg_handle h) noexcept {
    if (h == 0) {
        CFG_LOG(5, "%s: NULL_DS object handle", "cfg_avp");
        return nullptr;
    }
    if (!is_attribute(h)) return nullptr;
    return static_cast<const char *>(ds_get_av_ptr(h));
}

long object_ref(cfg_handle h) noexcept {
    if (h == 0) {
        CFG_LOG(5, "%s: NULL_DS reference handle", "cfg_object_ref");
        return CFG_ERR_BAD_OBJECT;
    }
    if (!is_reference(h)) return 0;
    return static_cast<long>(ds_ref_target(h));
}

int is_read_only(cfg_handle h, uint32_t *flag) noexcept {
    if (h == 0) {
        CFG_LOG(5, "%s: NULL_DS item handle", "cfg_is_read_only");
        return CFG_ERR_BAD_OBJECT;
    }
    const char *text = static_cast<const char *>(ds_get_av_ptr(h));
    if (!text) {
        CFG_LOG(3, "%s: ds_get_av_ptr(%ld) == NULL, ds error = %d", "cfg_is_read_only", static_cast<long>(h),
                ds_get_error());
        return CFG_ERR_BAD_OBJECT;
    }
    uint16_t xid = xid_of_node(h);
    if (xid == xid_reference()) {
        text = object_id(h);
    } else if (xid != xid_identifier()) {
        text = nullptr;
    }
    if (!text) {
        CFG_LOG(3, "%s: Invalid config object <%ld>", "cfg_is_read_only", static_cast<long>(h));
        return CFG_ERR_BAD_OBJECT;
    }
    if (flag) *flag = text[0] == '!' ? 1u : 0u;
    return CFG_OK;
}

uint32_t ctl(uint32_t mask, uint32_t value) noexcept {
    uint32_t flags = ctl_flags();
    uint32_t previous = flags & mask;
    uint32_t updated = (value & mask) | (flags & ~mask);
    std::atomic_ref<uint32_t>(cfgCtl).store(updated, std::memory_order_relaxed);
    CFG_LOG(9, "%s: flags=0x%04x => value=0x%04x, prev=0x%04x, cfgCtl=0x%04x", "cfg_ctl", mask, value, previous,
            updated);
    return previous;
}

int validate_object_syntax(const char *text) noexcept { return validate("validate_object_syntax", text, true); }
int validate_avp_syntax(const char *text) noexcept { return validate("validate_AVP_syntax", text, false); }

}  // namespace cfgtree

namespace {
struct StatusName {
    int status;
    const char *name;
};
constexpr StatusName kStatusNames[] = {
    {CFG_OK, "CFG_OK"},
    {CFG_NO_MATCH, "CFG_NO_MATCH"},
    {CFG_NOT_CREATED, "CFG_NOT_CREATED"},
    {CFG_NOT_FOUND, "CFG_NOT_FOUND"},
    {CFG_READ_ONLY, "CFG_READ_ONLY"},
    {ERR_FILE_ACCESS, "ERR_FILE_ACCESS"},
    {ERR_NO_MEMORY, "ERR_NO_MEMORY"},
    {ERR_NULL_HANDLE, "ERR_NULL_HANDLE"},
    {ERR_NULL_ARGUMENT, "ERR_NULL_ARGUMENT"},
    {ERR_CREATE_FAILED, "ERR_CREATE_FAILED"},
    {ERR_NO_LOAD_ARGUMENT, "ERR_NO_LOAD_ARGUMENT"},
    {ERR_READ_FAILED, "ERR_READ_FAILED"},
    {ERR_NO_STORED_TEXT, "ERR_NO_STORED_TEXT"},
    {ERR_DELETE_FAILED, "ERR_DELETE_FAILED"},
    {ERR_MODIFY_FAILED, "ERR_MODIFY_FAILED"},
    {ERR_NULL_BUFFER, "ERR_NULL_BUFFER"},
    {ERR_UNEXPECTED_EOF, "ERR_UNEXPECTED_EOF"},
    {CFG_ERR_BAD_OBJECT, "CFG_ERR_BAD_OBJECT"},
    {CFG_ERR_NOT_ATTRIBUTE, "CFG_ERR_NOT_ATTRIBUTE"},
    {CFG_ERR_NO_VALUE, "CFG_ERR_NO_VALUE"},
    {CFG_ERR_SYNTAX, "CFG_ERR_SYNTAX"},
    {CFG_ERR_FILE_REFERENCE, "CFG_ERR_FILE_REFERENCE"},
    {CFG_ERR_UNRESOLVED, "CFG_ERR_UNRESOLVED"},
};
}  // namespace

extern "C" {

CFG_API const char *Cfg_StatusName(int status) noexcept {
    for (const StatusName &s : kStatusNames)
        if (s.status == status) return s.name;
    return "unknown status";
}

CFG_API int cfg_is_object(cfg_handle h) noexcept { return cfgtree::is_object(h) ? 1 : 0; }
CFG_API int cfg_is_attribute(cfg_handle h) noexcept { return cfgtree::is_attribute(h) ? 1 : 0; }
CFG_API const char *cfg_object_id(cfg_handle h) noexcept { return cfgtree::object_id(h); }
CFG_API const char *cfg_avp(cfg_handle h) noexcept { return cfgtree::avp(h); }
// These read through a node's value pointer: the lock keeps the node alive
// meanwhile (the library's own callers hold it already; it nests).
CFG_API long cfg_object_ref(cfg_handle h) noexcept {
    cfgtree::StoreLock lock;
    return cfgtree::object_ref(h);
}
CFG_API int cfg_is_read_only(cfg_handle h, uint32_t *flag) noexcept {
    cfgtree::StoreLock lock;
    return cfgtree::is_read_only(h, flag);
}
CFG_API uint32_t cfg_ctl(uint32_t mask, uint32_t value) noexcept { return cfgtree::ctl(mask, value); }
CFG_API int validate_object_syntax(const char *text) noexcept { return cfgtree::validate_object_syntax(text); }
CFG_API int validate_AVP_syntax(const char *text) noexcept { return cfgtree::validate_avp_syntax(text); }

}  // extern "C"
