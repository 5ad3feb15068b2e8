#pragma once

#include "platform/bundle/Bundle.h"

#include <optional>
#include <string>

namespace davaror {

// An application version ("CFBundleShortVersionString") and build
// ("CFBundleVersion"), each known only when it is a text.
struct AppVersionInfo {
    std::optional<std::string> version;
    std::optional<std::string> build;
};

AppVersionInfo currentAppVersion(const platform::Bundle& bundle = platform::Bundle::main());

} // namespace davaror
