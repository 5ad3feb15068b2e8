// The feature-flag side of DavaRorRemoteConfig: one request in flight at a
// time, the answer merged or stored as a whole, and every reader loading the
// cache lazily from disk.
#include "DavaRor/delivery/DavaRorRemoteConfig.h"

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorageManager.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorFlagsAnswer.h"
#include "platform/core/MainQueue.h"
#include "platform/core/NotificationCenter.h"

#include <algorithm>
#include <iterator>

using nlohmann::json;
using StorageKey = DavaRorStorage::StorageKey;

namespace {

constexpr const char* billingLimitsPage = "https://davaror.invalid/docs/billing/limits-alerts";

std::optional<json> copied(const std::shared_ptr<const json>& cached) {
    return cached ? std::optional<json>(*cached) : std::nullopt;
}

// The members of `cached` that `update` does not replace, copied into it.
void keepUnreplaced(json& update, const std::shared_ptr<const json>& cached) {
    if (!cached) {
        return;
    }
    for (const auto& [key, value] : cached->items()) {
        if (!update.contains(key)) {
            update[key] = value;
        }
    }
}

// What a flag call returns of a cached value: the variant or the Boolean.
json returnedValue(const json& value) {
    return value.is_string() || value.is_boolean() ? value : json(false);
}

// A payload sent as JSON text is handed out parsed; text that is no JSON, or
// a payload of any other type, as it is.
std::optional<json> parsedPayload(std::optional<json> payload) {
    if (payload && payload->is_string()) {
        const auto text = payload->get<std::string>();
        try {
            payload = parseUntrustedJson(text);
        } catch (const std::exception& error) {
            davaRorLog("Error parsing the object " + text + ": " + error.what());
        }
    }
    return payload;
}

} // namespace

// The reply of the request in flight finds the object gone and answers its own
// callback; nothing would ever send the parked request or answer it.
DavaRorRemoteConfig::~DavaRorRemoteConfig() {
    std::optional<PendingFeatureFlagsRequest> parked;
    {
        std::lock_guard guard(loadingFeatureFlagsLock_);
        parked = std::exchange(pendingFeatureFlagsRequest_, std::nullopt);
    }
    if (parked) {
        parked->callback(std::nullopt);
    }
}

void DavaRorRemoteConfig::loadCachedPropertiesForFlags() {
    {
        std::lock_guard guard(personPropertiesForFlagsLock_);
        if (auto stored = storage_->getJson(StorageKey::personPropertiesForFlags);
            stored && stored->is_object()) {
            personPropertiesForFlags_ = std::move(*stored);
        }
    }
    std::lock_guard guard(groupPropertiesForFlagsLock_);
    if (auto stored = storage_->getJson(StorageKey::groupPropertiesForFlags);
        stored && isObjectOfObjects(*stored)) {
        groupPropertiesForFlags_ = std::move(*stored);
    }
}

const DavaRorRemoteConfig::CachedObject& DavaRorRemoteConfig::cachedObject(CachedObject& field,
                                                                           StorageKey key) {
    if (!field) {
        if (auto stored = storage_->getJson(key); stored && stored->is_object()) {
            field = std::make_shared<const json>(std::move(*stored));
        }
    }
    return field;
}

const DavaRorRemoteConfig::CachedObject& DavaRorRemoteConfig::getCachedFeatureFlags() {
    return cachedObject(featureFlags_, StorageKey::enabledFeatureFlags);
}

const DavaRorRemoteConfig::CachedObject& DavaRorRemoteConfig::getCachedFlags() {
    return cachedObject(flags_, StorageKey::flags);
}

const DavaRorRemoteConfig::CachedObject& DavaRorRemoteConfig::getCachedFeatureFlagPayload() {
    return cachedObject(featureFlagPayloads_, StorageKey::enabledFeatureFlagPayloads);
}

void DavaRorRemoteConfig::preloadFeatureFlags() {
    {
        std::lock_guard guard(featureFlagsLock_);
        getCachedFeatureFlags();
    }
    if (config_->preloadFeatureFlags) {
        dispatchQueue_.async([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->reloadFeatureFlags();
            }
        });
    }
}

void DavaRorRemoteConfig::reloadFeatureFlags(FeatureFlagsCallback callback) {
    if (!canReloadFlagsForTesting.load()) {
        return;
    }
    if (!callback) {
        callback = [](const std::optional<json>&) {};
    }
    const auto storageManager = config_->storageManager;
    if (!storageManager) {
        davaRorLog("No DavaRorStorageManager found in config, skipping loading feature flags");
        callback(std::nullopt);
        return;
    }
    json groups = json::object();
    {
        std::lock_guard guard(featureFlagsLock_);
        if (auto stored = storage_->getJson(StorageKey::groups);
            stored && isObjectOfStrings(*stored)) {
            groups = std::move(*stored);
        }
    }
    auto distinctId = storageManager->getDistinctId();
    std::optional<std::string> anonymousId;
    if (!config_->reuseAnonymousId) {
        anonymousId = storageManager->getAnonymousId();
    }
    loadFeatureFlags(
        {std::move(distinctId), std::move(anonymousId), std::move(groups), std::move(callback)});
}

void DavaRorRemoteConfig::loadFeatureFlags(PendingFeatureFlagsRequest request) {
    std::optional<PendingFeatureFlagsRequest> replaced;
    {
        std::lock_guard guard(loadingFeatureFlagsLock_);
        if (loadingFeatureFlags_) {
            replaced = std::exchange(pendingFeatureFlagsRequest_, std::move(request));
            if (!replaced) {
                return;
            }
        } else {
            loadingFeatureFlags_ = true;
        }
    }
    if (replaced) {
        CachedObject cached;
        {
            std::lock_guard guard(featureFlagsLock_);
            cached = getCachedFeatureFlags();
        }
        replaced->callback(copied(cached));
        return;
    }

    const json personProperties = getPersonPropertiesForFlags();
    std::optional<json> groupProperties;
    {
        std::lock_guard guard(groupPropertiesForFlagsLock_);
        if (!groupPropertiesForFlags_.empty()) {
            groupProperties = groupPropertiesForFlags_;
        }
    }
    api_->flags(
        request.distinctId, request.anonymousId, request.groups, personProperties, groupProperties,
        [weak = weak_from_this(), callback = request.callback](std::optional<json> answer,
                                                               std::exception_ptr) {
            auto self = weak.lock();
            if (!self) {
                callback(std::nullopt);
                return;
            }
            self->dispatchQueue_.async([weak, answer = std::move(answer), callback]() mutable {
                if (auto self = weak.lock()) {
                    self->processFeatureFlagsAnswer(std::move(answer), callback);
                } else {
                    callback(std::nullopt);
                }
            });
        });
}

// The defaults are taken before the lock: the closure calls into the client.
json DavaRorRemoteConfig::getPersonPropertiesForFlags() {
    json properties = json::object();
    if (config_->setDefaultPersonProperties && getDefaultPersonProperties_) {
        if (json defaults = getDefaultPersonProperties_(); defaults.is_object()) {
            properties = std::move(defaults);
        }
    }
    std::lock_guard guard(personPropertiesForFlagsLock_);
    if (!config_->setDefaultPersonProperties) {
        return personPropertiesForFlags_;
    }
    properties.update(personPropertiesForFlags_);
    return properties;
}

void DavaRorRemoteConfig::processFeatureFlagsAnswer(std::optional<json> answer,
                                                    const FeatureFlagsCallback& callback) {
    if (!answer || !answer->is_object()) {
        davaRorLog("Error: Flags response data is nil");
        notifyFeatureFlagsAndRelease(share(std::nullopt));
        callback(std::nullopt);
        return;
    }
    if (isFeatureFlagsQuotaLimited(*answer)) {
        davaRorLog(std::string("Warning: Feature flags quota limit reached - flags could not be "
                               "updated. See ") +
                   billingLimitsPage + " for more information.");
        CachedObject snapshot;
        {
            std::lock_guard guard(featureFlagsLock_);
            snapshot = getCachedFeatureFlags();
        }
        const SharedJson cached = share(copied(snapshot).value_or(json::object()));
        notifyFeatureFlagsAndRelease(cached);
        callback(*cached);
        return;
    }
    if (!hasFlagsFormat(*answer)) {
        davaRorLog("Error: Flags response missing correct featureFlags format");
        notifyFeatureFlagsAndRelease(share(std::nullopt));
        callback(std::nullopt);
        return;
    }

    const SharedJson result = storeFeatureFlagsAnswer(std::move(*answer));
    notifyFeatureFlagsAndRelease(result);
    callback(*result);
}

// The answer becomes the next caches without any lock readers take; they are
// swapped in at once, and the files written after.
DavaRorRemoteConfig::SharedJson DavaRorRemoteConfig::storeFeatureFlagsAnswer(json&& answer) {
    std::lock_guard store(featureFlagsStoreLock_);
    normalizeResponse(answer);
    auto read = readFlagsAnswer(std::move(answer));
    auto values = std::move(read->featureFlags);
    auto payloads = std::move(read->featureFlagPayloads);
    std::optional<json> details = std::move(read->flags);
    // A partial answer only updates the flags it could compute. The caches
    // cannot change meanwhile: every writer holds the store lock.
    if (read->errorsWhileComputingFlags) {
        CachedObject cachedValues;
        CachedObject cachedPayloads;
        CachedObject cachedDetails;
        {
            std::lock_guard guard(featureFlagsLock_);
            cachedValues = getCachedFeatureFlags();
            cachedPayloads = getCachedFeatureFlagPayload();
            if (details) {
                cachedDetails = getCachedFlags();
            }
        }
        keepUnreplaced(values, cachedValues);
        keepUnreplaced(payloads, cachedPayloads);
        if (details) {
            keepUnreplaced(*details, cachedDetails);
        }
    }
    const auto nextValues = std::make_shared<const json>(std::move(values));
    const auto nextPayloads = std::make_shared<const json>(std::move(payloads));
    const CachedObject nextDetails =
        details ? std::make_shared<const json>(std::move(*details)) : nullptr;
    CachedObject replaced[3];
    {
        std::lock_guard guard(featureFlagsLock_);
        if (read->requestId) {
            requestId_ = read->requestId;
        }
        if (read->evaluatedAt) {
            evaluatedAt_ = read->evaluatedAt;
        }
        if (nextDetails) {
            replaced[0] = std::exchange(flags_, nextDetails);
        }
        replaced[1] = std::exchange(featureFlags_, nextValues);
        replaced[2] = std::exchange(featureFlagPayloads_, nextPayloads);
    }
    // The old caches go before the new ones are serialised.
    std::fill(std::begin(replaced), std::end(replaced), nullptr);
    if (read->requestId) {
        storage_->setJson(StorageKey::requestId, *read->requestId);
    }
    if (read->evaluatedAt) {
        storage_->setJson(StorageKey::evaluatedAt, *read->evaluatedAt);
    }
    if (nextDetails) {
        storage_->setJson(StorageKey::flags, *nextDetails);
    }
    storage_->setJson(StorageKey::enabledFeatureFlags, *nextValues);
    storage_->setJson(StorageKey::enabledFeatureFlagPayloads, *nextPayloads);
    return share(*nextValues);
}

void DavaRorRemoteConfig::notifyFeatureFlags(SharedJson flags) {
    platform::MainQueue::shared().async([weak = weak_from_this(), flags = std::move(flags)] {
        if (auto self = weak.lock()) {
            self->onFeatureFlagsLoaded.invoke(*flags);
        }
        platform::NotificationCenter::defaultCenter().post(
            {DavaRorSDK::didReceiveFeatureFlags, nullptr, nullptr});
    });
}

void DavaRorRemoteConfig::notifyFeatureFlagsAndRelease(SharedJson flags) {
    notifyFeatureFlags(std::move(flags));
    std::optional<PendingFeatureFlagsRequest> next;
    {
        std::lock_guard guard(loadingFeatureFlagsLock_);
        loadingFeatureFlags_ = false;
        next = std::exchange(pendingFeatureFlagsRequest_, std::nullopt);
    }
    if (next) {
        loadFeatureFlags(std::move(*next));
    }
}

const json* DavaRorRemoteConfig::cachedFeatureFlag(const std::string& key) {
    const auto& values = getCachedFeatureFlags();
    return values ? findMember(*values, key) : nullptr;
}

const json* DavaRorRemoteConfig::cachedFeatureFlagPayload(const std::string& key) {
    const auto& payloads = getCachedFeatureFlagPayload();
    return payloads ? findMember(*payloads, key) : nullptr;
}

std::optional<json> DavaRorRemoteConfig::getFeatureFlagValue(const std::string& key) {
    std::lock_guard guard(featureFlagsLock_);
    const json* value = cachedFeatureFlag(key);
    return value ? std::optional<json>(returnedValue(*value)) : std::nullopt;
}

std::optional<json> DavaRorRemoteConfig::getFeatureFlagPayload(const std::string& key) {
    std::optional<json> payload;
    {
        std::lock_guard guard(featureFlagsLock_);
        if (!cachedFeatureFlag(key)) {
            return std::nullopt;
        }
        if (const json* found = cachedFeatureFlagPayload(key)) {
            payload = *found;
        }
    }
    return parsedPayload(std::move(payload));
}

std::optional<DavaRorFeatureFlagResult>
DavaRorRemoteConfig::getFeatureFlagResult(const std::string& key) {
    json value;
    std::optional<json> payload;
    {
        std::lock_guard guard(featureFlagsLock_);
        const json* cached = cachedFeatureFlag(key);
        if (!cached) {
            return std::nullopt;
        }
        value = returnedValue(*cached);
        if (const json* found = cachedFeatureFlagPayload(key)) {
            payload = *found;
        }
    }
    std::optional<std::string> variant;
    if (value.is_string()) {
        variant = value.get<std::string>();
    }
    const bool enabled = variant || value.get<bool>();
    return DavaRorFeatureFlagResult(key, enabled, std::move(variant),
                                    parsedPayload(std::move(payload)));
}

std::optional<json> DavaRorRemoteConfig::getFeatureFlags() {
    CachedObject snapshot;
    {
        std::lock_guard guard(featureFlagsLock_);
        snapshot = getCachedFeatureFlags();
    }
    return copied(snapshot);
}

std::optional<json> DavaRorRemoteConfig::getFeatureFlagDetails(const std::string& key) {
    std::lock_guard guard(featureFlagsLock_);
    if (const auto& details = getCachedFlags()) {
        if (const json* found = findMember(*details, key)) {
            return *found;
        }
    }
    return std::nullopt;
}

void DavaRorRemoteConfig::readFeatureFlagDetails(const std::string& key,
                                                 const std::function<void(const json&)>& reader) {
    std::lock_guard guard(featureFlagsLock_);
    if (const auto& details = getCachedFlags()) {
        if (const json* found = findMember(*details, key)) {
            reader(*found);
        }
    }
}

std::optional<std::string> DavaRorRemoteConfig::lastRequestId() {
    std::lock_guard guard(featureFlagsLock_);
    return requestId_ ? requestId_ : storage_->getString(StorageKey::requestId);
}

std::optional<std::int64_t> DavaRorRemoteConfig::lastEvaluatedAt() {
    std::lock_guard guard(featureFlagsLock_);
    return evaluatedAt_ ? evaluatedAt_ : storage_->getInt(StorageKey::evaluatedAt);
}

void DavaRorRemoteConfig::setPersonPropertiesForFlags(const json& properties) {
    if (!properties.is_object()) {
        return;
    }
    std::lock_guard guard(personPropertiesForFlagsLock_);
    personPropertiesForFlags_.update(properties);
    storage_->setJson(StorageKey::personPropertiesForFlags, personPropertiesForFlags_);
}

void DavaRorRemoteConfig::resetPersonPropertiesForFlags() {
    std::lock_guard guard(personPropertiesForFlagsLock_);
    personPropertiesForFlags_ = json::object();
    storage_->setJson(StorageKey::personPropertiesForFlags, personPropertiesForFlags_);
}

void DavaRorRemoteConfig::setGroupPropertiesForFlags(const std::string& groupType,
                                                     const json& properties) {
    if (!properties.is_object()) {
        return;
    }
    std::lock_guard guard(groupPropertiesForFlagsLock_);
    json& group = groupPropertiesForFlags_[groupType];
    if (!group.is_object()) {
        group = json::object();
    }
    group.update(properties);
    storage_->setJson(StorageKey::groupPropertiesForFlags, groupPropertiesForFlags_);
}

void DavaRorRemoteConfig::resetGroupPropertiesForFlags(
    const std::optional<std::string>& groupType) {
    std::lock_guard guard(groupPropertiesForFlagsLock_);
    if (groupType) {
        groupPropertiesForFlags_.erase(*groupType);
    } else {
        groupPropertiesForFlags_ = json::object();
    }
    storage_->setJson(StorageKey::groupPropertiesForFlags, groupPropertiesForFlags_);
}

void DavaRorRemoteConfig::clearFeatureFlags() {
    std::lock_guard store(featureFlagsStoreLock_);
    const auto empty = std::make_shared<const json>(json::object());
    CachedObject replaced[3];
    {
        std::lock_guard guard(featureFlagsLock_);
        replaced[0] = std::exchange(flags_, empty);
        replaced[1] = std::exchange(featureFlags_, empty);
        replaced[2] = std::exchange(featureFlagPayloads_, empty);
        requestId_.reset();
        evaluatedAt_.reset();
    }
    std::fill(std::begin(replaced), std::end(replaced), nullptr);
    storage_->setJson(StorageKey::flags, *empty);
    storage_->setJson(StorageKey::enabledFeatureFlags, *empty);
    storage_->setJson(StorageKey::enabledFeatureFlagPayloads, *empty);
    storage_->remove(StorageKey::requestId);
    storage_->remove(StorageKey::evaluatedAt);
}
