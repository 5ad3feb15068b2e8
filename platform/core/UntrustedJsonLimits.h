// How much JSON that the process did not write itself (replies, files that
// may be damaged or planted) may ask of it. Parsing is iterative, but copying,
// comparing and writing a value recurse once per nesting level, so text
// beyond these is refused before it becomes a value.
#pragma once

#include <cstddef>

namespace platform {

inline constexpr std::size_t maxUntrustedJsonBytes = 8 * 1024 * 1024;
inline constexpr std::size_t maxUntrustedJsonDepth = 128;

} // namespace platform
