#pragma once

#include "DavaRor/AppLifeCycle/AppLifecycleEvent.h"
#include "DavaRor/AppLifeCycle/AppVersionInfo.h"
#include "platform/userdefaults/UserDefaults.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <optional>
#include <string_view>

namespace davaror {

// The version and build seen at the last install-or-update check.
inline constexpr const char* ZOZVersionKey = "ZOZVersionKey";
inline constexpr const char* ZOZBuildKeyV2 = "ZOZBuildKeyV2";

// A build as an event property: the signed 64-bit integer when the text is
// one (an optional "+" or "-", then decimal digits only, no overflow), else
// the text itself.
nlohmann::json numberIfItParses(std::string_view build);

// "Application Installed" when no build was stored, "Application Updated"
// when the stored build differs from the current one (or the current one is
// unknown), none when both builds are the same text.
std::optional<AppLifecycleEvent> appInstallOrUpdateEvent(const AppVersionInfo& current,
                                                         const AppVersionInfo& previous);

AppVersionInfo storedAppVersion(const platform::UserDefaults& defaults);
// Stores what is known of `current`, leaving the other key as it was.
void storeAppVersion(const AppVersionInfo& current, platform::UserDefaults& defaults);

// Decides on the install-or-update event at most once per process: whichever
// of the integration's install and the finish-launching notification comes
// first runs it, also when capturing is switched off.
class AppInstallOrUpdateCheck {
public:
    static AppInstallOrUpdateCheck& processWide();

    // The event to capture, with the current version and build already
    // stored; none when the check ran before, capturing is off, the defaults
    // file cannot be read, or the build is unchanged (then nothing is stored).
    std::optional<AppLifecycleEvent> run(bool captureApplicationLifecycleEvents,
                                         const AppVersionInfo& current,
                                         platform::UserDefaults& defaults);

private:
    std::atomic<bool> didCaptureAppInstallOrUpdate_{false};
};

} // namespace davaror
