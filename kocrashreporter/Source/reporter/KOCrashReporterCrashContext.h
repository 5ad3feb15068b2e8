// What the crash paths work on: one process-wide context filled at enable, the image list kept
// current by the loader's callbacks, and the host's crash callback. Each is static storage that
// is never released, so capture outlives the reporter object that enabled it and a signal
// during exit still finds everything in place.
#pragma once

#include "handlers/KOCrashMachExceptionPort.h"
#include "images/KOCrashAsyncImageList.h"
#include "log/KOCrashLogWriter.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <ucontext.h>

struct kocrash_crash_context {
    kocrash_log_writer writer;
    // Owned; set once at enable.
    const char* report_path;
    // Where a crash that took over from an earlier one whose report is whole writes its own
    // report, once: the earlier report is never overwritten. Owned; set once at enable.
    const char* later_report_path;
    // 0: no cap.
    std::uint64_t report_size_cap;
    kocrash_mach_exception_port_set previous_mach_ports;
    // Mach mode: faults are reported as exceptions, and their signals only where no exception
    // server answered.
    bool faults_arrive_as_exceptions;
};

namespace kocrash {
extern kocrash_crash_context signal_handler_context;
extern kocrash_async_image_list shared_image_list;
} // namespace kocrash

// Called after a crash report was written, with the signal as this host numbers it.
using KOCrashReporterPostCrashSignalCallback = void (*)(siginfo_t* info, ucontext_t* uap,
                                                        void* context);

struct KOCrashReporterCallbacks {
    // Must be 0.
    std::uint16_t version;
    void* context;
    KOCrashReporterPostCrashSignalCallback signalCallback;
};

// Set before enable, read by the crash paths.
namespace kocrash {
extern std::atomic<KOCrashReporterPostCrashSignalCallback> crashCallbackFunction;
extern std::atomic<void*> crashCallbackContext;
} // namespace kocrash

// Starts shared_image_list, once per process; its loader callbacks are registered on a library
// thread, and a report lists the loader's objects from its link map until they have announced
// every object loaded.
void kocrash_nasync_shared_image_list_start();
// Whether a thread of this process is still announcing them: never in a child forked meanwhile,
// which keeps listing the loader's objects from its link map.
bool kocrash_nasync_shared_image_list_announcing();
