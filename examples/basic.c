/* basic.c - builds a small configuration through the C interface, reads it
 * back with a reference resolved, and saves it to standard output. */
#include <stdio.h>

#include "cfgtree.h"

int main(void) {
    char value[640];
    int status;

    status = Cfg_SetAttrValue("Server.host", "gw.example.net");
    if (status == CFG_OK) status = Cfg_SetIntAttrValue("Server.port", 443);
    if (status == CFG_OK) status = Cfg_SetAttrValue("Server.url", "https://${Server.host}:${Server.port}/");
    if (status != CFG_OK) {
        fprintf(stderr, "basic: setting failed: %s\n", Cfg_StatusName(status));
        return 1;
    }
    status = Cfg_GetAttrValue("Server.url", value, sizeof value);
    if (status != CFG_OK) {
        fprintf(stderr, "basic: reading failed: %s\n", Cfg_StatusName(status));
        return 1;
    }
    printf("Server.url resolves to %s\n\n", value);
    return Cfg_Save(NULL, stdout) == CFG_OK ? 0 : 1;
}
