#include "cfgtree.h"

int main(void) { return Cfg_SetAttrValue("a.b", "1") == CFG_OK ? 0 : 1; }
