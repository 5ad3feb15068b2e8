#pragma once

#include "DavaRor/Utils/DavaRorMulticastCallback.h"
#include "platform/core/NotificationCenter.h"

#include <array>

namespace davaror {

// The application's launch and activation moments as callback lists.
class AppLifecyclePublishing {
public:
    virtual ~AppLifecyclePublishing() = default;
    virtual DavaRorMulticastCallback<>& onDidBecomeActive() = 0;
    virtual DavaRorMulticastCallback<>& onDidEnterBackground() = 0;
    virtual DavaRorMulticastCallback<>& onDidFinishLaunching() = 0;
};

// Re-broadcasts the application notifications of the default center. One
// per process, never released, so its observations stay for the process's
// life; resigning active stands for entering the background.
class ApplicationLifecyclePublisher final : public AppLifecyclePublishing {
public:
    static ApplicationLifecyclePublisher& shared();

    DavaRorMulticastCallback<>& onDidBecomeActive() override { return onDidBecomeActive_; }
    DavaRorMulticastCallback<>& onDidEnterBackground() override { return onDidEnterBackground_; }
    DavaRorMulticastCallback<>& onDidFinishLaunching() override { return onDidFinishLaunching_; }

    void appDidFinishLaunching();
    void appDidBecomeActive();
    void appDidEnterBackground();

private:
    explicit ApplicationLifecyclePublisher(platform::NotificationCenter& center);

    DavaRorMulticastCallback<> onDidBecomeActive_;
    DavaRorMulticastCallback<> onDidEnterBackground_;
    DavaRorMulticastCallback<> onDidFinishLaunching_;
    std::array<platform::ObserverToken, 3> observations_;
};

} // namespace davaror
