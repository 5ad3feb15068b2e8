#include "DavaRor/AppLifeCycle/DI.h"

namespace davaror::DI {

AppLifecyclePublishing& Container::appLifecyclePublisher() {
    std::lock_guard lock(mutex_);
    if (appLifecyclePublisher_ == nullptr) {
        appLifecyclePublisher_ = &ApplicationLifecyclePublisher::shared();
    }
    return *appLifecyclePublisher_;
}

ScreenViewPublishing& Container::screenViewPublisher() {
    std::lock_guard lock(mutex_);
    if (screenViewPublisher_ == nullptr) {
        screenViewPublisher_ = &ApplicationScreenViewPublisher::shared();
    }
    return *screenViewPublisher_;
}

Container& main() {
    static Container* const container = new Container();
    return *container;
}

} // namespace davaror::DI
