// roundtrip_child.cpp - the fresh process of the round-trip tests: loads
// IN in direct mode, writes the tree's dump to DUMP and saves the whole
// tree, unsubstituted, to OUT. Exits 0 when all three worked.
//   roundtrip_child IN DUMP OUT
#include <cstdio>
#include <fstream>

#include "support.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s IN DUMP OUT\n", argv[0]);
        return 2;
    }
    (void)Cfg_DirectLoad(1);
    int status = CfgF_LoadFile(argv[1], nullptr);
    if (status != CFG_OK) {
        std::fprintf(stderr, "loading %s: %d\n", argv[1], status);
        return 1;
    }
    std::ofstream(argv[2]) << cfgtest::dump_tree();
    (void)Cfg_Dereference(0);
    status = Cfg_SaveFile(nullptr, argv[3]);
    if (status != CFG_OK) {
        std::fprintf(stderr, "saving %s: %d\n", argv[3], status);
        return 1;
    }
    return 0;
}
