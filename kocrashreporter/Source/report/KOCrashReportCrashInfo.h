// Read-only values telling what ended the process: the signal, the Mach exception it came
// in as, and the uncaught exception that raised it.
#pragma once

#include "KOCrashReportThreadInfo.h"
#include "platform/core/Export.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class DAVAROR_EXPORT KOCrashReportSignalInfo {
public:
    KOCrashReportSignalInfo(std::string name, std::string code, std::uint64_t address)
        : name_(std::move(name)), code_(std::move(code)), address_(address) {}

    const std::string& name() const { return name_; }
    const std::string& code() const { return code_; }
    std::uint64_t address() const { return address_; }

    bool operator==(const KOCrashReportSignalInfo&) const = default;

private:
    std::string name_;
    std::string code_;
    std::uint64_t address_;
};

class DAVAROR_EXPORT KOCrashReportMachExceptionInfo {
public:
    KOCrashReportMachExceptionInfo(std::uint64_t type, std::vector<std::uint64_t> codes)
        : type_(type), codes_(std::move(codes)) {}

    std::uint64_t type() const { return type_; }
    const std::vector<std::uint64_t>& codes() const { return codes_; }

    bool operator==(const KOCrashReportMachExceptionInfo&) const = default;

private:
    std::uint64_t type_;
    std::vector<std::uint64_t> codes_;
};

class DAVAROR_EXPORT KOCrashReportExceptionInfo {
public:
    KOCrashReportExceptionInfo(std::string exceptionName, std::string exceptionReason,
                               std::optional<std::vector<KOCrashReportStackFrameInfo>> stackFrames)
        : exceptionName_(std::move(exceptionName)), exceptionReason_(std::move(exceptionReason)),
          stackFrames_(std::move(stackFrames)) {}
    KOCrashReportExceptionInfo(std::string exceptionName, std::string exceptionReason)
        : KOCrashReportExceptionInfo(std::move(exceptionName), std::move(exceptionReason),
                                     std::nullopt) {}

    const std::string& exceptionName() const { return exceptionName_; }
    const std::string& exceptionReason() const { return exceptionReason_; }
    // Absent (not empty) when the report stored no frames for the exception.
    const std::optional<std::vector<KOCrashReportStackFrameInfo>>& stackFrames() const {
        return stackFrames_;
    }

    bool operator==(const KOCrashReportExceptionInfo&) const = default;

private:
    std::string exceptionName_;
    std::string exceptionReason_;
    std::optional<std::vector<KOCrashReportStackFrameInfo>> stackFrames_;
};
