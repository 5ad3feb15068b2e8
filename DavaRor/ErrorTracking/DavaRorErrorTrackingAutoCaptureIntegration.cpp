#include "DavaRor/ErrorTracking/DavaRorErrorTrackingAutoCaptureIntegration.h"

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/ErrorTracking/DavaRorCrashReportProcessor.h"
#include "DavaRor/ErrorTracking/DavaRorDebugUtils.h"
#include "DavaRor/ErrorTracking/DavaRorUUIDText.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/delivery/DavaRorRemoteConfig.h"
#include "report/KOCrashReport.h"
#include "reporter/KOCrashReporter.h"

#include <exception>
#include <optional>
#include <string>
#include <string_view>

using nlohmann::json;

namespace {

constexpr const char* kFileIdentifier = "DavaRor/DavaRorErrorTrackingAutoCaptureIntegration";

DavaRorIntegrationInstallGuard& installGuard() {
    static DavaRorIntegrationInstallGuard* const guard = new DavaRorIntegrationInstallGuard(
        "Error tracking auto capture integration already installed to another DavaRorSDK "
        "instance.",
        kFileIdentifier, 29);
    return *guard;
}

std::string describe(const KOError& error) {
    return "Error Domain=" + error.domain() + " Code=" + std::to_string(error.code()) + " \"" +
           error.localizedDescription() + "\"";
}

std::string describe(const std::optional<KOError>& error) {
    return error ? describe(*error) : "unknown error";
}

// The context the previous run stored: {"distinct_id": ..., "event_properties": {...}}.
// Anything else stands for an empty context.
json storedContext(const KOCrashReport& report) {
    const auto& data = report.customData();
    if (!data) {
        return json::object();
    }
    auto context = parseUntrustedJsonOrNone(
        std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    return context && context->is_object() ? std::move(*context) : json::object();
}

// Why the report is not to be sent, or none. One that cannot be removed is found again at every
// start, so the client's own storage (writable wherever events are) keeps the UUID of the last
// report sent: the writer gives each run's report a new one. A report is sent only when it is not
// that one, and a report left in place only once its UUID is stored. A report without a UUID is
// not the writer's; left in place, it is never sent.
std::optional<std::string> reasonNotToSend(const KOCrashReport& report, bool purged,
                                           const DavaRorStorage& storage) {
    constexpr auto key = DavaRorStorage::StorageKey::sentCrashReport;
    const auto identity =
        report.uuidRef() ? std::optional(uuidText(*report.uuidRef())) : std::nullopt;
    if (identity && identity == storage.getString(key)) {
        return "it was sent before";
    }
    if (purged) {
        return std::nullopt;
    }
    if (identity) {
        storage.setJson(key, *identity);
    }
    if (!identity || storage.getString(key) != identity) {
        return "it cannot be removed, and its sending cannot be recorded";
    }
    return std::nullopt;
}

} // namespace

DavaRorErrorTrackingAutoCaptureIntegration::DavaRorErrorTrackingAutoCaptureIntegration()
    : ownership_(installGuard()) {}

void DavaRorErrorTrackingAutoCaptureIntegration::install(DavaRorSDK& davaRor) {
    if (auto remoteConfig = davaRor.remoteConfig();
        remoteConfig && !remoteConfig->isAutocaptureExceptionsEnabled()) {
        throw InternalDavaRorError(
            "Error tracking auto capture integration disabled in remote config.", kFileIdentifier,
            24);
    }
    ownership_.claim();
    auto crashReporter = setupCrashReporter();
    // Without a reporter no client holds the instance: any client's uninstall gives the claim
    // back.
    if (!crashReporter) {
        return;
    }
    {
        std::lock_guard lock(crashReporterLock_);
        crashReporter_ = crashReporter;
    }
    ownership_.hold(davaRor);
    processPendingCrashReportIfNeeded(*crashReporter);
    start();
}

void DavaRorErrorTrackingAutoCaptureIntegration::uninstall(DavaRorSDK& davaRor) {
    if (ownership_.release(davaRor)) {
        stop();
    }
}

void DavaRorErrorTrackingAutoCaptureIntegration::start() {
    if (auto crashReporter = this->crashReporter()) {
        enableCrashReporter(*crashReporter);
    }
}

void DavaRorErrorTrackingAutoCaptureIntegration::stop() {
    std::lock_guard lock(crashReporterLock_);
    crashReporter_.reset();
}

std::shared_ptr<KOCrashReporter> DavaRorErrorTrackingAutoCaptureIntegration::crashReporter() const {
    std::lock_guard lock(crashReporterLock_);
    return crashReporter_;
}

void DavaRorErrorTrackingAutoCaptureIntegration::contextDidChange(const json& context) {
    std::lock_guard lock(crashReporterLock_);
    if (!crashReporter_) {
        return;
    }
    std::string text;
    try {
        text = context.dump();
    } catch (const json::exception& error) {
        davaRorLog(std::string("Failed to serialize crash context: ") + error.what());
        return;
    }
    crashReporter_->setCustomData(KOCrashReportData(text.begin(), text.end()));
}

std::shared_ptr<KOCrashReporter> DavaRorErrorTrackingAutoCaptureIntegration::setupCrashReporter() {
    try {
        return std::make_shared<KOCrashReporter>(KOCrashReporterConfig(
            KOCrashReporterSignalHandlerTypeMach, KOCrashReporterSymbolicationStrategyNone, true));
    } catch (const std::exception&) {
        davaRorLog("Failed to create KOCrashReporter instance");
        return nullptr;
    }
}

void DavaRorErrorTrackingAutoCaptureIntegration::processPendingCrashReportIfNeeded(
    KOCrashReporter& crashReporter) {
    if (!crashReporter.hasPendingCrashReport()) {
        return;
    }
    davaRorLog("Found pending crash report, processing...");
    // The old report must not cost this run its crash capture: whatever escapes (a throwing
    // subscriber of the captured event, memory running out) ends only the processing.
    try {
        processPendingCrashReport();
    } catch (const std::exception& error) {
        davaRorLog(std::string("Failed to process crash report: ") + error.what());
    } catch (...) {
        davaRorLog("Failed to process crash report: unknown error");
    }
}

void DavaRorErrorTrackingAutoCaptureIntegration::enableCrashReporter(
    KOCrashReporter& crashReporter) {
    if (DavaRorDebugUtils::isDebuggerAttached()) {
        davaRorLog("Crash handler is disabled because a debugger is attached. Crashes will be "
                   "caught by the debugger instead.");
        return;
    }
    std::optional<KOError> error;
    if (crashReporter.enableCrashReporterAndReturnError(&error)) {
        davaRorLog("KOCrashReporter enabled successfully");
    } else {
        davaRorLog("Failed to enable KOCrashReporter: " + describe(error));
    }
}

void DavaRorErrorTrackingAutoCaptureIntegration::processPendingCrashReport() {
    auto crashReporter = this->crashReporter();
    auto davaRor = ownership_.client();
    if (!crashReporter || !davaRor) {
        return;
    }
    std::optional<KOError> error;
    auto data = crashReporter->loadPendingCrashReportDataAndReturnError(&error);
    if (!data) {
        davaRorLog("Failed to load crash report: " + describe(error));
        crashReporter->purgePendingCrashReport();
        return;
    }
    // Before decoding: a report that brings the process down while it is read must not do so
    // again at every start.
    const bool purged = crashReporter->purgePendingCrashReport();
    auto report = KOCrashReport::initWithData(*data, &error);
    if (!report) {
        davaRorLog("Failed to process crash report: " + describe(error));
        return;
    }
    // Without a configuration the client is closed, and the capture below sends nothing.
    auto config = davaRor->config();
    const auto notSent =
        config ? reasonNotToSend(*report, purged, DavaRorStorage(*config)) : std::nullopt;
    if (notSent) {
        davaRorLog("Crash report not sent: " + *notSent);
        return;
    }

    const json context = storedContext(*report);
    const json* distinctId = findMember(context, "distinct_id");
    const json* storedProperties = findMember(context, "event_properties");
    json properties =
        storedProperties && storedProperties->is_object() ? *storedProperties : json::object();
    if (config) {
        properties.update(
            DavaRorCrashReportProcessor::processReport(*report, *config->errorTrackingConfig));
    }
    davaRor->captureInternal("$exception",
                             distinctId && distinctId->is_string()
                                 ? std::optional(distinctId->get<std::string>())
                                 : std::nullopt,
                             properties, nullptr, nullptr, nullptr,
                             DavaRorCrashReportProcessor::getCrashTimestamp(*report), true);
    davaRorLog("Crash report processed and captured");
}
