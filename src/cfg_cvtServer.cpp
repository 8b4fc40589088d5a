// cfg_cvtServer.cpp - server addresses (host and port) as attribute text.
//
// Written as the host alone when the port is below 1, else "host:port";
// read by splitting a heap copy at the last ':' (the port is strtol base 10
// of what follows, clamped to 32 bits; 0 without a ':'). The host output of
// Cfg_GetServer is unbounded: through Cfg_GetServerAttrValue a value holds
// at most 638 characters, so 639 bytes suffice there. Cfg_SetServerAttrValue
// refuses with 1 a host whose text would not fit a 640-byte value buffer.
#include "cfg_private.h"

#include <cstdlib>

namespace {

// Writes host or "host:port" into out of size bytes; 1 when it does not fit.
int format_server(const char *host, int32_t port, char *out, std::size_t size) noexcept {
    char suffix[16] = "";
    if (port >= 1) std::snprintf(suffix, sizeof suffix, ":%d", static_cast<int>(port));
    std::size_t host_length = std::strlen(host);
    std::size_t suffix_length = std::strlen(suffix);
    if (host_length >= size || suffix_length >= size - host_length) return CFG_NO_MATCH;
    std::memmove(out, host, host_length);  // host may lie inside out
    std::memcpy(out + host_length, suffix, suffix_length + 1);
    return CFG_OK;
}

}  // namespace

namespace cfgtree {

int get_server(const char *text, char *host, int32_t *port) noexcept {
    if (!text) return ERR_NULL_BUFFER;
    HeapText copy = dup_text(text);
    if (!copy) return ERR_NO_MEMORY;
    char *colon = std::strrchr(copy.get(), ':');
    int32_t number = 0;
    if (colon) {
        *colon = '\0';
        int saved = errno;
        number = clamp_int32(std::strtol(colon + 1, nullptr, 10));
        errno = saved;
    }
    if (port) *port = number;
    if (host) std::strcpy(host, copy.get());
    return CFG_OK;
}

int set_server(const char *host, int32_t port, char *text) noexcept {
    if (!text) return ERR_NULL_BUFFER;
    if (!host) return ERR_NULL_ARGUMENT;
    return format_server(host, port, text, SIZE_MAX);
}

int get_server_attr_value(const char *identifier, char *host, int32_t *port) noexcept {
    char text[kTextSize] = {};
    int status = get_attr_value_id(identifier, text, kTextMax);
    if (status != CFG_OK) return status;
    return get_server(text, host, port);
}

int set_server_attr_value(const char *identifier, const char *host, int32_t port) noexcept {
    if (!host) return ERR_NULL_ARGUMENT;
    char text[kTextSize] = {};
    int status = format_server(host, port, text, kTextSize);
    if (status != CFG_OK) return status;
    return set_attr_value_id(identifier, text);
}

}  // namespace cfgtree

extern "C" {
CFG_API int Cfg_GetServer(const char *text, char *host, int32_t *port) noexcept {
    return cfgtree::get_server(text, host, port);
}
CFG_API int Cfg_SetServer(const char *host, int32_t port, char *text) noexcept {
    return cfgtree::set_server(host, port, text);
}
CFG_API int Cfg_GetServerAttrValue(const char *identifier, char *host, int32_t *port) noexcept {
    return cfgtree::get_server_attr_value(identifier, host, port);
}
CFG_API int Cfg_SetServerAttrValue(const char *identifier, const char *host, int32_t port) noexcept {
    return cfgtree::set_server_attr_value(identifier, host, port);
}
}  // extern "C"
