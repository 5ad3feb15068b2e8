// The crash reporter's only entry point: identity and report location, enabling capture once
// per process, reading and deleting the report the previous run left, custom data, live
// reports. Normal context only: at crash time nothing of this class runs, only the routines
// enable installed (KOCrashReporterCrashCallbacks.h) on the process-wide crash context.
#pragma once

#include "KOCrashReporterError.h"
#include "images/KOCrashAsyncSymbols.h"
#include "platform/bundle/Bundle.h"
#include "platform/core/Export.h"
#include "platform/mach/MachTypes.h"
#include "reporter/KOCrashReporterConfig.h"
#include "reporter/KOCrashReporterCrashContext.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class KOCrashMachExceptionServer;
class KOCrashMachExceptionPortSet;

using KOCrashReportData = std::vector<std::uint8_t>;

class DAVAROR_EXPORT KOCrashReporter {
public:
    // Made once, from the main bundle and the default configuration.
    static KOCrashReporter& sharedReporter();

    KOCrashReporter();
    explicit KOCrashReporter(KOCrashReporterConfig configuration);
    // Throws KOCrashReporterException when neither the bundle nor the process has a name.
    KOCrashReporter(const platform::Bundle& bundle, KOCrashReporterConfig configuration);
    KOCrashReporter(std::string applicationIdentifier, std::string appVersion,
                    std::optional<std::string> appMarketingVersion,
                    KOCrashReporterConfig configuration);
    // Capture stays on: what the crash paths use lives for the process.
    ~KOCrashReporter();
    KOCrashReporter(const KOCrashReporter&) = delete;
    KOCrashReporter& operator=(const KOCrashReporter&) = delete;

    static kocrash_async_symbol_strategy
    mapToAsyncSymbolicationStrategy(KOCrashReporterSymbolicationStrategy strategy);

    bool hasPendingCrashReport() const;
    std::optional<KOCrashReportData>
    loadPendingCrashReportDataAndReturnError(std::optional<KOError>* error) const;
    std::optional<KOCrashReportData> loadPendingCrashReportData() const;
    bool purgePendingCrashReportAndReturnError(std::optional<KOError>* error);
    bool purgePendingCrashReport();

    bool enableCrashReporterAndReturnError(std::optional<KOError>* error);
    bool enableCrashReporter();

    std::optional<KOCrashReportData> customData() const;
    // Every later report of the process carries the data, also one set after enable and one
    // set on a reporter other than the enabled one. Under the size cap it yields: a report
    // carries as much of it as the rest leaves room for, and says how much it left out.
    void setCustomData(std::optional<KOCrashReportData> data);

    // A complete report of the thread (the calling thread's own state when it is the caller;
    // another thread leaves the calling one out), with the exception when given. Nothing with
    // an error when it cannot be written whole.
    std::optional<KOCrashReportData> generateLiveReportWithThread(thread_t thread,
                                                                  std::exception_ptr exception,
                                                                  std::optional<KOError>* error);
    std::optional<KOCrashReportData> generateLiveReportWithThread(thread_t thread,
                                                                  std::optional<KOError>* error);
    std::optional<KOCrashReportData> generateLiveReportWithThread(thread_t thread);
    std::optional<KOCrashReportData> generateLiveReportWithException(std::exception_ptr exception,
                                                                     std::optional<KOError>* error);
    std::optional<KOCrashReportData>
    generateLiveReportAndReturnError(std::optional<KOError>* error);
    std::optional<KOCrashReportData> generateLiveReport();

    // Throws KOCrashReporterException once this reporter is enabled, or for a version other
    // than 0.
    void setCrashCallbacks(const KOCrashReporterCallbacks* callbacks);

    const std::filesystem::path& crashReportDirectory() const { return crashReportDirectory_; }
    std::filesystem::path crashReportPath() const;
    // The report of a crash on another thread that took over once the first crash's report was
    // whole and the process went on (its crash callback or handler left by siglongjmp, or ran
    // long). Never sent: the pending report stays the first crash's. Removed at the next enable.
    std::filesystem::path laterCrashReportPath() const;
    std::filesystem::path queuedCrashReportDirectory() const;

private:
    struct Identity;
    KOCrashReporter(Identity identity, KOCrashReporterConfig configuration);
    static Identity identityFromBundle(const platform::Bundle& bundle);

    bool populateCrashReportDirectoryAndReturnError(std::optional<KOError>* error) const;
    bool installHandlers(std::optional<KOError>* error);
    // With customDataMutex_ held: this reporter's custom data, or none, for the next crash.
    void publishCustomData();
    bool enableMachExceptionServer(std::optional<KOError>* error);
    std::optional<KOCrashReportData> writeLiveReport(thread_t thread, std::exception_ptr exception,
                                                     std::uint64_t callerAddress,
                                                     std::optional<KOError>* error);

    const KOCrashReporterConfig config_;
    // Set only once enable has succeeded; read by setCrashCallbacks on any thread.
    std::atomic<bool> enabled_{false};
    std::shared_ptr<KOCrashMachExceptionServer> machServer_;
    std::shared_ptr<KOCrashMachExceptionPortSet> previousMachPorts_;
    const std::string applicationIdentifier_;
    const std::string applicationVersion_;
    const std::optional<std::string> applicationMarketingVersion_;
    const std::filesystem::path crashReportDirectory_;
    mutable std::mutex customDataMutex_;
    std::optional<KOCrashReportData> customData_;
    // Custom data too large for any report is logged once per reporter.
    bool customDataTooLargeLogged_ = false;
};
