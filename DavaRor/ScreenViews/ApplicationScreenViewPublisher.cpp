#include "DavaRor/ScreenViews/ApplicationScreenViewPublisher.h"

namespace davaror {

ApplicationScreenViewPublisher& ApplicationScreenViewPublisher::shared() {
    // Owned by a shared pointer, never released, so that handlers can hold it weakly.
    static const auto* const publisher =
        new std::shared_ptr<ApplicationScreenViewPublisher>(new ApplicationScreenViewPublisher());
    return **publisher;
}

DavaRorMulticastCallback<std::string>& ApplicationScreenViewPublisher::onScreenView() {
    std::call_once(onScreenViewCreated_, [this] {
        onScreenView_ = std::make_unique<DavaRorMulticastCallback<std::string>>(
            [weak = weak_from_this()](std::size_t count) {
                if (auto self = weak.lock()) {
                    self->subscriberCountChanged(count);
                }
            });
    });
    return *onScreenView_;
}

} // namespace davaror
