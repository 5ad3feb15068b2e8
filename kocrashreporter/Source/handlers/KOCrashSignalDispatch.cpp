// May run at crash time: everything in this file. The lists are walked with atomic loads and
// the reader count only; errno is kept for the interrupted code.
#include "handlers/KOCrashSignalHandlerContext.h"
#include "platform/mach/ErrnoGuard.h"

#include <atomic>
#include <cerrno>

struct KOCrashSignalHandlerCallback {
    bool (*callback)(int signo, siginfo_t* info, ucontext_t* uap, void* context);
    void* context;
};

namespace {

using CallbackNode = kocrash::async::async_list<kocrash_signal_user_callback>::node;

std::atomic<kocrash_signal_handler_context*> sharedContext{nullptr};

kocrash_signal_handler_context* contextIfCreated() {
    return sharedContext.load(std::memory_order_acquire);
}

using platform::ErrnoGuard;

bool runChainAfter(CallbackNode* after, int signo, siginfo_t* info, ucontext_t* uap);

bool continueChain(int signo, siginfo_t* info, ucontext_t* uap, void* context) {
    return runChainAfter(static_cast<CallbackNode*>(context), signo, info, uap);
}

// after == null starts at the head.
bool runChainAfter(CallbackNode* after, int signo, siginfo_t* info, ucontext_t* uap) {
    kocrash_signal_handler_context* shared = contextIfCreated();
    if (shared == nullptr) {
        return false;
    }
    auto& callbacks = shared->callbacks;
    callbacks.set_reading(true);
    CallbackNode* entry = after == nullptr ? callbacks.head() : callbacks.next(after);
    bool handled = false;
    if (entry != nullptr) {
        KOCrashSignalHandlerCallback link{continueChain, entry};
        handled = entry->value.callback(signo, info, uap, entry->value.context,
                                        callbacks.next(entry) != nullptr ? &link : nullptr);
    }
    callbacks.set_reading(false);
    return handled;
}

bool findSavedAction(int signo, struct sigaction* action) {
    kocrash_signal_handler_context* shared = contextIfCreated();
    if (shared == nullptr) {
        return false;
    }
    auto& saved = shared->saved_actions;
    saved.set_reading(true);
    bool found = false;
    for (auto* node = saved.head(); node != nullptr; node = saved.next(node)) {
        if (node->value.signo == signo) {
            *action = node->value.action;
            found = true;
            break;
        }
    }
    saved.set_reading(false);
    return found;
}

// With nothing left to handle the signal, the default action ends the process with it: a
// handler left in place would catch the raised signal (and a re-executed fault) forever.
void endWithDefaultAction(int signo) {
    struct sigaction current;
    if (sigaction(signo, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
        current.sa_sigaction == kocrash_signal_handler) {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        sigemptyset(&defaults.sa_mask);
        sigaction(signo, &defaults, nullptr);
    }
    raise(signo);
}

} // namespace

void kocrash_signal_handler_publish_context(kocrash_signal_handler_context* context) {
    sharedContext.store(context, std::memory_order_release);
}

bool KOCrashSignalHandlerForward(KOCrashSignalHandlerCallback* next, int signo, siginfo_t* info,
                                 ucontext_t* uap) {
    if (next == nullptr) {
        return false;
    }
    return next->callback(signo, info, uap, next->context);
}

void kocrash_signal_handler(int signo, siginfo_t* info, void* uap) {
    ErrnoGuard errnoGuard;
    if (!runChainAfter(nullptr, signo, info, static_cast<ucontext_t*>(uap))) {
        endWithDefaultAction(signo);
    }
}

bool kocrash_previous_action_callback(int signo, siginfo_t* info, ucontext_t* uap, void*,
                                      KOCrashSignalHandlerCallback* next) {
    ErrnoGuard errnoGuard;
    if (KOCrashSignalHandlerForward(next, signo, info, uap)) {
        return true;
    }
    struct sigaction previous;
    if (!findSavedAction(signo, &previous)) {
        return false;
    }
    if ((previous.sa_flags & SA_SIGINFO) != 0) {
        previous.sa_sigaction(signo, info, uap);
        return true;
    }
    // An ignored fault would only run its instruction again: the kernel ends the process then.
    if (previous.sa_handler == SIG_DFL || (previous.sa_handler == SIG_IGN && info->si_code > 0)) {
        return false;
    }
    if (previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signo);
    }
    return true;
}
