#include "DavaRor/ErrorTracking/DavaRorErrorTrackingConfig.h"

#include "platform/bundle/Bundle.h"

namespace {

constexpr const char* kUnidentifiedApplication = "invalid.davaror.unidentified-application";

} // namespace

DavaRorErrorTrackingConfig::DavaRorErrorTrackingConfig() {
    const auto& bundle = platform::Bundle::main();
    inAppIncludes_.push_back(bundle.bundleIdentifier().value_or(kUnidentifiedApplication));
    auto executable = bundle.objectForInfoDictionaryKey(platform::kCFBundleExecutableKey);
    if (executable && executable->is_string()) {
        inAppIncludes_.push_back(executable->get<std::string>());
    }
}

bool DavaRorErrorTrackingConfig::autoCapture() const {
    std::lock_guard guard(lock_);
    return _autoCapture;
}

void DavaRorErrorTrackingConfig::setAutoCapture(bool autoCapture) {
    std::lock_guard guard(lock_);
    _autoCapture = autoCapture;
}

std::vector<std::string> DavaRorErrorTrackingConfig::inAppIncludes() const {
    std::lock_guard guard(lock_);
    return inAppIncludes_;
}

void DavaRorErrorTrackingConfig::setInAppIncludes(std::vector<std::string> prefixes) {
    std::lock_guard guard(lock_);
    inAppIncludes_ = std::move(prefixes);
}

std::vector<std::string> DavaRorErrorTrackingConfig::inAppExcludes() const {
    std::lock_guard guard(lock_);
    return inAppExcludes_;
}

void DavaRorErrorTrackingConfig::setInAppExcludes(std::vector<std::string> prefixes) {
    std::lock_guard guard(lock_);
    inAppExcludes_ = std::move(prefixes);
}

bool DavaRorErrorTrackingConfig::inAppByDefault() const {
    std::lock_guard guard(lock_);
    return inAppByDefault_;
}

void DavaRorErrorTrackingConfig::setInAppByDefault(bool inAppByDefault) {
    std::lock_guard guard(lock_);
    inAppByDefault_ = inAppByDefault;
}
