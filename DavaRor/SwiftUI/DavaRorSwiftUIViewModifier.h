#pragma once

#include "platform/core/Export.h"
#include "platform/ui/View.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>

class DavaRorSDK;

// Captures a screen, or an event, each time the view it is applied to is shown.
struct DAVAROR_EXPORT DavaRorSwiftUIViewModifier {
    std::string viewEventName;
    bool screenEvent = false;
    nlohmann::json properties; // null: none
    // None: the shared client at the time the view is shown. A given client
    // is kept by the view, so its events outlive the application's own
    // reference to it.
    std::shared_ptr<DavaRorSDK> davaRor;

    void body(platform::ui::View& content) const;
};

namespace davaror {

// Captures "$screen" named `screenName`, or the view's type name when none,
// each time `view` is shown.
DAVAROR_EXPORT platform::ui::View&
davaRorScreenView(platform::ui::View& view, std::optional<std::string> screenName = std::nullopt,
                  nlohmann::json properties = nullptr,
                  std::shared_ptr<DavaRorSDK> davaRor = nullptr);

// Captures `event` each time `view` is shown.
DAVAROR_EXPORT platform::ui::View& davaRorViewSeen(platform::ui::View& view, std::string event,
                                                   nlohmann::json properties = nullptr,
                                                   std::shared_ptr<DavaRorSDK> davaRor = nullptr);

} // namespace davaror

using davaror::davaRorScreenView;
using davaror::davaRorViewSeen;
