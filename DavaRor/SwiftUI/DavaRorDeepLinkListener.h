#pragma once

#include "platform/core/Export.h"
#include "platform/ui/View.h"

#include <memory>

class DavaRorSDK;

// Reports the URLs a view is asked to open, and the web pages handed over to
// it, as deep links. The view keeps the client, so its deep links outlive the
// application's own reference to it; without a client nothing is reported.
struct DAVAROR_EXPORT DavaRorDeepLinkListener {
    std::shared_ptr<DavaRorSDK> davaRor;

    void body(platform::ui::View& content) const;
};

namespace davaror {

// Listens with `davaRor`, or with the shared client as it is at this call.
DAVAROR_EXPORT platform::ui::View&
davaRorDeepLinkListener(platform::ui::View& view, std::shared_ptr<DavaRorSDK> davaRor = nullptr);

} // namespace davaror

using davaror::davaRorDeepLinkListener;
