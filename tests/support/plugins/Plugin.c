// The test plugin's functions. Each call stays a call (no inlining, no tail calls), so every
// function keeps a frame of its own on the stack.
#include <stdint.h>

int test_plugin_helper_value(void);

void test_plugin_store_to(uintptr_t address) {
    *(volatile int*)address = test_plugin_helper_value();
}

void test_plugin_pass_on(uintptr_t address) {
    test_plugin_store_to(address);
    __asm__ volatile("" ::: "memory");
}

void test_plugin_crash_at(uintptr_t address) {
    test_plugin_pass_on(address);
    __asm__ volatile("" ::: "memory");
}

void test_plugin_call(void (*callback)(void*), void* context) {
    callback(context);
    __asm__ volatile("" ::: "memory");
}
