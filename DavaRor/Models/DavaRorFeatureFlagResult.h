#pragma once

#include "platform/core/Export.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// The evaluated state of one feature flag.
class DAVAROR_EXPORT DavaRorFeatureFlagResult {
public:
    DavaRorFeatureFlagResult(std::string key, bool enabled, std::optional<std::string> variant,
                             std::optional<nlohmann::json> payload)
        : key(std::move(key)), enabled(enabled), variant(std::move(variant)),
          payload(std::move(payload)) {}

    const std::string key;
    const bool enabled;
    const std::optional<std::string> variant;
    const std::optional<nlohmann::json> payload;
};
