#pragma once

#include "platform/url/URL.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace DavaRorDeepLinkHelper {

// The properties of "Deep Link Opened": "url" always, "$referrer" when a
// referrer is given, "$referring_domain" when the referrer is a URL with a host.
nlohmann::json buildDeepLinkProperties(const platform::URL& url,
                                       const std::optional<std::string>& referrer);

} // namespace DavaRorDeepLinkHelper
