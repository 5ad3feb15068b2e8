// One small library that the build copies under many names: each copy is loaded as an object of
// its own, and a crash inside any of them must be listed and named.
#include <stdint.h>

// Not constant to the compiler, which would warn of a store outside any object.
volatile uintptr_t kocrash_many_fault_address = 0x10;

void kocrash_many_crash(void) {
    *(volatile int*)kocrash_many_fault_address = 1;
    __asm__ volatile("" ::: "memory");
}
