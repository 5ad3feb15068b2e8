#include "KOCrashReport.h"

#include "KOCrashReportSections.h"
#include "log/KOCrashLogFileFormat.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

struct UnpackedReportDeleter {
    void operator()(Kocrash__CrashReport* report) const {
        kocrash__crash_report__free_unpacked(report, nullptr);
    }
};
using UnpackedReport = std::unique_ptr<Kocrash__CrashReport, UnpackedReportDeleter>;

template <typename... Arguments> std::string formatted(const char* format, Arguments... arguments) {
    char text[128];
    std::snprintf(text, sizeof(text), format, arguments...);
    return text;
}

UnpackedReport decodeCrashData(std::span<const std::uint8_t> data) {
    if (data.size() <= KOCrashLogFileHeaderSize) {
        throw KOCrashReportDecodeFailure("Could not decode truncated crash log");
    }
    if (!std::equal(KOCrashLogFileMagic.begin(), KOCrashLogFileMagic.end(), data.begin())) {
        throw KOCrashReportDecodeFailure("Could not decode invalid crash log header");
    }
    const std::uint8_t version = data[KOCrashLogFileMagic.size()];
    if (version != KOCrashLogFileVersion) {
        throw KOCrashReportDecodeFailure(
            formatted("Could not decode unsupported crash report version: %d", version));
    }
    const auto message = data.subspan(KOCrashLogFileHeaderSize);
    UnpackedReport report(kocrash__crash_report__unpack(nullptr, message.size(), message.data()));
    if (!report) {
        throw KOCrashReportDecodeFailure(
            formatted("Could not decode crash report with size of %lu bytes.",
                      static_cast<unsigned long>(message.size())));
    }
    return report;
}

std::optional<KOCrashReportUUID> extractReportUUID(const Kocrash__CrashReport__ReportInfo* info) {
    if (info == nullptr || !info->has_uuid) {
        return std::nullopt;
    }
    KOCrashReportUUID uuid;
    if (info->uuid.len != uuid.size()) {
        throw KOCrashReportDecodeFailure("Report UUID value is not a standard 16 bytes");
    }
    std::copy_n(info->uuid.data, uuid.size(), uuid.begin());
    return uuid;
}

} // namespace

KOCrashReport::KOCrashReport(
    KOCrashReportSystemInfo systemInfo, std::optional<KOCrashReportMachineInfo> machineInfo,
    KOCrashReportApplicationInfo applicationInfo,
    std::optional<KOCrashReportProcessInfo> processInfo, KOCrashReportSignalInfo signalInfo,
    std::optional<KOCrashReportMachExceptionInfo> machExceptionInfo,
    std::vector<KOCrashReportThreadInfo> threads, std::vector<KOCrashReportBinaryImageInfo> images,
    std::optional<KOCrashReportExceptionInfo> exceptionInfo,
    std::optional<std::vector<std::uint8_t>> customData, std::optional<KOCrashReportUUID> uuidRef)
    : systemInfo_(std::move(systemInfo)), machineInfo_(std::move(machineInfo)),
      applicationInfo_(std::move(applicationInfo)), processInfo_(std::move(processInfo)),
      signalInfo_(std::move(signalInfo)), machExceptionInfo_(std::move(machExceptionInfo)),
      threads_(std::move(threads)), images_(std::move(images)),
      exceptionInfo_(std::move(exceptionInfo)), customData_(std::move(customData)),
      uuidRef_(uuidRef) {}

std::optional<KOCrashReport> KOCrashReport::initWithData(std::span<const std::uint8_t> data,
                                                         std::optional<KOError>* error) {
    try {
        const UnpackedReport report = decodeCrashData(data);
        std::optional<KOCrashReportUUID> uuid = extractReportUUID(report->report_info);

        std::optional<KOCrashReportMachineInfo> machineInfo;
        if (report->machine_info != nullptr) {
            machineInfo = KOCrashReportSections::extractMachineInfo(report->machine_info);
        }
        KOCrashReportSystemInfo systemInfo = KOCrashReportSections::extractSystemInfo(
            report->system_info, machineInfo ? machineInfo->processorInfo() : std::nullopt);
        KOCrashReportApplicationInfo applicationInfo =
            KOCrashReportSections::extractApplicationInfo(report->application_info);
        std::optional<KOCrashReportProcessInfo> processInfo;
        if (report->process_info != nullptr) {
            processInfo = KOCrashReportSections::extractProcessInfo(report->process_info);
        }
        KOCrashReportSignalInfo signalInfo =
            KOCrashReportSections::extractSignalInfo(report->signal);
        std::optional<KOCrashReportMachExceptionInfo> machExceptionInfo;
        if (report->signal->mach_exception != nullptr) {
            machExceptionInfo =
                KOCrashReportSections::extractMachExceptionInfo(report->signal->mach_exception);
        }
        const KOCrashReportSections sections(machineInfo);
        std::vector<KOCrashReportThreadInfo> threads = sections.extractThreadInfo(report.get());
        std::vector<KOCrashReportBinaryImageInfo> images =
            KOCrashReportSections::extractImageInfo(report.get());
        std::optional<KOCrashReportExceptionInfo> exceptionInfo;
        if (report->exception != nullptr) {
            exceptionInfo = sections.extractExceptionInfo(report->exception);
        }
        std::optional<std::vector<std::uint8_t>> customData;
        if (report->has_custom_data) {
            customData.emplace(report->custom_data.data,
                               report->custom_data.data + report->custom_data.len);
        }
        KOCrashReport decoded(std::move(systemInfo), std::move(machineInfo),
                              std::move(applicationInfo), std::move(processInfo),
                              std::move(signalInfo), std::move(machExceptionInfo),
                              std::move(threads), std::move(images), std::move(exceptionInfo),
                              std::move(customData), uuid);
        if (report->has_custom_data_omitted) {
            decoded.customDataOmittedBytes_ = report->custom_data_omitted;
        }
        return decoded;
    } catch (const KOCrashReportDecodeFailure& failure) {
        kocrash_populate_error(error, KOCrashReporterErrorInvalidReport, failure.what());
        return std::nullopt;
    }
}

const KOCrashReportBinaryImageInfo* KOCrashReport::imageForAddress(std::uint64_t address) const {
    const auto image =
        std::find_if(images_.begin(), images_.end(), [address](const auto& candidate) {
            return candidate.containsAddress(address);
        });
    return image == images_.end() ? nullptr : &*image;
}
