// layer.cpp - the C++ layer (cfgtree.hpp) on the example configuration:
// a load that collects its failing lines, typed reads that carry a value or
// a status, a context for a scope, and a validation table built from
// lambdas that guards later changes.
//
// Usage: cfgtree_example_layer [CONFIG_FOLDER]  (default examples/config,
// for a run from the repository's top folder)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cfgtree.hpp"

int main(int argc, char **argv) {
    if (setenv("CONFIG_PATH", argc > 1 ? argv[1] : "examples/config", 1) != 0) return 1;

    // Direct mode stores the definitions in the tree; the switch is given
    // back its previous state when `direct` goes out of scope.
    cfgtree::FlagSwitch<Cfg_DirectLoad> direct(true);
    cfgtree::LoadResult load = cfgtree::load_file("main.cfg");
    for (const cfgtree::Diagnostic &d : load.diagnostics)
        std::fprintf(stderr, "layer: %s:%d: %s: %s\n", d.file.c_str(), d.line, d.status.name(), d.text.c_str());
    if (!load.ok()) return 1;

    // A typed read holds the value or the status that prevented it.
    if (cfgtree::Result<int32_t> port = cfgtree::get<int32_t>("Service[web].port"))
        std::printf("Service[web].port = %d\n", *port);
    cfgtree::Result<int32_t> missing = cfgtree::get<int32_t>("Service[web].timeout");
    std::printf("Service[web].timeout: %s\n", missing.status().name());

    {
        // Identifiers are relative to the context while `net` lives.
        cfgtree::ContextGuard net("Net");
        if (!net.status().ok()) return 1;
        std::printf("Net.zone = %s, Net.Iface[1].address = %s\n",
                    cfgtree::get<std::string>("zone").value_or("?").c_str(),
                    cfgtree::get<std::string>("Iface[1].address").value_or("?").c_str());
    }

    // A validation table: Cfg_Validate asks it before the program changes a
    // value. It must live until the process ends, hence static.
    static cfgtree::UpdateTable checks;
    checks.on("Service[*].port", [](char *item) {
        const char *value = std::strchr(item, '=');
        int32_t port = 0;
        return value && Cfg_GetInt(value + 1, &port) == CFG_OK && port > 0 && port <= 65535 ? CFG_OK
                                                                                           : CFG_NO_MATCH;
    });
    if (!checks.register_validation().ok()) return 1;
    for (const char *change : {"Service[api].port=8443", "Service[api].port=70000"}) {
        int verdict = Cfg_Validate(change);
        std::printf("%s: %s\n", change, cfgtree::Status(verdict).name());
        if (verdict != CFG_OK) continue;
        std::string text(change);
        std::size_t eq = text.find('=');
        if (!cfgtree::set(text.substr(0, eq), text.substr(eq + 1)).ok()) return 1;
    }
    std::printf("Service[api].url = %s\n", cfgtree::get<std::string>("Service[api].url").value_or("?").c_str());
    return 0;
}
