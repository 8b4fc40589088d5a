// cfg_d_set.cpp - setting attribute values.
//
// cfg_set_attr_value rewrites one attribute node as its stored name (mark
// and instance kept), '=', and the new value; Cfg_SetAttrValue finds the
// attribute from the current context, refuses identifiers written with a
// read-only mark, and creates missing attributes while create-on-set is on.
// The new text is built in a 640-byte buffer; one that would not fit is
// refused. Owns the Cfg_CreateOnSet and Cfg_IgnoreReadOnly switches.
#include "cfg_private.h"

namespace {
constexpr const char kModule[] = "cfg_d_set";
constexpr const char kSet[] = "cfg_set_attr_value";
// The store's precedence while a value is replaced.
constexpr int kSetPrecedence = 35;
}  // namespace

namespace cfgtree {

// Name, '=' and value together hold at most 639 characters (the buffer's
// size): a longer text is refused whole (-1405), never cut, so a value is
// stored as given or not at all.
int set_attr_value(cfg_handle attribute, const char *value) noexcept {
    if (attribute == 0) {
        CFG_LOG(5, "%s: NULL attribute handle", kSet);
        return CFG_ERR_NOT_ATTRIBUTE;
    }
    if (xid_of_node(attribute) != xid_item()) {
        CFG_LOG(5, "%s: invalid config. attribute at <%ld>", kSet, static_cast<long>(attribute));
        return CFG_ERR_NOT_ATTRIBUTE;
    }
    const char *stored = static_cast<const char *>(ds_get_av_ptr(attribute));
    if (!stored) {
        CFG_LOG(3, "%s: ds_get_av_ptr(%ld)", kSet, static_cast<long>(attribute));
        return ERR_NO_STORED_TEXT;
    }
    const char *end = nullptr;
    int status = parse_identifier(stored, nullptr, &end);
    if (status != CFG_OK) return status;

    char text[kTextSize];
    std::size_t joined = join_text(text, sizeof text,
                                   {std::string_view(stored, static_cast<std::size_t>(end - stored)), "=",
                                    value ? value : ""});
    if (joined >= sizeof text) {
        CFG_LOG(5, "%s: name and value longer than %zu characters at <%ld>", kSet, kTextMax,
                static_cast<long>(attribute));
        return CFG_ERR_SYNTAX;
    }
    return store_value(attribute, text, static_cast<uint16_t>(joined + 1));
}

int store_value(cfg_handle attribute, const char *text, uint16_t length) noexcept {
    int kept = ds_set_precedence(kSetPrecedence);
    int changed = ds_modify_av(attribute, text, length);
    (void)ds_set_precedence(kept);
    return changed ? CFG_OK : modify_failed(attribute);
}

int modify_failed(cfg_handle attribute) noexcept {
    CFG_LOG(3, "%s: ds_modify_av(%ld)", kSet, static_cast<long>(attribute));
    return ERR_MODIFY_FAILED;
}

int set_attr_value_id(const char *identifier, const char *value) noexcept {
    if (!identifier) return CFG_ERR_NOT_ATTRIBUTE;
    if (!value) return CFG_ERR_NO_VALUE;
    int status = CFG_OK;
    {
        StoreLock lock;
        cfg_handle attribute = 0;
        uint32_t read_only = 0;
        uint32_t *ask = (ctl_flags() & CFG_CTL_IGNORE_READ_ONLY) ? nullptr : &read_only;
        WalkMiss miss;
        bool valued = false;
        const cfg_handle start = context_start();
        status = find_item_locked(start, identifier, &attribute, nullptr, ask, &miss);
        if (status == CFG_NOT_FOUND && (ctl_flags() & CFG_CTL_CREATE_ON_SET)) {
            // A new attribute is always set, even when it inherited a mark:
            // the creation sets it. It starts from the context current now
            // (a log sink called during the lookup may have pushed or popped
            // one) and, from the same start, need not search again where the
            // lookup failed.
            const cfg_handle again = context_start();
            status = create_item(again, identifier, xid_item(), &attribute, again == start ? &miss : nullptr, value,
                                 &valued);
        } else if (status == CFG_NOT_FOUND) {
            status = CFG_NOT_CREATED;
        }
        if (status == CFG_OK && !valued) status = read_only ? CFG_READ_ONLY : set_attr_value(attribute, value);
    }
    if (status == CFG_READ_ONLY)
        CFG_LOG(5, "%s: Not setting read-only attribute '%s'", "Cfg_SetAttrValue", identifier);
    return status;
}

}  // namespace cfgtree

extern "C" {

CFG_API int cfg_set_attr_value(cfg_handle attribute, const char *value) noexcept {
    return cfgtree::set_attr_value(attribute, value);
}

CFG_API int Cfg_SetAttrValue(const char *identifier, const char *value) noexcept {
    return cfgtree::set_attr_value_id(identifier, value);
}

CFG_API uint32_t Cfg_CreateOnSet(int on) noexcept {
    return cfgtree::ctl(CFG_CTL_CREATE_ON_SET, on ? CFG_CTL_CREATE_ON_SET : 0u);
}

CFG_API uint32_t Cfg_IgnoreReadOnly(int on) noexcept {
    return cfgtree::ctl(CFG_CTL_IGNORE_READ_ONLY, on ? CFG_CTL_IGNORE_READ_ONLY : 0u);
}

}  // extern "C"
