#include "DavaRor/AppLifeCycle/AppLifeCycleState.h"

#include "DavaRor/Utils/DavaRorLog.h"

namespace davaror {

std::optional<AppLifecycleEvent>
AppLifeCycleState::appDidBecomeActive(bool captureApplicationLifecycleEvents,
                                      const AppVersionInfo& current) {
    // One exchange, so two activations racing each other open only once.
    if (!isAppBackgrounded_.exchange(false)) {
        davaRorLog("Skipping Application Opened event - app already in foreground");
        return std::nullopt;
    }
    if (!captureApplicationLifecycleEvents) {
        davaRorLog("Skipping Application Opened event - captureApplicationLifecycleEvents is "
                   "disabled in configuration");
        return std::nullopt;
    }
    const bool freshAppLaunch = isFreshAppLaunch_.exchange(false);
    AppLifecycleEvent opened{"Application Opened", {{"from_background", !freshAppLaunch}}};
    if (freshAppLaunch) {
        if (current.version) {
            opened.properties["version"] = *current.version;
        }
        if (current.build) {
            opened.properties["build"] = *current.build;
        }
    }
    return opened;
}

std::optional<AppLifecycleEvent>
AppLifeCycleState::appDidEnterBackground(bool captureApplicationLifecycleEvents) {
    if (isAppBackgrounded_.exchange(true)) {
        davaRorLog("Skipping Application Backgrounded event - app already in background");
        return std::nullopt;
    }
    if (!captureApplicationLifecycleEvents) {
        davaRorLog("Skipping Application Backgrounded event - captureApplicationLifecycleEvents "
                   "is disabled in configuration");
        return std::nullopt;
    }
    return AppLifecycleEvent{"Application Backgrounded", nlohmann::json::object()};
}

} // namespace davaror
