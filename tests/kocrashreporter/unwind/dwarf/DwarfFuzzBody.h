// One fuzz input through the call-frame readers or the expression evaluator; stops the process
// on any broken promise (a code outside the known ones, a register-rule pool that lost or
// gained entries). Shared by the libFuzzer targets and the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>

// Byte 0: bit 0 .debug_frame, bit 1 the 64-bit machinery, bit 2 big-endian data, bit 3 an
// absolute pc; bytes 1 to 8 the pc (little-endian; unless absolute, added to the section's
// address, as pc-relative tables expect); the rest is the section.
void kocrash_dwarf_fuzz_frames(const std::uint8_t* data, std::size_t size);
// Byte 0: bit 0 the 64-bit evaluator, bit 1 an initial stack entry; the rest is the expression.
void kocrash_dwarf_fuzz_expression(const std::uint8_t* data, std::size_t size);
