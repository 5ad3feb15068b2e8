#pragma once

#include <atomic>
#include <string_view>

namespace davaror {

// The client's debug flag: while on, davaRorLog prints its lines.
extern std::atomic<bool> davaRorLogEnabled;

// Prints "[DavaRor] " + message as one line while davaRorLogEnabled is on.
void davaRorLog(std::string_view message) noexcept;

} // namespace davaror

using davaror::davaRorLog;
using davaror::davaRorLogEnabled;
