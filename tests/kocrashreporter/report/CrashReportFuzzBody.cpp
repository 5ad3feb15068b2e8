#include "CrashReportFuzzBody.h"

#include "KOCrashReport.h"
#include "KOCrashReportText.h"
#include "KOCrashReportTextFormatter.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void broken(const char* promise) {
    std::fprintf(stderr, "crash report fuzz: %s\n", promise);
    std::abort();
}

void check(bool holds, const char* promise) {
    if (!holds) {
        broken(promise);
    }
}

void checkFormatting(const KOCrashReport& report) {
    const std::string text = KOCrashReportTextFormatter::stringValueForCrashReport(
        report, KOCrashReportTextFormat::Standard);
    check(text == KOCrashReportTextFormatter::stringValueForCrashReport(
                      report, KOCrashReportTextFormat::Standard),
          "the same report formats to the same text");
    check(kocrash_report_valid_utf8(text) == text, "the text is valid UTF-8");
    const auto ascii = KOCrashReportTextFormatter(KOCrashReportTextFormat::Standard,
                                                  KOCrashReportStringEncoding::ASCII)
                           .formatReport(report, nullptr);
    check(ascii.has_value(), "formatting never fails");
    for (const std::uint8_t byte : *ascii) {
        check(byte < 0x80, "the ASCII text holds only ASCII");
    }
}

} // namespace

void kocrash_report_fuzz_one(const std::uint8_t* data, std::size_t size) {
    std::optional<KOError> error;
    const auto report = KOCrashReport::initWithData({data, size}, &error);
    if (!report) {
        check(error.has_value(), "a rejected file comes with an error");
        check(error->domain() == KOCrashReporterErrorDomain &&
                  error->code() == KOCrashReporterErrorInvalidReport,
              "a rejected file is an invalid report");
        check(!error->localizedDescription().empty(), "the error says why");
        return;
    }
    check(!error.has_value(), "a decoded file sets no error");
    check(!report->images().empty(), "a decoded report has images");
    check(*KOCrashReport::initWithData({data, size}, nullptr) == *report,
          "decoding is deterministic");
    checkFormatting(*report);
}
