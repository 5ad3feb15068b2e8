// The signal the kernel would deliver for a Mach exception. May run at crash time: everything
// declared here (pure computation).
#pragma once

#include "info/KOCrashAsyncSignalInfo.h"
#include "platform/mach/MachExceptionTypes.h"

extern "C" {

// True and siginfo filled when the exception maps to a signal; false for other exception types
// and for fewer than two codes. The CPU type does not change the result.
bool kocrash_async_mach_exception_get_siginfo(exception_type_t exception_type,
                                              const mach_exception_data_type_t* codes,
                                              mach_msg_type_number_t code_count,
                                              cpu_type_t cpu_type,
                                              kocrash_async_signal_info* siginfo);

} // extern "C"
