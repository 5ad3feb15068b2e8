// Turns what the transport reports into what the API client's callers get,
// with the log lines that go with each outcome.
#pragma once

#include "DavaRor/delivery/DavaRorApi.h"
#include "platform/http/HttpMessage.h"

// The log texts of one upload request (batch or snapshot).
struct DavaRorUploadTexts {
    const char* transportError; // + error + "."
    const char* success;
    const char* badStatus; // + status + ", body: " + body + "."
};

// The log texts of one JSON request (flags or remote config).
struct DavaRorJsonTexts {
    const char* transportError; // + error
    const char* noData;
    const char* badStatus; // + status + ", body: " + body + "."
    const char* success;
    const char* parseFailure; // + error
};

void handleUploadReply(const DavaRorUploadTexts& texts, platform::http::HttpResponse response,
                       const DavaRorApi::BatchCompletion& completion);

void handleJsonReply(const DavaRorJsonTexts& texts, platform::http::HttpResponse response,
                     const DavaRorApi::JsonCompletion& completion);
