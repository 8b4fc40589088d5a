// consumer.cpp - a program built against an installed cfgtree: sets and
// reads values through the C interface and the C++ layer, then saves.
#include <cfgtree.h>
#include <cfgtree.hpp>

#include <cstdio>

int main() {
    if (Cfg_SetAttrValue("App.host", "gw") != CFG_OK) return 1;
    if (!cfgtree::set("App.port", 443).ok()) return 1;
    cfgtree::Result<std::string> url = cfgtree::substitute("${App.host}:${App.port}");
    cfgtree::Result<int32_t> port = cfgtree::get<int32_t>("App.port");
    if (!url || !port) return 1;
    std::printf("%s %d\n", url->c_str(), *port);
    return Cfg_Save(nullptr, stdout) == CFG_OK ? 0 : 1;
}
