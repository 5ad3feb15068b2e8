#include "DavaRor/ScreenViews/DavaRorDeepLinkHelper.h"

namespace DavaRorDeepLinkHelper {

nlohmann::json buildDeepLinkProperties(const platform::URL& url,
                                       const std::optional<std::string>& referrer) {
    nlohmann::json properties = {{"url", url.absoluteString()}};
    if (!referrer) {
        return properties;
    }
    properties["$referrer"] = *referrer;
    if (auto referrerURL = platform::URL::fromString(*referrer);
        referrerURL && referrerURL->host()) {
        properties["$referring_domain"] = *referrerURL->host();
    }
    return properties;
}

} // namespace DavaRorDeepLinkHelper
