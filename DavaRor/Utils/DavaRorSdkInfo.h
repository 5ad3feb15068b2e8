#pragma once

#include "platform/core/Export.h"

#include <string>

namespace davaror {

// The two halves of the "User-Agent" header, read at each request. Set them
// before the client starts working; they are not guarded.
DAVAROR_EXPORT extern std::string davaRorSdkName;
DAVAROR_EXPORT extern std::string davaRorVersion;

} // namespace davaror

using davaror::davaRorSdkName;
using davaror::davaRorVersion;
