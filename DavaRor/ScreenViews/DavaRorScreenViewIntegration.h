#pragma once

#include "DavaRor/DavaRorIntegration.h"
#include "DavaRor/Utils/DavaRorIntegrationOwnership.h"
#include "DavaRor/Utils/DavaRorMulticastCallback.h"
#include "platform/core/Export.h"

#include <memory>
#include <string>

// Turns every screen name the platform publishes into a "$screen" event. One
// instance per process may be installed; it is installed only where
// swizzling is allowed, as the platform side of it intercepts view
// appearance. Its handler does nothing once its client is gone.
class DAVAROR_EXPORT DavaRorScreenViewIntegration final
    : public DavaRorIntegration,
      public std::enable_shared_from_this<DavaRorScreenViewIntegration> {
public:
    DavaRorScreenViewIntegration();

    bool requiresSwizzling() const override { return true; }
    // Throws InternalDavaRorError while any instance is installed.
    void install(DavaRorSDK& davaRor) override;
    // Ignored when another client holds this instance.
    void uninstall(DavaRorSDK& davaRor) override;
    // Subscribes to the process's screen-view publisher; the handler holds
    // this instance weakly.
    void start();

private:
    void captureScreenView(const std::string& screen);

    DavaRorIntegrationOwnership ownership_;
    RegistrationToken screenViewToken_;
};
