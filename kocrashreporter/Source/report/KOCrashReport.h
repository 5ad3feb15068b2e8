// A decoded crash log: the immutable tree of report values read from one file's bytes.
// Decoding runs in normal context only (never at crash time); a bad file yields no report.
#pragma once

#include "KOCrashReportBinaryImageInfo.h"
#include "KOCrashReportCrashInfo.h"
#include "KOCrashReportEnvironmentInfo.h"
#include "KOCrashReportThreadInfo.h"
#include "KOCrashReporterError.h"
#include "platform/core/Export.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

using KOCrashReportUUID = std::array<std::uint8_t, 16>;

class DAVAROR_EXPORT KOCrashReport {
public:
    // The report, or none with *error (when given) set to an error of the reporter's domain
    // whose description says what is wrong with the bytes.
    static std::optional<KOCrashReport> initWithData(std::span<const std::uint8_t> data,
                                                     std::optional<KOError>* error);

    const KOCrashReportSystemInfo& systemInfo() const { return systemInfo_; }
    const std::optional<KOCrashReportMachineInfo>& machineInfo() const { return machineInfo_; }
    const KOCrashReportApplicationInfo& applicationInfo() const { return applicationInfo_; }
    const std::optional<KOCrashReportProcessInfo>& processInfo() const { return processInfo_; }
    const KOCrashReportSignalInfo& signalInfo() const { return signalInfo_; }
    const std::optional<KOCrashReportMachExceptionInfo>& machExceptionInfo() const {
        return machExceptionInfo_;
    }
    // In stored order; empty when the crashed process could not list its threads.
    const std::vector<KOCrashReportThreadInfo>& threads() const { return threads_; }
    // Never empty, in stored order.
    const std::vector<KOCrashReportBinaryImageInfo>& images() const { return images_; }
    const std::optional<KOCrashReportExceptionInfo>& exceptionInfo() const {
        return exceptionInfo_;
    }
    // Absent when the file held no custom data; present and empty when it held zero bytes.
    const std::optional<std::vector<std::uint8_t>>& customData() const { return customData_; }
    // How many bytes of the custom data the size cap left out (0: all of it is here).
    std::uint64_t customDataOmittedBytes() const { return customDataOmittedBytes_; }
    const std::optional<KOCrashReportUUID>& uuidRef() const { return uuidRef_; }

    bool hasMachineInfo() const { return machineInfo_.has_value(); }
    bool hasProcessInfo() const { return processInfo_.has_value(); }
    bool hasExceptionInfo() const { return exceptionInfo_.has_value(); }

    // The first image, in report order, whose range holds the address; null when none does.
    const KOCrashReportBinaryImageInfo* imageForAddress(std::uint64_t address) const;

    bool operator==(const KOCrashReport&) const = default;

private:
    KOCrashReport(KOCrashReportSystemInfo systemInfo,
                  std::optional<KOCrashReportMachineInfo> machineInfo,
                  KOCrashReportApplicationInfo applicationInfo,
                  std::optional<KOCrashReportProcessInfo> processInfo,
                  KOCrashReportSignalInfo signalInfo,
                  std::optional<KOCrashReportMachExceptionInfo> machExceptionInfo,
                  std::vector<KOCrashReportThreadInfo> threads,
                  std::vector<KOCrashReportBinaryImageInfo> images,
                  std::optional<KOCrashReportExceptionInfo> exceptionInfo,
                  std::optional<std::vector<std::uint8_t>> customData,
                  std::optional<KOCrashReportUUID> uuidRef);

    KOCrashReportSystemInfo systemInfo_;
    std::optional<KOCrashReportMachineInfo> machineInfo_;
    KOCrashReportApplicationInfo applicationInfo_;
    std::optional<KOCrashReportProcessInfo> processInfo_;
    KOCrashReportSignalInfo signalInfo_;
    std::optional<KOCrashReportMachExceptionInfo> machExceptionInfo_;
    std::vector<KOCrashReportThreadInfo> threads_;
    std::vector<KOCrashReportBinaryImageInfo> images_;
    std::optional<KOCrashReportExceptionInfo> exceptionInfo_;
    std::optional<std::vector<std::uint8_t>> customData_;
    std::optional<KOCrashReportUUID> uuidRef_;
    std::uint64_t customDataOmittedBytes_ = 0;
};
