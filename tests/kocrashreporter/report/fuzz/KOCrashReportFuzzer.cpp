// libFuzzer entry: arbitrary bytes as a crash log file through the decoder and the text
// formatter. Built with -DDAVAROR_FUZZ=ON and clang; see scripts/fuzz.sh report.
#include "CrashReportFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kocrash_report_fuzz_one(data, size);
    return 0;
}
