// May run at crash time: everything in this file.
//
// A crash arrives as a signal on the faulting thread (BSD mode, and SIGABRT in either mode) or
// as an exception message on the exception server's thread (Mach mode, see below). Both end in
// kocrash_write_report, which writes the one report of the process from the context that
// enable filled; nothing here allocates, locks or reaches the object layer.
//
// Crash during crash: the monitored signals keep their handler while the report is written, and
// the crash guard (KOCrashAsyncCrashGuard.h) tells the threads apart. Any later signal on the
// writing thread, whether a fault inside its own write or one the crash callback causes after
// it (nested in the handler that wrote), resets that signal and lets it end the process at once:
// that thread has no one to wait for. Any other thread that crashes waits, so the first crash's
// signal ends the process and the report is never cut short or written twice; the wait is
// bounded, so a first crash whose thread went on (by siglongjmp out of the crash callback or the
// application's handler) leaves the later crash to be reported, in a file of its own beside the
// first report, which stays whole. A crash of the first thread from outside the handler that
// wrote proves the callback was left, and is reported at once. Only after its callback does the
// first thread reset its own signal, so that raising it again ends the process.
//
// In Mach mode the fault signals have this handler too, beneath the kernel bridge: a fault comes
// here after the exception server answered it, or at once where no server can answer (a forked
// child, whose parent's server thread does not exist in it; the server's own thread), and is then
// reported as a signal. So is a fault the server left because another crash held the guard: it
// waits for that crash, bounded, as any signal does. After the report (the server's or its own)
// the faulting thread hands its signal on to the action that was there before; when that action
// returns, the process goes on, and the guard is released so that a later crash is reported and
// ends the process as the first would have. When it leaves by siglongjmp instead, the thread's next
// crash proves it, and is reported at once. A fault signal sent by a process is no exception in
// Mach mode and is only handed on.
#include "reporter/KOCrashReporterCrashCallbacks.h"

#include "handlers/KOCrashMachExceptionForward.h"
#include "info/KOCrashAsyncHostSignal.h"
#include "info/KOCrashAsyncMachExceptionInfo.h"
#include "platform/mach/MachPorts.h"
#include "reporter/KOCrashAsyncCrashGuard.h"
#include "reporter/KOCrashAsyncReportFolder.h"
#include "reporter/KOCrashCustomData.h"
#include "reporter/KOCrashDescriptorReserve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using kocrash::crashCallbackContext;
using kocrash::crashCallbackFunction;
using kocrash::shared_image_list;

using platform::mach::mach_thread_self;

namespace {

void resetToDefault(int signo) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signo, &action, nullptr);
}

// To the actions after this one; when none handles the signal, its default action (not the
// kernel bridge's handler, which would take the raised signal back) ends the process.
bool handOn(int signo, siginfo_t* info, ucontext_t* uap, KOCrashSignalHandlerCallback* next) {
    if (KOCrashSignalHandlerForward(next, signo, info, uap)) {
        return true;
    }
    resetToDefault(signo);
    return false;
}

enum class SignalTurn { Write, WriteBeside, EndProcess, HandOn };

std::uint64_t fileSize(const char* path) {
    struct stat status;
    return stat(path, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

// The report files' size: a write that goes on, to either, makes it grow.
std::uint64_t reportSize(void* context) {
    const auto* crash = static_cast<kocrash_crash_context*>(context);
    return fileSize(crash->report_path) + fileSize(crash->later_report_path);
}

// Waits while another thread's crash may still end the process, never without end. frame: where
// the calling handler stands; a crash nested in the crash callback stands deeper.
SignalTurn claimForSignal(thread_t self, std::uintptr_t frame, kocrash_crash_context* crash) {
    for (;;) {
        switch (kocrash_async_crash_guard_claim(self, self, frame)) {
        case KOCRASH_CRASH_GUARD_WRITE:
            return SignalTurn::Write;
        case KOCRASH_CRASH_GUARD_OWN_FAULT:
            return SignalTurn::EndProcess;
        case KOCRASH_CRASH_GUARD_TAKEN:
            break;
        }
        if (kocrash_async_crash_guard_hand_on(self)) {
            return SignalTurn::HandOn;
        }
        switch (kocrash_async_crash_guard_wait(self, reportSize, crash)) {
        case KOCRASH_CRASH_GUARD_CHANGED:
            break;
        case KOCRASH_CRASH_GUARD_TOOK_OVER:
            return SignalTurn::WriteBeside;
        case KOCRASH_CRASH_GUARD_GAVE_UP:
            return SignalTurn::EndProcess;
        }
    }
}

void threadStateFromSignal(const ucontext_t* uap, kocrash_async_thread_state* state) {
    kocrash_async_thread_state_init(state, CPU_TYPE_ARM64);
#if defined(__aarch64__)
    ko_mcontext64 machine;
    platform::mach::machineContextFromUcontext(*uap, machine);
    kocrash_async_thread_state_mcontext_init(state, &machine);
#else
    // No thread-state layout for this machine: the thread is listed without registers.
    (void)uap;
#endif
}

void runCrashCallback(siginfo_t* info, ucontext_t* uap) {
    const KOCrashReporterPostCrashSignalCallback callback = crashCallbackFunction.load();
    if (callback != nullptr) {
        callback(info, uap, crashCallbackContext.load());
    }
}

struct MachWrite {
    kocrash_crash_context* context;
    thread_t crashed_thread;
    const kocrash_log_signal_info* signal_info;
    bool ran;
    kocrash_error_t result;
};

kocrash_error_t writeWithServerState(kocrash_async_thread_state* state, void* argument) {
    auto* write = static_cast<MachWrite*>(argument);
    write->ran = true;
    write->result =
        kocrash_write_report(write->context, write->crashed_thread, state, write->signal_info);
    return write->result;
}

} // namespace

kocrash_error_t kocrash_write_report(kocrash_crash_context* context, thread_t crashed_thread,
                                     const kocrash_async_thread_state* thread_state,
                                     const kocrash_log_signal_info* signal_info,
                                     kocrash_report_target target) {
    const bool later = target == kocrash_report_target::later;
    const char* path = later ? context->later_report_path : context->report_path;
    kocrash_async_descriptor_reserve_release();
    if (const kocrash_custom_data* data = kocrash_async_custom_data_acquire(); data != nullptr) {
        // The writer only reads it; the published copy outlives the process's last crash.
        context->writer.custom_data = {static_cast<std::size_t>(data->length),
                                       const_cast<std::uint8_t*>(data->bytes)};
    }
    kocrash_async_make_report_folder(path);
    // Only a regular file of the reporter's own: a link at the path is not followed (nor is the
    // missing file it names created elsewhere), a FIFO put there after enable neither blocks
    // the open nor takes the report, and a file with a second name elsewhere is not emptied.
    // The later report is written once: a further crash never overwrites it.
    const int fd = open(
        path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (later ? O_EXCL : 0), 0600);
    if (fd < 0) {
        return KOCRASH_EINTERNAL;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
        ftruncate(fd, 0) != 0) {
        close(fd);
        return KOCRASH_EINTERNAL;
    }
    // The open's mode covers a new file only: one left by an earlier run is made private too.
    if ((status.st_mode & 07777) != 0600) {
        fchmod(fd, 0600);
    }
    // A file-size limit below the report makes write() fail instead of raising SIGXFSZ, whose
    // default action would end the process by a signal that is not its crash's.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction fileSizeAction;
    const bool fileSizeIgnored = sigaction(SIGXFSZ, &ignore, &fileSizeAction) == 0;
    kocrash_async_file file;
    kocrash_async_file_init(&file, fd, context->report_size_cap);
    const kocrash_error_t result = kocrash_log_writer_write(
        &context->writer, crashed_thread, &shared_image_list, &file, signal_info, thread_state);
    kocrash_log_writer_close(&context->writer);
    const bool flushed = kocrash_async_file_flush(&file);
    const bool closed = close(fd) == 0;
    if (fileSizeIgnored) {
        sigaction(SIGXFSZ, &fileSizeAction, nullptr);
    }
    // A report cut by a refused write cannot be decoded: no report is better than that one.
    if (file.refused) {
        unlink(path);
        return KOCRASH_EINTERNAL;
    }
    if (!flushed || !closed) {
        return KOCRASH_EINTERNAL;
    }
    return result;
}

bool kocrash::signal_handler_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                      KOCrashSignalHandlerCallback* next) {
    auto* crash = static_cast<kocrash_crash_context*>(context);
    const bool machFault = crash->faults_arrive_as_exceptions && signo != SIGABRT;
    if (machFault && info->si_code <= 0) {
        return handOn(signo, info, uap, next);
    }
    const thread_t self = mach_thread_self();
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const SignalTurn turn = claimForSignal(self, frame, crash);
    switch (turn) {
    case SignalTurn::EndProcess:
        resetToDefault(signo);
        return false;
    case SignalTurn::HandOn:
        if (handOn(signo, info, uap, next)) {
            kocrash_async_crash_guard_release(self);
            return true;
        }
        return false;
    case SignalTurn::Write:
    case SignalTurn::WriteBeside:
        break;
    }
    kocrash_async_crash_guard_set_writer_frame(frame);
    kocrash_async_thread_state state;
    threadStateFromSignal(uap, &state);
    kocrash_async_signal_info bsd;
    kocrash_async_signal_info_from_host(info, &bsd);
    const kocrash_log_signal_info signal_info{&bsd, nullptr};
    const kocrash_error_t result =
        kocrash_write_report(crash, self, &state, &signal_info,
                             turn == SignalTurn::WriteBeside ? kocrash_report_target::later
                                                             : kocrash_report_target::main);
    kocrash_async_crash_guard_end_write();
    // The handler stays in place while the callback runs: a callback that leaves by siglongjmp
    // leaves the process with crash reporting.
    if (result == KOCRASH_ESUCCESS) {
        runCrashCallback(info, uap);
    }
    // A fault the exception server could not take (another crash held the guard, or no server
    // runs in this process) goes on as a reported exception does: to the application's action.
    if (machFault && kocrash_async_crash_guard_hand_on(self)) {
        if (handOn(signo, info, uap, next)) {
            kocrash_async_crash_guard_release(self);
            return true;
        }
        return false;
    }
    resetToDefault(signo);
    return false;
}

kern_return_t kocrash::mach_exception_callback(task_t task, thread_t thread,
                                               exception_type_t exception_type,
                                               mach_exception_data_t code,
                                               mach_msg_type_number_t code_count, void* context) {
    auto* crash = static_cast<kocrash_crash_context*>(context);
    if (KOCrashMachExceptionForward(task, thread, exception_type, code, code_count,
                                    &crash->previous_mach_ports) == KERN_SUCCESS) {
        return KERN_SUCCESS;
    }
    kocrash_async_signal_info bsd;
    if (!kocrash_async_mach_exception_get_siginfo(exception_type, code, code_count, CPU_TYPE_ARM64,
                                                  &bsd)) {
        return KERN_FAILURE;
    }
    // The server never waits for the guard: the thread whose report is being written, or whose
    // crash callback runs, may fault and wait for this server's reply. An exception it cannot
    // claim is left to the kernel, and the faulting thread's own signal handler waits instead
    // (or, for the thread that writes or wrote a signal's report, ends the process at once).
    if (kocrash_async_crash_guard_claim(mach_thread_self(), thread) != KOCRASH_CRASH_GUARD_WRITE) {
        return KERN_FAILURE;
    }
    const kocrash_log_mach_signal_info mach{exception_type, code, code_count};
    const kocrash_log_signal_info signal_info{&bsd, &mach};
    MachWrite write{crash, thread, &signal_info, false, KOCRASH_EUNKNOWN};
    kocrash_async_thread_state_current(writeWithServerState, &write);
    if (!write.ran) {
        kocrash_async_thread_state state;
        kocrash_async_thread_state_init(&state, CPU_TYPE_ARM64);
        writeWithServerState(&state, &write);
    }
    if (write.result == KOCRASH_ESUCCESS) {
        // Static and zero: the only write of the process gets here, and a stack copy would be
        // cleared with a library call.
        static siginfo_t info;
        static ucontext_t uap;
        kocrash_async_signal_info_to_host(&bsd, &info);
        runCrashCallback(&info, &uap);
    }
    kocrash_async_crash_guard_end_write();
    return KERN_FAILURE;
}
