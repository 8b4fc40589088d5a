/* update.c - loads the example configuration in update mode: the loader
 * stores nothing itself and hands each definition, as "full.name=value", to
 * the notification tables. The table here checks the services' ports
 * (numbers in 1..65535) and stores what its checks let through; a refused
 * definition is a failing line, which the load's handler reports. Later
 * changes go through the same table (Cfg_ProcessUpdate).
 *
 * Usage: cfgtree_example_update [CONFIG_FOLDER]  (default examples/config,
 * for a run from the repository's top folder)
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cfgtree.h"

/* Stores "full.name=value" in the tree. The callback gets a copy of the
 * text of its own (the library frees it on return), so it may cut it at the
 * '='. */
static int store(char *item, void *arg) {
    char *eq = strchr(item, '=');
    (void)arg;
    if (!eq) return CFG_ERR_SYNTAX;
    *eq = '\0';
    return Cfg_SetAttrValue(item, eq + 1);
}

/* A port: a number in 1..65535, else refused with CFG_NO_MATCH: a positive
 * status other than 105 ends the table (the entries after this one do not
 * run), the line fails and the load goes on. */
static int check_port(char *item, void *arg) {
    const char *eq = strchr(item, '=');
    char *end = NULL;
    long port = eq ? strtol(eq + 1, &end, 10) : 0;
    unsigned *refused = arg;
    if (!eq || end == eq + 1 || *end != '\0' || port < 1 || port > 65535) {
        ++*refused;
        return CFG_NO_MATCH;
    }
    return CFG_OK;
}

static int report(const char *file, int line, const char *text, int status) {
    fprintf(stderr, "update: %s:%d: %s: %s\n", file, line, Cfg_StatusName(status), text);
    return 0; /* go on with the next line */
}

static unsigned refused;

/* Every entry whose pattern matches runs, in order: the checks first, then
 * the entry that stores (a lone "**" matches every name). */
static CfgUpdateEntry table[] = {
    {"Service[*].port", &refused, check_port, NULL, NULL},
    {"**", NULL, store, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

int main(int argc, char **argv) {
    char url[640];
    int32_t port = 0;
    int status;

    if (setenv("CONFIG_PATH", argc > 1 ? argv[1] : "examples/config", 1) != 0) return 1;
    if (Cfg_NotifyRegister(table) != CFG_OK) return 1;
    (void)Cfg_DirectLoad(0);
    status = CfgF_LoadFile("main.cfg", report);
    if (status != CFG_OK) {
        fprintf(stderr, "update: loading main.cfg: %s\n", Cfg_StatusName(status));
        return 1;
    }
    if (Cfg_GetAttrValue("Service[api].url", url, sizeof url) != CFG_OK) return 1;
    printf("Service[api].url is %s\n", url);

    /* A change at run time passes the same checks. */
    status = Cfg_ProcessUpdate("Service[web].port=99999");
    if (Cfg_GetIntAttrValue("Service[web].port", &port) != CFG_OK) return 1;
    printf("Service[web].port=99999: %s; the port stays %d\n", Cfg_StatusName(status), (int)port);
    status = Cfg_ProcessUpdate("Service[web].port=8081");
    if (Cfg_GetIntAttrValue("Service[web].port", &port) != CFG_OK) return 1;
    printf("Service[web].port=8081: %s; the port is now %d\n", Cfg_StatusName(status), (int)port);
    printf("%u port(s) refused\n", refused);
    return refused == 1 ? 0 : 1;
}
