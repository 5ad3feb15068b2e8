// Normal context only: registration allocates list nodes and takes the registration lock.
#include "handlers/KOCrashSignalHandler.h"

#include "KOCrashLog.h"
#include "handlers/KOCrashSignalHandlerContext.h"
#include "platform/mach/MachKernelBridge.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

namespace {

constexpr std::size_t kAlternateStackSize = 65536;

std::mutex& registrationLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

bool chainEndsWithPreviousAction(kocrash_signal_handler_context& shared) {
    auto* last = shared.callbacks.head();
    while (last != nullptr && shared.callbacks.next(last) != nullptr) {
        last = shared.callbacks.next(last);
    }
    return last != nullptr && last->value.callback == kocrash_previous_action_callback;
}

bool hasSavedAction(kocrash_signal_handler_context& shared, int signo) {
    for (auto* node = shared.saved_actions.head(); node != nullptr;
         node = shared.saved_actions.next(node)) {
        if (node->value.signo == signo) {
            return true;
        }
    }
    return false;
}

bool isOwnHandler(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == kocrash_signal_handler;
}

struct sigaction defaultAction() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    return action;
}

} // namespace

kocrash_signal_handler_context& kocrash_signal_handler_shared_context() {
    // Never destroyed: a signal during exit must still find the lists.
    static kocrash_signal_handler_context* created = [] {
        auto* context = new kocrash_signal_handler_context;
        kocrash_signal_handler_publish_context(context);
        return context;
    }();
    return *created;
}

KOCrashSignalHandler* KOCrashSignalHandler::sharedHandler() {
    static KOCrashSignalHandler* shared = [] {
        auto* stack = new (std::nothrow) std::uint8_t[kAlternateStackSize];
        if (stack == nullptr) {
            return static_cast<KOCrashSignalHandler*>(nullptr);
        }
        auto* handler = new KOCrashSignalHandler;
        handler->sigstk_.ss_sp = stack;
        handler->sigstk_.ss_size = kAlternateStackSize;
        handler->sigstk_.ss_flags = 0;
        return handler;
    }();
    return shared;
}

bool KOCrashSignalHandler::registerHandlerWithSignal(int signo, std::optional<KOError>* error) {
    std::lock_guard lock(registrationLock());
    return installHandler(signo, error);
}

bool KOCrashSignalHandler::registerHandlerForSignal(int signo,
                                                    KOCrashSignalHandlerCallbackFunc callback,
                                                    void* context, std::optional<KOError>* error) {
    std::lock_guard lock(registrationLock());
    if (!installHandler(signo, error)) {
        return false;
    }
    kocrash_signal_handler_shared_context().callbacks.nasync_prepend({callback, context});
    return true;
}

bool KOCrashSignalHandler::useAlternateStack(std::optional<KOError>* error) {
    stack_t current{};
    const bool applicationStack =
        sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
    if (applicationStack && current.ss_size >= sigstk_.ss_size) {
        return true;
    }
    if (sigaltstack(&sigstk_, nullptr) != 0) {
        kocrash_populate_posix_error(error, errno, "Could not initialize alternative signal stack");
        return false;
    }
    if (applicationStack) {
        kocrash_log("[KOCrashReporter] Replaced the alternate signal stack of %zu bytes with one "
                    "of %zu bytes",
                    current.ss_size, sigstk_.ss_size);
    }
    return true;
}

bool KOCrashSignalHandler::installHandler(int signo, std::optional<KOError>* error) {
    kocrash_signal_handler_context& shared = kocrash_signal_handler_shared_context();
    if (!useAlternateStack(error)) {
        return false;
    }
    if (!chainEndsWithPreviousAction(shared)) {
        shared.callbacks.nasync_append({kocrash_previous_action_callback, nullptr});
    }
    if (hasSavedAction(shared, signo)) {
        return true;
    }
    struct sigaction action {};
    action.sa_sigaction = kocrash_signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    kocrash_signal_handler_action saved{};
    saved.signo = signo;
    if (sigaction(signo, &action, &saved.action) != 0) {
        kocrash_populate_posix_error(error, errno, "Failed to register signal handler");
        return false;
    }
    if (isOwnHandler(saved.action)) {
        // Installed before resetHandlers forgot what it replaced: handing the signal to it
        // would call this handler again without end.
        saved.action = defaultAction();
    }
    saved.action = platform::mach::actionBeneathKernelBridge(signo, saved.action);
    shared.saved_actions.nasync_append(saved);
    return true;
}

void KOCrashSignalHandler::resetHandlers() {
    std::lock_guard lock(registrationLock());
    kocrash_signal_handler_context& shared = kocrash_signal_handler_shared_context();
    while (auto* node = shared.saved_actions.head()) {
        shared.saved_actions.nasync_remove_node(node);
    }
    while (auto* node = shared.callbacks.head()) {
        shared.callbacks.nasync_remove_node(node);
    }
}
