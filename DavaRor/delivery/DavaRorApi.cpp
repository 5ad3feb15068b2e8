#include "DavaRor/delivery/DavaRorApi.h"

#include "DavaRor/Utils/DavaRorDates.h"
#include "DavaRor/Utils/DavaRorJSON.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorSdkInfo.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/Utils/InternalDavaRorError.h"
#include "DavaRor/delivery/DavaRorApiReplies.h"
#include "DavaRor/delivery/DavaRorTimeZone.h"
#include "DavaRor/delivery/Gzip.h"

#include <regex>

using davaror::GzipError;
using davaror::gzipped;

using platform::http::HttpRequest;
using platform::http::HttpResponse;
using platform::http::TransportConfiguration;

namespace {

constexpr DavaRorUploadTexts batchTexts{
    "Error calling the batch API: ",
    "Events sent successfully.",
    "Error sending events to batch API: status: ",
};

constexpr DavaRorUploadTexts snapshotTexts{
    "Error calling the snapshot API: ",
    "Snapshots sent successfully.",
    "Error sending events to snapshot API: status: ",
};

constexpr DavaRorJsonTexts flagsTexts{
    "Error calling the flags API: ",      "Error parsing the flags response: no data",
    "Error calling flags API: status: ",  "Flags called successfully.",
    "Error parsing the flags response: ",
};

constexpr DavaRorJsonTexts remoteConfigTexts{
    "Error calling the remote config API: ",
    "Error parsing the remote config response: no data",
    "Error calling the remote config API: status: ",
    "Remote config called successfully.",
    "Error parsing the remote config response: ",
};

constexpr const char* unableToCreateRemoteConfigRequest =
    "Error calling the remote config API: unable to create request";

nlohmann::json eventsJSON(const std::vector<DavaRorEvent>& events) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& event : events) {
        array.push_back(event.toJSON());
    }
    return array;
}

void addCompressionHeaders(TransportConfiguration& configuration) {
    configuration.setAdditionalHeader("Accept-Encoding", "gzip");
    configuration.setAdditionalHeader("Content-Encoding", "gzip");
}

} // namespace

DavaRorApi::DavaRorApi(std::shared_ptr<const DavaRorConfig> config,
                       std::shared_ptr<platform::http::HttpTransport> transport,
                       std::chrono::milliseconds requestDeadline)
    : config_(std::move(config)), transport_(std::move(transport)),
      requestDeadline_(requestDeadline) {}

// A copy for this request only: a configuration the application supplied is
// never changed, so one request's headers cannot leak into the next.
TransportConfiguration DavaRorApi::sessionConfig() const {
    TransportConfiguration configuration =
        config_->urlSessionConfiguration.value_or(TransportConfiguration{});
    configuration.additionalHeaders = {
        {"Content-Type", "application/json; charset=utf-8"},
        {"User-Agent", davaRorSdkName + "/" + davaRorVersion},
    };
    return configuration;
}

HttpRequest DavaRorApi::getURLRequest(const std::string& url, const char* method) const {
    HttpRequest request;
    request.method = method;
    request.url = url;
    request.timeout = defaultTimeout;
    request.deadline = requestDeadline_;
    // Every reply is read into memory, so none may be larger than what the
    // client would parse.
    request.maxResponseBytes = maxUntrustedJsonBytes;
    return request;
}

std::optional<std::string>
DavaRorApi::getEndpointURL(const std::string& endpoint,
                           const std::vector<platform::http::UrlQueryItem>& queryItems) const {
    auto components = platform::http::UrlComponents::parse(config_->host);
    if (!components) {
        return std::nullopt;
    }
    static const std::regex slashRuns("/+");
    components->setPath(std::regex_replace(components->path() + "/" + endpoint, slashRuns, "/"));
    components->setQueryItems(queryItems);
    return components->string();
}

std::optional<HttpRequest> DavaRorApi::getRemoteConfigRequest() const {
    std::string base = config_->host;
    if (base == usIngestionHost) {
        base = usAssetsHost;
    } else if (base == euIngestionHost) {
        base = euAssetsHost;
    }
    auto components = platform::http::UrlComponents::parse(base);
    if (!components) {
        return std::nullopt;
    }
    std::string path = components->path();
    while (path.ends_with('/')) {
        path.pop_back();
    }
    components->setPath(path + "/array/" + config_->apiKey + "/config");
    const auto url = components->string();
    if (!url) {
        return std::nullopt;
    }
    return getURLRequest(*url, "GET");
}

void DavaRorApi::send(HttpRequest request, std::function<void(HttpResponse)> onReply) const {
    transport_->send(std::move(request),
                     [transport = transport_, onReply = std::move(onReply)](HttpResponse response) {
                         onReply(std::move(response));
                     });
}

void DavaRorApi::upload(const TransportConfiguration& configuration, HttpRequest request,
                        const std::string& json, const char* gzipFailureText,
                        std::function<void(HttpResponse)> onReply,
                        const BatchCompletion& completion) {
    // The service's verdict on an upload is its status: a body that cannot be
    // read after it must not turn a delivered batch into one sent again.
    request.bodyFailure = platform::http::ReplyBodyFailure::isDropped;
    try {
        request.body = gzipped(json);
    } catch (const GzipError& error) {
        davaRorLog(gzipFailureText + error.message() + ".");
        completion({std::nullopt, nullptr, std::nullopt});
        return;
    }
    send(configuration.applyTo(std::move(request)), std::move(onReply));
}

void DavaRorApi::batch(const std::vector<DavaRorEvent>& events, BatchCompletion completion) {
    const auto url = getEndpointURL("/batch", {});
    if (!url) {
        davaRorLog("Malformed batch URL error.");
        completion({std::nullopt, nullptr, std::nullopt});
        return;
    }
    TransportConfiguration configuration = sessionConfig();
    addCompressionHeaders(configuration);
    HttpRequest request = getURLRequest(*url);
    const nlohmann::json body = {
        {"api_key", config_->apiKey},
        {"batch", eventsJSON(events)},
        {"sent_at", toISO8601String(std::chrono::system_clock::now())},
    };
    const auto json = toJSONData(body);
    if (!json) {
        davaRorLog("Error parsing the batch body");
        completion({std::nullopt, nullptr, std::nullopt});
        return;
    }
    upload(
        configuration, std::move(request), *json, "Error gzipping the batch body: ",
        [completion](HttpResponse response) {
            handleUploadReply(batchTexts, std::move(response), completion);
        },
        completion);
}

void DavaRorApi::snapshot(std::vector<DavaRorEvent> events, BatchCompletion completion) {
    const auto url = getEndpointURL(config_->snapshotEndpoint(), {});
    if (!url) {
        davaRorLog("Malformed snapshot URL error.");
        completion({std::nullopt, nullptr, std::nullopt});
        return;
    }
    for (auto& event : events) {
        event.apiKey = config_->apiKey;
    }
    TransportConfiguration configuration = sessionConfig();
    addCompressionHeaders(configuration);
    HttpRequest request = getURLRequest(*url);
    const auto json = toJSONData(eventsJSON(events));
    if (!json) {
        davaRorLog("Error parsing the snapshot body");
        completion({std::nullopt, nullptr, std::nullopt});
        return;
    }
    upload(
        configuration, std::move(request), *json, "Error gzipping the snapshot body: ",
        [completion](HttpResponse response) {
            handleUploadReply(snapshotTexts, std::move(response), completion);
        },
        completion);
}

void DavaRorApi::flags(const std::string& distinctId, const std::optional<std::string>& anonymousId,
                       const nlohmann::json& groups, const nlohmann::json& personProperties,
                       const std::optional<nlohmann::json>& groupProperties,
                       JsonCompletion completion) {
    const auto url = getEndpointURL("/flags", {{"v", "2"}});
    if (!url) {
        davaRorLog("Malformed flags URL error.");
        completion(std::nullopt, nullptr);
        return;
    }
    const TransportConfiguration configuration = sessionConfig();
    HttpRequest request = getURLRequest(*url);
    nlohmann::json body = {
        {"api_key", config_->apiKey},
        {"distinct_id", distinctId},
        {"groups", groups.is_null() ? nlohmann::json::object() : groups},
        {"timezone", currentTimeZoneIdentifier()},
    };
    if (anonymousId) {
        body["$anon_distinct_id"] = *anonymousId;
    }
    if (!personProperties.empty()) {
        body["person_properties"] = personProperties;
    }
    if (groupProperties && !groupProperties->empty()) {
        body["group_properties"] = *groupProperties;
    }
    if (config_->evaluationContexts && !config_->evaluationContexts->empty()) {
        body["evaluation_contexts"] = *config_->evaluationContexts;
    }
    const auto json = toJSONData(body);
    if (!json) {
        davaRorLog("Error parsing the flags body");
        completion(std::nullopt, nullptr);
        return;
    }
    request.body = *json;
    send(configuration.applyTo(std::move(request)),
         [completion = std::move(completion)](HttpResponse response) {
             handleJsonReply(flagsTexts, std::move(response), completion);
         });
}

void DavaRorApi::remoteConfig(JsonCompletion completion) {
    auto request = getRemoteConfigRequest();
    if (!request) {
        // The remote configuration marks a fetch as running until this
        // completion comes, so it must come even when nothing is sent.
        davaRorLog(unableToCreateRemoteConfigRequest);
        completion(std::nullopt, std::make_exception_ptr(
                                     InternalDavaRorError(unableToCreateRemoteConfigRequest)));
        return;
    }
    send(sessionConfig().applyTo(std::move(*request)),
         [completion = std::move(completion)](HttpResponse response) {
             handleJsonReply(remoteConfigTexts, std::move(response), completion);
         });
}
