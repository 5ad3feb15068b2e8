#pragma once

#include "DavaRor/ErrorTracking/DavaRorErrorTrackingConfig.h"
#include "DavaRor/Models/DavaRorEvent.h"
#include "DavaRor/Surveys/DavaRorSurveysConfig.h"
#include "platform/core/Export.h"
#include "platform/core/ForkSafeMutex.h"
#include "platform/http/TransportConfiguration.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class DavaRorIntegration;
class DavaRorStorageManager;

// The client's configuration. Plain fields are set before setup and only
// read afterwards; the fields that change while the client runs sit behind
// lock-guarded accessors.
class DAVAROR_EXPORT DavaRorConfig {
public:
    enum class DavaRorDataMode : int { wifi = 0, cellular = 1, any = 2 };

    static constexpr const char* defaultHost = "https://us.i.davaror.invalid";

    explicit DavaRorConfig(std::string apiKey, std::string host = defaultHost);
    DavaRorConfig(const DavaRorConfig&) = delete;
    DavaRorConfig& operator=(const DavaRorConfig&) = delete;

    const std::string host;
    const std::string apiKey;

    int flushAt = 20;
    int maxQueueSize = 1000;
    int maxBatchSize = 50;
    double flushIntervalSeconds = 30.0;
    DavaRorDataMode dataMode = DavaRorDataMode::any;
    std::optional<std::vector<std::string>> evaluationContexts;
    // Transport settings for the API client; it copies them for each request.
    std::optional<platform::http::TransportConfiguration> urlSessionConfiguration;

    bool disableReachabilityForTesting = false;
    bool disableQueueTimerForTesting = false;
    bool disableRemoteConfigForTesting = false;

    bool preloadFeatureFlags = true;
    bool sendFeatureFlagEvent = true;
    bool reuseAnonymousId = false;
    bool setDefaultPersonProperties = true;
    std::shared_ptr<DavaRorStorageManager> storageManager;

    bool captureApplicationLifecycleEvents = true;
    bool captureScreenViews = true;
    bool enableSwizzling = true;

    // Created with the configuration; its settings stay changeable.
    const std::shared_ptr<DavaRorErrorTrackingConfig> errorTrackingConfig =
        std::make_shared<DavaRorErrorTrackingConfig>();

    // Run by buildEvent on every event: the sanitiser on its properties, then the before-send
    // hook on the event, which may rewrite it or drop it by returning none.
    std::function<nlohmann::json(nlohmann::json)> propertiesSanitizer;
    std::function<std::optional<DavaRorEvent>(DavaRorEvent)> beforeSend;

    DavaRorSurveysConfig _surveysConfig;
    DavaRorSurveysConfig& surveysConfig() { return _surveysConfig; }

    // The snapshot path relative to the host; replaced by the stored replay
    // settings' endpoint.
    std::string snapshotEndpoint() const;
    void setSnapshotEndpoint(std::string endpoint);

    // A new list of the integrations this configuration asks for.
    std::vector<std::shared_ptr<DavaRorIntegration>> getIntegrations() const;

    bool optOut() const;
    void setOptOut(bool optOut);

private:
    mutable platform::ForkSafeMutex lock_;
    std::string snapshotEndpoint_ = "/s/";
    bool optOut_ = false;
};
