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

using nlohmann::json;
using StorageKey = DavaRorStorage::StorageKey;

namespace {

constexpr const char* billingLimitsPage = "https://davaror.invalid/docs/billing/limits-alerts";

json objectOrEmpty(const std::optional<json>& value) {
    return value ? *value : json::object();
}

// The members of `update` moved over those of `base`, which is taken apart;
// none counts as empty.
json mergedInto(std::optional<json>& base, json&& update) {
    json merged = base ? std::move(*base) : json::object();
    base.reset();
    for (auto& [key, value] : update.items()) {
        merged[key] = std::move(value);
    }
    return merged;
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

const std::optional<json>& DavaRorRemoteConfig::cachedObject(std::optional<json>& field,
                                                             StorageKey key) {
    if (!field) {
        if (auto stored = storage_->getJson(key); stored && stored->is_object()) {
            field = std::move(*stored);
        }
    }
    return field;
}

const std::optional<json>& DavaRorRemoteConfig::getCachedFeatureFlags() {
    return cachedObject(featureFlags_, StorageKey::enabledFeatureFlags);
}

const std::optional<json>& DavaRorRemoteConfig::getCachedFlags() {
    return cachedObject(flags_, StorageKey::flags);
}

const std::optional<json>& DavaRorRemoteConfig::getCachedFeatureFlagPayload() {
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
        std::optional<json> cached;
        {
            std::lock_guard guard(featureFlagsLock_);
            cached = getCachedFeatureFlags();
        }
        replaced->callback(cached);
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
        SharedJson cached;
        {
            std::lock_guard guard(featureFlagsLock_);
            cached = share(objectOrEmpty(getCachedFeatureFlags()));
        }
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

    SharedJson result;
    {
        std::lock_guard guard(featureFlagsLock_);
        // Normalising copies each payload out of the details. Cached entries
        // this answer replaces go first, so the old cache, the answer and
        // those copies are never all held at once.
        dropEntriesReplacedBy(*answer);
        normalizeResponse(*answer);
        auto read = readFlagsAnswer(std::move(*answer));
        answer.reset();
        if (read->requestId) {
            requestId_ = read->requestId;
            storage_->setJson(StorageKey::requestId, *requestId_);
        }
        if (read->evaluatedAt) {
            evaluatedAt_ = read->evaluatedAt;
            storage_->setJson(StorageKey::evaluatedAt, *evaluatedAt_);
        }
        json values = std::move(read->featureFlags);
        json payloads = std::move(read->featureFlagPayloads);
        std::optional<json> details = std::move(read->flags);
        // A partial answer only updates the flags it could compute. The cache
        // it merges into is replaced right after.
        if (read->errorsWhileComputingFlags) {
            getCachedFeatureFlags();
            getCachedFeatureFlagPayload();
            values = mergedInto(featureFlags_, std::move(values));
            payloads = mergedInto(featureFlagPayloads_, std::move(payloads));
            if (details) {
                getCachedFlags();
                details = mergedInto(flags_, std::move(*details));
            }
        }
        if (details) {
            flags_ = std::move(details);
            storage_->setJson(StorageKey::flags, *flags_);
        }
        featureFlags_ = values;
        storage_->setJson(StorageKey::enabledFeatureFlags, *featureFlags_);
        featureFlagPayloads_ = std::move(payloads);
        storage_->setJson(StorageKey::enabledFeatureFlagPayloads, *featureFlagPayloads_);
        result = share(std::move(values));
    }
    notifyFeatureFlagsAndRelease(result);
    callback(*result);
}

void DavaRorRemoteConfig::dropEntriesReplacedBy(const json& answer) {
    const json* details = findMember(answer, "flags");
    const bool hasDetails = details && details->is_object();
    if (!isPartialFlagsAnswer(answer)) {
        if (hasDetails) {
            flags_.reset();
        }
        featureFlags_.reset();
        featureFlagPayloads_.reset();
        return;
    }
    if (hasDetails && getCachedFlags()) {
        for (const auto& [key, entry] : details->items()) {
            flags_->erase(key);
        }
    }
    if (getCachedFeatureFlagPayload()) {
        for (const auto& key : payloadKeys(answer)) {
            featureFlagPayloads_->erase(key);
        }
    }
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
    std::lock_guard guard(featureFlagsLock_);
    return getCachedFeatureFlags();
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
    std::lock_guard guard(featureFlagsLock_);
    flags_ = json::object();
    storage_->setJson(StorageKey::flags, *flags_);
    featureFlags_ = json::object();
    storage_->setJson(StorageKey::enabledFeatureFlags, *featureFlags_);
    featureFlagPayloads_ = json::object();
    storage_->setJson(StorageKey::enabledFeatureFlagPayloads, *featureFlagPayloads_);
    requestId_.reset();
    storage_->remove(StorageKey::requestId);
    evaluatedAt_.reset();
    storage_->remove(StorageKey::evaluatedAt);
}
