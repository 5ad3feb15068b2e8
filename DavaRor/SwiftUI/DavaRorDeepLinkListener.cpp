#include "DavaRor/SwiftUI/DavaRorDeepLinkListener.h"

#include "DavaRor/DavaRorSDK.h"

void DavaRorDeepLinkListener::body(platform::ui::View& content) const {
    if (!davaRor) {
        return;
    }
    content.onOpenURL([davaRor = davaRor](const platform::URL& url) {
        davaRor->captureDeepLink(url, std::nullopt);
    });
    content.onContinueUserActivity(platform::ui::NSUserActivityTypeBrowsingWeb,
                                   [davaRor = davaRor](const platform::ui::UserActivity& activity) {
                                       davaRor->captureDeepLink(activity);
                                   });
}

platform::ui::View& davaror::davaRorDeepLinkListener(platform::ui::View& view,
                                                     std::shared_ptr<DavaRorSDK> davaRor) {
    DavaRorDeepLinkListener{davaRor ? std::move(davaRor) : DavaRorSDK::shared()}.body(view);
    return view;
}
