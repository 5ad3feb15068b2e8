#include "DavaRor/AppLifeCycle/AppInstallOrUpdate.h"

#include "DavaRor/Utils/DavaRorLog.h"

#include <charconv>

namespace davaror {

nlohmann::json numberIfItParses(std::string_view build) {
    std::string_view digits = build;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    // from_chars alone would take a leading "-" but not a "+", and would
    // stop quietly at the first non-digit.
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::string(build);
    }
    std::int64_t value = 0;
    std::string_view signedDigits = negative ? build : digits;
    auto [end, error] =
        std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
    if (error != std::errc() || end != signedDigits.data() + signedDigits.size()) {
        return std::string(build);
    }
    return value;
}

std::optional<AppLifecycleEvent> appInstallOrUpdateEvent(const AppVersionInfo& current,
                                                         const AppVersionInfo& previous) {
    AppLifecycleEvent result{"Application Installed", nlohmann::json::object()};
    if (previous.build) {
        if (current.build && *current.build == *previous.build) {
            return std::nullopt;
        }
        result.event = "Application Updated";
        if (previous.version) {
            result.properties["previous_version"] = *previous.version;
        }
        result.properties["previous_build"] = numberIfItParses(*previous.build);
    }
    if (current.version) {
        result.properties["version"] = *current.version;
    }
    if (current.build) {
        result.properties["build"] = numberIfItParses(*current.build);
    }
    return result;
}

AppVersionInfo storedAppVersion(const platform::UserDefaults& defaults) {
    return {defaults.stringForKey(ZOZVersionKey), defaults.stringForKey(ZOZBuildKeyV2)};
}

void storeAppVersion(const AppVersionInfo& current, platform::UserDefaults& defaults) {
    if (current.version) {
        defaults.setString(ZOZVersionKey, *current.version);
    }
    if (current.build) {
        defaults.setString(ZOZBuildKeyV2, *current.build);
    }
    if (current.version || current.build) {
        defaults.synchronize();
    }
}

AppInstallOrUpdateCheck& AppInstallOrUpdateCheck::processWide() {
    static AppInstallOrUpdateCheck* const check = new AppInstallOrUpdateCheck();
    return *check;
}

std::optional<AppLifecycleEvent>
AppInstallOrUpdateCheck::run(bool captureApplicationLifecycleEvents, const AppVersionInfo& current,
                             platform::UserDefaults& defaults) {
    if (didCaptureAppInstallOrUpdate_.exchange(true)) {
        return std::nullopt;
    }
    if (!captureApplicationLifecycleEvents) {
        davaRorLog("Skipping Application Installed/Application Updated event - "
                   "captureApplicationLifecycleEvents is disabled in configuration");
        return std::nullopt;
    }
    // With the stored build unknown, neither an install nor an update can be
    // told: a guess would report an install at every launch.
    if (!defaults.storedValuesKnown()) {
        davaRorLog("Skipping Application Installed/Application Updated event - the user "
                   "defaults file " +
                   defaults.filePath().string() + " cannot be read");
        return std::nullopt;
    }
    auto event = appInstallOrUpdateEvent(current, storedAppVersion(defaults));
    if (event) {
        storeAppVersion(current, defaults);
    }
    return event;
}

} // namespace davaror
