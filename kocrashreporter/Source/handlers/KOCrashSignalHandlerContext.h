// The process-wide state of the signal handler: the callback chain and the actions that were in
// force before each signal's handler was installed. Created once, never destroyed: a signal that
// arrives while the process exits still finds it. May run at crash time: the readers of the
// lists.
#pragma once

#include "async/KOCrashAsyncList.h"
#include "handlers/KOCrashSignalHandler.h"

struct kocrash_signal_user_callback {
    KOCrashSignalHandlerCallbackFunc callback;
    void* context;
};

struct kocrash_signal_handler_action {
    std::int32_t signo;
    struct sigaction action;
};

struct kocrash_signal_handler_context {
    kocrash::async::async_list<kocrash_signal_user_callback> callbacks;
    kocrash::async::async_list<kocrash_signal_handler_action> saved_actions;
};

// Normal context: creates the state on first use.
kocrash_signal_handler_context& kocrash_signal_handler_shared_context();
// Makes the created state visible to the installed handler, which finds no chain before.
void kocrash_signal_handler_publish_context(kocrash_signal_handler_context* context);

// The installed three-argument handler, and the chain's last entry.
void kocrash_signal_handler(int signo, siginfo_t* info, void* uap);
bool kocrash_previous_action_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                      KOCrashSignalHandlerCallback* next);
