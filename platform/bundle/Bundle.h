#pragma once

#include "platform/core/Export.h"
#include "platform/core/ForkSafeMutex.h"

#include <nlohmann/json.hpp>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr const char* kCFBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kCFBundleShortVersionStringKey = "CFBundleShortVersionString";
inline constexpr const char* kCFBundleVersionKey = "CFBundleVersion";
inline constexpr const char* kCFBundleExecutableKey = "CFBundleExecutable";

// A bundle's information dictionary. Linux executables carry no such
// dictionary, so the application sets its identifier and versions at start;
// only the executable name is known beforehand, from the running process.
class DAVAROR_EXPORT Bundle {
public:
    // A bundle whose dictionary holds only the running executable's name.
    Bundle();
    static Bundle& main();

    std::optional<std::string> bundleIdentifier() const;
    nlohmann::json infoDictionary() const;
    // The value under `key`, of whatever type it was set with.
    std::optional<nlohmann::json> objectForInfoDictionaryKey(std::string_view key) const;

    void setBundleIdentifier(std::string identifier);
    void setShortVersionString(std::string version);
    void setVersion(std::string build);
    void setExecutableName(std::string name);
    void setInfoDictionaryValue(std::string key, nlohmann::json value);

private:
    mutable platform::ForkSafeMutex mutex_;
    nlohmann::json info_ = nlohmann::json::object();
};

} // namespace platform
