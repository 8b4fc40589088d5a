/* basic.c - builds a small configuration through the C interface, reads it
 * back with a reference resolved, walks it, and saves it to standard output. */
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

    /* A walk over the tree: the root's objects and the stored texts of their
     * attributes, in the order they were made. */
    ds_lock();
    for (cfg_handle target = 0, r = cfg_srch_object(ds_get_cntl_info(1), &target); r;
         r = cfg_srch_object(ds_get_next_avp(r), &target)) {
        printf("object %s:", cfg_object_id(target));
        for (cfg_handle a = cfg_srch_attribute(target); a; a = cfg_srch_attribute(ds_get_next_avp(a)))
            printf(" [%s]", cfg_avp(a));
        printf("\n\n");
    }
    ds_unlock();
    return Cfg_Save(NULL, stdout) == CFG_OK ? 0 : 1;
}
