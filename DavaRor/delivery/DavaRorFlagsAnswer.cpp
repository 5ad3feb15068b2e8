#include "DavaRor/delivery/DavaRorFlagsAnswer.h"

#include "DavaRor/Utils/DavaRorUntrustedJSON.h"

#include <algorithm>
#include <utility>

using nlohmann::json;

namespace {

const json* payloadOf(const json& entry) {
    const json* metadata = findMember(entry, "metadata");
    return metadata ? findMember(*metadata, "payload") : nullptr;
}

// The value one details entry gives its flag, and its payload when it gives
// one; none when it gives no value.
std::optional<std::pair<json, const json*>> normalizedEntry(const json& entry) {
    if (!entry.is_object()) {
        return std::nullopt;
    }
    const json* payload = payloadOf(entry);
    if (const json* variant = findMember(entry, "variant"); variant && variant->is_string()) {
        return std::pair<json, const json*>(*variant, payload);
    }
    if (const json* enabled = findMember(entry, "enabled"); enabled && enabled->is_boolean()) {
        return std::pair<json, const json*>(*enabled, enabled->get<bool>() ? payload : nullptr);
    }
    return std::nullopt;
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
        if (auto normalized = normalizedEntry(entry)) {
            values[key] = std::move(normalized->first);
            if (normalized->second) {
                payloads[key] = *normalized->second;
            }
        }
    }
    answer["featureFlags"] = std::move(values);
    answer["featureFlagPayloads"] = std::move(payloads);
}

bool hasFlagsFormat(const json& answer) {
    const auto isObject = [&](const char* key) {
        const json* member = findMember(answer, key);
        return member && member->is_object();
    };
    return isObject("flags") || (isObject("featureFlags") && isObject("featureFlagPayloads"));
}

bool isPartialFlagsAnswer(const json& answer) {
    const json* errors = findMember(answer, "errorsWhileComputingFlags");
    return errors && errors->is_boolean() && errors->get<bool>();
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
    read.errorsWhileComputingFlags = isPartialFlagsAnswer(answer);
    return read;
}
