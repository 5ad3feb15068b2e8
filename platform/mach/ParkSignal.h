// The real-time signal that parks threads: which one it is, whether it is still the library's,
// which threads are known to keep it open, and whether a thread's /proc status may be asked
// about it. Everything here is async-signal-safe.
#pragma once

#include <csignal>
#include <sys/types.h>

namespace platform::mach {

using ParkHandler = void (*)(int, siginfo_t*, void*);

// Chooses the signal once, at the first call, and installs handler on it: the highest
// real-time signal the C library leaves to applications whose disposition is still the default
// and that can really be sent (the emulator accepts handlers for signals it cannot deliver). An
// application's handler is never replaced. 0 when no signal is free.
int installParkSignal(ParkHandler handler);

// Whether the chosen signal still runs handler: the application may have taken it since.
bool parkSignalStillRuns(ParkHandler handler);

// Whether the blocked-signal mask in /proc names the park signal as the thread itself sees it.
// Under the emulator it shows the host's mask, whose real-time signals have other numbers.
bool statusMaskIsTrusted();

// Whether the thread keeps the park signal blocked, as /proc shows it (statusMaskIsTrusted).
bool statusMaskBlocksParkSignal(pid_t tid);

// Whether the thread is one of those that announced they keep the park signal open.
bool keepsParkSignalOpen(pid_t tid);

} // namespace platform::mach
