// Read-only values describing where a crash happened: host system, machine, processor,
// application and process. Enumerations keep the stored value even when it is unnamed.
#pragma once

#include "platform/core/Export.h"

#include <cstdint>
#include <optional>
#include <string>

enum class KOCrashReportProcessorTypeEncoding : std::int32_t {
    Unknown = 0,
    // type and subtype are Mach CPU type and subtype values.
    Mach = 1,
};

enum class KOCrashReportOperatingSystem : std::int32_t {
    MacOSX = 0,
    iPhoneOS = 1,
    iPhoneSimulator = 2,
    Unknown = 3,
    AppleTVOS = 4,
};

enum class KOCrashReportArchitecture : std::int32_t {
    X86_32 = 0,
    X86_64 = 1,
    ARMv6 = 2,
    PPC = 3,
    PPC64 = 4,
    ARMv7 = 5,
    Unknown = 6,
};

class DAVAROR_EXPORT KOCrashReportProcessorInfo {
public:
    KOCrashReportProcessorInfo(KOCrashReportProcessorTypeEncoding typeEncoding, std::uint64_t type,
                               std::uint64_t subtype)
        : typeEncoding_(typeEncoding), type_(type), subtype_(subtype) {}

    KOCrashReportProcessorTypeEncoding typeEncoding() const { return typeEncoding_; }
    std::uint64_t type() const { return type_; }
    std::uint64_t subtype() const { return subtype_; }

    bool operator==(const KOCrashReportProcessorInfo&) const = default;

private:
    KOCrashReportProcessorTypeEncoding typeEncoding_;
    std::uint64_t type_;
    std::uint64_t subtype_;
};

class DAVAROR_EXPORT KOCrashReportSystemInfo {
public:
    // timestamp: seconds since 1970-01-01 UTC, kept as stored so that no value overflows.
    KOCrashReportSystemInfo(KOCrashReportOperatingSystem operatingSystem,
                            std::string operatingSystemVersion,
                            std::optional<std::string> operatingSystemBuild,
                            KOCrashReportArchitecture architecture,
                            std::optional<KOCrashReportProcessorInfo> processorInfo,
                            std::optional<std::int64_t> timestamp)
        : operatingSystem_(operatingSystem),
          operatingSystemVersion_(std::move(operatingSystemVersion)),
          operatingSystemBuild_(std::move(operatingSystemBuild)), architecture_(architecture),
          timestamp_(timestamp), processorInfo_(processorInfo) {}
    KOCrashReportSystemInfo(KOCrashReportOperatingSystem operatingSystem,
                            std::string operatingSystemVersion,
                            std::optional<std::string> operatingSystemBuild,
                            KOCrashReportArchitecture architecture,
                            std::optional<std::int64_t> timestamp)
        : KOCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion),
                                  std::move(operatingSystemBuild), architecture, std::nullopt,
                                  timestamp) {}
    KOCrashReportSystemInfo(KOCrashReportOperatingSystem operatingSystem,
                            std::string operatingSystemVersion,
                            KOCrashReportArchitecture architecture,
                            std::optional<std::int64_t> timestamp)
        : KOCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion), std::nullopt,
                                  architecture, std::nullopt, timestamp) {}

    KOCrashReportOperatingSystem operatingSystem() const { return operatingSystem_; }
    const std::string& operatingSystemVersion() const { return operatingSystemVersion_; }
    const std::optional<std::string>& operatingSystemBuild() const { return operatingSystemBuild_; }
    KOCrashReportArchitecture architecture() const { return architecture_; }
    const std::optional<std::int64_t>& timestamp() const { return timestamp_; }
    const std::optional<KOCrashReportProcessorInfo>& processorInfo() const {
        return processorInfo_;
    }

    bool operator==(const KOCrashReportSystemInfo&) const = default;

private:
    KOCrashReportOperatingSystem operatingSystem_;
    std::string operatingSystemVersion_;
    std::optional<std::string> operatingSystemBuild_;
    KOCrashReportArchitecture architecture_;
    std::optional<std::int64_t> timestamp_;
    std::optional<KOCrashReportProcessorInfo> processorInfo_;
};

class DAVAROR_EXPORT KOCrashReportMachineInfo {
public:
    KOCrashReportMachineInfo(std::optional<std::string> modelName,
                             std::optional<KOCrashReportProcessorInfo> processorInfo,
                             std::uint64_t processorCount, std::uint64_t logicalProcessorCount)
        : modelName_(std::move(modelName)), processorInfo_(processorInfo),
          processorCount_(processorCount), logicalProcessorCount_(logicalProcessorCount) {}

    const std::optional<std::string>& modelName() const { return modelName_; }
    const std::optional<KOCrashReportProcessorInfo>& processorInfo() const {
        return processorInfo_;
    }
    std::uint64_t processorCount() const { return processorCount_; }
    std::uint64_t logicalProcessorCount() const { return logicalProcessorCount_; }

    bool operator==(const KOCrashReportMachineInfo&) const = default;

private:
    std::optional<std::string> modelName_;
    std::optional<KOCrashReportProcessorInfo> processorInfo_;
    std::uint64_t processorCount_;
    std::uint64_t logicalProcessorCount_;
};

class DAVAROR_EXPORT KOCrashReportApplicationInfo {
public:
    KOCrashReportApplicationInfo(std::string applicationIdentifier, std::string applicationVersion,
                                 std::optional<std::string> applicationMarketingVersion)
        : applicationIdentifier_(std::move(applicationIdentifier)),
          applicationVersion_(std::move(applicationVersion)),
          applicationMarketingVersion_(std::move(applicationMarketingVersion)) {}

    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    const std::string& applicationVersion() const { return applicationVersion_; }
    const std::optional<std::string>& applicationMarketingVersion() const {
        return applicationMarketingVersion_;
    }

    bool operator==(const KOCrashReportApplicationInfo&) const = default;

private:
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
};

class DAVAROR_EXPORT KOCrashReportProcessInfo {
public:
    // processStartTime: seconds since 1970-01-01 UTC, kept as stored.
    KOCrashReportProcessInfo(std::optional<std::string> processName, std::uint64_t processID,
                             std::optional<std::string> processPath,
                             std::optional<std::uint64_t> processStartTime,
                             std::optional<std::string> parentProcessName,
                             std::uint64_t parentProcessID, bool native, bool forkedChild = false)
        : processName_(std::move(processName)), processID_(processID),
          processPath_(std::move(processPath)), processStartTime_(processStartTime),
          parentProcessName_(std::move(parentProcessName)), parentProcessID_(parentProcessID),
          native_(native), forkedChild_(forkedChild) {}

    const std::optional<std::string>& processName() const { return processName_; }
    std::uint64_t processID() const { return processID_; }
    const std::optional<std::string>& processPath() const { return processPath_; }
    const std::optional<std::uint64_t>& processStartTime() const { return processStartTime_; }
    const std::optional<std::string>& parentProcessName() const { return parentProcessName_; }
    std::uint64_t parentProcessID() const { return parentProcessID_; }
    bool native() const { return native_; }
    // The process that crashed was forked from the one that enabled the reporter: the crash is
    // the child's (processID), not that process's.
    bool forkedChild() const { return forkedChild_; }

    bool operator==(const KOCrashReportProcessInfo&) const = default;

private:
    std::optional<std::string> processName_;
    std::uint64_t processID_;
    std::optional<std::string> processPath_;
    std::optional<std::uint64_t> processStartTime_;
    std::optional<std::string> parentProcessName_;
    std::uint64_t parentProcessID_;
    bool native_;
    bool forkedChild_;
};
