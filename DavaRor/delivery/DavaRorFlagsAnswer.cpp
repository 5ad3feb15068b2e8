#include "DavaRor/delivery/DavaRorFlagsAnswer.h"

#include "DavaRor/Utils/DavaRorUntrustedJSON.h"

#include <algorithm>

using nlohmann::json;

namespace {

const json* payloadOf(const json& entry) {
    const json* metadata = findMember(entry, "metadata");
    return metadata ? findMember(*metadata, "payload") : nullptr;
}

} // namespace

void normalizeResponse(json& answer) {
    const json* details = findMember(answer, "flags");
    if (!details || !details->is_object()) {
        return;
    }
    json values = json::object();
    json payloads = json::object();
    for (const auto& [key, entry] : details->items()) {
        if (!entry.is_object()) {
            continue;
        }
        const json* payload = payloadOf(entry);
        if (const json* variant = findMember(entry, "variant"); variant && variant->is_string()) {
            values[key] = *variant;
            if (payload) {
                payloads[key] = *payload;
            }
        } else if (const json* enabled = findMember(entry, "enabled");
                   enabled && enabled->is_boolean()) {
            values[key] = *enabled;
            if (enabled->get<bool>() && payload) {
                payloads[key] = *payload;
            }
        }
    }
    answer["featureFlags"] = std::move(values);
    answer["featureFlagPayloads"] = std::move(payloads);
}

bool isFeatureFlagsQuotaLimited(const json& answer) {
    const json* limited = findMember(answer, "quotaLimited");
    if (!limited || !limited->is_array()) {
        return false;
    }
    const bool allTexts = std::all_of(limited->begin(), limited->end(),
                                      [](const json& name) { return name.is_string(); });
    return allTexts &&
           std::find(limited->begin(), limited->end(), json("feature_flags")) != limited->end();
}

std::optional<DavaRorFlagsAnswer> readFlagsAnswer(json&& answer) {
    json* values = findMember(answer, "featureFlags");
    json* payloads = findMember(answer, "featureFlagPayloads");
    if (!values || !values->is_object() || !payloads || !payloads->is_object()) {
        return std::nullopt;
    }
    DavaRorFlagsAnswer read;
    read.featureFlags = std::move(*values);
    read.featureFlagPayloads = std::move(*payloads);
    if (json* details = findMember(answer, "flags"); details && details->is_object()) {
        read.flags = std::move(*details);
    }
    if (const json* requestId = findMember(answer, "requestId");
        requestId && requestId->is_string()) {
        read.requestId = requestId->get<std::string>();
    }
    if (const json* evaluatedAt = findMember(answer, "evaluatedAt")) {
        read.evaluatedAt = int64Value(*evaluatedAt);
    }
    if (const json* errors = findMember(answer, "errorsWhileComputingFlags");
        errors && errors->is_boolean()) {
        read.errorsWhileComputingFlags = errors->get<bool>();
    }
    return read;
}
