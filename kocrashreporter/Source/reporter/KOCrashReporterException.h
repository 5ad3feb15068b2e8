// Raised for programming errors of the reporter's users (no identity, callbacks set after
// enable); runtime failures are KOError values instead.
#pragma once

#include "platform/core/Export.h"

#include <stdexcept>
#include <string>

class DAVAROR_EXPORT KOCrashReporterException : public std::runtime_error {
public:
    explicit KOCrashReporterException(const std::string& reason) : std::runtime_error(reason) {}

    static constexpr const char* name() { return "KOCrashReporterException"; }
    std::string reason() const { return what(); }
};
