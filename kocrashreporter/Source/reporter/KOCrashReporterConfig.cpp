#include "reporter/KOCrashReporterConfig.h"

#include <utility>

KOCrashReporterConfig KOCrashReporterConfig::defaultConfiguration() {
    return KOCrashReporterConfig();
}

KOCrashReporterConfig::KOCrashReporterConfig()
    : KOCrashReporterConfig(KOCrashReporterSignalHandlerTypeBSD,
                            KOCrashReporterSymbolicationStrategyNone) {}

KOCrashReporterConfig::KOCrashReporterConfig(std::optional<std::string> basePath)
    : KOCrashReporterConfig(KOCrashReporterSignalHandlerTypeBSD,
                            KOCrashReporterSymbolicationStrategyNone, std::move(basePath)) {}

KOCrashReporterConfig::KOCrashReporterConfig(
    KOCrashReporterSignalHandlerType signalHandlerType,
    KOCrashReporterSymbolicationStrategy symbolicationStrategy)
    : KOCrashReporterConfig(signalHandlerType, symbolicationStrategy, true) {}

KOCrashReporterConfig::KOCrashReporterConfig(
    KOCrashReporterSignalHandlerType signalHandlerType,
    KOCrashReporterSymbolicationStrategy symbolicationStrategy, std::optional<std::string> basePath)
    : KOCrashReporterConfig(signalHandlerType, symbolicationStrategy, true, std::move(basePath)) {}

KOCrashReporterConfig::KOCrashReporterConfig(
    KOCrashReporterSignalHandlerType signalHandlerType,
    KOCrashReporterSymbolicationStrategy symbolicationStrategy,
    bool shouldRegisterUncaughtExceptionHandler)
    : KOCrashReporterConfig(signalHandlerType, symbolicationStrategy,
                            shouldRegisterUncaughtExceptionHandler, std::nullopt) {}

KOCrashReporterConfig::KOCrashReporterConfig(
    KOCrashReporterSignalHandlerType signalHandlerType,
    KOCrashReporterSymbolicationStrategy symbolicationStrategy,
    bool shouldRegisterUncaughtExceptionHandler, std::optional<std::string> basePath)
    : KOCrashReporterConfig(signalHandlerType, symbolicationStrategy,
                            shouldRegisterUncaughtExceptionHandler, std::move(basePath),
                            KOCrashReporterDefaultMaxReportBytes) {}

KOCrashReporterConfig::KOCrashReporterConfig(
    KOCrashReporterSignalHandlerType signalHandlerType,
    KOCrashReporterSymbolicationStrategy symbolicationStrategy,
    bool shouldRegisterUncaughtExceptionHandler, std::optional<std::string> basePath,
    std::uint64_t maxReportBytes)
    : signalHandlerType_(signalHandlerType), symbolicationStrategy_(symbolicationStrategy),
      shouldRegisterUncaughtExceptionHandler_(shouldRegisterUncaughtExceptionHandler),
      maxReportBytes_(maxReportBytes), basePath_(std::move(basePath)) {}
