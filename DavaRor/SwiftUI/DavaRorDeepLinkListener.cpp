#include "DavaRor/SwiftUI/DavaRorDeepLinkListener.h"

#include "DavaRor/DavaRorSDK.h"

void DavaRorDeepLinkListener::body(platform::ui::View& content) const {
    const std::weak_ptr<DavaRorSDK> weak = davaRor;
    content.onOpenURL([weak](const platform::URL& url) {
        if (auto davaRor = weak.lock()) {
            davaRor->captureDeepLink(url, std::nullopt);
        }
    });
    content.onContinueUserActivity(platform::ui::NSUserActivityTypeBrowsingWeb,
                                   [weak](const platform::ui::UserActivity& activity) {
                                       if (auto davaRor = weak.lock()) {
                                           davaRor->captureDeepLink(activity);
                                       }
                                   });
}

platform::ui::View& davaRorDeepLinkListener(platform::ui::View& view,
                                            std::shared_ptr<DavaRorSDK> davaRor) {
    DavaRorDeepLinkListener{davaRor ? std::move(davaRor) : DavaRorSDK::shared()}.body(view);
    return view;
}
