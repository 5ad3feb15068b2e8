// May run at crash time: everything in this file (pure computation).
//
// A bad access names the signal this kernel ends the process with: a protection failure (an
// access the page does not allow, a stack overflow into its guard page) is SIGSEGV with
// SEGV_ACCERR, as Linux delivers it, where the original platform sends SIGBUS; every other code
// but an invalid address is a bus error.
#include "info/KOCrashAsyncMachExceptionInfo.h"

namespace {

// Signal numbers and codes as the original platform numbers them.
constexpr int kSIGILL = 4;
constexpr int kSIGTRAP = 5;
constexpr int kSIGABRT = 6;
constexpr int kSIGEMT = 7;
constexpr int kSIGFPE = 8;
constexpr int kSIGKILL = 9;
constexpr int kSIGBUS = 10;
constexpr int kSIGSEGV = 11;
constexpr int kSIGSYS = 12;
constexpr int kSIGPIPE = 13;
constexpr int kSEGV_MAPERR = 1;
constexpr int kSEGV_ACCERR = 2;
constexpr int kBUS_ADRERR = 2;
constexpr int kTRAP_BRKPT = 1;

int softwareSignal(mach_exception_data_type_t code) {
    // Unsigned, so that codes near the most negative value wrap instead of overflowing.
    switch (static_cast<std::uint64_t>(code) - std::uint64_t{EXC_UNIX_BAD_SYSCALL}) {
    case 0:
        return kSIGSYS;
    case 1:
        return kSIGPIPE;
    case 2:
        return kSIGABRT;
    case 3:
        return kSIGKILL;
    default:
        return kSIGABRT;
    }
}

} // namespace

bool kocrash_async_mach_exception_get_siginfo(exception_type_t exception_type,
                                              const mach_exception_data_type_t* codes,
                                              mach_msg_type_number_t code_count,
                                              cpu_type_t /*cpu_type*/,
                                              kocrash_async_signal_info* siginfo) {
    if (code_count < 2) {
        return false;
    }
    int signal;
    switch (exception_type) {
    case EXC_BAD_ACCESS:
        signal = codes[0] == KERN_INVALID_ADDRESS || codes[0] == KERN_PROTECTION_FAILURE ? kSIGSEGV
                                                                                         : kSIGBUS;
        break;
    case EXC_BAD_INSTRUCTION:
        signal = kSIGILL;
        break;
    case EXC_ARITHMETIC:
        signal = kSIGFPE;
        break;
    case EXC_EMULATION:
        signal = kSIGEMT;
        break;
    case EXC_SOFTWARE:
        signal = softwareSignal(codes[0]);
        break;
    case EXC_BREAKPOINT:
        signal = kSIGTRAP;
        break;
    default:
        return false;
    }

    int code = 0;
    if (signal == kSIGSEGV) {
        code = codes[0] == KERN_PROTECTION_FAILURE ? kSEGV_ACCERR
               : codes[0] == KERN_INVALID_ADDRESS  ? kSEGV_MAPERR
                                                   : 0;
    } else if (signal == kSIGBUS) {
        code = kBUS_ADRERR;
    } else if (signal == kSIGTRAP) {
        code = kTRAP_BRKPT;
    }
    siginfo->signo = signal;
    siginfo->code = code;
    siginfo->address = static_cast<std::uint64_t>(codes[1]);
    return true;
}
