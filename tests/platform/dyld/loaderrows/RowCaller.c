// A library that opens others for the driver: the loader searches along this library's own
// paths, and expands $ORIGIN to its folder. Built three times, each copy's function named by
// ROW_OPEN. The call stays a call, so the loader sees this library as the caller.
#include <dlfcn.h>

void* ROW_OPEN(const char* file, int mode) {
    void* handle = dlopen(file, mode);
    __asm__ volatile("" ::: "memory");
    return handle;
}
