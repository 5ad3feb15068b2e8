// Names and renderings the plain-text crash log uses for stored values.
#pragma once

#include "KOCrashReport.h"

#include <string>
#include <string_view>

struct KOCrashReportCodeType {
    std::string name;
    // Word size of the crashed process: decides address widths and register columns.
    bool lp64;
};

std::string kocrash_text_operating_system_name(KOCrashReportOperatingSystem operatingSystem);

// From the first image with a known Mach CPU type, else from the host processor.
KOCrashReportCodeType kocrash_text_code_type(const KOCrashReport& report);

// Architecture name of an image line; "???" when the image's code type is not known.
std::string
kocrash_text_architecture_name(const std::optional<KOCrashReportProcessorInfo>& codeType);

// "2001-01-01 00:00:00 +0000"; the plain number of seconds when the date lies outside the
// years 1 to 9999, so that no crafted value overflows the calendar arithmetic.
std::string kocrash_text_date(std::int64_t secondsSince1970);

// Canonical upper-case form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
std::string kocrash_text_uuid(const KOCrashReportUUID& uuid);

// The text after the last "/", ignoring trailing slashes ("/" stays "/").
std::string_view kocrash_text_last_path_component(std::string_view path);
