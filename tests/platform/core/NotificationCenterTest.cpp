#include "platform/core/NotificationCenter.h"
#include "platform/core/PumpUntil.h"
#include "platform/core/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

using platform::Notification;
using platform::NotificationCenter;

TEST(NotificationCenter, DeliversByNameOnThePostingThreadOrTheGivenQueue) {
    NotificationCenter center;
    platform::SerialQueue queue("test.observers");
    int direct = 0;
    std::atomic<bool> queuedOnQueue{false};
    std::atomic<int> queuedValue{0};
    auto directToken = center.addObserver(
        "changed", [&](const Notification& n) { direct += n.userInfo.value("value", 0); });
    auto queuedToken = center.addObserver(
        "changed",
        [&](const Notification& n) {
            queuedOnQueue = queue.isCurrent();
            queuedValue = n.userInfo.value("value", 0);
        },
        &queue);
    auto otherToken = center.addObserver("other", [&](const Notification&) { direct = -100; });

    center.post({"changed", nullptr, {{"value", 7}}});
    EXPECT_EQ(direct, 7);
    queue.sync([] {});
    EXPECT_TRUE(queuedOnQueue);
    EXPECT_EQ(queuedValue, 7);
}

TEST(NotificationCenter, ReleasedTokensStopDeliveryEvenFromInsideAnObserver) {
    NotificationCenter center;
    int calls = 0;
    std::optional<platform::ObserverToken> token;
    token = center.addObserver("tick", [&](const Notification&) {
        ++calls;
        token.reset(); // removing itself while being called must not deadlock
    });
    center.post({"tick", nullptr, {}});
    center.post({"tick", nullptr, {}});
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, TokenMayOutliveTheCenter) {
    platform::ObserverToken token;
    {
        NotificationCenter center;
        token = center.addObserver("x", [](const Notification&) {});
    }
    token.remove();
    SUCCEED();
}
