#pragma once

#include "DavaRor/Models/DavaRorEvent.h"
#include "DavaRor/Utils/DavaRorMulticastCallback.h"
#include "DavaRor/Utils/DavaRorSha256.h"
#include "platform/core/Export.h"
#include "platform/core/ForkSafeMutex.h"
#include "platform/foundation/NSException.h"
#include "platform/ui/UserActivity.h"
#include "platform/url/URL.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class DavaRorApi;
class DavaRorConfig;
class DavaRorContext;
class DavaRorIntegration;
class DavaRorQueue;
class DavaRorRemoteConfig;
class DavaRorStorage;
namespace davaror {
class Reachability;
} // namespace davaror

// The analytics client. Its public operations never throw: a refused or
// failed call logs and returns.
class DAVAROR_EXPORT DavaRorSDK : public std::enable_shared_from_this<DavaRorSDK> {
public:
    static constexpr const char* didStartNotification = "DavaRorDidStart";
    static constexpr const char* didReceiveFeatureFlags = "DavaRorDidReceiveFeatureFlags";

    ~DavaRorSDK();
    DavaRorSDK(const DavaRorSDK&) = delete;
    DavaRorSDK& operator=(const DavaRorSDK&) = delete;

    // Clients exist only inside a std::shared_ptr: the integrations reach
    // theirs through weak_from_this, which a client held any other way would
    // not have, silently losing its life-cycle and screen events.
    static std::shared_ptr<DavaRorSDK> shared();
    // A client besides the shared one.
    static std::shared_ptr<DavaRorSDK> create();

    void setup(std::shared_ptr<DavaRorConfig> config);
    void close();
    bool enabled() const { return enabled_.load() && !setUpInAnotherProcess(); }

    void capture(const std::string& event, const nlohmann::json& properties = nullptr);
    void captureInternal(const std::string& event, std::optional<std::string> distinctId,
                         const nlohmann::json& properties, const nlohmann::json& userProperties,
                         const nlohmann::json& userPropertiesSetOnce, const nlohmann::json& groups,
                         std::optional<DavaRorDate> timestamp, bool skipBuildProperties);
    std::optional<DavaRorEvent> buildEvent(const std::string& event, const std::string& distinctId,
                                           const nlohmann::json& properties, DavaRorDate timestamp);
    void screen(const std::string& screenTitle, const nlohmann::json& properties = nullptr);
    // "$exception" for a handled error, with the caller's properties over the exception
    // properties. Any exception object of the program is an error; an NSError brings its
    // domain, code and chain of underlying errors.
    void captureException(const std::exception& error, const nlohmann::json& properties = nullptr);
    // The same for an exception, reported with the stack it was raised on.
    void captureException(const platform::foundation::NSException& exception,
                          const nlohmann::json& properties = nullptr);
    void flush();

    // "Deep Link Opened" for `url`, with the referrer and its domain when given.
    void captureDeepLink(const std::optional<platform::URL>& url,
                         const std::optional<std::string>& referrer = std::nullopt);
    // The same for a web page handed over to the application; other
    // activities are ignored.
    void captureDeepLink(const platform::ui::UserActivity& userActivity);

    std::string getDistinctId() const;

    // Opting out drops every capture and uninstalls the integrations; opting in installs them
    // again.
    void optOut();
    void optIn();
    bool isOptOut() const;

    void installIntegrations();
    void uninstallIntegrations();
    void notifyContextDidChange();

    std::shared_ptr<DavaRorConfig> config() const;
    std::shared_ptr<DavaRorQueue> queue() const;
    std::shared_ptr<DavaRorQueue> replayQueue() const;
    std::shared_ptr<davaror::Reachability> reachability() const;
    std::shared_ptr<DavaRorRemoteConfig> remoteConfig() const;

    // Feature flags. Reading a flag's value reports it as called, once per
    // flag and value until the next reset.
    void reset();
    void reloadFeatureFlags(
        std::function<void(const std::optional<nlohmann::json>&)> callback = nullptr);
    // The variant text, true or false; none for a flag that is not cached.
    std::optional<nlohmann::json> getFeatureFlag(const std::string& key);
    bool isFeatureEnabled(const std::string& key);
    std::optional<nlohmann::json> getFeatureFlagPayload(const std::string& key);
    void reportFeatureFlagCalled(const std::string& flagKey,
                                 const std::optional<nlohmann::json>& flagValue);

    DavaRorMulticastCallback<DavaRorEvent> onEventCaptured;

private:
    DavaRorSDK();

    struct Services;
    using Integrations = std::vector<std::shared_ptr<DavaRorIntegration>>;
    std::shared_ptr<Services> services() const;
    bool checkEnabled() const;
    bool setUpInAnotherProcess() const;
    void forgetSetupOfAnotherProcess();
    nlohmann::json eventProperties(const nlohmann::json& callerProperties) const;
    void enqueue(const DavaRorEvent& event, const Services& services);
    void captureExceptionList(const nlohmann::json& exceptions, const nlohmann::json& properties);
    std::shared_ptr<DavaRorRemoteConfig> makeRemoteConfig(std::shared_ptr<DavaRorConfig> config,
                                                          std::shared_ptr<DavaRorStorage> storage,
                                                          std::shared_ptr<DavaRorApi> api);
    nlohmann::json getDefaultPersonProperties() const;
    bool runInstallPass();

    std::atomic<bool> enabled_{false};
    // The fork generation in which setup built the services: a forked child inherits them
    // without the threads that run them.
    std::atomic<std::uint64_t> setUpIn_{0};
    mutable platform::ForkSafeMutex setupLock_;
    std::shared_ptr<Services> services_;
    platform::ForkSafeMutex integrationsLock_;
    Integrations installedIntegrations_;
    // An install runs outside the lock: the life-cycle integration captures inside it, and the
    // application's hooks may opt out, opt in or close right there. The pass learns from these
    // what happened meanwhile.
    bool installPassRunning_ = false;
    bool integrationsWanted_ = false;
    std::uint64_t uninstallCount_ = 0;
    platform::ForkSafeMutex flagCallsLock_;
    // A digest of each flag key and value reported, never the value itself: a
    // flag whose large value changes at every reload must not fill memory.
    std::set<DavaRorSha256Digest> reportedFlagCalls_;
};
