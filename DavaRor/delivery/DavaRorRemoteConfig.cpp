#include "DavaRor/delivery/DavaRorRemoteConfig.h"

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorLinkedFlag.h"
#include "platform/core/DispatchQoS.h"
#include "platform/core/MainQueue.h"

using nlohmann::json;
using StorageKey = DavaRorStorage::StorageKey;

DavaRorRemoteConfig::SharedJson DavaRorRemoteConfig::share(std::optional<json> value) {
    return std::make_shared<const std::optional<json>>(std::move(value));
}

std::shared_ptr<DavaRorRemoteConfig> DavaRorRemoteConfig::create(
    std::shared_ptr<DavaRorConfig> config, std::shared_ptr<const DavaRorStorage> storage,
    std::shared_ptr<DavaRorApi> api, GetDefaultPersonProperties getDefaultPersonProperties,
    FeatureFlagCalledCallback featureFlagCalledCallback) {
    std::shared_ptr<DavaRorRemoteConfig> remoteConfig(new DavaRorRemoteConfig(
        std::move(config), std::move(storage), std::move(api),
        std::move(getDefaultPersonProperties), std::move(featureFlagCalledCallback)));
    // The preloads hand work to the dispatch queue, which holds the object
    // weakly, so they start only once a shared owner exists.
    remoteConfig->loadCachedPropertiesForFlags();
    remoteConfig->preloadSessionReplay();
    remoteConfig->preloadErrorTrackingConfig();
    remoteConfig->preloadRemoteConfig();
    return remoteConfig;
}

DavaRorRemoteConfig::DavaRorRemoteConfig(std::shared_ptr<DavaRorConfig> config,
                                         std::shared_ptr<const DavaRorStorage> storage,
                                         std::shared_ptr<DavaRorApi> api,
                                         GetDefaultPersonProperties getDefaultPersonProperties,
                                         FeatureFlagCalledCallback featureFlagCalledCallback)
    : config_(std::move(config)), storage_(std::move(storage)), api_(std::move(api)),
      getDefaultPersonProperties_(std::move(getDefaultPersonProperties)),
      featureFlagCalledCallback_(std::move(featureFlagCalledCallback)),
      dispatchQueue_(dispatchQueueLabel) {
    // Fetching and answer processing are background work.
    dispatchQueue_.async([] { platform::applyToCurrentThread(platform::DispatchQoS::utility); });
}

void DavaRorRemoteConfig::preloadRemoteConfig() {
    {
        std::lock_guard guard(remoteConfigLock_);
        if (!remoteConfig_) {
            if (auto stored = storage_->getJson(StorageKey::remoteConfig);
                stored && stored->is_object()) {
                remoteConfig_ = share(std::move(stored));
            }
        }
    }
    if (config_->disableRemoteConfigForTesting) {
        return;
    }
    {
        std::lock_guard guard(remoteConfigLock_);
        if (remoteConfig_ && remoteConfigDidFetch_) {
            return;
        }
    }
    dispatchQueue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->reloadRemoteConfig([weak](const std::optional<json>& document) {
                if (auto self = weak.lock()) {
                    self->didFetchRemoteConfig(document);
                }
            });
        }
    });
}

void DavaRorRemoteConfig::reloadRemoteConfig(RemoteConfigCallback callback) {
    {
        std::lock_guard guard(loadingRemoteConfigLock_);
        if (loadingRemoteConfig_) {
            return;
        }
        loadingRemoteConfig_ = true;
    }
    // The API client completes every call, also one it cannot send, so the
    // fetch always ends and never stays loading.
    api_->remoteConfig([weak = weak_from_this(), callback = std::move(callback)](
                           std::optional<json> document, std::exception_ptr) {
        if (auto self = weak.lock()) {
            if (document && !document->is_object()) {
                document.reset();
            }
            self->finishRemoteConfigFetch(std::move(document), callback);
        }
    });
}

void DavaRorRemoteConfig::finishRemoteConfigFetch(std::optional<json> fetched,
                                                  const RemoteConfigCallback& callback) {
    const SharedJson document = share(std::move(fetched));
    if (*document) {
        {
            std::lock_guard guard(remoteConfigLock_);
            remoteConfig_ = document;
            storage_->setJson(StorageKey::remoteConfig, **document);
        }
        processErrorTrackingConfig(**document);
        platform::MainQueue::shared().async([weak = weak_from_this(), document] {
            if (auto self = weak.lock()) {
                self->onRemoteConfigLoaded.invoke(*document);
            }
        });
    }
    {
        std::lock_guard guard(remoteConfigLock_);
        remoteConfigDidFetch_ = true;
    }
    {
        std::lock_guard guard(loadingRemoteConfigLock_);
        loadingRemoteConfig_ = false;
    }
    if (callback) {
        callback(*document);
    }
}

void DavaRorRemoteConfig::didFetchRemoteConfig(const std::optional<json>& document) {
    if (!document) {
        davaRorLog("Remote config response is missing, skipping loading flags");
        notifyFeatureFlags(share(std::nullopt));
        return;
    }
    if (const json* hasFeatureFlags = findMember(*document, hasFeatureFlagsKey);
        hasFeatureFlags && hasFeatureFlags->is_boolean() && !hasFeatureFlags->get<bool>()) {
        davaRorLog("hasFeatureFlags is false, clearing flags and skipping loading flags");
        clearFeatureFlags();
        notifyFeatureFlags(share(json::object()));
        return;
    }
    if (config_->preloadFeatureFlags) {
        preloadFeatureFlags();
    }
}

void DavaRorRemoteConfig::preloadErrorTrackingConfig() {
    const auto stored = storage_->getJson(StorageKey::errorTracking);
    if (!stored || !stored->is_object()) {
        return;
    }
    const json* autocapture = findMember(*stored, "autocaptureExceptions");
    const bool enabled = autocapture && autocapture->is_boolean() && autocapture->get<bool>();
    std::lock_guard guard(errorTrackingLock_);
    autoCaptureExceptions_ = enabled;
}

void DavaRorRemoteConfig::processErrorTrackingConfig(const json& document) {
    const json* errorTracking = findMember(document, "errorTracking");
    std::lock_guard guard(errorTrackingLock_);
    if (errorTracking && errorTracking->is_boolean()) {
        autoCaptureExceptions_ = errorTracking->get<bool>();
        if (!autoCaptureExceptions_) {
            storage_->remove(StorageKey::errorTracking);
        }
    } else if (errorTracking && errorTracking->is_object()) {
        const json* autocapture = findMember(*errorTracking, "autocaptureExceptions");
        autoCaptureExceptions_ =
            autocapture && autocapture->is_boolean() && autocapture->get<bool>();
        storage_->setJson(StorageKey::errorTracking, *errorTracking);
    } else {
        autoCaptureExceptions_ = false;
    }
}

bool DavaRorRemoteConfig::isAutocaptureExceptionsEnabled() const {
    std::lock_guard guard(errorTrackingLock_);
    return autoCaptureExceptions_;
}

void DavaRorRemoteConfig::preloadSessionReplay() {
    std::optional<json> settings;
    json featureFlags = json::object();
    {
        std::lock_guard guard(featureFlagsLock_);
        if (auto stored = storage_->getJson(StorageKey::sessionReplay);
            stored && stored->is_object()) {
            settings = std::move(*stored);
        }
        if (const auto& cached = getCachedFeatureFlags()) {
            featureFlags = *cached;
        }
    }
    if (!settings) {
        return;
    }
    if (const json* endpoint = findMember(*settings, "endpoint");
        endpoint && endpoint->is_string()) {
        config_->setSnapshotEndpoint(endpoint->get<std::string>());
    }
    const bool active = isRecordingActive(featureFlags, *settings);
    std::lock_guard guard(sessionReplayLock_);
    sessionReplayFlagActive_ = active;
}

bool DavaRorRemoteConfig::isRecordingActive(const json& featureFlags, const json& settings) {
    const auto decision = evaluateLinkedFlag(featureFlags, settings);
    if (decision.calledFlagKey && config_->sendFeatureFlagEvent && featureFlagCalledCallback_) {
        featureFlagCalledCallback_(*decision.calledFlagKey, decision.calledFlagValue);
    }
    return decision.recordingActive;
}

bool DavaRorRemoteConfig::isSessionReplayFlagActive() const {
    std::lock_guard guard(sessionReplayLock_);
    return sessionReplayFlagActive_;
}

std::optional<double> DavaRorRemoteConfig::recordingSampleRate() const {
    std::lock_guard guard(sessionReplayLock_);
    return recordingSampleRate_;
}

void DavaRorRemoteConfig::clear() {
    clearFeatureFlags();
    {
        std::lock_guard guard(sessionReplayLock_);
        sessionReplayFlagActive_ = false;
        recordingSampleRate_.reset();
    }
    {
        std::lock_guard guard(errorTrackingLock_);
        autoCaptureExceptions_ = false;
    }
    resetPersonPropertiesForFlags();
    {
        std::lock_guard guard(groupPropertiesForFlagsLock_);
        groupPropertiesForFlags_ = json::object();
        storage_->setJson(StorageKey::groupPropertiesForFlags, groupPropertiesForFlags_);
    }
    {
        std::lock_guard guard(remoteConfigLock_);
        remoteConfig_.reset();
        remoteConfigDidFetch_ = false;
    }
    storage_->remove(StorageKey::sessionReplay);
}
