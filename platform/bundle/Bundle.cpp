#include "platform/bundle/Bundle.h"

#include <filesystem>

namespace platform {

Bundle::Bundle() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        info_[kCFBundleExecutableKey] = executable.filename().string();
    }
}

Bundle& Bundle::main() {
    // Never released: code running on other threads at exit may still ask.
    static Bundle* const bundle = new Bundle();
    return *bundle;
}

std::optional<std::string> Bundle::bundleIdentifier() const {
    auto value = objectForInfoDictionaryKey(kCFBundleIdentifierKey);
    if (!value || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

nlohmann::json Bundle::infoDictionary() const {
    std::lock_guard lock(mutex_);
    return info_;
}

std::optional<nlohmann::json> Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto found = info_.find(key);
    if (found == info_.end()) {
        return std::nullopt;
    }
    return *found;
}

void Bundle::setBundleIdentifier(std::string identifier) {
    setInfoDictionaryValue(kCFBundleIdentifierKey, std::move(identifier));
}

void Bundle::setShortVersionString(std::string version) {
    setInfoDictionaryValue(kCFBundleShortVersionStringKey, std::move(version));
}

void Bundle::setVersion(std::string build) {
    setInfoDictionaryValue(kCFBundleVersionKey, std::move(build));
}

void Bundle::setExecutableName(std::string name) {
    setInfoDictionaryValue(kCFBundleExecutableKey, std::move(name));
}

void Bundle::setInfoDictionaryValue(std::string key, nlohmann::json value) {
    std::lock_guard lock(mutex_);
    info_[std::move(key)] = std::move(value);
}

} // namespace platform
