// The plain-text crash log: header, exception, one block per thread, the crashed thread's
// registers and the loaded images. A pure function of the report.
#pragma once

#include "KOCrashReportFormatter.h"
#include "platform/core/Export.h"

#include <string>

enum class KOCrashReportTextFormat : std::int32_t {
    // The only layout; kept as a value so that stored settings stay meaningful.
    Standard = 0,
};

enum class KOCrashReportStringEncoding : std::uint64_t {
    UTF8,
    // Lossy: every character outside ASCII becomes "?".
    ASCII,
};

class DAVAROR_EXPORT KOCrashReportTextFormatter final : public KOCrashReportFormatter {
public:
    KOCrashReportTextFormatter(KOCrashReportTextFormat textFormat,
                               KOCrashReportStringEncoding stringEncoding)
        : textFormat_(textFormat), stringEncoding_(stringEncoding) {}

    // Never fails; error is left untouched.
    std::optional<std::vector<std::uint8_t>>
    formatReport(const KOCrashReport& report, std::optional<KOError>* error) const override;

    // The whole log as UTF-8 text.
    static std::string stringValueForCrashReport(const KOCrashReport& report,
                                                 KOCrashReportTextFormat textFormat);

    // Orders images by base address, smaller first.
    static bool binaryImageSort(const KOCrashReportBinaryImageInfo& first,
                                const KOCrashReportBinaryImageInfo& second);

private:
    KOCrashReportTextFormat textFormat_;
    KOCrashReportStringEncoding stringEncoding_;
};
