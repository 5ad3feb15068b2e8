// What turns a decoded crash report into bytes a person or another tool can read.
#pragma once

#include "KOCrashReport.h"
#include "KOCrashReporterError.h"
#include "platform/core/Export.h"

#include <cstdint>
#include <optional>
#include <vector>

class DAVAROR_EXPORT KOCrashReportFormatter {
public:
    virtual ~KOCrashReportFormatter() = default;

    // The formatted report, or none with *error (when given) telling why.
    virtual std::optional<std::vector<std::uint8_t>>
    formatReport(const KOCrashReport& report, std::optional<KOError>* error) const = 0;
};
