// scan_model.h - the finder's rule written out as a plain scan of every
// child, for the tests and the fuzzer that compare the name index with it.
//
// At the last component attributes first, then sub-objects; before it,
// sub-objects only; the first match in store order wins (compared with the
// library's own parser and matcher), and every child that cannot be read on
// the way is reported, in order, with the message a search logs.
#ifndef CFGTREE_SCAN_MODEL_H
#define CFGTREE_SCAN_MODEL_H

#include <cstdio>
#include <string>
#include <vector>

#include "cfgtree.h"
#include "ds.h"

namespace scan_model {

using Reports = std::vector<std::string>;

inline cfg_handle scan_child(cfg_handle parent, const std::string &component, bool attributes, Reports &reports) {
    cfg_handle found = 0;
    auto xid = static_cast<uint16_t>(oa_xid_of(attributes ? "OID_ATT_CONFIG_ITEM" : "OID_OC_CONFIG"));
    for (void *v = ds_srch_av_ptr(parent, 2, xid, &found); v;
         v = ds_srch_av_ptr(ds_get_next_avp(found), 2, xid, &found)) {
        char name[640] = {};
        if (attributes) {
            if (cfg_split_identifier(static_cast<const char *>(v), name, nullptr, nullptr) != CFG_OK) {
                reports.push_back("Bad config attribute at <" + std::to_string(found) + ">");
                continue;
            }
        } else {
            auto target = static_cast<cfg_handle>(cfg_object_ref(found));
            const char *id = cfg_object_id(target);
            if (!id) {
                reports.push_back("Bad config object at <" + std::to_string(target) + ">");
                continue;
            }
            std::snprintf(name, sizeof name, "%s", id);
        }
        if (cfg_compare_items(component.c_str(), name, nullptr) == CFG_OK)
            return attributes ? found : static_cast<cfg_handle>(cfg_object_ref(found));
    }
    return 0;
}

// The item identifier names from the configuration root, or 0.
inline cfg_handle scan_find(const std::string &identifier, Reports &reports) {
    cfg_handle current = ds_get_cntl_info(1);
    for (std::size_t start = 0;;) {
        std::size_t dot = identifier.find('.', start);
        bool last = dot == std::string::npos;
        std::string component = identifier.substr(start, last ? std::string::npos : dot - start);
        cfg_handle found = last ? scan_child(current, component, true, reports) : 0;
        if (!found) found = scan_child(current, component, false, reports);
        if (!found || last) return found;
        current = found;
        start = dot + 1;
    }
}

}  // namespace scan_model

#endif
