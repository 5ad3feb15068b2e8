// One report at a time, however many threads crash: the first crashing thread claims the guard
// and writes; any later signal on that same thread (a fault inside its own write, or one raised
// by the crash callback after it) must end the process at once, since that thread cannot wait
// for anyone; any other crashing thread must not write a second report into the same file while
// the first crash may still end the process. A report can be written by another thread than the
// crashed one (the exception server): the crashed thread's own signal handling then learns that
// its fault is reported and hands it on to the application's action.
//
// The guard knows who holds it and what became of the report, so that no crash waits for ever:
//   - while a report is being written, other crashes wait for it as long as it grows, but not
//     without end: a write that stalls (no growth for a long while) is given up, and the waiting
//     crash ends the process by its own signal without writing (a second writer would garble the
//     first's file);
//   - once the report is whole, what follows is no longer ours (the crash callback, or the
//     application's handler the crashed thread was handed on to), and that code may leave by
//     siglongjmp: a crash on that same thread from outside that code then proves it left, and
//     takes the guard at once for a report of its own; a crash on another thread waits a short
//     while for the first crash's signal to end the process, then takes the guard and reports
//     itself in a file of its own, since the first crash may still end the process and its
//     report must stay whole.
// May run at crash time: everything declared here.
#pragma once

#include "platform/mach/MachTypes.h"

#include <cstdint>

extern "C" {

enum kocrash_crash_guard_claim {
    // The calling thread is the first, or the first crash has ended: it writes the report.
    KOCRASH_CRASH_GUARD_WRITE,
    // The calling thread is the one that writes or wrote the report.
    KOCRASH_CRASH_GUARD_OWN_FAULT,
    // Another thread's crash holds the guard.
    KOCRASH_CRASH_GUARD_TAKEN,
};

// writer writes the report of crashed's crash (the same thread for a signal). Also WRITE when
// crashed was handed on to the application after its earlier report and crashes again, or when
// the writer crashes again after its own report from a frame that is not nested in the handler
// that wrote it (frame: an address in the caller's frame; 0 counts as nested): the crash
// callback was left by siglongjmp.
kocrash_crash_guard_claim kocrash_async_crash_guard_claim(thread_t writer, thread_t crashed,
                                                          std::uintptr_t frame = 0);
// The writer's frame, so that a later crash of the same thread can tell whether it is nested in
// the handler that wrote (stacks grow down on both machines).
void kocrash_async_crash_guard_set_writer_frame(std::uintptr_t frame);
// Called by the writer once the report is whole: what runs after it may leave by siglongjmp.
void kocrash_async_crash_guard_end_write();
// For the crashed thread whose report another thread wrote, or that wrote its own: true (and the
// guard now records the thread as handed on to the application) when that report is whole.
bool kocrash_async_crash_guard_hand_on(thread_t thread);
// The application's handler returned to the handed-on thread: the process goes on, and the next
// crash claims the guard anew.
void kocrash_async_crash_guard_release(thread_t thread);

enum kocrash_crash_guard_wait {
    // The guard changed: claim again.
    KOCRASH_CRASH_GUARD_CHANGED,
    // The first crash left its whole report behind and did not end the process in time: the
    // caller now holds the guard and writes a report of its own beside it.
    KOCRASH_CRASH_GUARD_TOOK_OVER,
    // The first report stopped growing while being written: the caller ends the process by its
    // own signal without writing.
    KOCRASH_CRASH_GUARD_GAVE_UP,
};

// How far the report being written has come (its size, say); any change counts as progress.
typedef std::uint64_t (*kocrash_crash_guard_progress)(void* context);

// For a thread that got KOCRASH_CRASH_GUARD_TAKEN in its signal handler. The thread can still
// be parked by the writer meanwhile.
kocrash_crash_guard_wait
kocrash_async_crash_guard_wait(thread_t self, kocrash_crash_guard_progress progress, void* context);

} // extern "C"
