#pragma once

#include "DavaRor/ErrorTracking/DavaRorErrorTrackingConfig.h"
#include "DavaRor/ErrorTracking/DavaRorStackFrame.h"
#include "platform/core/Export.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The in-app rules, and return addresses turned into frames through the loader's dladdr.
namespace DavaRorStackTraceProcessor {

// First rule that decides: inAppIncludes prefix (true), inAppExcludes prefix (false), system
// framework or system library (false), system path (false), else inAppByDefault.
bool isInApp(const std::string& module, const std::optional<std::string>& package,
             const DavaRorErrorTrackingConfig& config);

// Innermost first in and out. Addresses no loaded image holds give no frame. With
// stripTopDavaRorFrames, the client's own frames on top of the stack are left out.
DAVAROR_EXPORT std::vector<DavaRorStackFrame>
symbolicateAddresses(const std::vector<std::uint64_t>& addresses,
                     const DavaRorErrorTrackingConfig& config, bool stripTopDavaRorFrames);

bool isSystemFramework(std::string_view module);
bool isSystemPath(const std::optional<std::string>& path);

} // namespace DavaRorStackTraceProcessor
