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

// Whether the thread keeps the park signal blocked, as its blocked-signal mask in /proc shows.
// Where that mask does not name the park signal as the thread sees it (under the emulator it is
// the host's, whose real-time signals have other numbers), only a mask that blocks every
// real-time signal, in any numbering, counts: the emulator's own threads block them all.
bool statusMaskBlocksParkSignal(pid_t tid);

// Whether the thread is one of those that announced they keep the park signal open.
bool keepsParkSignalOpen(pid_t tid);

} // namespace platform::mach
