// libFuzzer entry: arbitrary bytes as a DWARF expression, through the evaluator of either
// width. Built with -DDAVAROR_FUZZ=ON and clang; see scripts/fuzz.sh dwarf-expression.
#include "DwarfFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kocrash_dwarf_fuzz_expression(data, size);
    return 0;
}
