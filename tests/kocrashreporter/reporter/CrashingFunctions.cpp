#include "CrashingFunctions.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {

// The sanitizers would report the store themselves instead of letting it fault.
[[gnu::noinline, gnu::no_sanitize("address", "undefined")]] void
kocrash_test_store_to(std::uintptr_t address) {
    *reinterpret_cast<volatile int*>(address) = 1;
    asm volatile("" ::: "memory");
}

[[gnu::noinline]] void kocrash_test_call_address(std::uintptr_t address) {
    auto* volatile function = reinterpret_cast<void (*)()>(address);
    function();
    // Not a tail call: the caller's frame stays, as in most calls through a pointer.
    asm volatile("" ::: "memory");
}

[[gnu::noinline]] void kocrash_test_bus_error() {
    std::FILE* file = std::tmpfile();
    auto* page =
        static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(file), 0));
    (void)page[0];
    asm volatile("" ::: "memory");
}

[[gnu::noinline]] void kocrash_test_arithmetic_error() {
#if defined(__x86_64__)
    int dividend = 1;
    const int divisor = 0;
    asm volatile("cltd\n\tidivl %1" : "+a"(dividend) : "r"(divisor) : "edx");
#else
    // Integer division by zero does not trap on 64-bit ARM.
    raise(SIGFPE);
#endif
    asm volatile("" ::: "memory");
}

[[gnu::noinline]] void kocrash_test_illegal_instruction() {
#if defined(__x86_64__)
    asm volatile("ud2");
#else
    asm volatile(".inst 0x00000000");
#endif
}

[[gnu::noinline]] void kocrash_test_breakpoint() {
#if defined(__x86_64__)
    asm volatile("int3");
#else
    asm volatile("brk #0");
#endif
    asm volatile("" ::: "memory");
}

[[gnu::noinline]] void kocrash_test_abort() {
    std::abort();
}

[[gnu::noinline]] void kocrash_test_kill_self_segv() {
    kill(getpid(), SIGSEGV);
    // Another thread may take the signal; this one must not return before it ends the process.
    for (;;) {
        pause();
    }
}

[[gnu::noinline]] void kocrash_test_throw_runtime_error() {
    throw std::runtime_error("the disk is full");
}

} // extern "C"
