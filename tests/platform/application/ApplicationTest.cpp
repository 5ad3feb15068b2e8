#include "platform/application/Application.h"
#include "platform/core/MainQueue.h"
#include "platform/core/PumpUntil.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <vector>

TEST(Application, PostsEachMomentOnTheMainQueueInCallOrder) {
    platform::NotificationCenter center;
    platform::Application application(center, platform::MainQueue::shared());
    std::mutex mutex;
    std::vector<std::string> received;
    std::vector<platform::ObserverToken> tokens;
    for (const char* name : {platform::NSApplicationDidFinishLaunchingNotification,
                             platform::NSApplicationDidBecomeActiveNotification,
                             platform::NSApplicationDidResignActiveNotification}) {
        tokens.push_back(center.addObserver(name, [&](const platform::Notification& n) {
            std::lock_guard lock(mutex);
            EXPECT_TRUE(platform::MainQueue::shared().isCurrent());
            EXPECT_EQ(n.object, &application);
            received.push_back(n.name);
        }));
    }

    // The main queue runs on a thread of its own: held until every call below is queued, it
    // cannot run the nested call before resignActive has posted.
    std::promise<void> queued;
    platform::MainQueue::shared().async([gate = queued.get_future().share()] { gate.wait(); });
    application.finishLaunching();
    application.becomeActive();
    // A call made on the main queue is still posted after the earlier ones.
    platform::MainQueue::shared().async([&] { application.becomeActive(); });
    application.resignActive();
    queued.set_value();
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] {
        std::lock_guard lock(mutex);
        return received.size() == 4;
    }));
    EXPECT_EQ(received, (std::vector<std::string>{"NSApplicationDidFinishLaunchingNotification",
                                                  "NSApplicationDidBecomeActiveNotification",
                                                  "NSApplicationDidResignActiveNotification",
                                                  "NSApplicationDidBecomeActiveNotification"}));
}
