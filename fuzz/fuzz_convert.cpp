// fuzz_convert.cpp - the typed converters.
//
// The first 12 bytes of the input give two integers and a buffer size, the
// rest is a text. Every get converter reads the text (into exact-size heap
// buffers), every set converter writes values taken from the input, and
// what a set converter wrote must read back as the same value, at the text
// level and through an attribute of the tree.
#include <algorithm>

#include "fuzz_support.h"

namespace {

int32_t take_int(const uint8_t *&data, std::size_t &size) {
    uint32_t v = 0;
    for (int i = 0; i < 4 && size; ++i, ++data, --size) v = (v << 8) | *data;
    return static_cast<int32_t>(v);
}

void text_level(const std::string &text, int32_t low, int32_t high, uint32_t room) {
    uint32_t flag = 7;
    (void)Cfg_GetBool(text.c_str(), &flag);
    bool expect_false = text.empty() || text[0] == 'F' || text[0] == 'f' || text[0] == '0';
    if (flag != (expect_false ? 0u : 1u)) fuzz::fail("Cfg_GetBool('%s') = %u", text.c_str(), flag);
    int32_t number = 0;
    (void)Cfg_GetInt(text.c_str(), &number);
    int32_t a = 0, b = 0;
    (void)Cfg_GetRange(text.c_str(), &a, &b);

    std::vector<unsigned char> bytes(room + 1);
    uint32_t count = 0;
    if (Cfg_GetBytes(text.c_str(), bytes.data(), room, &count) == CFG_OK && count > room)
        fuzz::fail("Cfg_GetBytes decoded %u bytes into %u", count, room);
    std::vector<char> host(text.size() + 1);
    int32_t port = 0;
    if (Cfg_GetServer(text.c_str(), host.data(), &port) == CFG_OK) {
        std::size_t colon = text.rfind(':');
        if (text.compare(0, colon, host.data()) != 0) fuzz::fail("Cfg_GetServer host of '%s'", text.c_str());
    }

    char buffer[25];
    (void)Cfg_SetInt(low, buffer);
    if (Cfg_GetInt(buffer, &number) != CFG_OK || number != low) fuzz::fail("integer %d does not read back", low);
    if (Cfg_SetRange(low, high, buffer) != CFG_OK || Cfg_GetRange(buffer, &a, &b) != CFG_OK || a != low || b != high)
        fuzz::fail("range %d..%d does not read back", low, high);
    (void)Cfg_SetBool(static_cast<uint32_t>(low), buffer);
    if (Cfg_GetBool(buffer, &flag) != CFG_OK || flag != (low ? 1u : 0u)) fuzz::fail("boolean does not read back");

    // The text's own bytes as a byte string, into a buffer of room bytes.
    std::vector<char> encoded(room ? room : 1);
    uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(text.size(), 1000));
    int status = Cfg_SetBytes(reinterpret_cast<const unsigned char *>(text.data()), n, encoded.data(), room);
    if ((status == CFG_OK) != (2ull * n + 3 <= room)) fuzz::fail("Cfg_SetBytes(%u bytes, %u) = %d", n, room, status);
    if (status == CFG_OK) {
        std::vector<unsigned char> decoded(n + 1);
        if (Cfg_GetBytes(encoded.data(), decoded.data(), n, &count) != CFG_OK || count != n ||
            std::memcmp(decoded.data(), text.data(), n) != 0)
            fuzz::fail("%u bytes do not read back", n);
    }

    // The text up to its first ':' as a host.
    std::string plain = text.substr(0, std::min(text.find(':'), std::size_t{600}));
    std::vector<char> server(plain.size() + 13);
    if (Cfg_SetServer(plain.c_str(), high, server.data()) != CFG_OK) fuzz::fail("Cfg_SetServer");
    std::vector<char> host_back(server.size());
    if (Cfg_GetServer(server.data(), host_back.data(), &port) != CFG_OK || plain != host_back.data() ||
        port != (high > 0 ? high : 0))
        fuzz::fail("server '%s' port %d does not read back", plain.c_str(), high);
}

void attribute_level(const std::string &text, int32_t low, int32_t high) {
    int32_t a = 0, b = 0;
    if (Cfg_SetIntAttrValue("cv.i", low) != CFG_OK || Cfg_GetIntAttrValue("cv.i", &a) != CFG_OK || a != low)
        fuzz::fail("integer attribute %d", low);
    if (Cfg_SetRangeAttrValue("cv.r", low, high) != CFG_OK || Cfg_GetRangeAttrValue("cv.r", &a, &b) != CFG_OK ||
        a != low || b != high)
        fuzz::fail("range attribute %d..%d", low, high);
    uint32_t flag = 0;
    if (Cfg_SetBoolAttrValue("cv.f", static_cast<uint32_t>(high)) != CFG_OK ||
        Cfg_GetBoolAttrValue("cv.f", &flag) != CFG_OK || flag != (high ? 1u : 0u))
        fuzz::fail("boolean attribute");
    uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(text.size(), 400));
    int status = Cfg_SetBytesAttrValue("cv.y", reinterpret_cast<const unsigned char *>(text.data()), n);
    // 318 bytes still encode into 640 bytes, but "y=" and 638 digits do not
    // fit an attribute text of 639 characters: the last byte that round-trips
    // is the 317th.
    if (n > 318 && status != CFG_NO_MATCH) fuzz::fail("Cfg_SetBytesAttrValue(%u bytes) = %d", n, status);
    if (n <= 317 && status != CFG_OK) fuzz::fail("Cfg_SetBytesAttrValue(%u bytes) = %d", n, status);
    unsigned char bytes[320];
    uint32_t count = 0;
    if (n <= 317 &&
        (Cfg_GetBytesAttrValue("cv.y", bytes, 319, &count) != CFG_OK || count != n || std::memcmp(bytes, text.data(), n)))
        fuzz::fail("bytes attribute of %u bytes", n);

    // The text as a value of its own, read by every converter.
    (void)Cfg_SetAttrValue("cv.t", text.c_str());
    char host[640];
    int32_t port = 0;
    (void)Cfg_GetBoolAttrValue("cv.t", &flag);
    (void)Cfg_GetIntAttrValue("cv.t", &a);
    (void)Cfg_GetRangeAttrValue("cv.t", &a, &b);
    (void)Cfg_GetBytesAttrValue("cv.t", bytes, 319, &count);
    (void)Cfg_GetServerAttrValue("cv.t", host, &port);
    (void)Cfg_SetServerAttrValue("cv.s", text.substr(0, 600).c_str(), low);
    (void)Cfg_GetServerAttrValue("cv.s", host, &port);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::install_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    int32_t low = take_int(data, size);
    int32_t high = take_int(data, size);
    uint32_t room = static_cast<uint32_t>(take_int(data, size)) % 2048;
    std::string text;
    for (std::size_t i = 0; i < size && data[i]; ++i) text += static_cast<char>(data[i]);
    text_level(text, low, high, room);
    {
        fuzz::Budget budget;
        (void)Cfg_Dereference(0);
        attribute_level(text, low, high);
        (void)Cfg_Dereference(1);
        attribute_level(text, low, high);
    }
    fuzz::reset_library();
    return 0;
}
