// Names of signals and signal codes as crash logs show them, numbered as on the original
// platform (SIGBUS is 10, SIGSEGV 11). May run at crash time: everything declared here (lookups
// over constant tables).
#pragma once

#include <cstdint>

extern "C" {

// The signal a crash is reported with: number, code and fault address (the si_signo, si_code
// and si_addr of a siginfo_t).
struct kocrash_async_signal_info {
    std::int32_t signo;
    std::int32_t code;
    std::uint64_t address;
};

// The name of the first row with that number, or null.
const char* kocrash_async_signal_signame(int signal);
// The name of the first row with that signal and code, or null.
const char* kocrash_async_signal_sigcode(int signal, int code);

} // extern "C"
