// May run at crash time: everything in this file (atomics and futexes).
#include "reporter/KOCrashAsyncCrashGuard.h"

#include "platform/mach/SystemCall.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>

namespace {

// Also the futex word the waiting threads sleep on.
std::atomic<thread_t> writingThread{MACH_PORT_NULL};
std::atomic<thread_t> crashedThread{MACH_PORT_NULL};
std::atomic<bool> reportWritten{false};

static_assert(std::atomic<thread_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<thread_t>) == sizeof(std::uint32_t));

std::uint32_t* futexWord() {
    return reinterpret_cast<std::uint32_t*>(&writingThread);
}

} // namespace

kocrash_crash_guard_claim kocrash_async_crash_guard_claim(thread_t writer, thread_t crashed) {
    thread_t expected = MACH_PORT_NULL;
    if (writingThread.compare_exchange_strong(expected, writer)) {
        crashedThread.store(crashed);
        return KOCRASH_CRASH_GUARD_WRITE;
    }
    return expected == writer ? KOCRASH_CRASH_GUARD_OWN_FAULT : KOCRASH_CRASH_GUARD_TAKEN;
}

bool kocrash_async_crash_guard_is_writer(thread_t thread) {
    return writingThread.load() == thread;
}

void kocrash_async_crash_guard_mark_written() {
    reportWritten.store(true);
}

bool kocrash_async_crash_guard_reported_for(thread_t thread) {
    return reportWritten.load() && crashedThread.load() == thread && writingThread.load() != thread;
}

void kocrash_async_crash_guard_release() {
    reportWritten.store(false);
    crashedThread.store(MACH_PORT_NULL);
    writingThread.store(MACH_PORT_NULL);
    platform::systemCall(SYS_futex, futexWord(), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void kocrash_async_crash_guard_wait_for_release() {
    const thread_t holder = writingThread.load();
    if (holder == MACH_PORT_NULL) {
        return;
    }
    const int savedErrno = errno;
    // A release between the load and the wait changes the word: the wait returns at once.
    platform::systemCall(SYS_futex, futexWord(), FUTEX_WAIT_PRIVATE, holder, nullptr, nullptr, 0);
    errno = savedErrno;
}
