#include "DavaRor/AppLifeCycle/AppVersionInfo.h"

namespace davaror {

namespace {

std::optional<std::string> textForKey(const platform::Bundle& bundle, const char* key) {
    auto value = bundle.objectForInfoDictionaryKey(key);
    if (!value || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

} // namespace

AppVersionInfo currentAppVersion(const platform::Bundle& bundle) {
    return {textForKey(bundle, platform::kCFBundleShortVersionStringKey),
            textForKey(bundle, platform::kCFBundleVersionKey)};
}

} // namespace davaror
