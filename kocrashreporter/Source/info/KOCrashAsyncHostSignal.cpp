// May run at crash time: everything in this file (constant tables).
#include "info/KOCrashAsyncHostSignal.h"

namespace {

struct Renumbering {
    int host;
    int log;
};

constexpr Renumbering kSignals[] = {
    {SIGHUP, 1},     {SIGINT, 2},   {SIGQUIT, 3},   {SIGILL, 4},   {SIGTRAP, 5},  {SIGABRT, 6},
    {SIGFPE, 8},     {SIGKILL, 9},  {SIGBUS, 10},   {SIGSEGV, 11}, {SIGSYS, 12},  {SIGPIPE, 13},
    {SIGALRM, 14},   {SIGTERM, 15}, {SIGURG, 16},   {SIGSTOP, 17}, {SIGTSTP, 18}, {SIGCONT, 19},
    {SIGCHLD, 20},   {SIGTTIN, 21}, {SIGTTOU, 22},  {SIGIO, 23},   {SIGXCPU, 24}, {SIGXFSZ, 25},
    {SIGVTALRM, 26}, {SIGPROF, 27}, {SIGWINCH, 28}, {SIGUSR1, 30}, {SIGUSR2, 31}};

constexpr Renumbering kIllCodes[] = {{ILL_ILLOPC, 1}, {ILL_ILLTRP, 2}, {ILL_PRVOPC, 3},
                                     {ILL_ILLOPN, 4}, {ILL_ILLADR, 5}, {ILL_PRVREG, 6},
                                     {ILL_COPROC, 7}, {ILL_BADSTK, 8}};

constexpr Renumbering kFpeCodes[] = {{FPE_FLTDIV, 1}, {FPE_FLTOVF, 2}, {FPE_FLTUND, 3},
                                     {FPE_FLTRES, 4}, {FPE_FLTINV, 5}, {FPE_FLTSUB, 6},
                                     {FPE_INTDIV, 7}, {FPE_INTOVF, 8}};

template <std::size_t N> int toLog(const Renumbering (&table)[N], int host, int fallback) {
    for (const Renumbering& row : table) {
        if (row.host == host) {
            return row.log;
        }
    }
    return fallback;
}

template <std::size_t N> int toHost(const Renumbering (&table)[N], int log, int fallback) {
    for (const Renumbering& row : table) {
        if (row.log == log) {
            return row.host;
        }
    }
    return fallback;
}

// Codes of SIGSEGV, SIGBUS and SIGTRAP are numbered alike on both sides. Codes the sender
// chose, and the kernel's own (an x86 breakpoint), are not codes of the signal.
int codeToLog(int hostSignal, int code) {
    if (code <= 0 || code == SI_KERNEL) {
        return 0;
    }
    if (hostSignal == SIGILL) {
        return toLog(kIllCodes, code, code);
    }
    if (hostSignal == SIGFPE) {
        return toLog(kFpeCodes, code, code);
    }
    return code;
}

int codeToHost(int hostSignal, int code) {
    if (hostSignal == SIGILL) {
        return toHost(kIllCodes, code, code);
    }
    if (hostSignal == SIGFPE) {
        return toHost(kFpeCodes, code, code);
    }
    return code;
}

} // namespace

void kocrash_async_signal_info_from_host(const siginfo_t* info, kocrash_async_signal_info* out) {
    out->signo = toLog(kSignals, info->si_signo, info->si_signo);
    out->code = codeToLog(info->si_signo, info->si_code);
    // A sent signal has no fault address: the sender's pid and uid share the place of si_addr.
    out->address = info->si_code <= 0 ? 0 : reinterpret_cast<std::uintptr_t>(info->si_addr);
}

void kocrash_async_signal_info_to_host(const kocrash_async_signal_info* info, siginfo_t* out) {
    out->si_signo = toHost(kSignals, info->signo, info->signo);
    out->si_code = codeToHost(out->si_signo, info->code);
    out->si_addr = reinterpret_cast<void*>(static_cast<std::uintptr_t>(info->address));
}
