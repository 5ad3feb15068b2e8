#include "DavaRor/delivery/DavaRorApiReplies.h"

#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/Utils/InternalDavaRorError.h"
#include "DavaRor/delivery/DavaRorApiError.h"
#include "DavaRor/delivery/DavaRorRetryRule.h"

namespace {

bool isSuccess(int status) {
    return status >= 200 && status <= 299;
}

// The reply body when it is a JSON object (fragments allowed, anything else
// counts as none), described for a log line.
std::string describeObjectBody(const std::string& body) {
    const auto parsed = parseUntrustedJsonOrNone(body);
    return parsed && parsed->is_object() ? parsed->dump() : "nil";
}

std::string badStatusText(const char* prefix, int status, const std::string& body) {
    return prefix + std::to_string(status) + ", body: " + describeObjectBody(body) + ".";
}

} // namespace

void handleUploadReply(const DavaRorUploadTexts& texts, platform::http::HttpResponse response,
                       const DavaRorApi::BatchCompletion& completion) {
    if (response.error || !response.statusCode) {
        const platform::http::HttpError error = response.error.value_or(
            platform::http::HttpError{platform::http::HttpErrorCode::other, "no reply"});
        davaRorLog(texts.transportError + error.description + ".");
        completion({std::nullopt, std::make_exception_ptr(DavaRorTransportError(error)),
                    std::nullopt, response.timedOutSendingBody});
        return;
    }
    const int status = *response.statusCode;
    if (isSuccess(status)) {
        davaRorLog(texts.success);
    } else {
        davaRorLog(badStatusText(texts.badStatus, status, response.body));
    }
    std::optional<std::chrono::seconds> retryAfter;
    if (const auto value = platform::http::findHeader(response.headers, "Retry-After")) {
        retryAfter = retryAfterDelay(*value, std::chrono::system_clock::now());
    }
    completion({status, nullptr, retryAfter});
}

void handleJsonReply(const DavaRorJsonTexts& texts, platform::http::HttpResponse response,
                     const DavaRorApi::JsonCompletion& completion) {
    if (response.error || !response.statusCode) {
        const platform::http::HttpError error = response.error.value_or(
            platform::http::HttpError{platform::http::HttpErrorCode::other, "no reply"});
        davaRorLog(texts.transportError + error.description);
        completion(std::nullopt, std::make_exception_ptr(DavaRorTransportError(error)));
        return;
    }
    if (response.body.empty()) {
        davaRorLog(texts.noData);
        completion(std::nullopt, nullptr);
        return;
    }
    const int status = *response.statusCode;
    if (!isSuccess(status)) {
        const std::string text = badStatusText(texts.badStatus, status, response.body);
        davaRorLog(text);
        completion(std::nullopt, std::make_exception_ptr(InternalDavaRorError(text)));
        return;
    }
    davaRorLog(texts.success);
    nlohmann::json decoded;
    try {
        decoded = parseUntrustedJson(response.body);
    } catch (const std::exception& error) {
        davaRorLog(std::string(texts.parseFailure) + error.what());
        completion(std::nullopt, std::current_exception());
        return;
    }
    if (decoded.is_object()) {
        completion(std::move(decoded), nullptr);
    } else {
        completion(std::nullopt, nullptr);
    }
}
