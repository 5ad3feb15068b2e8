// One fuzz input through the Mach-O image reader, symbol lookup, the metadata walk and the
// compact unwind reader: first as an image file mapped as the loader maps it, then as the
// bytes of an image in memory (on the heap, then below 2 GiB), then as an __unwind_info
// section. Shared by the libFuzzer target and the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>

void kocrash_image_fuzz_one(const std::uint8_t* data, std::size_t size);
