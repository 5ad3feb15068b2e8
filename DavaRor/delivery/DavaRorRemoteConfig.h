// The settings that come from the analytics service rather than from the
// application: the remote configuration document, the error-tracking and
// session-replay switches taken from it and from stored replay settings, and
// the feature flags with the person and group properties they are evaluated
// against. Everything is kept on disk, so a restarted client answers from the
// last known state before any request completes.
#pragma once

#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Models/DavaRorFeatureFlagResult.h"
#include "DavaRor/Utils/DavaRorMulticastCallback.h"
#include "platform/core/SerialQueue.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class DavaRorApi;
class DavaRorConfig;

// Always owned by a std::shared_ptr (see create): work queued on its dispatch
// queue and replies of the service hold it weakly.
//
// Each lock guards one group of fields and the storage writes that mirror
// them, except the flag caches: their lock guards the fields alone, and the
// files are written after it is released, under featureFlagsStoreLock_, so a
// flag read never waits for the disk. That lock is taken before
// featureFlagsLock_; otherwise no two locks are ever held at once, and none is
// held while calling out: the closures given at creation, callbacks,
// observers and the network see no lock of this object.
class DavaRorRemoteConfig : public std::enable_shared_from_this<DavaRorRemoteConfig> {
public:
    using GetDefaultPersonProperties = std::function<nlohmann::json()>;
    // The flag key and the cached value that was used.
    using FeatureFlagCalledCallback =
        std::function<void(const std::string&, const std::optional<nlohmann::json>&)>;
    // The flag values after a reload, or none when it failed.
    using FeatureFlagsCallback = std::function<void(const std::optional<nlohmann::json>&)>;

    static constexpr const char* hasFeatureFlagsKey = "hasFeatureFlags";
    static constexpr const char* dispatchQueueLabel = "com.davaror.RemoteConfig";

    // Loads the stored state and starts the preloads: the remote configuration
    // fetch unless the configuration disables it for testing, and after it the
    // feature flags.
    static std::shared_ptr<DavaRorRemoteConfig>
    create(std::shared_ptr<DavaRorConfig> config, std::shared_ptr<const DavaRorStorage> storage,
           std::shared_ptr<DavaRorApi> api, GetDefaultPersonProperties getDefaultPersonProperties,
           FeatureFlagCalledCallback featureFlagCalledCallback);

    // A reload still waiting behind the request in flight is answered with none.
    ~DavaRorRemoteConfig();
    DavaRorRemoteConfig(const DavaRorRemoteConfig&) = delete;
    DavaRorRemoteConfig& operator=(const DavaRorRemoteConfig&) = delete;

    // Forgets the state that came from the service, in memory; the stored
    // document and error-tracking object stay for the next launch.
    void clear();

    bool isAutocaptureExceptionsEnabled() const;
    bool isSessionReplayFlagActive() const;
    std::optional<double> recordingSampleRate() const;

    // Asks the service for the flags of the current identity. While a request
    // is in flight only the newest further call waits; a call it replaces gets
    // the cached values at once. Every callback is called exactly once.
    void reloadFeatureFlags(FeatureFlagsCallback callback = nullptr);

    std::optional<DavaRorFeatureFlagResult> getFeatureFlagResult(const std::string& key);
    // What the client's flag calls return, read in place: the cache may hold
    // megabytes, and each call copies only its own answer. The value is the
    // variant or the Boolean (false for a value of any other type); the
    // payload is parsed when it is JSON text.
    std::optional<nlohmann::json> getFeatureFlagValue(const std::string& key);
    std::optional<nlohmann::json> getFeatureFlagPayload(const std::string& key);
    std::optional<nlohmann::json> getFeatureFlags();
    std::optional<nlohmann::json> getFeatureFlagDetails(const std::string& key);
    // Hands the flag's cached details, if any, to `reader` without copying
    // them. `reader` runs under the flags' lock and must not call into this
    // object.
    void readFeatureFlagDetails(const std::string& key,
                                const std::function<void(const nlohmann::json&)>& reader);
    std::optional<std::string> lastRequestId();
    std::optional<std::int64_t> lastEvaluatedAt();

    void setPersonPropertiesForFlags(const nlohmann::json& properties);
    void resetPersonPropertiesForFlags();
    void setGroupPropertiesForFlags(const std::string& groupType, const nlohmann::json& properties);
    // All group types when none is given.
    void resetGroupPropertiesForFlags(const std::optional<std::string>& groupType);

    // False stops every flags reload.
    std::atomic<bool> canReloadFlagsForTesting{true};
    // Called on the main queue with each fetched document.
    DavaRorMulticastCallback<std::optional<nlohmann::json>> onRemoteConfigLoaded;
    // Called on the main queue after every flags answer, and when the fetched
    // document says there are no flags or no document came.
    DavaRorMulticastCallback<std::optional<nlohmann::json>> onFeatureFlagsLoaded;

private:
    struct PendingFeatureFlagsRequest {
        std::string distinctId;
        std::optional<std::string> anonymousId;
        nlohmann::json groups;
        FeatureFlagsCallback callback; // never empty
    };
    using RemoteConfigCallback = std::function<void(const std::optional<nlohmann::json>&)>;
    // A reply may be megabytes once parsed: the cache, the callback and the
    // observers on the main queue share one copy of it.
    using SharedJson = std::shared_ptr<const std::optional<nlohmann::json>>;
    static SharedJson share(std::optional<nlohmann::json> value);

    DavaRorRemoteConfig(std::shared_ptr<DavaRorConfig> config,
                        std::shared_ptr<const DavaRorStorage> storage,
                        std::shared_ptr<DavaRorApi> api,
                        GetDefaultPersonProperties getDefaultPersonProperties,
                        FeatureFlagCalledCallback featureFlagCalledCallback);

    // Remote configuration, error tracking and session replay.
    void preloadRemoteConfig();
    void reloadRemoteConfig(RemoteConfigCallback callback);
    void finishRemoteConfigFetch(std::optional<nlohmann::json> fetched,
                                 const RemoteConfigCallback& callback);
    void didFetchRemoteConfig(const std::optional<nlohmann::json>& document);
    void preloadErrorTrackingConfig();
    void processErrorTrackingConfig(const nlohmann::json& document);
    void preloadSessionReplay();
    bool isRecordingActive(const nlohmann::json& featureFlags, const nlohmann::json& settings);

    // Feature flags.
    void loadCachedPropertiesForFlags();
    void preloadFeatureFlags();
    void loadFeatureFlags(PendingFeatureFlagsRequest request);
    nlohmann::json getPersonPropertiesForFlags();
    void processFeatureFlagsAnswer(std::optional<nlohmann::json> answer,
                                   const FeatureFlagsCallback& callback);
    // Stores an answer in the flags' format; returns the flag values it leaves.
    SharedJson storeFeatureFlagsAnswer(nlohmann::json&& answer);
    void notifyFeatureFlags(SharedJson flags);
    void notifyFeatureFlagsAndRelease(SharedJson flags);
    void clearFeatureFlags();
    // A flag cache is never changed in place: an answer builds the next one
    // beside it, from this snapshot if it merges, and swaps it in.
    using CachedObject = std::shared_ptr<const nlohmann::json>;
    // The caller holds featureFlagsLock_. A cache that is none (null) is
    // looked up on disk again at the next access.
    const CachedObject& getCachedFeatureFlags();
    const CachedObject& getCachedFlags();
    const CachedObject& getCachedFeatureFlagPayload();
    const CachedObject& cachedObject(CachedObject& field, DavaRorStorage::StorageKey key);
    // The caller holds featureFlagsLock_; the cached entry of `key`, if any.
    const nlohmann::json* cachedFeatureFlag(const std::string& key);
    const nlohmann::json* cachedFeatureFlagPayload(const std::string& key);

    const std::shared_ptr<DavaRorConfig> config_;
    const std::shared_ptr<const DavaRorStorage> storage_;
    const std::shared_ptr<DavaRorApi> api_;
    const GetDefaultPersonProperties getDefaultPersonProperties_;
    const FeatureFlagCalledCallback featureFlagCalledCallback_;

    std::mutex loadingFeatureFlagsLock_;
    bool loadingFeatureFlags_ = false;
    std::optional<PendingFeatureFlagsRequest> pendingFeatureFlagsRequest_;

    mutable std::mutex sessionReplayLock_;
    bool sessionReplayFlagActive_ = false;
    std::optional<double> recordingSampleRate_;

    mutable std::mutex errorTrackingLock_;
    bool autoCaptureExceptions_ = false;

    // Held by whatever replaces the flag caches (an answer, a clear) from
    // the start until their files are written, so the files end as the
    // caches do.
    std::mutex featureFlagsStoreLock_;
    std::mutex featureFlagsLock_;
    CachedObject flags_;
    CachedObject featureFlags_;
    CachedObject featureFlagPayloads_;
    std::optional<std::string> requestId_;
    std::optional<std::int64_t> evaluatedAt_;

    // Also guards remoteConfigDidFetch_, which is read and reset beside the
    // document.
    std::mutex remoteConfigLock_;
    SharedJson remoteConfig_; // null or a document
    bool remoteConfigDidFetch_ = false;

    std::mutex loadingRemoteConfigLock_;
    bool loadingRemoteConfig_ = false;

    std::mutex personPropertiesForFlagsLock_;
    nlohmann::json personPropertiesForFlags_ = nlohmann::json::object();

    std::mutex groupPropertiesForFlagsLock_;
    nlohmann::json groupPropertiesForFlags_ = nlohmann::json::object();

    // Last, so it is drained first when the object goes away.
    platform::SerialQueue dispatchQueue_;
};
