#include "DavaRor/Models/DavaRorEvent.h"

#include "DavaRor/Utils/TimeBasedEpochGenerator.h"

using davaror::TimeBasedEpochGenerator;

using davaror::apiDateFormatter;

DavaRorEvent::DavaRorEvent(std::string event, std::string distinctId, nlohmann::json properties,
                           DavaRorDate timestamp, platform::UUID uuid,
                           std::optional<std::string> apiKey)
    : event(std::move(event)), distinctId(std::move(distinctId)),
      properties(properties.is_object() ? std::move(properties) : nlohmann::json::object()),
      timestamp(timestamp), uuid(uuid), apiKey(std::move(apiKey)) {}

nlohmann::json DavaRorEvent::toJSON() const {
    nlohmann::json json = {
        {"event", event},
        {"distinct_id", distinctId},
        {"properties", properties},
        {"timestamp", apiDateFormatter.string(timestamp)},
        {"uuid", uuid.uuidString()},
    };
    if (apiKey) {
        json["api_key"] = *apiKey;
    }
    return json;
}

namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) {
        return nullptr;
    }
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::optional<std::string> textMember(const nlohmann::json& object, const char* key) {
    const auto* value = member(object, key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

std::optional<platform::UUID> uuidMember(const nlohmann::json& object, const char* key) {
    auto text = textMember(object, key);
    return text ? platform::UUID::fromString(*text) : std::nullopt;
}

} // namespace

std::optional<DavaRorEvent> DavaRorEvent::fromJSON(const nlohmann::json& json) {
    auto name = textMember(json, "event");
    if (!name) {
        return std::nullopt;
    }
    nlohmann::json properties = nlohmann::json::object();
    if (const auto* given = member(json, "properties"); given != nullptr && given->is_object()) {
        properties = *given;
    }
    auto distinctId = textMember(json, "distinct_id");
    if (!distinctId) {
        distinctId = textMember(properties, "distinct_id");
    }
    if (!distinctId) {
        return std::nullopt;
    }
    if (const auto* set = member(json, "$set"); set != nullptr && set->is_object()) {
        properties["$set"] = *set;
    }
    std::optional<DavaRorDate> timestamp;
    if (auto text = textMember(json, "timestamp")) {
        timestamp = apiDateFormatter.date(*text);
    }
    auto uuid = uuidMember(json, "uuid");
    if (!uuid) {
        uuid = uuidMember(json, "message_id");
    }
    return DavaRorEvent(std::move(*name), std::move(*distinctId), std::move(properties),
                        timestamp.value_or(std::chrono::system_clock::now()),
                        uuid ? *uuid : TimeBasedEpochGenerator::shared().v7(),
                        textMember(json, "api_key"));
}
