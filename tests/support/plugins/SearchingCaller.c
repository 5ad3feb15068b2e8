// A library that opens others by name, as an application's own library does: the loader searches
// for them on its behalf, along its run path.
#include <dlfcn.h>

void* test_search_open(const char* name) {
    return dlopen(name, RTLD_NOW);
}
