#pragma once

#include "DavaRor/Utils/DavaRorDates.h"
#include "platform/core/Export.h"
#include "platform/core/UUID.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// One analytics event as it is queued on disk and sent in a batch.
class DAVAROR_EXPORT DavaRorEvent {
public:
    DavaRorEvent(std::string event, std::string distinctId, nlohmann::json properties,
                 DavaRorDate timestamp, platform::UUID uuid,
                 std::optional<std::string> apiKey = std::nullopt);

    std::string event;
    std::string distinctId;
    nlohmann::json properties; // always an object
    DavaRorDate timestamp;
    platform::UUID uuid;
    std::optional<std::string> apiKey;

    nlohmann::json toJSON() const;
    // Rebuilds an event from the parsed contents of one queue file; none when
    // it has no event name or no distinct id.
    static std::optional<DavaRorEvent> fromJSON(const nlohmann::json& json);
};
