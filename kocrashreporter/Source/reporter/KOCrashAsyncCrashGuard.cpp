// May run at crash time: everything in this file (atomics, futexes and the monotonic clock).
//
// The whole guard is one word, so that every change of holder and phase is one compare-and-swap:
// the holder in the high half, and in the low half a generation (bumped by every change) and the
// phase. The low half is the futex word the waiting threads sleep on; both builds are
// little-endian, so it is the word's first four bytes.
#include "reporter/KOCrashAsyncCrashGuard.h"

#include "platform/mach/SystemCall.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>

namespace {

enum Phase : std::uint32_t {
    Free,
    Writing,
    // Written by another thread (the exception server); the crashed thread's signal follows.
    Written,
    // Written by the crashed thread itself, which now runs the crash callback and ends.
    Ended,
    // The crashed thread was handed on to the application's own action.
    HandedOn,
};

// A write adds a thread's frames at a time; far longer without growth, it is stuck.
constexpr std::int64_t kWriteStallNanoseconds = 30'000'000'000;
// Far beyond a raise that ends the process; short enough for a process that went on.
constexpr std::int64_t kWholeReportBoundNanoseconds = 2'000'000'000;
constexpr std::int64_t kProgressCheckNanoseconds = 1'000'000'000;

struct Word {
    std::uint64_t bits;

    thread_t holder() const { return static_cast<thread_t>(bits >> 32); }
    std::uint32_t low() const { return static_cast<std::uint32_t>(bits); }
    Phase phase() const { return static_cast<Phase>(low() & 0xff); }
    Word next(thread_t holder, Phase phase) const {
        const std::uint32_t generation = (low() >> 8) + 1;
        return {std::uint64_t{holder} << 32 | (generation << 8 & 0xffffff00u) | phase};
    }
};

std::atomic<std::uint64_t> guardWord{0};
// Stored by the claimer before any phase that others read it in.
std::atomic<thread_t> crashedThread{MACH_PORT_NULL};
// Where the holder's handler stood while it wrote (0: unknown).
std::atomic<std::uintptr_t> writerFrame{0};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(sizeof(thread_t) == sizeof(std::uint32_t));

Word load() {
    return {guardWord.load()};
}

bool change(Word expected, Word desired) {
    std::uint64_t bits = expected.bits;
    if (!guardWord.compare_exchange_strong(bits, desired.bits)) {
        return false;
    }
    platform::systemCall(SYS_futex, reinterpret_cast<std::uint32_t*>(&guardWord),
                         FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    return true;
}

bool claimFrom(Word seen, thread_t writer, thread_t crashed) {
    if (!change(seen, seen.next(writer, Writing))) {
        return false;
    }
    crashedThread.store(crashed);
    writerFrame.store(0);
    return true;
}

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Sleeps until the word changes or the time passes; whether it changed.
bool sleepWhileUnchanged(Word seen, std::int64_t nanoseconds) {
    const timespec timeout{static_cast<time_t>(nanoseconds / 1'000'000'000),
                           static_cast<long>(nanoseconds % 1'000'000'000)};
    // A change between the load and the wait makes the wait return at once.
    platform::systemCall(SYS_futex, reinterpret_cast<std::uint32_t*>(&guardWord),
                         FUTEX_WAIT_PRIVATE, seen.low(), &timeout, nullptr, 0);
    return load().bits != seen.bits;
}

kocrash_crash_guard_wait waitOn(Word seen, thread_t self, kocrash_crash_guard_progress progress,
                                void* context) {
    const bool writing = seen.phase() == Writing;
    std::uint64_t reached = writing ? progress(context) : 0;
    std::int64_t deadline =
        monotonicNanoseconds() + (writing ? kWriteStallNanoseconds : kWholeReportBoundNanoseconds);
    for (std::int64_t now = monotonicNanoseconds(); now < deadline; now = monotonicNanoseconds()) {
        const std::int64_t left = deadline - now;
        if (sleepWhileUnchanged(seen, std::min(left, kProgressCheckNanoseconds))) {
            return KOCRASH_CRASH_GUARD_CHANGED;
        }
        if (!writing) {
            continue;
        }
        if (const std::uint64_t latest = progress(context); latest != reached) {
            reached = latest;
            deadline = monotonicNanoseconds() + kWriteStallNanoseconds;
        }
    }
    if (writing) {
        return KOCRASH_CRASH_GUARD_GAVE_UP;
    }
    return claimFrom(seen, self, self) ? KOCRASH_CRASH_GUARD_TOOK_OVER
                                       : KOCRASH_CRASH_GUARD_CHANGED;
}

} // namespace

kocrash_crash_guard_claim kocrash_async_crash_guard_claim(thread_t writer, thread_t crashed,
                                                          std::uintptr_t frame) {
    for (;;) {
        const Word seen = load();
        const bool free = seen.phase() == Free;
        // Handed on and crashing again: the application's handler was left (by siglongjmp, or by
        // a crash of its own), so the earlier crash is over.
        const bool crashedAgain = seen.phase() == HandedOn && seen.holder() == crashed;
        // Ended and crashing again outside the handler that wrote: the crash callback was left
        // by siglongjmp, so that crash is over too.
        const std::uintptr_t wrote = writerFrame.load();
        const bool leftCallback = seen.phase() == Ended && seen.holder() == writer &&
                                  writer == crashed && frame != 0 && wrote != 0 && frame >= wrote;
        if (free || crashedAgain || leftCallback) {
            if (claimFrom(seen, writer, crashed)) {
                return KOCRASH_CRASH_GUARD_WRITE;
            }
            continue;
        }
        // The holder's own: its write, and what it runs after the write.
        const bool ownWrite = seen.phase() != HandedOn;
        return ownWrite && seen.holder() == writer ? KOCRASH_CRASH_GUARD_OWN_FAULT
                                                   : KOCRASH_CRASH_GUARD_TAKEN;
    }
}

void kocrash_async_crash_guard_set_writer_frame(std::uintptr_t frame) {
    writerFrame.store(frame);
}

void kocrash_async_crash_guard_end_write() {
    const Word seen = load();
    if (seen.phase() == Writing) {
        change(seen,
               seen.next(seen.holder(), crashedThread.load() == seen.holder() ? Ended : Written));
    }
}

bool kocrash_async_crash_guard_hand_on(thread_t thread) {
    const Word seen = load();
    const bool whole =
        seen.phase() == Written || (seen.phase() == Ended && seen.holder() == thread);
    return whole && crashedThread.load() == thread && change(seen, seen.next(thread, HandedOn));
}

void kocrash_async_crash_guard_release(thread_t thread) {
    const Word seen = load();
    if (seen.phase() == HandedOn && seen.holder() == thread) {
        change(seen, seen.next(MACH_PORT_NULL, Free));
    }
}

kocrash_crash_guard_wait kocrash_async_crash_guard_wait(thread_t self,
                                                        kocrash_crash_guard_progress progress,
                                                        void* context) {
    const Word seen = load();
    if (seen.phase() == Free) {
        return KOCRASH_CRASH_GUARD_CHANGED;
    }
    const int savedErrno = errno;
    const kocrash_crash_guard_wait result = waitOn(seen, self, progress, context);
    errno = savedErrno;
    return result;
}
