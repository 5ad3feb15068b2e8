// One fuzz input through the decoder and the text formatter; stops the process on any
// broken promise. Shared by the libFuzzer target and the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>

void kocrash_report_fuzz_one(const std::uint8_t* data, std::size_t size);
