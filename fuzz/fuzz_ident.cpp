// fuzz_ident.cpp - identifiers: parsing, validation, matching, splitting,
// and the tree operations that walk them.
//
// The input's first two lines are a pattern and a subject (the third, when
// present, a value). Every text routine runs on exact-size heap copies, so a
// read or write past a text is caught. Checked besides: out pointers stay
// inside their text; a failed Cfg_Split leaves its text unchanged; a
// well-formed identifier matches itself; and on an empty tree, an item that
// cfg_create_item made is what cfg_find_item finds, reads back the value
// that was set, and is gone after cfg_delete_item. CfgF_PutItem writes a
// piece its validator accepts exactly as given, and nothing after a refusal.
#include <algorithm>

#include "fuzz_support.h"

namespace {

// An exact-size heap copy of a text.
struct Copy {
    explicit Copy(const std::string &text) : size(text.size() + 1), bytes(new char[size]) {
        std::memcpy(bytes, text.c_str(), size);
    }
    ~Copy() { delete[] bytes; }
    Copy(const Copy &) = delete;
    Copy &operator=(const Copy &) = delete;
    bool holds(const char *p) const { return p >= bytes && p < bytes + size; }
    std::size_t size;
    char *bytes;
};

void check_inside(const Copy &text, const char *p, const char *what) {
    if (p && !text.holds(p)) fuzz::fail("%s points outside its text", what);
}

void parse_texts(const std::string &text) {
    Copy c(text);
    const char *instance = nullptr, *end = nullptr;
    if (cfg_parse_identifier(c.bytes, &instance, &end) == CFG_OK) {
        check_inside(c, instance, "cfg_parse_identifier instance");
        check_inside(c, end, "cfg_parse_identifier end");
    }
    char name[640], inst[640];
    if (cfg_split_identifier(c.bytes, name, inst, &end) == CFG_OK) check_inside(c, end, "cfg_split_identifier end");
    (void)cfg_split_identifier(c.bytes, name, nullptr, nullptr);
    (void)is_valid_identifier(c.bytes);
    int status = is_valid_item(c.bytes);
    if (status != CFG_OK && status != CFG_ERR_SYNTAX && status != ERR_NO_MEMORY)
        fuzz::fail("is_valid_item = %d", status);
    status = validate_object_syntax(c.bytes);
    if (status != 0 && status != 1 && status != ERR_NO_MEMORY) fuzz::fail("validate_object_syntax = %d", status);
    status = validate_AVP_syntax(c.bytes);
    if (status != 0 && status != 1 && status != ERR_NO_MEMORY) fuzz::fail("validate_AVP_syntax = %d", status);
    if (std::strcmp(c.bytes, text.c_str()) != 0) fuzz::fail("a checking routine changed its text");
}

// The pattern as an object line, the subject as an attribute line.
void put_texts(const std::string &object, const std::string &avp) {
    char *written = nullptr;
    std::size_t length = 0;
    FILE *stream = open_memstream(&written, &length);
    if (!stream) return;
    Copy o(object), a(avp);
    int status = CfgF_PutItem(stream, o.bytes, a.bytes, 1);
    std::fclose(stream);
    std::string want;
    int object_ok = validate_object_syntax(object.c_str());
    if (object_ok == CFG_OK) want += object + " {\n";
    if (object_ok == CFG_OK && status == CFG_OK) want += avp + "\n}\n";
    bool same = std::string(written, length) == want;
    std::free(written);
    if (status != CFG_OK && status != 1 && status != ERR_NO_MEMORY) fuzz::fail("CfgF_PutItem = %d", status);
    if (!same) fuzz::fail("CfgF_PutItem = %d wrote other than its pieces", status);
}

void split_text(const std::string &text) {
    Copy c(text);
    char *identifier = nullptr, *instance = nullptr, *value = nullptr;
    int status = Cfg_Split(c.bytes, &identifier, &instance, &value);
    if (status != CFG_OK) {
        if (std::memcmp(c.bytes, text.c_str(), c.size) != 0) fuzz::fail("failed Cfg_Split changed its text");
        return;
    }
    check_inside(c, identifier, "Cfg_Split identifier");
    check_inside(c, instance, "Cfg_Split instance");
    check_inside(c, value, "Cfg_Split value");
    Copy again(text);
    (void)Cfg_Split(again.bytes, nullptr, nullptr, nullptr);
}

void match(const std::string &pattern, const std::string &subject) {
    Copy p(pattern), s(subject);
    const char *rest = nullptr;
    int status = cfg_compare_items(p.bytes, s.bytes, &rest);
    if (status == CFG_OK && !s.holds(rest)) fuzz::fail("cfg_compare_items rest outside the subject");
    if (status != CFG_OK && rest) fuzz::fail("cfg_compare_items = %d set the rest", status);
    (void)cfg_match_token(reinterpret_cast<const unsigned char *>(p.bytes),
                          reinterpret_cast<const unsigned char *>(s.bytes));
}

// Every dot-separated part is one whole component the validator accepts:
// the finder (which cuts at dots) and the creator (which parses
// components) then read the identifier the same way.
bool well_formed(const std::string &id) {
    if (id.empty() || id.size() > 2000) return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = id.find('.', start);
        std::string part = id.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        const char *end = nullptr;
        if (part.empty() || part.size() > 600 || is_valid_identifier(part.c_str()) != CFG_OK ||
            cfg_parse_identifier(part.c_str(), nullptr, &end) != CFG_OK || *end != '\0')
            return false;
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

void tree_consistency(const std::string &id, const std::string &value) {
    const uint16_t kinds[] = {fuzz::item_xid(), fuzz::ref_xid()};
    for (uint16_t kind : kinds) {
        cfg_handle made = 0, found = 0;
        int status = cfg_create_item(0, id.c_str(), kind, &made);
        if (status != CFG_OK) fuzz::fail("cfg_create_item('%s') of a well-formed identifier = %d", id.c_str(), status);
        status = cfg_find_item(0, id.c_str(), &found, nullptr, nullptr);
        if (status != CFG_OK || found != made) fuzz::fail("cfg_find_item('%s') does not find what was created", id.c_str());
        status = cfg_delete_item(0, id.c_str());
        if (status != CFG_OK) fuzz::fail("cfg_delete_item('%s') = %d", id.c_str(), status);
        status = cfg_find_item(0, id.c_str(), &found, nullptr, nullptr);
        if (status != CFG_NOT_FOUND) fuzz::fail("'%s' is still found after its deletion", id.c_str());
        fuzz::reset_library();
    }
    (void)Cfg_Dereference(0);
    (void)Cfg_IgnoreReadOnly(1);
    int status = Cfg_SetAttrValue(id.c_str(), value.c_str());
    char back[640];
    int read = Cfg_GetAttrValue(id.c_str(), back, sizeof back);
    if (status == CFG_OK) {
        std::size_t room = 639 - std::min<std::size_t>(639, id.size() + 2);
        if (read != CFG_OK) fuzz::fail("a value set on '%s' cannot be read (%d)", id.c_str(), read);
        if (value.compare(0, std::strlen(back), back) != 0) fuzz::fail("'%s' reads back another value", id.c_str());
        if (value.size() <= room && value != back) fuzz::fail("'%s' reads back a cut value", id.c_str());
    }
    if (Cfg_PushContext(id.c_str()) == CFG_OK) (void)Cfg_PopContext();
    fuzz::reset_library();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::install_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::vector<std::string> lines = fuzz::lines_of(data, size, 3);
    const std::string &pattern = lines[0];
    const std::string &subject = lines.size() > 1 ? lines[1] : lines[0];
    const std::string value = lines.size() > 2 ? lines[2] : "v";
    for (const std::string *text : {&pattern, &subject}) {
        parse_texts(*text);
        split_text(*text);
    }
    put_texts(pattern, subject);
    match(pattern, subject);
    match(subject, pattern);
    if (well_formed(pattern)) {
        const char *rest = nullptr;
        if (cfg_compare_items(pattern.c_str(), pattern.c_str(), &rest) != CFG_OK || *rest != '\0')
            fuzz::fail("'%s' does not match itself", pattern.c_str());
        tree_consistency(pattern, value);
    }

    // Identifiers of any shape against a small tree.
    (void)Cfg_SetAttrValue("a.b[1].c", "1");
    (void)Cfg_SetAttrValue("a.b[2].c", "2");
    (void)Cfg_SetAttrValue("x", "3");
    cfg_handle h = 0;
    (void)cfg_find_item(0, pattern.c_str(), &h, nullptr, nullptr);
    uint32_t read_only = 0;
    (void)Cfg_IsReadOnly(subject.c_str(), &read_only);
    if (Cfg_PushContext(pattern.c_str()) == CFG_OK) {
        (void)Cfg_Find(subject.c_str(), &h);
        (void)Cfg_PopContext();
    }
    (void)cfg_create_item(0, subject.c_str(), fuzz::item_xid(), &h);
    (void)cfg_delete_item(0, pattern.c_str());
    (void)Cfg_Delete(subject.c_str());
    fuzz::reset_library();
    return 0;
}
