#pragma once

#include "DavaRor/AppLifeCycle/AppLifeCycleState.h"
#include "DavaRor/AppLifeCycle/AppLifecycleEvent.h"
#include "DavaRor/DavaRorIntegration.h"
#include "DavaRor/Utils/DavaRorIntegrationOwnership.h"
#include "DavaRor/Utils/DavaRorMulticastCallback.h"
#include "platform/core/Export.h"

#include <memory>
#include <optional>

// Turns the application's launch, activation and deactivation into
// "Application Installed" or "Application Updated" (once per process),
// "Application Opened" and "Application Backgrounded". One instance per
// process may be installed; its handlers do nothing once its client is gone.
class DAVAROR_EXPORT DavaRorAppLifeCycleIntegration final
    : public DavaRorIntegration,
      public std::enable_shared_from_this<DavaRorAppLifeCycleIntegration> {
public:
    DavaRorAppLifeCycleIntegration();

    bool requiresSwizzling() const override { return false; }
    // Throws InternalDavaRorError while any instance is installed. Checks
    // for an install or update at once: the finish-launching notification
    // may have passed before the client was set up.
    void install(DavaRorSDK& davaRor) override;
    // Ignored when another client holds this instance.
    void uninstall(DavaRorSDK& davaRor) override;
    // Subscribes to the process's life-cycle publisher; the handlers hold
    // this instance weakly.
    void start();

private:
    void captureAppInstallOrUpdated();
    void captureAppOpened();
    void captureAppBackgrounded();

    DavaRorIntegrationOwnership ownership_;
    davaror::AppLifeCycleState state_;
    RegistrationToken didBecomeActiveToken_;
    RegistrationToken didEnterBackgroundToken_;
    RegistrationToken didFinishLaunchingToken_;
};
