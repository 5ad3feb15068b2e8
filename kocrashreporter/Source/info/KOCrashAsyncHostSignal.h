// Signals as this host numbers them, renumbered as crash logs number them (the numbering of
// KOCrashAsyncSignalInfo.h): SIGBUS is 7 here and 10 there, and the codes of SIGILL and
// SIGFPE are ordered differently. May run at crash time: everything declared here.
#pragma once

#include "info/KOCrashAsyncSignalInfo.h"

#include <csignal>

extern "C" {

// Number, code and fault address of a received signal, in crash-log numbering. A code the
// sender chose (a signal sent by kill, raise or abort) or the kernel's generic code becomes 0;
// a sent signal's address is 0.
void kocrash_async_signal_info_from_host(const siginfo_t* info, kocrash_async_signal_info* out);

// The reverse, for handing a crash-log signal to code that expects this host's numbering.
void kocrash_async_signal_info_to_host(const kocrash_async_signal_info* info, siginfo_t* out);

} // extern "C"
