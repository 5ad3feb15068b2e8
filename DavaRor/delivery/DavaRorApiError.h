// Errors that the API client hands to its completions.
#pragma once

#include "platform/http/HttpMessage.h"

#include <exception>
#include <stdexcept>
#include <string>

// A request that failed in transit: no reply came back.
class DavaRorTransportError : public std::runtime_error {
public:
    explicit DavaRorTransportError(const platform::http::HttpError& error)
        : std::runtime_error(error.description), code_(error.code) {}

    platform::http::HttpErrorCode code() const { return code_; }

private:
    platform::http::HttpErrorCode code_;
};

// The error's text for log lines; "nil" when there is none.
std::string describeError(const std::exception_ptr& error);
