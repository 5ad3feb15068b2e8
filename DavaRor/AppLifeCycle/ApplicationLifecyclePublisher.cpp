#include "DavaRor/AppLifeCycle/ApplicationLifecyclePublisher.h"

#include "platform/application/Application.h"

namespace davaror {

ApplicationLifecyclePublisher& ApplicationLifecyclePublisher::shared() {
    static ApplicationLifecyclePublisher* const publisher =
        new ApplicationLifecyclePublisher(platform::NotificationCenter::defaultCenter());
    return *publisher;
}

ApplicationLifecyclePublisher::ApplicationLifecyclePublisher(platform::NotificationCenter& center)
    : observations_{
          center.addObserver(platform::NSApplicationDidFinishLaunchingNotification,
                             [this](const platform::Notification&) { appDidFinishLaunching(); }),
          center.addObserver(platform::NSApplicationDidResignActiveNotification,
                             [this](const platform::Notification&) { appDidEnterBackground(); }),
          center.addObserver(platform::NSApplicationDidBecomeActiveNotification,
                             [this](const platform::Notification&) { appDidBecomeActive(); })} {}

void ApplicationLifecyclePublisher::appDidFinishLaunching() {
    onDidFinishLaunching_.invoke();
}

void ApplicationLifecyclePublisher::appDidBecomeActive() {
    onDidBecomeActive_.invoke();
}

void ApplicationLifecyclePublisher::appDidEnterBackground() {
    onDidEnterBackground_.invoke();
}

} // namespace davaror
