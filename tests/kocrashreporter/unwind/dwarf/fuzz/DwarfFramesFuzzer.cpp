// libFuzzer entry: arbitrary bytes as a call-frame section and a pc, through the FDE search, the
// CIE parser, both call-frame programs and the row's application. Built with -DDAVAROR_FUZZ=ON
// and clang; see scripts/fuzz.sh dwarf-frames.
#include "DwarfFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kocrash_dwarf_fuzz_frames(data, size);
    return 0;
}
