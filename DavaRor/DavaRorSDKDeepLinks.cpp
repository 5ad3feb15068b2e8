#include "DavaRor/DavaRorSDK.h"

#include "DavaRor/ScreenViews/DavaRorDeepLinkHelper.h"

void DavaRorSDK::captureDeepLink(const std::optional<platform::URL>& url,
                                 const std::optional<std::string>& referrer) {
    if (!checkEnabled() || !url) {
        return;
    }
    capture("Deep Link Opened", DavaRorDeepLinkHelper::buildDeepLinkProperties(*url, referrer));
}

void DavaRorSDK::captureDeepLink(const platform::ui::UserActivity& userActivity) {
    if (userActivity.activityType != platform::ui::NSUserActivityTypeBrowsingWeb ||
        !userActivity.webpageURL) {
        return;
    }
    std::optional<std::string> referrer;
    if (userActivity.referrerURL) {
        referrer = userActivity.referrerURL->absoluteString();
    }
    captureDeepLink(userActivity.webpageURL, referrer);
}
