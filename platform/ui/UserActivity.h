#pragma once

#include "platform/url/URL.h"

#include <optional>
#include <string>

namespace platform::ui {

// The activity type of a web page handed over to the application.
inline constexpr const char* NSUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

// Something the user was doing elsewhere that the application continues.
struct UserActivity {
    std::string activityType;
    std::optional<URL> webpageURL;
    std::optional<URL> referrerURL;
};

} // namespace platform::ui
