// The public header must compile as C++20.
#include "cfgtree.h"
int cfgtree_header_cxx_probe() { return CFG_OK; }
