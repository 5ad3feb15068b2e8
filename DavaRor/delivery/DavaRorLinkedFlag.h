// Whether session recording is on, given the stored replay settings and the
// cached feature flags: the settings may tie recording to a flag ("linkedFlag"
// as a flag key) or to one variant of a flag ({"flag", "variant"}).
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

struct DavaRorLinkedFlagDecision {
    bool recordingActive = false;
    // The flag whose cached value decided, to be reported as called.
    std::optional<std::string> calledFlagKey;
    nlohmann::json calledFlagValue;
};

DavaRorLinkedFlagDecision evaluateLinkedFlag(const nlohmann::json& featureFlags,
                                             const nlohmann::json& replaySettings);
