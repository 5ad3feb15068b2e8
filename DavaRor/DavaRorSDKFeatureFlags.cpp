// The client's feature-flag operations, all answered by its remote
// configuration.
#include "DavaRor/DavaRorSDK.h"

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorSha256.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/delivery/DavaRorRemoteConfig.h"

using nlohmann::json;

namespace {

// Details the service sent for the flag, copied into the called event.
void addFlagDetails(json& properties, const json& details) {
    if (const json* metadata = findMember(details, "metadata")) {
        if (const json* id = findMember(*metadata, "id"); id && int64Value(*id)) {
            properties["$feature_flag_id"] = *id;
        }
        if (const json* version = findMember(*metadata, "version");
            version && int64Value(*version)) {
            properties["$feature_flag_version"] = *version;
        }
    }
    if (const json* reason = findMember(details, "reason")) {
        if (const json* description = findMember(*reason, "description");
            description && description->is_string()) {
            properties["$feature_flag_reason"] = *description;
        }
    }
}

} // namespace

// The closures hold the client weakly: the remote configuration lives in the
// client's services and must not keep the client alive.
std::shared_ptr<DavaRorRemoteConfig>
DavaRorSDK::makeRemoteConfig(std::shared_ptr<DavaRorConfig> config,
                             std::shared_ptr<DavaRorStorage> storage,
                             std::shared_ptr<DavaRorApi> api) {
    const std::weak_ptr<DavaRorSDK> weak = weak_from_this();
    return DavaRorRemoteConfig::create(
        std::move(config), std::move(storage), std::move(api),
        [weak] {
            auto client = weak.lock();
            return client ? client->getDefaultPersonProperties() : json::object();
        },
        [weak](const std::string& flagKey, const std::optional<json>& value) {
            if (auto client = weak.lock()) {
                client->reportFeatureFlagCalled(flagKey, value);
            }
        });
}

void DavaRorSDK::reset() {
    if (!checkEnabled()) {
        return;
    }
    {
        std::lock_guard guard(flagCallsLock_);
        reportedFlagCalls_.clear();
    }
    if (auto remote = remoteConfig()) {
        remote->clear();
        remote->reloadFeatureFlags();
    }
}

void DavaRorSDK::reloadFeatureFlags(
    std::function<void(const std::optional<nlohmann::json>&)> callback) {
    if (!checkEnabled()) {
        return;
    }
    if (auto remote = remoteConfig()) {
        remote->reloadFeatureFlags(std::move(callback));
    }
}

std::optional<json> DavaRorSDK::getFeatureFlag(const std::string& key) {
    if (!checkEnabled()) {
        return std::nullopt;
    }
    auto remote = remoteConfig();
    if (!remote) {
        return std::nullopt;
    }
    const auto value = remote->getFeatureFlagValue(key);
    if (auto configuration = config(); configuration && configuration->sendFeatureFlagEvent) {
        reportFeatureFlagCalled(key, value);
    }
    return value;
}

bool DavaRorSDK::isFeatureEnabled(const std::string& key) {
    const auto value = getFeatureFlag(key);
    return value && (value->is_string() || (value->is_boolean() && value->get<bool>()));
}

std::optional<json> DavaRorSDK::getFeatureFlagPayload(const std::string& key) {
    if (!checkEnabled()) {
        return std::nullopt;
    }
    auto remote = remoteConfig();
    if (!remote) {
        return std::nullopt;
    }
    return remote->getFeatureFlagPayload(key);
}

void DavaRorSDK::reportFeatureFlagCalled(const std::string& flagKey,
                                         const std::optional<json>& flagValue) {
    // Also reached while setup builds the remote configuration, before the
    // client is enabled: nothing is captured then.
    if (!checkEnabled()) {
        return;
    }
    auto remote = remoteConfig();
    if (!remote) {
        return;
    }
    const json response = flagValue.value_or(nullptr);
    const DavaRorSha256Digest call =
        DavaRorSha256()
            .update(flagKey)
            .update("\n")
            .update(response.dump(-1, ' ', false, json::error_handler_t::replace))
            .finish();
    {
        std::lock_guard guard(flagCallsLock_);
        if (!reportedFlagCalls_.insert(call).second) {
            return;
        }
    }
    json properties = {{"$feature_flag", flagKey}, {"$feature_flag_response", response}};
    if (const auto requestId = remote->lastRequestId()) {
        properties["$feature_flag_request_id"] = *requestId;
    }
    if (const auto evaluatedAt = remote->lastEvaluatedAt()) {
        properties["$feature_flag_evaluated_at"] = *evaluatedAt;
    }
    // The details may hold a payload of megabytes: only the few fields the
    // event carries are copied.
    remote->readFeatureFlagDetails(
        flagKey, [&](const json& details) { addFlagDetails(properties, details); });
    capture("$feature_flag_called", properties);
}
