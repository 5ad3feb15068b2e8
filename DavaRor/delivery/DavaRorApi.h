// The analytics client's HTTP client: event batches, replay snapshots, feature
// flags and the remote configuration document.
#pragma once

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/Models/DavaRorEvent.h"
#include "platform/http/HttpTransport.h"
#include "platform/http/TransportConfiguration.h"
#include "platform/http/UrlComponents.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The outcome of one upload: the HTTP status whenever a reply came, else none
// (with the transport's error when the request failed in transit), the wait
// the reply's `Retry-After` asked for, and whether the request timed out
// while its body was still going up.
struct DavaRorBatchUploadInfo {
    std::optional<int> statusCode;
    std::exception_ptr error;
    std::optional<std::chrono::seconds> retryAfter;
    bool timedOutSendingBody = false;
};

// Every completion is called exactly once. When the request cannot be sent at
// all it runs on the caller's thread before the call returns; otherwise it
// runs later on the transport's worker, never on the caller's thread.
class DavaRorApi {
public:
    using BatchCompletion = std::function<void(DavaRorBatchUploadInfo)>;
    // The reply's JSON object, or none; the error says why when there is one.
    using JsonCompletion = std::function<void(std::optional<nlohmann::json>, std::exception_ptr)>;

    // The service's regional addresses. The remote configuration of a host
    // that is exactly one of the ingestion addresses comes from its region's
    // assets address.
    static constexpr const char* usIngestionHost = DavaRorConfig::defaultHost;
    static constexpr const char* euIngestionHost = "https://eu.i.davaror.invalid";
    static constexpr const char* usAssetsHost = "https://assets-us.davaror.invalid";
    static constexpr const char* euAssetsHost = "https://assets-eu.davaror.invalid";

    static constexpr std::chrono::milliseconds defaultTimeout = std::chrono::seconds(10);
    // No request, however steadily its reply trickles in, takes longer.
    static constexpr std::chrono::milliseconds defaultDeadline = std::chrono::minutes(1);

    // Releasing the API client cancels nothing: each transfer keeps the
    // transport until it has reported.
    explicit DavaRorApi(std::shared_ptr<const DavaRorConfig> config,
                        std::shared_ptr<platform::http::HttpTransport> transport =
                            std::make_shared<platform::http::HttpTransport>(),
                        std::chrono::milliseconds requestDeadline = defaultDeadline);

    void batch(const std::vector<DavaRorEvent>& events, BatchCompletion completion);
    // Every event is sent with the configured API key.
    void snapshot(std::vector<DavaRorEvent> events, BatchCompletion completion);
    // `groups` maps group types to group keys, `personProperties` is an object
    // and `groupProperties` maps group types to property objects.
    void flags(const std::string& distinctId, const std::optional<std::string>& anonymousId,
               const nlohmann::json& groups, const nlohmann::json& personProperties,
               const std::optional<nlohmann::json>& groupProperties, JsonCompletion completion);
    void remoteConfig(JsonCompletion completion);

private:
    platform::http::TransportConfiguration sessionConfig() const;
    platform::http::HttpRequest getURLRequest(const std::string& url,
                                              const char* method = "POST") const;
    std::optional<std::string>
    getEndpointURL(const std::string& endpoint,
                   const std::vector<platform::http::UrlQueryItem>& queryItems) const;
    std::optional<platform::http::HttpRequest> getRemoteConfigRequest() const;
    void send(platform::http::HttpRequest request,
              std::function<void(platform::http::HttpResponse)> onReply) const;
    void upload(const platform::http::TransportConfiguration& configuration,
                platform::http::HttpRequest request, const std::string& json,
                const char* gzipFailureText,
                std::function<void(platform::http::HttpResponse)> onReply,
                const BatchCompletion& completion);

    const std::shared_ptr<const DavaRorConfig> config_;
    const std::shared_ptr<platform::http::HttpTransport> transport_;
    const std::chrono::milliseconds requestDeadline_;
};
