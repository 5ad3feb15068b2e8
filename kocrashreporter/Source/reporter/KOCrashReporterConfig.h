// The crash reporter's immutable configuration: which handlers enable installs, how frames are
// named, whether uncaught C++ exceptions are recorded, how large a report may grow and where
// reports live. Normal context only.
#pragma once

#include "platform/core/Export.h"

#include <cstdint>
#include <optional>
#include <string>

enum KOCrashReporterSignalHandlerType : unsigned long {
    // sigaction handlers for the six monitored signals.
    KOCrashReporterSignalHandlerTypeBSD = 0,
    // The Mach exception server plus a SIGABRT handler.
    KOCrashReporterSignalHandlerTypeMach = 1,
};

// An option set: values other than these bits are accepted and ignored.
enum KOCrashReporterSymbolicationStrategy : unsigned long {
    KOCrashReporterSymbolicationStrategyNone = 0,
    KOCrashReporterSymbolicationStrategySymbolTable = 1 << 0,
    KOCrashReporterSymbolicationStrategyObjC = 1 << 1,
};

inline constexpr std::uint64_t KOCrashReporterDefaultMaxReportBytes = 1024 * 1024;

class DAVAROR_EXPORT KOCrashReporterConfig {
public:
    static KOCrashReporterConfig defaultConfiguration();

    KOCrashReporterConfig();
    explicit KOCrashReporterConfig(std::optional<std::string> basePath);
    KOCrashReporterConfig(KOCrashReporterSignalHandlerType signalHandlerType,
                          KOCrashReporterSymbolicationStrategy symbolicationStrategy);
    KOCrashReporterConfig(KOCrashReporterSignalHandlerType signalHandlerType,
                          KOCrashReporterSymbolicationStrategy symbolicationStrategy,
                          std::optional<std::string> basePath);
    KOCrashReporterConfig(KOCrashReporterSignalHandlerType signalHandlerType,
                          KOCrashReporterSymbolicationStrategy symbolicationStrategy,
                          bool shouldRegisterUncaughtExceptionHandler);
    KOCrashReporterConfig(KOCrashReporterSignalHandlerType signalHandlerType,
                          KOCrashReporterSymbolicationStrategy symbolicationStrategy,
                          bool shouldRegisterUncaughtExceptionHandler,
                          std::optional<std::string> basePath);
    KOCrashReporterConfig(KOCrashReporterSignalHandlerType signalHandlerType,
                          KOCrashReporterSymbolicationStrategy symbolicationStrategy,
                          bool shouldRegisterUncaughtExceptionHandler,
                          std::optional<std::string> basePath, std::uint64_t maxReportBytes);

    KOCrashReporterSignalHandlerType signalHandlerType() const { return signalHandlerType_; }
    KOCrashReporterSymbolicationStrategy symbolicationStrategy() const {
        return symbolicationStrategy_;
    }
    bool shouldRegisterUncaughtExceptionHandler() const {
        return shouldRegisterUncaughtExceptionHandler_;
    }
    // Both a crash's report and a live one are cut at this size (0: no cut), and a pending file
    // larger than it is refused unread: no report written under the same cap reaches it. The
    // default leaves ample room: an unnamed frame takes at most 14 bytes (a named one 290 with
    // a 255-byte symbol), so 1 MiB holds 128 threads at the writer's 512 frames each besides
    // 500 images with 100-byte paths.
    std::uint64_t maxReportBytes() const { return maxReportBytes_; }
    // None: the user's cache folder.
    const std::optional<std::string>& basePath() const { return basePath_; }

private:
    KOCrashReporterSignalHandlerType signalHandlerType_;
    KOCrashReporterSymbolicationStrategy symbolicationStrategy_;
    bool shouldRegisterUncaughtExceptionHandler_;
    std::uint64_t maxReportBytes_;
    std::optional<std::string> basePath_;
};
