// One process-wide signal handler per requested signal, dispatching every delivered signal
// through a chain of callbacks; the chain's last entry hands the signal on to the action that
// was installed before. May run at crash time: KOCrashSignalHandlerForward and the installed
// handler (they walk the lists without locking). Registration and resetHandlers allocate and
// lock (normal context only).
#pragma once

#include "KOCrashReporterError.h"

#include <csignal>
#include <optional>
#include <ucontext.h>

// The link to the rest of the chain, handed to each callback; opaque to callbacks.
struct KOCrashSignalHandlerCallback;

// Returns true when the signal was handled: the chain stops there. A callback that does not
// handle the signal may pass it on with KOCrashSignalHandlerForward(next, ...); next is null
// for the last entry.
using KOCrashSignalHandlerCallbackFunc = bool (*)(int signo, siginfo_t* info, ucontext_t* uap,
                                                  void* context,
                                                  KOCrashSignalHandlerCallback* next);

// Runs the rest of the chain; false when there is none.
bool KOCrashSignalHandlerForward(KOCrashSignalHandlerCallback* next, int signo, siginfo_t* info,
                                 ucontext_t* uap);

class KOCrashSignalHandler {
public:
    // Made once, on first use; lives for the whole process.
    static KOCrashSignalHandler* sharedHandler();

    // Installs the handler for the signal (when not yet installed) and puts (callback, context)
    // at the head of the chain.
    bool registerHandlerForSignal(int signo, KOCrashSignalHandlerCallbackFunc callback,
                                  void* context, std::optional<KOError>* error);
    // The installing half alone.
    bool registerHandlerWithSignal(int signo, std::optional<KOError>* error);

    // Forgets every chain entry and every recorded previous action; the installed handlers stay
    // in place, so a later signal finds an empty chain and is raised again.
    static void resetHandlers();

    KOCrashSignalHandler(const KOCrashSignalHandler&) = delete;
    KOCrashSignalHandler& operator=(const KOCrashSignalHandler&) = delete;

private:
    KOCrashSignalHandler() = default;
    // Needs the registration lock held.
    bool installHandler(int signo, std::optional<KOError>* error);
    // Keeps the calling thread's alternate stack when it is at least as large as the reporter's
    // own; otherwise puts the reporter's in its place.
    bool useAlternateStack(std::optional<KOError>* error);

    stack_t sigstk_{};
};
