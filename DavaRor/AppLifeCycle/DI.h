#pragma once

#include "DavaRor/AppLifeCycle/ApplicationLifecyclePublisher.h"
#include "DavaRor/ScreenViews/ApplicationScreenViewPublisher.h"
#include "platform/core/ForkSafeMutex.h"

#include <mutex>

// Where the client finds the platform's publishers, each stored on first
// read. The publishers live as long as the process.
namespace davaror::DI {

class Container {
public:
    AppLifecyclePublishing& appLifecyclePublisher();
    ScreenViewPublishing& screenViewPublisher();

private:
    platform::ForkSafeMutex mutex_;
    AppLifecyclePublishing* appLifecyclePublisher_ = nullptr;
    ScreenViewPublishing* screenViewPublisher_ = nullptr;
};

// The process's container, never released.
Container& main();

} // namespace davaror::DI
