// How much JSON that the process did not write itself (replies, files that
// may be damaged or planted) may ask of it. Parsing is iterative, but copying,
// comparing and writing a value recurse once per nesting level, so text
// beyond these is refused before it becomes a value.
#pragma once

#include <cstddef>

namespace platform {

inline constexpr std::size_t maxUntrustedJsonBytes = 8 * 1024 * 1024;
inline constexpr std::size_t maxUntrustedJsonDepth = 128;
// Every array, object, text, number and literal, and every member's name: an
// average of 16 bytes each over the whole size limit, several times denser
// than real events and replies, and about 40 MB once parsed.
inline constexpr std::size_t maxUntrustedJsonValues = 500'000;

} // namespace platform
