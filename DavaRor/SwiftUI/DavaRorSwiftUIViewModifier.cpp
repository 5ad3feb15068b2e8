#include "DavaRor/SwiftUI/DavaRorSwiftUIViewModifier.h"

#include "DavaRor/DavaRorSDK.h"

void DavaRorSwiftUIViewModifier::body(platform::ui::View& content) const {
    content.onAppear([name = viewEventName, screenEvent = screenEvent, properties = properties,
                      given = davaRor] {
        auto davaRor = given ? given : DavaRorSDK::shared();
        if (screenEvent) {
            davaRor->screen(name, properties);
        } else {
            davaRor->capture(name, properties);
        }
    });
}

platform::ui::View& davaror::davaRorScreenView(platform::ui::View& view,
                                               std::optional<std::string> screenName,
                                               nlohmann::json properties,
                                               std::shared_ptr<DavaRorSDK> davaRor) {
    DavaRorSwiftUIViewModifier{screenName ? std::move(*screenName) : view.typeName(), true,
                               std::move(properties), std::move(davaRor)}
        .body(view);
    return view;
}

platform::ui::View& davaror::davaRorViewSeen(platform::ui::View& view, std::string event,
                                             nlohmann::json properties,
                                             std::shared_ptr<DavaRorSDK> davaRor) {
    DavaRorSwiftUIViewModifier{std::move(event), false, std::move(properties), std::move(davaRor)}
        .body(view);
    return view;
}
