/*
 * start.c - a program that loads one configuration file and ends: what a
 * program's start costs with one library. Built once per library (and once
 * with none, the floor: an empty program's start), each linking only its
 * own library, as a C program would. cfgtree_bench_peers runs them.
 * Usage: <program> FILE; exits 0 when the file was loaded.
 */
#if defined(START_CFGTREE)
#include "cfgtree.h"
#elif defined(START_JSONC)
#include <json-c/json.h>
#elif defined(START_LIBCONFIG)
#include <libconfig.h>
#endif

int main(int argc, char **argv) {
    if (argc != 2) return 2;
#if defined(START_CFGTREE)
    Cfg_DirectLoad(1);
    return CfgF_LoadFile(argv[1], 0) == CFG_OK ? 0 : 1;
#elif defined(START_JSONC)
    return json_object_from_file(argv[1]) ? 0 : 1;
#elif defined(START_LIBCONFIG)
    config_t cfg;
    config_init(&cfg);
    return config_read_file(&cfg, argv[1]) ? 0 : 1;
#else
    (void)argv;
    return 0;
#endif
}
