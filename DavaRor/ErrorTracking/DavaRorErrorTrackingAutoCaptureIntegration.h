#pragma once

#include "DavaRor/DavaRorIntegration.h"
#include "DavaRor/Utils/DavaRorIntegrationOwnership.h"
#include "platform/core/Export.h"

#include <memory>
#include <mutex>

class KOCrashReporter;

// Connects the client to the crash reporter: at install it turns the report the previous run
// left into one fatal "$exception" event and arms the reporter for this run; while installed
// it keeps the reporter's custom data equal to the client's context, so the next report
// carries the identity and properties in force at the crash. One instance per process may be
// installed, and only where the remote configuration allows it.
class DAVAROR_EXPORT DavaRorErrorTrackingAutoCaptureIntegration final : public DavaRorIntegration {
public:
    DavaRorErrorTrackingAutoCaptureIntegration();

    bool requiresSwizzling() const override { return false; }
    // Throws InternalDavaRorError when the remote configuration turns auto capture off or
    // another instance is installed; returns normally when the reporter cannot be made.
    void install(DavaRorSDK& davaRor) override;
    // Ignored when another live client holds this instance. The handlers the reporter
    // installed stay for the rest of the process.
    void uninstall(DavaRorSDK& davaRor) override;
    // Arms the reporter this instance holds, unless a debugger is attached; nothing before
    // install or after stop. A reporter is armed once per process: arming again only logs why
    // it failed.
    void start();
    // Drops the reporter; its handlers stay armed.
    void stop();
    void contextDidChange(const nlohmann::json& context) override;

private:
    std::shared_ptr<KOCrashReporter> setupCrashReporter();
    void processPendingCrashReportIfNeeded(KOCrashReporter& crashReporter);
    void enableCrashReporter(KOCrashReporter& crashReporter);
    void processPendingCrashReport();
    std::shared_ptr<KOCrashReporter> crashReporter() const;

    DavaRorIntegrationOwnership ownership_;
    // The reporter is set on the setup thread and used by contextDidChange on whichever
    // thread changed the context; custom data is replaced under the same lock, so concurrent
    // changes land one after another and the last one stays.
    mutable std::mutex crashReporterLock_;
    std::shared_ptr<KOCrashReporter> crashReporter_;
};
