#pragma once

#include "DavaRor/AppLifeCycle/AppLifecycleEvent.h"
#include "DavaRor/AppLifeCycle/AppVersionInfo.h"

#include <atomic>
#include <optional>

namespace davaror {

// Whether the application is in the foreground or the background, and the
// open and background events that moving between them gives. The state
// moves even while capturing is switched off; only the first captured open
// carries the version and build. The flags are atomic because install runs
// on the thread that sets the client up while notifications arrive on the
// main queue.
class AppLifeCycleState {
public:
    // "Application Opened" when coming from the background and capturing is on.
    std::optional<AppLifecycleEvent> appDidBecomeActive(bool captureApplicationLifecycleEvents,
                                                        const AppVersionInfo& current);
    // "Application Backgrounded" when leaving the foreground and capturing is on.
    std::optional<AppLifecycleEvent> appDidEnterBackground(bool captureApplicationLifecycleEvents);

private:
    std::atomic<bool> isFreshAppLaunch_{true};
    std::atomic<bool> isAppBackgrounded_{true};
};

} // namespace davaror
