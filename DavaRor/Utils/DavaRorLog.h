#pragma once

#include "platform/core/Export.h"

#include <atomic>
#include <string_view>

namespace davaror {

// The client's debug flag: while on, davaRorLog prints its lines.
DAVAROR_EXPORT extern std::atomic<bool> davaRorLogEnabled;

// Prints "[DavaRor] " + message as one line while davaRorLogEnabled is on.
DAVAROR_EXPORT void davaRorLog(std::string_view message) noexcept;

} // namespace davaror

using davaror::davaRorLog;
using davaror::davaRorLogEnabled;
