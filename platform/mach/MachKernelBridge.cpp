// May run at crash time: everything in this file; the fault handler calls only async-signal-safe
// code (the port tables, mach_msg, futexes, sigaction, sigprocmask, tgkill).
//
// The bridge owns the kernel's action for the fault signals once an exception port is set. A
// fault raised by the CPU (si_code > 0) becomes an exception message (type and codes derived
// from the signal, the faulting thread and the task) to the port registered for its type, the
// thread's own before the task's. The faulting thread waits for the reply inside its handler,
// shown to thread_suspend and thread_get_state as stopped at the fault. A reply of success
// returns from the handler: the thread resumes at the faulting instruction, as the kernel
// resumes it. Any other reply, no port, a signal sent by a process, or a fault on the thread
// that serves the port (it would wait for itself) goes to the action that was in force before
// the bridge, as if no port had existed: a handler is called in place, and the default action
// is restored and the signal sent again, so that it ends the process with it also where the
// faulting instruction does not run again (a breakpoint trap resumes after it). In a forked
// child the ports registered by the parent name nothing (its name space starts empty), so its
// faults go to those actions too instead of waiting for a server that is not there.
//
// The codes keep what the signal tells apart: an access to a page that does not allow it
// (SEGV_ACCERR) is KERN_PROTECTION_FAILURE, a bus error KERN_MEMORY_ERROR, so that the signal
// derived from the exception is the one this kernel ends the process with.
#include "platform/mach/MachKernelBridge.h"

#include "platform/mach/MachExceptionDelivery.h"
#include "platform/mach/MachKernelLock.h"
#include "platform/mach/MachPortSpace.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachThreads.h"
#include "platform/mach/SystemCall.h"

#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::mach {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
constexpr int kSignalLimit = 32;
// Room for every ARM thread-state flavor the bridge may be asked for.
constexpr mach_msg_type_number_t kStateWords = 256;

// Guarded by KernelLock.
struct sigaction fallbacks[kSignalLimit];

// Kernel-made (SIGSEGV from a bad access) rather than sent by kill, tgkill or raise.
bool raisedByProcessor(const siginfo_t* info) {
    return info != nullptr && info->si_code > 0;
}

struct Exception {
    exception_type_t type;
    mach_exception_data_type_t codes[2];
};

Exception exceptionFor(int signo, const siginfo_t* info) {
    auto address =
        static_cast<mach_exception_data_type_t>(reinterpret_cast<std::uintptr_t>(info->si_addr));
    switch (signo) {
    case SIGSEGV:
        return {EXC_BAD_ACCESS,
                {info->si_code == SEGV_ACCERR ? KERN_PROTECTION_FAILURE : KERN_INVALID_ADDRESS,
                 address}};
    case SIGBUS:
        return {EXC_BAD_ACCESS, {KERN_MEMORY_ERROR, address}};
    case SIGILL:
        return {EXC_BAD_INSTRUCTION, {1, address}};
    case SIGFPE:
        return {EXC_ARITHMETIC, {info->si_code, address}};
    default:
        return {EXC_BREAKPOINT, {1, address}};
    }
}

bool deliverToExceptionPort(int signo, siginfo_t* info, void* ucontext) {
    pid_t self = gettid();
    Exception exception = exceptionFor(signo, info);
    ExceptionTarget target;
    if (!exceptionTargetFor(self, exception.type, &target)) {
        return false;
    }
    kern_return_t result = KERN_FAILURE;
    if (!servesPort(self, target.port)) {
        bool stopped = beginExceptionWait(ucontext);
        natural_t oldState[kStateWords];
        natural_t newState[kStateWords];
        mach_msg_type_number_t oldCount = kStateWords;
        mach_msg_type_number_t newCount = kStateWords;
        thread_state_flavor_t flavor = target.flavor;
        if ((target.behavior & ~MACH_EXCEPTION_CODES) != EXCEPTION_DEFAULT &&
            thread_get_state(static_cast<thread_t>(self), flavor, oldState, &oldCount) !=
                KERN_SUCCESS) {
            oldCount = 0;
        }
        result =
            deliverException(target.port, {target.behavior, static_cast<thread_t>(self),
                                           mach_task_self(), exception.type, exception.codes, 2,
                                           &flavor, oldState, oldCount, newState, &newCount});
        if (stopped) {
            endExceptionWait();
        }
    }
    mach_port_deallocate(mach_task_self(), target.port);
    return result == KERN_SUCCESS;
}

void restoreDefault(int signo) {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    sigaction(signo, &defaults, nullptr);
}

void fallBack(int signo, siginfo_t* info, void* ucontext) {
    struct sigaction action;
    {
        KernelLock lock;
        action = fallbacks[signo];
        if ((action.sa_flags & SA_RESETHAND) != 0) {
            fallbacks[signo].sa_handler = SIG_DFL;
            fallbacks[signo].sa_flags = 0;
        }
    }
    bool withInfo = (action.sa_flags & SA_SIGINFO) != 0;
    if (!withInfo && (action.sa_handler == SIG_DFL ||
                      (action.sa_handler == SIG_IGN && raisedByProcessor(info)))) {
        restoreDefault(signo);
        platform::systemCall(SYS_tgkill, getpid(), gettid(), signo);
        return;
    }
    if (!withInfo && action.sa_handler == SIG_IGN) {
        return;
    }
    sigset_t saved;
    sigprocmask(SIG_BLOCK, &action.sa_mask, &saved);
    if (withInfo) {
        action.sa_sigaction(signo, info, ucontext);
    } else {
        action.sa_handler(signo);
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

void bridgeHandler(int signo, siginfo_t* info, void* ucontext) {
    int savedErrno = errno;
    if (!raisedByProcessor(info) || !deliverToExceptionPort(signo, info, ucontext)) {
        fallBack(signo, info, ucontext);
    }
    errno = savedErrno;
}

bool isBridge(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == bridgeHandler;
}

} // namespace

struct sigaction actionBeneathKernelBridge(int signo, const struct sigaction& found) {
    if (!isBridge(found) || signo <= 0 || signo >= kSignalLimit) {
        return found;
    }
    KernelLock lock;
    return fallbacks[signo];
}

void armKernelBridge() {
    int savedErrno = errno;
    KernelLock lock;
    for (int signo : kFaultSignals) {
        struct sigaction current;
        if (sigaction(signo, nullptr, &current) != 0 || isBridge(current)) {
            continue;
        }
        struct sigaction bridge {};
        bridge.sa_sigaction = bridgeHandler;
        sigemptyset(&bridge.sa_mask);
        bridge.sa_flags = SA_SIGINFO | SA_ONSTACK;
        if (sigaction(signo, &bridge, nullptr) == 0) {
            fallbacks[signo] = current;
        }
    }
    errno = savedErrno;
}

} // namespace platform::mach
