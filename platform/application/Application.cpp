#include "platform/application/Application.h"

#include "platform/core/MainQueue.h"

namespace platform {

Application::Application(NotificationCenter& center, DispatchQueue& mainQueue)
    : center_(center), mainQueue_(mainQueue) {}

Application& Application::shared() {
    // Never released: posts queued at exit still reach a live object.
    static Application* const application =
        new Application(NotificationCenter::defaultCenter(), MainQueue::shared());
    return *application;
}

void Application::finishLaunching() {
    post(NSApplicationDidFinishLaunchingNotification);
}

void Application::becomeActive() {
    post(NSApplicationDidBecomeActiveNotification);
}

void Application::resignActive() {
    post(NSApplicationDidResignActiveNotification);
}

void Application::post(const char* name) {
    // Queued even when already on the main queue, so posts keep call order.
    // The application is only the notification's identity here, so a post
    // still queued when it is gone is harmless.
    mainQueue_.async([&center = center_, object = static_cast<const void*>(this), name] {
        center.post({name, object, {}});
    });
}

} // namespace platform
