// The kernel bridge: synchronous fault signals (SEGV, BUS, ILL, FPE, TRAP) become exception
// messages to the exception port registered for their type, as the original kernel raises
// them, and reach the signal actions only when no port takes them.
#pragma once

#include <csignal>

namespace platform::mach {

// Called whenever an exception port is set. From then on the fault signals pass through the
// bridge first; the actions in force until then (and those found replaced by the bridge's own
// on a later call) are the ones a fault falls back to. A signal action installed after the last
// call bypasses the bridge for its signal.
void armKernelBridge();

// What a signal handler installed over the bridge hands the signal on to, given the action it
// replaced: that action, or the one the bridge itself falls back to when it was the bridge's own
// (handing a fault back to the bridge would raise the exception a second time).
struct sigaction actionBeneathKernelBridge(int signo, const struct sigaction& found);

} // namespace platform::mach
