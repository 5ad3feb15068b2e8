// May run at crash time: everything in this file, the park signal's handler included (atomic
// slot states, futexes, tgkill, sigaction, clock_gettime and /proc reads only).
//
// The park signal is one the application left alone (ParkSignal.h), and it is checked to be
// still the library's before each park: a thread is never sent a signal that would run the
// application's handler instead, nor waited for in vain.
//
// thread_suspend claims a slot for the thread, marks it Requested and sends the park signal.
// The thread's handler saves its registers into the slot, marks it Parked and waits on the
// slot's release word; thread_resume sets that word, and the handler frees the slot on its way
// out. A suspender that waits in vain marks the slot Abandoned, so a handler that runs late
// returns at once instead of parking with nobody left to resume it.
//
// A thread that waits for the reply to its exception message (the kernel bridge) is stopped
// already: suspending it only counts, without a signal, and its registers are those it had at
// the fault. Once replied to, it goes on only when every suspension has been resumed.
#include "platform/mach/ErrnoGuard.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachThreads.h"
#include "platform/mach/ParkSignal.h"
#include "platform/mach/SystemCall.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::mach {
namespace {

enum ParkState : std::uint32_t { Free, Requested, Parked, Released, Abandoned };

struct ParkSlot {
    std::atomic<pid_t> tid{0};
    std::atomic<std::uint32_t> state{Free};
    std::atomic<std::uint32_t> suspendCount{0};
    std::atomic<std::uint32_t> release{0};
#if defined(__aarch64__)
    // Written by the parked thread before it publishes Parked.
    ko_mcontext64 context;
#endif
};

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

ParkSlot slots[kThreadParkCapacity];

constexpr int kExceptionWaitSlots = 64;

struct ExceptionWait {
    std::atomic<pid_t> tid{0};
    std::atomic<std::uint32_t> suspendCount{0};
#if defined(__aarch64__)
    ko_mcontext64 context;
#endif
};

ExceptionWait exceptionWaits[kExceptionWaitSlots];

using platform::ErrnoGuard;

std::uint32_t* futexWord(std::atomic<std::uint32_t>& word) {
    return reinterpret_cast<std::uint32_t*>(&word);
}

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, const timespec* timeout) {
    platform::systemCall(SYS_futex, futexWord(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr,
                         0);
}

void futexWakeAll(std::atomic<std::uint32_t>& word) {
    platform::systemCall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr,
                         0);
}

class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds span) {
        clock_gettime(CLOCK_MONOTONIC, &end_);
        long long nanoseconds =
            end_.tv_nsec + static_cast<long long>(span.count() % 1000) * 1000000;
        end_.tv_sec += static_cast<time_t>(span.count() / 1000 + nanoseconds / 1000000000);
        end_.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    }

    // False once the deadline has passed.
    bool remaining(timespec* left) const {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long nanoseconds = (static_cast<long long>(end_.tv_sec) - now.tv_sec) * 1000000000 +
                                (end_.tv_nsec - now.tv_nsec);
        if (nanoseconds <= 0) {
            return false;
        }
        left->tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
        left->tv_nsec = static_cast<long>(nanoseconds % 1000000000);
        return true;
    }

private:
    timespec end_;
};

void freeSlot(ParkSlot& slot) {
    slot.state.store(Free, std::memory_order_release);
    slot.tid.store(0, std::memory_order_release);
}

#if defined(__aarch64__)
void saveContext(ParkSlot& slot, void* ucontext) {
    machineContextFromUcontext(*static_cast<const ucontext_t*>(ucontext), slot.context);
}
#else
void saveContext(ParkSlot&, void*) {}
#endif

void parkHandler(int, siginfo_t*, void* ucontext) {
    ErrnoGuard errnoGuard;
    pid_t self = gettid();
    for (ParkSlot& slot : slots) {
        if (slot.tid.load(std::memory_order_acquire) != self) {
            continue;
        }
        std::uint32_t state = slot.state.load(std::memory_order_acquire);
        if (state == Abandoned) {
            if (slot.state.compare_exchange_strong(state, Free)) {
                slot.tid.store(0, std::memory_order_release);
            }
            continue;
        }
        if (state != Requested) {
            continue;
        }
        saveContext(slot, ucontext);
        if (!slot.state.compare_exchange_strong(state, Parked, std::memory_order_acq_rel)) {
            // The suspender gave up an instant ago.
            freeSlot(slot);
            return;
        }
        futexWakeAll(slot.state);
        while (slot.release.load(std::memory_order_acquire) == 0) {
            futexWait(slot.release, 0, nullptr);
        }
        freeSlot(slot);
        return;
    }
}

ExceptionWait* exceptionWaitOf(pid_t tid) {
    for (ExceptionWait& wait : exceptionWaits) {
        if (wait.tid.load(std::memory_order_acquire) == tid) {
            return &wait;
        }
    }
    return nullptr;
}

// False when the waiting thread holds no suspension (a park, if any, is resumed instead).
bool resumeExceptionWait(ExceptionWait& wait) {
    std::uint32_t count = wait.suspendCount.load(std::memory_order_acquire);
    do {
        if (count == 0) {
            return false;
        }
    } while (!wait.suspendCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel));
    if (count == 1) {
        futexWakeAll(wait.suspendCount);
    }
    return true;
}

bool threadExists(pid_t tid) {
    return platform::systemCall(SYS_tgkill, getpid(), tid, 0) == 0;
}

ParkSlot* slotOf(pid_t tid) {
    for (ParkSlot& slot : slots) {
        if (slot.tid.load(std::memory_order_acquire) == tid) {
            return &slot;
        }
    }
    return nullptr;
}

ParkSlot* parkedSlotOf(pid_t tid) {
    ParkSlot* slot = slotOf(tid);
    return slot != nullptr && slot->state.load(std::memory_order_acquire) == Parked ? slot
                                                                                    : nullptr;
}

// Slots abandoned by threads that have since ended would otherwise stay taken forever.
void reclaimIfDead(ParkSlot& slot) {
    pid_t tid = slot.tid.load(std::memory_order_acquire);
    std::uint32_t state = Abandoned;
    if (tid != 0 && !threadExists(tid) && slot.state.compare_exchange_strong(state, Free)) {
        slot.tid.store(0, std::memory_order_release);
    }
}

ParkSlot* claimSlot(pid_t tid) {
    for (ParkSlot& slot : slots) {
        if (slot.state.load(std::memory_order_acquire) == Abandoned) {
            reclaimIfDead(slot);
        }
        pid_t expected = 0;
        if (slot.tid.compare_exchange_strong(expected, tid, std::memory_order_acq_rel)) {
            slot.suspendCount.store(1, std::memory_order_relaxed);
            slot.release.store(0, std::memory_order_relaxed);
            slot.state.store(Requested, std::memory_order_release);
            return &slot;
        }
    }
    return nullptr;
}

bool sendParkSignal(pid_t tid) {
    return platform::systemCall(SYS_tgkill, getpid(), tid, threadParkSignal()) == 0;
}

// A thread that ends meanwhile never parks (under the emulator a joined thread lingers a moment
// before it is gone, and the signal sent to it is lost): it is looked for every 10 ms.
kern_return_t awaitPark(ParkSlot& slot, const Deadline& deadline) {
    const auto tid = slot.tid.load(std::memory_order_acquire);
    for (;;) {
        std::uint32_t state = slot.state.load(std::memory_order_acquire);
        if (state == Parked) {
            return KERN_SUCCESS;
        }
        if (state != Requested) {
            return KERN_FAILURE;
        }
        timespec left;
        const bool inTime = deadline.remaining(&left);
        if (!inTime || !threadExists(tid)) {
            if (slot.state.compare_exchange_strong(state, Abandoned, std::memory_order_acq_rel)) {
                return inTime ? KERN_INVALID_ARGUMENT : KERN_OPERATION_TIMED_OUT;
            }
            continue;
        }
        constexpr long kLookAgainNanoseconds = 10000000;
        if (left.tv_sec > 0 || left.tv_nsec > kLookAgainNanoseconds) {
            left = {0, kLookAgainNanoseconds};
        }
        futexWait(slot.state, Requested, &left);
    }
}

// A thread that keeps the park signal blocked cannot park and need not be waited for. The
// library's own threads keep it open, so /proc is not asked about them: under the emulator it
// cannot tell. The mask is looked at a few times over some milliseconds: a thread leaving its
// park handler (or the emulator delivering a signal) blocks the signal for a moment only.
bool blocksParkSignal(pid_t tid) {
    if (keepsParkSignalOpen(tid)) {
        return false;
    }
    for (int look = 0; look < 5; ++look) {
        if (!statusMaskBlocksParkSignal(tid)) {
            return false;
        }
        timespec pause{0, 2000000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

#if defined(__aarch64__)
const ko_mcontext64* suspendedContextOf(pid_t tid) {
    if (ExceptionWait* wait = exceptionWaitOf(tid)) {
        return &wait->context;
    }
    ParkSlot* slot = parkedSlotOf(tid);
    return slot != nullptr ? &slot->context : nullptr;
}

void copyBytes(void* to, const void* from, std::size_t length) {
    auto* out = static_cast<std::uint8_t*>(to);
    const auto* in = static_cast<const std::uint8_t*>(from);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = in[i];
    }
}

template <typename Block>
kern_return_t copyOut(const Block& block, thread_state_t state, mach_msg_type_number_t* count) {
    constexpr mach_msg_type_number_t words = sizeof(Block) / sizeof(natural_t);
    if (*count < words) {
        return KERN_INVALID_ARGUMENT;
    }
    copyBytes(state, &block, sizeof(Block));
    *count = words;
    return KERN_SUCCESS;
}
#endif

} // namespace

int threadParkSignal() {
    return installParkSignal(parkHandler);
}

bool beginExceptionWait(const void* ucontext) {
    pid_t self = gettid();
    for (ExceptionWait& wait : exceptionWaits) {
        pid_t expected = 0;
        if (wait.tid.load(std::memory_order_relaxed) != 0) {
            continue;
        }
#if defined(__aarch64__)
        // Claimed with a placeholder first, so no reader sees the context half written.
        if (!wait.tid.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
            continue;
        }
        machineContextFromUcontext(*static_cast<const ucontext_t*>(ucontext), wait.context);
#else
        (void)ucontext;
        if (!wait.tid.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
            continue;
        }
#endif
        wait.suspendCount.store(0, std::memory_order_relaxed);
        wait.tid.store(self, std::memory_order_release);
        return true;
    }
    return false;
}

void endExceptionWait() {
    ErrnoGuard errnoGuard;
    ExceptionWait* wait = exceptionWaitOf(gettid());
    if (wait == nullptr) {
        return;
    }
    for (std::uint32_t count; (count = wait->suspendCount.load(std::memory_order_acquire)) != 0;) {
        futexWait(wait->suspendCount, count, nullptr);
    }
    wait->tid.store(0, std::memory_order_release);
}

kern_return_t thread_suspend(thread_act_t thread) {
    auto tid = static_cast<pid_t>(thread);
    if (!isThreadPort(thread) || tid == gettid() || !threadExists(tid)) {
        return KERN_INVALID_ARGUMENT;
    }
    ErrnoGuard errnoGuard;
    if (ExceptionWait* wait = exceptionWaitOf(tid)) {
        wait->suspendCount.fetch_add(1, std::memory_order_acq_rel);
        return KERN_SUCCESS;
    }
    // A handler the application put on the signal since would take the park signal as its own,
    // and no thread would park: nothing is sent, and nothing waited for.
    if (threadParkSignal() == 0 || !parkSignalStillRuns(parkHandler)) {
        return KERN_FAILURE;
    }
    Deadline deadline(kThreadParkTimeout);
    while (ParkSlot* slot = slotOf(tid)) {
        std::uint32_t state = slot->state.load(std::memory_order_acquire);
        if (state == Parked || state == Requested) {
            slot->suspendCount.fetch_add(1, std::memory_order_acq_rel);
            kern_return_t result = awaitPark(*slot, deadline);
            if (result != KERN_SUCCESS) {
                slot->suspendCount.fetch_sub(1, std::memory_order_acq_rel);
            }
            return result;
        }
        if (state == Abandoned &&
            slot->state.compare_exchange_strong(state, Free, std::memory_order_acq_rel)) {
            // A park signal may still be pending for the thread; its handler finds no request.
            slot->tid.store(0, std::memory_order_release);
            continue;
        }
        // Released: the thread is on its way out of the handler.
        timespec left;
        if (!deadline.remaining(&left)) {
            return KERN_OPERATION_TIMED_OUT;
        }
        sched_yield();
    }
    if (blocksParkSignal(tid)) {
        return KERN_FAILURE;
    }
    ParkSlot* slot = claimSlot(tid);
    if (slot == nullptr) {
        return KERN_RESOURCE_SHORTAGE;
    }
    if (!sendParkSignal(tid)) {
        freeSlot(*slot);
        return KERN_INVALID_ARGUMENT;
    }
    return awaitPark(*slot, deadline);
}

kern_return_t thread_resume(thread_act_t thread) {
    if (ExceptionWait* wait = exceptionWaitOf(static_cast<pid_t>(thread));
        wait != nullptr && resumeExceptionWait(*wait)) {
        return KERN_SUCCESS;
    }
    ParkSlot* slot = parkedSlotOf(static_cast<pid_t>(thread));
    if (slot == nullptr) {
        return KERN_FAILURE;
    }
    ErrnoGuard errnoGuard;
    if (slot->suspendCount.fetch_sub(1, std::memory_order_acq_rel) > 1) {
        return KERN_SUCCESS;
    }
    slot->state.store(Released, std::memory_order_release);
    slot->release.store(1, std::memory_order_release);
    futexWakeAll(slot->release);
    return KERN_SUCCESS;
}

kern_return_t thread_get_state(thread_act_t thread, thread_state_flavor_t flavor,
                               thread_state_t state, mach_msg_type_number_t* count) {
#if defined(__aarch64__)
    const ko_mcontext64* context = suspendedContextOf(static_cast<pid_t>(thread));
    if (context == nullptr) {
        return KERN_FAILURE;
    }
    if (state == nullptr || count == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    switch (flavor) {
    case ARM_THREAD_STATE: {
        arm_unified_thread_state_t unified;
        unified.ash.flavor = ARM_THREAD_STATE64;
        unified.ash.count = ARM_THREAD_STATE64_COUNT;
        copyBytes(&unified.uts.ts_64, &context->ss, sizeof(unified.uts.ts_64));
        return copyOut(unified, state, count);
    }
    case ARM_THREAD_STATE64:
        return copyOut(context->ss, state, count);
    case ARM_EXCEPTION_STATE64:
        return copyOut(context->es, state, count);
    case ARM_NEON_STATE64:
        return copyOut(context->ns, state, count);
    default:
        return KERN_INVALID_ARGUMENT;
    }
#else
    (void)thread;
    (void)flavor;
    (void)state;
    (void)count;
    return KERN_INVALID_ARGUMENT;
#endif
}

} // namespace platform::mach
