// May run at crash time: everything in this file (atomics and pause).
#include "reporter/KOCrashAsyncCrashGuard.h"

#include <atomic>
#include <unistd.h>

namespace {

std::atomic<thread_t> writingThread{MACH_PORT_NULL};

static_assert(std::atomic<thread_t>::is_always_lock_free);

} // namespace

kocrash_crash_guard_claim kocrash_async_crash_guard_claim(thread_t thread) {
    thread_t expected = MACH_PORT_NULL;
    if (writingThread.compare_exchange_strong(expected, thread)) {
        return KOCRASH_CRASH_GUARD_WRITE;
    }
    return expected == thread ? KOCRASH_CRASH_GUARD_OWN_FAULT : KOCRASH_CRASH_GUARD_TAKEN;
}

bool kocrash_async_crash_guard_is_writer(thread_t thread) {
    return writingThread.load() == thread;
}

void kocrash_async_crash_guard_wait_forever() {
    for (;;) {
        pause();
    }
}
