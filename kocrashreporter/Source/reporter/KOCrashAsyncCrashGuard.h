// One report at a time, however many threads crash: the first crashing thread claims the guard
// and writes; any later signal on that same thread (a fault inside its own write, or one raised
// by the crash callback after it) must end the process at once, since that thread cannot wait
// for anyone; any other crashing thread must not write a second report into the same file while
// the first crash may still end the process. A report can be written by another thread than the
// crashed one (the exception server): the crashed thread's own signal handling then learns that
// its fault is reported, and when the process goes on after it, releases the guard so that the
// next crash gets its own report. May run at crash time: everything declared here.
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

// writer writes the report of crashed's crash (the same thread for a signal).
kocrash_crash_guard_claim kocrash_async_crash_guard_claim(thread_t writer, thread_t crashed);
// Whether the thread writes or wrote the report, without claiming anything: the exception server
// answers for the faulting thread, not for itself.
bool kocrash_async_crash_guard_is_writer(thread_t thread);
// Called by a writer that is not the crashed thread once the report is whole.
void kocrash_async_crash_guard_mark_written();
// Whether a whole report of the thread's crash was written by another thread.
bool kocrash_async_crash_guard_reported_for(thread_t thread);
// The process goes on after the reported crash: the next crash claims the guard anew.
void kocrash_async_crash_guard_release();
// For threads that got KOCRASH_CRASH_GUARD_TAKEN (in a signal handler, or the exception server
// with another thread's fault): returns once the guard may have been released, to claim again;
// usually the first crash's signal ends the process first. The thread can still be parked by
// the writer.
void kocrash_async_crash_guard_wait_for_release();

} // extern "C"
