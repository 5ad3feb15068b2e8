// libFuzzer entry: arbitrary bytes as a Mach-O image and as a compact unwind section. Built
// with -DDAVAROR_FUZZ=ON and clang; see scripts/fuzz.sh images.
#include "ImageFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kocrash_image_fuzz_one(data, size);
    return 0;
}
