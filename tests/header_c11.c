/* The public header must compile as strict C11. */
#include "cfgtree.h"
int cfgtree_header_c11_probe(void) { return CFG_OK; }
