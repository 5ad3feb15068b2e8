#include "DavaRor/delivery/DavaRorLinkedFlag.h"

#include "DavaRor/Utils/DavaRorUntrustedJSON.h"

using nlohmann::json;

namespace {

const json* textMember(const json& object, const std::string& key) {
    const json* value = findMember(object, key);
    return value && value->is_string() ? value : nullptr;
}

} // namespace

DavaRorLinkedFlagDecision evaluateLinkedFlag(const json& featureFlags, const json& replaySettings) {
    const json* linkedFlag = findMember(replaySettings, "linkedFlag");
    if (linkedFlag && linkedFlag->is_string()) {
        const auto key = linkedFlag->get<std::string>();
        const json* value = findMember(featureFlags, key);
        if (!value) {
            return {};
        }
        // A variant text means the flag is on.
        const bool active = value->is_boolean() ? value->get<bool>() : value->is_string();
        return {active, key, *value};
    }
    if (linkedFlag && linkedFlag->is_object()) {
        const json* flag = textMember(*linkedFlag, "flag");
        const json* variant = textMember(*linkedFlag, "variant");
        if (!flag || !variant) {
            return {};
        }
        const auto key = flag->get<std::string>();
        const json* value = textMember(featureFlags, key);
        if (!value) {
            return {};
        }
        return {*value == *variant, key, *value};
    }
    return {true, std::nullopt, nullptr};
}
