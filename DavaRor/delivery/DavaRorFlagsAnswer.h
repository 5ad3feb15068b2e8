// What the client reads of the service's feature-flags answer, with strict
// types: a value of the wrong type counts as absent, and nothing here throws
// or inserts into the answer except normalizeResponse.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

// Rewrites an answer that carries per-flag details under "flags" into the two
// flat maps "featureFlags" (flag key to true, false or a variant text) and
// "featureFlagPayloads" (flag key to payload). An answer without a "flags"
// object is left as it came.
void normalizeResponse(nlohmann::json& answer);

// True when the answer, once normalised, has both flat maps: it carries a
// "flags" object, or "featureFlags" and "featureFlagPayloads" objects.
bool hasFlagsFormat(const nlohmann::json& answer);

// True when "errorsWhileComputingFlags" is true: the answer holds only the
// flags the service could compute, to be merged into the cache.
bool isPartialFlagsAnswer(const nlohmann::json& answer);

// True when "quotaLimited" is a list of texts naming "feature_flags".
bool isFeatureFlagsQuotaLimited(const nlohmann::json& answer);

struct DavaRorFlagsAnswer {
    std::optional<nlohmann::json> flags; // the per-flag details, when sent
    nlohmann::json featureFlags;
    nlohmann::json featureFlagPayloads;
    std::optional<std::string> requestId;
    std::optional<std::int64_t> evaluatedAt;
    bool errorsWhileComputingFlags = false;
};

// The parts of a normalised answer, moved out of it, or none when
// "featureFlags" or "featureFlagPayloads" is missing or no object.
std::optional<DavaRorFlagsAnswer> readFlagsAnswer(nlohmann::json&& answer);
