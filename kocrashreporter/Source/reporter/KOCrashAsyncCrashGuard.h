// One report per process, however many threads crash: the first crashing thread claims the
// guard and writes; any later signal on that same thread (a fault inside its own write, or one
// raised by the crash callback after it) must end the process at once, since that thread cannot
// wait for anyone; any other crashing thread, during the write or after it, must not write a
// second report into the same file. May run at crash time: everything declared here.
#pragma once

#include "platform/mach/MachTypes.h"

extern "C" {

enum kocrash_crash_guard_claim {
    // The calling thread is the first: it writes the report.
    KOCRASH_CRASH_GUARD_WRITE,
    // The calling thread is the one that writes or wrote the report.
    KOCRASH_CRASH_GUARD_OWN_FAULT,
    // Another thread writes or has written the report.
    KOCRASH_CRASH_GUARD_TAKEN,
};

kocrash_crash_guard_claim kocrash_async_crash_guard_claim(thread_t thread);
// Whether the thread writes or wrote the report, without claiming anything: the exception server
// answers for the faulting thread, not for itself.
bool kocrash_async_crash_guard_is_writer(thread_t thread);
// For threads that got KOCRASH_CRASH_GUARD_TAKEN (in a signal handler, or the exception server
// with another thread's fault): returns never, so the first crash's signal ends the process. The
// thread can still be parked by the writer.
[[noreturn]] void kocrash_async_crash_guard_wait_forever();

} // extern "C"
