// cfg_f_put.cpp - writing a caller's own definitions to an open stream.
//
// CfgF_PutItem writes an object opening line, an attribute definition and a
// closing brace, each only when asked for and each checked against the
// definition syntax first. Texts are written exactly as given: no quoting,
// no indentation. No store access, no lock; write errors are not detected.
#include "cfg_private.h"

namespace {
constexpr const char kModule[] = "cfg_f_put";
}  // namespace

namespace cfgtree {

// A NULL stream is refused with ERR_NULL_ARGUMENT before anything is checked.
int put_item(FILE *stream, const char *object, const char *avp_text, int close) noexcept {
    if (!stream) {
        CFG_LOG(5, "%s: NULL stream", "CfgF_PutItem");
        return ERR_NULL_ARGUMENT;
    }
    if (object) {
        int status = validate_object_syntax(object);
        if (status != CFG_OK) {
            CFG_LOG(5, "%s: Invalid object name '%s'", "CfgF_PutItem", object);
            return status;
        }
        std::fprintf(stream, "%s {\n", object);
    }
    if (avp_text) {
        int status = validate_avp_syntax(avp_text);
        if (status != CFG_OK) {
            CFG_LOG(5, "%s: Invalid AVP '%s'", "CfgF_PutItem", avp_text);
            return status;
        }
        std::fprintf(stream, "%s\n", avp_text);
    }
    if (close) std::fputs("}\n", stream);
    return CFG_OK;
}

}  // namespace cfgtree

extern "C" {
CFG_API int CfgF_PutItem(FILE *stream, const char *object, const char *avp, int close) noexcept {
    return cfgtree::put_item(stream, object, avp, close);
}
}  // extern "C"
