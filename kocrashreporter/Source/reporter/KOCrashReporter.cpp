#include "reporter/KOCrashReporter.h"

#include "KOCrashLog.h"
#include "handlers/KOCrashMachExceptionServer.h"
#include "handlers/KOCrashSignalHandler.h"
#include "info/KOCrashHostInfo.h"
#include "platform/mach/MachPorts.h"
#include "reporter/KOCrashCustomData.h"
#include "reporter/KOCrashDescriptorReserve.h"
#include "reporter/KOCrashReporterCrashCallbacks.h"
#include "reporter/KOCrashReporterException.h"
#include "reporter/KOCrashReporterFiles.h"
#include "reporter/KOCrashUncaughtException.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using kocrash::crashCallbackContext;
using kocrash::crashCallbackFunction;
using kocrash::mach_exception_callback;
using kocrash::signal_handler_callback;
using kocrash::signal_handler_context;
using kocrash::uncaught_exception_handler;

using platform::mach::mach_task_self;

struct KOCrashReporter::Identity {
    std::string identifier;
    std::string version;
    std::optional<std::string> marketingVersion;
};

namespace {

constexpr int kMonitoredSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

// Bad access, bad instruction, arithmetic, software, breakpoint; guard from Darwin 13 on.
constexpr exception_mask_t kExceptionMask = 0x6E;
constexpr exception_mask_t kExceptionMaskWithGuard = 0x106E;

std::mutex enabledLock;
bool enabledFlag = false;

// Servers and previous ports of the enabled reporter: the crash paths need them for the rest
// of the process, whatever becomes of the reporter object, and also while the process exits.
struct ProcessWideHandlers {
    std::shared_ptr<KOCrashMachExceptionServer> machServer;
    std::shared_ptr<KOCrashMachExceptionPortSet> previousMachPorts;
};
ProcessWideHandlers& processWideHandlers() {
    static auto* handlers = new ProcessWideHandlers();
    return *handlers;
}

std::optional<std::string> infoString(const platform::Bundle& bundle, const char* key) {
    if (auto value = bundle.objectForInfoDictionaryKey(key); value && value->is_string()) {
        return value->get<std::string>();
    }
    return std::nullopt;
}

std::shared_ptr<const KOError> causeOf(const std::optional<KOError>& cause) {
    return cause ? std::make_shared<const KOError>(*cause) : nullptr;
}

} // namespace

KOCrashReporter::Identity KOCrashReporter::identityFromBundle(const platform::Bundle& bundle) {
    KOCrashReporter::Identity identity;
    if (auto identifier = bundle.bundleIdentifier()) {
        identity.identifier = *identifier;
    } else {
        const char* processName = program_invocation_short_name;
        if (processName == nullptr || *processName == '\0') {
            throw KOCrashReporterException("Can not determine process identifier or process name");
        }
        kocrash_log("[KOCrashReporter] Warning -- bundle identifier, using process name %s",
                    processName);
        identity.identifier = processName;
    }
    if (auto version = infoString(bundle, platform::kCFBundleVersionKey)) {
        identity.version = *version;
    } else {
        kocrash_log("[KOCrashReporter] Warning -- bundle version unavailable");
    }
    identity.marketingVersion = infoString(bundle, platform::kCFBundleShortVersionStringKey);
    return identity;
}

KOCrashReporter& KOCrashReporter::sharedReporter() {
    static auto* shared = new KOCrashReporter(platform::Bundle::main(),
                                              KOCrashReporterConfig::defaultConfiguration());
    return *shared;
}

KOCrashReporter::KOCrashReporter()
    : KOCrashReporter(KOCrashReporterConfig::defaultConfiguration()) {}

KOCrashReporter::KOCrashReporter(KOCrashReporterConfig configuration)
    : KOCrashReporter(platform::Bundle::main(), std::move(configuration)) {}

KOCrashReporter::KOCrashReporter(const platform::Bundle& bundle,
                                 KOCrashReporterConfig configuration)
    : KOCrashReporter(identityFromBundle(bundle), std::move(configuration)) {}

KOCrashReporter::KOCrashReporter(Identity identity, KOCrashReporterConfig configuration)
    : KOCrashReporter(std::move(identity.identifier), std::move(identity.version),
                      std::move(identity.marketingVersion), std::move(configuration)) {}

KOCrashReporter::KOCrashReporter(std::string applicationIdentifier, std::string appVersion,
                                 std::optional<std::string> appMarketingVersion,
                                 KOCrashReporterConfig configuration)
    : config_(std::move(configuration)), applicationIdentifier_(std::move(applicationIdentifier)),
      applicationVersion_(std::move(appVersion)),
      applicationMarketingVersion_(std::move(appMarketingVersion)),
      crashReportDirectory_(kocrash_reporter_directory(
          kocrash_reporter_base_folder(config_.basePath()), applicationIdentifier_)) {
    kocrash_nasync_shared_image_list_start();
}

KOCrashReporter::~KOCrashReporter() = default;

kocrash_async_symbol_strategy
KOCrashReporter::mapToAsyncSymbolicationStrategy(KOCrashReporterSymbolicationStrategy strategy) {
    kocrash_async_symbol_strategy mapped = KOCRASH_ASYNC_SYMBOL_STRATEGY_NONE;
    if (strategy & KOCrashReporterSymbolicationStrategySymbolTable) {
        mapped |= KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE;
    }
    if (strategy & KOCrashReporterSymbolicationStrategyObjC) {
        mapped |= KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC;
    }
    return mapped;
}

std::filesystem::path KOCrashReporter::crashReportPath() const {
    return crashReportDirectory_ / "live_report.kocrash";
}

std::filesystem::path KOCrashReporter::laterCrashReportPath() const {
    return crashReportDirectory_ / "later_report.kocrash";
}

std::filesystem::path KOCrashReporter::queuedCrashReportDirectory() const {
    return crashReportDirectory_ / "queued_reports";
}

bool KOCrashReporter::hasPendingCrashReport() const {
    struct stat status {};
    return stat(crashReportPath().c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::optional<KOCrashReportData>
KOCrashReporter::loadPendingCrashReportDataAndReturnError(std::optional<KOError>* error) const {
    // A crash writes at most maxReportBytes (the crash context's cap, set at enable), so a
    // longer file is no report of this reporter's. It is refused before it is read: one of a
    // million frames would take gigabytes to decode.
    return kocrash_reporter_read_report(crashReportPath(), config_.maxReportBytes(), error);
}

std::optional<KOCrashReportData> KOCrashReporter::loadPendingCrashReportData() const {
    return loadPendingCrashReportDataAndReturnError(nullptr);
}

bool KOCrashReporter::purgePendingCrashReportAndReturnError(std::optional<KOError>* error) {
    const std::filesystem::path path = crashReportPath();
    if (unlink(path.c_str()) != 0) {
        if (error != nullptr) {
            *error = kocrash_reporter_file_error(errno, path);
        }
        return false;
    }
    return true;
}

bool KOCrashReporter::purgePendingCrashReport() {
    return purgePendingCrashReportAndReturnError(nullptr);
}

bool KOCrashReporter::populateCrashReportDirectoryAndReturnError(
    std::optional<KOError>* error) const {
    return kocrash_reporter_create_folder(crashReportDirectory_, error) &&
           kocrash_reporter_create_folder(queuedCrashReportDirectory(), error);
}

bool KOCrashReporter::enableCrashReporterAndReturnError(std::optional<KOError>* error) {
    {
        // A failed enable keeps the flag: capture is set up at most once per process.
        std::lock_guard lock(enabledLock);
        if (enabledFlag) {
            kocrash_populate_error(error, KOCrashReporterErrorAlreadyEnabled,
                                   "A KOCrashReporter instance has already been enabled");
            return false;
        }
        enabledFlag = true;
    }
    if (!populateCrashReportDirectoryAndReturnError(error)) {
        return false;
    }
    kocrash_reporter_clear_report_path(crashReportPath());
    // The previous run's later report goes: what the next launch sends is the first crash's.
    std::error_code ignored;
    std::filesystem::remove(laterCrashReportPath(), ignored);
    signal_handler_context.report_path = strdup(crashReportPath().c_str());
    signal_handler_context.later_report_path = strdup(laterCrashReportPath().c_str());
    signal_handler_context.report_size_cap = config_.maxReportBytes();
    kocrash_log_writer_init(&signal_handler_context.writer, applicationIdentifier_,
                            applicationVersion_, applicationMarketingVersion_,
                            mapToAsyncSymbolicationStrategy(config_.symbolicationStrategy()),
                            false);
    {
        // What another reporter set before this one was enabled is that one's, not this one's.
        std::lock_guard lock(customDataMutex_);
        publishCustomData();
    }
    kocrash_nasync_descriptor_reserve_fill();
    if (!installHandlers(error)) {
        return false;
    }
    if (config_.shouldRegisterUncaughtExceptionHandler()) {
        std::set_terminate(uncaught_exception_handler);
    }
    enabled_.store(true);
    return true;
}

bool KOCrashReporter::enableCrashReporter() {
    return enableCrashReporterAndReturnError(nullptr);
}

bool KOCrashReporter::installHandlers(std::optional<KOError>* error) {
    const auto type = config_.signalHandlerType();
    if (type != KOCrashReporterSignalHandlerTypeBSD &&
        type != KOCrashReporterSignalHandlerTypeMach) {
        return true;
    }
    KOCrashSignalHandler* handler = KOCrashSignalHandler::sharedHandler();
    if (handler == nullptr) {
        kocrash_populate_posix_error(error, ENOMEM, "Could not allocate alternative signal stack");
        return false;
    }
    // In Mach mode the fault signals are handled too, beneath the exception ports set after
    // them: a fault no exception server answers (in a forked child) is reported as a signal, and
    // one the server reported reaches the application's own action through them.
    const bool mach = type == KOCrashReporterSignalHandlerTypeMach;
    signal_handler_context.faults_arrive_as_exceptions = mach;
    for (int signo : kMonitoredSignals) {
        if (!handler->registerHandlerWithSignal(signo, error)) {
            return false;
        }
    }
    // One chain serves every signal.
    if (!handler->registerHandlerForSignal(SIGABRT, signal_handler_callback,
                                           &signal_handler_context, error)) {
        return false;
    }
    return !mach || enableMachExceptionServer(error);
}

bool KOCrashReporter::enableMachExceptionServer(std::optional<KOError>* error) {
    const auto host = KOCrashHostInfo::currentHostInfo();
    const exception_mask_t mask =
        host && host->darwinVersion().major >= 13 ? kExceptionMaskWithGuard : kExceptionMask;
    std::optional<KOError> cause;
    std::shared_ptr<KOCrashMachExceptionServer> server =
        KOCrashMachExceptionServer::initWithCallBack(mach_exception_callback,
                                                     &signal_handler_context, &cause);
    if (!server) {
        kocrash_populate_error(error, KOCrashReporterErrorSystemCall,
                               "Failed to instantiate the Mach exception server.", causeOf(cause));
        return false;
    }
    auto port = server->exceptionPortWithMask(mask, &cause);
    if (!port) {
        kocrash_populate_error(error, KOCrashReporterErrorSystemCall,
                               "Failed to instantiate the Mach exception port.", causeOf(cause));
        return false;
    }
    std::shared_ptr<KOCrashMachExceptionPortSet> previous;
    if (!port->registerForTask(mach_task_self(), &previous, &cause)) {
        kocrash_populate_error(error, KOCrashReporterErrorSystemCall,
                               "Failed to set the target task's mach exception ports.",
                               causeOf(cause));
        return false;
    }
    machServer_ = server;
    previousMachPorts_ = previous;
    processWideHandlers() = {server, previous};
    if (previous) {
        signal_handler_context.previous_mach_ports = previous->asyncSafeRepresentation();
    }
    return true;
}

std::optional<KOCrashReportData> KOCrashReporter::customData() const {
    std::lock_guard lock(customDataMutex_);
    return customData_;
}

void KOCrashReporter::setCustomData(std::optional<KOCrashReportData> data) {
    std::lock_guard lock(customDataMutex_);
    const std::uint64_t cap = config_.maxReportBytes();
    if (data && cap != 0 && data->size() >= cap && !customDataTooLargeLogged_) {
        customDataTooLargeLogged_ = true;
        kocrash_log("[KOCrashReporter] Custom data of %zu bytes cannot fit in a report of at most "
                    "%llu bytes: a crash report carries only its first bytes, or none",
                    data->size(), static_cast<unsigned long long>(cap));
    }
    customData_ = std::move(data);
    // Any reporter speaks for the process's next crash, enabled or not: enable is once per
    // process, so a host that drops its reporter and makes another keeps the first one's
    // handlers, while the context is the second one's.
    publishCustomData();
}

void KOCrashReporter::publishCustomData() {
    kocrash_nasync_custom_data_publish(
        customData_ ? std::optional<std::span<const std::uint8_t>>(*customData_) : std::nullopt);
}

void KOCrashReporter::setCrashCallbacks(const KOCrashReporterCallbacks* callbacks) {
    if (enabled_.load()) {
        throw KOCrashReporterException("The crash reporter has already been enabled");
    }
    if (callbacks->version != 0) {
        throw KOCrashReporterException("Unsupported crash callbacks version " +
                                       std::to_string(callbacks->version));
    }
    crashCallbackContext.store(callbacks->context);
    crashCallbackFunction.store(callbacks->signalCallback);
}
