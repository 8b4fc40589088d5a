// fuzz_substitute.cpp - reference substitution over a tree of fuzzed values.
//
// The input's lines are: a text to substitute, then the values of a few
// attributes at fixed paths (so values can refer to each other and to
// themselves). Every attribute is read through Cfg_GetAttrValue with
// buffers of several sizes, the text through Cfg_Substitute, with and
// without environment fallback, and the whole tree is saved. Checked: a
// result always ends inside its buffer; a failed substitution leaves the
// caller's buffer as it was (Cfg_GetAttrValue: all but its last byte); with
// dereferencing off a value reads back exactly as stored.
#include "fuzz_support.h"

namespace {

const char *const kPaths[] = {"a", "b", "o.c", "o.d[1]", "o.d[2]", "FUZZ_ENV", "p.q.r", "!ro.v"};
constexpr std::size_t kPathCount = sizeof kPaths / sizeof kPaths[0];
const uint32_t kSizes[] = {640, 17, 2, 1};
// Values that refer to others many times make work grow exponentially
// with the depth of the chain; a smaller budget keeps such inputs quick.
// Only the values that hold references take an allocation when read, so a
// thousand still lets a read nest to the depth limit (the seeds reach it).
// A minute's run from the seeds tried four times the inputs that it did
// with 5,000, and covered more; neither reached the limit on evaluations
// (the unit tests do).
constexpr int kBudget = 1000;
constexpr unsigned char kFill = 0xA5;

// A heap buffer of exactly size bytes, so any write past it is caught.
struct Buffer {
    explicit Buffer(uint32_t n) : size(n), bytes(new char[n]) { std::memset(bytes, kFill, n); }
    ~Buffer() { delete[] bytes; }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    bool untouched(uint32_t upto) const {
        for (uint32_t i = 0; i < upto; ++i)
            if (static_cast<unsigned char>(bytes[i]) != kFill) return false;
        return true;
    }
    bool ends_inside() const { return std::memchr(bytes, '\0', size) != nullptr; }
    uint32_t size;
    char *bytes;
};

void substitute(const std::string &text) {
    for (uint32_t size : kSizes) {
        Buffer out(size);
        int status = Cfg_Substitute(text.c_str(), out.bytes, size);
        if (status != CFG_OK) {
            if (!out.untouched(size)) fuzz::fail("Cfg_Substitute = %d wrote its buffer", status);
            continue;
        }
        if (!out.ends_inside()) fuzz::fail("Cfg_Substitute result is not ended inside %u bytes", size);
        std::size_t len = std::strlen(out.bytes);
        for (uint32_t i = static_cast<uint32_t>(len); i < size; ++i)
            if (out.bytes[i] != '\0') fuzz::fail("Cfg_Substitute left byte %u after the result unzeroed", i);
    }
}

void read_values() {
    for (const char *path : kPaths) {
        for (uint32_t size : kSizes) {
            Buffer out(size);
            int status = Cfg_GetAttrValue(path, out.bytes, size);
            if (status == CFG_NOT_FOUND || status == CFG_ERR_NOT_ATTRIBUTE) {
                if (!out.untouched(size)) fuzz::fail("failed lookup of %s wrote the buffer", path);
                continue;
            }
            // No memory: either for the lookup's copy (nothing written) or
            // within the substitution (only the last byte written).
            if (status == ERR_NO_MEMORY && out.untouched(size)) continue;
            if (out.bytes[size - 1] != '\0') fuzz::fail("Cfg_GetAttrValue(%s) left the last byte set", path);
            if (status != CFG_OK && !out.untouched(size - 1))
                fuzz::fail("Cfg_GetAttrValue(%s) = %d changed the buffer", path, status);
        }
    }
}

// With dereferencing off a value reads back as the stored text, cut.
void read_raw_values() {
    (void)Cfg_Dereference(0);
    for (const char *path : kPaths) {
        char value[640];
        int status = Cfg_GetAttrValue(path, value, sizeof value);
        if (status != CFG_OK) continue;
        ds_lock();
        const char *raw = nullptr;
        int found = Cfg_GetAttrValuePtr(path, &raw);
        bool same = found == CFG_OK && std::strncmp(raw, value, sizeof value - 1) == 0;
        ds_unlock();
        if (!same) fuzz::fail("raw read of %s differs from its stored value", path);
    }
    (void)Cfg_Dereference(1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("FUZZ_ENV", "from-env", 1);
    setenv("FUZZ_EMPTY", "", 1);
    fuzz::install_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::vector<std::string> lines = fuzz::lines_of(data, size, kPathCount + 1);
    {
        fuzz::Budget budget(kBudget);
        for (std::size_t i = 1; i < lines.size(); ++i) (void)Cfg_SetAttrValue(kPaths[i - 1], lines[i].c_str());
    }
    for (int env = 1; env >= 0; --env) {
        (void)Cfg_DereferenceEnv(env);
        fuzz::Budget budget(kBudget);
        substitute(lines[0]);
        read_values();
    }
    {
        fuzz::Budget budget(kBudget);
        read_raw_values();
        FILE *sink = std::fopen("/dev/null", "w");
        if (sink) {
            (void)Cfg_Save(nullptr, sink);
            std::fclose(sink);
        }
    }
    fuzz::reset_library();
    return 0;
}
