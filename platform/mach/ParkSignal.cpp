// May run at crash time: everything in this file (sigaction, pthread_sigmask, tgkill, and /proc
// reads of a fixed buffer).
#include "platform/mach/ParkSignal.h"

#include "platform/mach/ErrnoGuard.h"
#include "platform/mach/MachThreads.h"
#include "platform/mach/SystemCall.h"

#include <atomic>
#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::mach {
namespace {

enum : int { kUnchosen = 0, kChoosing = -1, kNoneFree = -2 };

std::atomic<int> chosenSignal{kUnchosen};
std::atomic<bool> maskTrusted{false};

// The library's threads, which keep the park signal open. Past this many, a thread of the
// library is asked about in /proc as any other is.
constexpr int kOpenThreadCapacity = 256;
std::atomic<pid_t> openThreads[kOpenThreadCapacity];

bool isDefault(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

bool runs(const struct sigaction& action, ParkHandler handler) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == handler;
}

bool sendToSelf(int signal) {
    return platform::systemCall(SYS_tgkill, getpid(), gettid(), signal) == 0;
}

// A signal whose handler the caller installs over the default one, and which the kernel (or
// the emulator) really delivers. A delivery the caller blocks arrives later and finds nobody to
// park: the handler returns at once.
bool takeIfFree(int signal, ParkHandler handler) {
    struct sigaction current;
    if (sigaction(signal, nullptr, &current) != 0 || !isDefault(current)) {
        return false;
    }
    struct sigaction action;
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = handler;
    // The alternate stack, where a thread has one, spares a thread whose own stack is nearly
    // exhausted; restarted system calls keep parking invisible to the parked code.
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    action.sa_restorer = nullptr;
    if (sigaction(signal, &action, &current) != 0) {
        return false;
    }
    if (!isDefault(current)) {
        // The application took it an instant ago: its handler goes back.
        sigaction(signal, &current, nullptr);
        return false;
    }
    if (!sendToSelf(signal)) {
        sigaction(signal, &current, nullptr);
        return false;
    }
    return true;
}

// Reads the thread's blocked-signal mask from /proc; false when it cannot be read.
bool readStatusMask(pid_t tid, unsigned long long* mask) {
    char path[48] = "/proc/self/task/";
    std::size_t length = 16;
    char digits[12];
    int count = 0;
    for (pid_t rest = tid; rest > 0 && count < 12; rest /= 10) {
        digits[count++] = static_cast<char>('0' + rest % 10);
    }
    while (count > 0) {
        path[length++] = digits[--count];
    }
    for (const char* suffix = "/status"; *suffix != '\0'; ++suffix) {
        path[length++] = *suffix;
    }
    path[length] = '\0';

    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char status[4096];
    ssize_t size = read(fd, status, sizeof status - 1);
    close(fd);
    if (size <= 0) {
        return false;
    }
    status[size] = '\0';
    const char key[] = "\nSigBlk:";
    for (ssize_t i = 0; i + 8 < size; ++i) {
        int matched = 0;
        while (matched < 8 && status[i + matched] == key[matched]) {
            ++matched;
        }
        if (matched < 8) {
            continue;
        }
        *mask = 0;
        for (const char* hex = status + i + 8; *hex != '\n' && *hex != '\0'; ++hex) {
            if (*hex >= '0' && *hex <= '9') {
                *mask = *mask * 16 + static_cast<unsigned>(*hex - '0');
            } else if (*hex >= 'a' && *hex <= 'f') {
                *mask = *mask * 16 + static_cast<unsigned>(*hex - 'a' + 10);
            }
        }
        return true;
    }
    return false;
}

bool statusShowsBlocked(pid_t tid, int signal, bool* blocked) {
    unsigned long long mask = 0;
    if (!readStatusMask(tid, &mask)) {
        return false;
    }
    *blocked = (mask >> (signal - 1) & 1) != 0;
    return true;
}

// The calling thread blocks the signal and then opens it; /proc is trusted only when it shows
// both as they are.
bool statusFollowsMask(int signal) {
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigset_t saved;
    if (pthread_sigmask(SIG_BLOCK, &only, &saved) != 0) {
        return false;
    }
    bool shownBlocked = false;
    const bool readBlocked = statusShowsBlocked(gettid(), signal, &shownBlocked);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    bool shownOpen = true;
    const bool readOpen = statusShowsBlocked(gettid(), signal, &shownOpen);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return readBlocked && readOpen && shownBlocked && !shownOpen;
}

int choose(ParkHandler handler) {
    for (int signal = SIGRTMAX; signal >= SIGRTMIN; --signal) {
        if (takeIfFree(signal, handler)) {
            maskTrusted.store(statusFollowsMask(signal), std::memory_order_relaxed);
            return signal;
        }
    }
    return kNoneFree;
}

} // namespace

int installParkSignal(ParkHandler handler) {
    int signal = chosenSignal.load(std::memory_order_acquire);
    if (signal == kUnchosen &&
        chosenSignal.compare_exchange_strong(signal, kChoosing, std::memory_order_acq_rel)) {
        ErrnoGuard errnoGuard;
        signal = choose(handler);
        chosenSignal.store(signal, std::memory_order_release);
    }
    // Another thread chooses; a handler that interrupted the choosing thread itself gives up.
    for (int wait = 0; signal == kChoosing && wait < 10000; ++wait) {
        sched_yield();
        signal = chosenSignal.load(std::memory_order_acquire);
    }
    return signal > 0 ? signal : 0;
}

bool parkSignalStillRuns(ParkHandler handler) {
    const int signal = chosenSignal.load(std::memory_order_acquire);
    struct sigaction current;
    return signal > 0 && sigaction(signal, nullptr, &current) == 0 && runs(current, handler);
}

bool statusMaskBlocksParkSignal(pid_t tid) {
    const int signal = chosenSignal.load(std::memory_order_acquire);
    unsigned long long mask = 0;
    if (signal <= 0 || !readStatusMask(tid, &mask)) {
        return false;
    }
    if (maskTrusted.load(std::memory_order_relaxed)) {
        return (mask >> (signal - 1) & 1) != 0;
    }
    // Signals 34 to 64: the C library never lets a thread block 32 and 33, which it keeps for
    // itself, and the emulator's numbering of the application's real-time signals lies within.
    constexpr unsigned long long kRealTimeBits = ~0ull << 33;
    return (mask & kRealTimeBits) == kRealTimeBits;
}

bool keepsParkSignalOpen(pid_t tid) {
    for (const std::atomic<pid_t>& entry : openThreads) {
        if (entry.load(std::memory_order_acquire) == tid) {
            return true;
        }
    }
    return false;
}

ParkSignalKeptOpen::ParkSignalKeptOpen() : tid_(gettid()) {
    for (std::atomic<pid_t>& entry : openThreads) {
        pid_t expected = 0;
        if (entry.compare_exchange_strong(expected, tid_, std::memory_order_acq_rel)) {
            return;
        }
    }
}

ParkSignalKeptOpen::~ParkSignalKeptOpen() {
    for (std::atomic<pid_t>& entry : openThreads) {
        pid_t expected = tid_;
        if (entry.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
            return;
        }
    }
}

} // namespace platform::mach
