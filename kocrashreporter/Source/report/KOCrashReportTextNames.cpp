#include "KOCrashReportTextNames.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr std::uint64_t cpuTypeX86 = 7;
constexpr std::uint64_t cpuTypeARM = 12;
constexpr std::uint64_t cpuTypePowerPC = 18;
constexpr std::uint64_t cpuTypeX86_64 = 0x1000007;
constexpr std::uint64_t cpuTypeARM64 = 0x100000C;
constexpr std::uint64_t cpuSubtypeMask = 0xFFFFFF;

std::optional<KOCrashReportCodeType> knownCodeType(std::uint64_t type) {
    switch (type) {
    case cpuTypeX86:
        return KOCrashReportCodeType{"X86", false};
    case cpuTypeARM:
        return KOCrashReportCodeType{"ARM", false};
    case cpuTypePowerPC:
        return KOCrashReportCodeType{"PPC", false};
    case cpuTypeX86_64:
        return KOCrashReportCodeType{"X86-64", true};
    case cpuTypeARM64:
        return KOCrashReportCodeType{"ARM-64", true};
    default:
        return std::nullopt;
    }
}

bool isMach(const KOCrashReportProcessorInfo& processor) {
    return processor.typeEncoding() == KOCrashReportProcessorTypeEncoding::Mach;
}

} // namespace

std::string kocrash_text_operating_system_name(KOCrashReportOperatingSystem operatingSystem) {
    switch (operatingSystem) {
    case KOCrashReportOperatingSystem::MacOSX:
    case KOCrashReportOperatingSystem::iPhoneSimulator:
        return "Mac OS X";
    case KOCrashReportOperatingSystem::iPhoneOS:
        return "iPhone OS";
    case KOCrashReportOperatingSystem::AppleTVOS:
        return "Apple tvOS";
    default:
        return "Unknown (" + std::to_string(static_cast<std::int32_t>(operatingSystem)) + ")";
    }
}

KOCrashReportCodeType kocrash_text_code_type(const KOCrashReport& report) {
    for (const auto& image : report.images()) {
        if (image.codeType() && isMach(*image.codeType())) {
            if (auto codeType = knownCodeType(image.codeType()->type())) {
                return *codeType;
            }
        }
    }
    const auto& processor = report.systemInfo().processorInfo();
    if (!processor || !isMach(*processor)) {
        return {"Unknown", true};
    }
    if (auto codeType = knownCodeType(processor->type())) {
        return *codeType;
    }
    return {"Unknown (" + std::to_string(processor->type()) + ")", true};
}

std::string
kocrash_text_architecture_name(const std::optional<KOCrashReportProcessorInfo>& codeType) {
    if (!codeType || !isMach(*codeType)) {
        return "???";
    }
    const std::uint64_t subtype = codeType->subtype() & cpuSubtypeMask;
    switch (codeType->type()) {
    case cpuTypeX86:
        return "i386";
    case cpuTypeX86_64:
        return "x86_64";
    case cpuTypePowerPC:
        return "powerpc";
    case cpuTypeARM:
        switch (subtype) {
        case 6:
            return "armv6";
        case 9:
            return "armv7";
        case 11:
            return "armv7s";
        default:
            return "arm-unknown";
        }
    case cpuTypeARM64:
        switch (subtype) {
        case 0:
            return "arm64";
        case 1:
            return "armv8";
        case 2:
            return "arm64e";
        default:
            return "arm64-unknown";
        }
    default:
        return "???";
    }
}

std::string kocrash_text_date(std::int64_t secondsSince1970) {
    using namespace std::chrono;
    constexpr std::int64_t firstRenderable = -62135596800; // 0001-01-01 00:00:00
    constexpr std::int64_t lastRenderable = 253402300799;  // 9999-12-31 23:59:59
    if (secondsSince1970 < firstRenderable || secondsSince1970 > lastRenderable) {
        return std::to_string(secondsSince1970);
    }
    const sys_seconds instant{seconds{secondsSince1970}};
    const sys_days day = floor<days>(instant);
    const year_month_day date{day};
    const hh_mm_ss time{instant - day};
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02u-%02u %02ld:%02ld:%02ld +0000",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<long>(time.hours().count()),
                  static_cast<long>(time.minutes().count()),
                  static_cast<long>(time.seconds().count()));
    return text;
}

std::string kocrash_text_uuid(const KOCrashReportUUID& uuid) {
    char text[37];
    std::snprintf(text, sizeof(text),
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", uuid[0],
                  uuid[1], uuid[2], uuid[3], uuid[4], uuid[5], uuid[6], uuid[7], uuid[8], uuid[9],
                  uuid[10], uuid[11], uuid[12], uuid[13], uuid[14], uuid[15]);
    return text;
}

std::string_view kocrash_text_last_path_component(std::string_view path) {
    const std::size_t end = path.find_last_not_of('/');
    if (end == std::string_view::npos) {
        return path.empty() ? path : path.substr(0, 1);
    }
    const std::string_view trimmed = path.substr(0, end + 1);
    const std::size_t slash = trimmed.rfind('/');
    return slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
}
