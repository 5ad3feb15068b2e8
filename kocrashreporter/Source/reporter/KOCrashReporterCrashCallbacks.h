// The crash-time routines that enable installs, and the routine that writes the report.
// May run at crash time: everything declared here.
#pragma once

#include "handlers/KOCrashMachExceptionServer.h"
#include "handlers/KOCrashSignalHandler.h"
#include "reporter/KOCrashReporterCrashContext.h"

// Writes the crashed thread's report and returns false (not handled), so the signal ends the
// process. A signal whose report the exception server wrote, or that is no exception in Mach
// mode, goes to the actions after this one instead; true when one of them handled it.
namespace kocrash {

bool signal_handler_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                             KOCrashSignalHandlerCallback* next);

// Offers the exception to the previous ports first; KERN_SUCCESS only when one of them handled
// it (no report is then written), KERN_FAILURE otherwise.
kern_return_t mach_exception_callback(task_t task, thread_t thread, exception_type_t exception_type,
                                      mach_exception_data_t code, mach_msg_type_number_t code_count,
                                      void* context);

} // namespace kocrash

// Where a report goes: the report path, or beside the earlier crash's whole report.
enum class kocrash_report_target { main, later };

// KOCRASH_EINTERNAL when the report file cannot be opened, flushed or closed (or, for the later
// report, already exists); otherwise the writer's result (a refused write only shortens the
// file).
kocrash_error_t kocrash_write_report(kocrash_crash_context* context, thread_t crashed_thread,
                                     const kocrash_async_thread_state* thread_state,
                                     const kocrash_log_signal_info* signal_info,
                                     kocrash_report_target target = kocrash_report_target::main);
