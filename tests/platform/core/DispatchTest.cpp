#include "platform/core/MainQueue.h"
#include "platform/core/PumpUntil.h"
#include "platform/core/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using platform::MainQueue;
using platform::SerialQueue;

TEST(SerialQueue, RunsTasksInOrderAndDrainsThemOnDestruction) {
    std::vector<int> order;
    {
        SerialQueue queue("test.order");
        for (int i = 0; i < 1000; ++i) {
            queue.async([&order, i] { order.push_back(i); });
        }
    }
    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(order[i], i);
    }
}

TEST(SerialQueue, SyncRunsOnTheQueueAndInlineWhenAlreadyOnIt) {
    SerialQueue queue("test.sync");
    bool onQueue = false;
    bool nestedRan = false;
    queue.sync([&] {
        onQueue = queue.isCurrent();
        queue.sync([&] { nestedRan = true; });
    });
    EXPECT_TRUE(onQueue);
    EXPECT_TRUE(nestedRan);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, SyncPassesExceptionsBackToTheCaller) {
    SerialQueue queue("test.throw");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    int after = 0;
    queue.sync([&] { after = 1; });
    EXPECT_EQ(after, 1);
}

TEST(SerialQueue, CanBeDestroyedFromItsOwnTask) {
    std::atomic<bool> laterTaskRan{false};
    auto* queue = new SerialQueue("test.self-destroy");
    std::atomic<bool> destroyed{false};
    queue->async([&] {
        // Queued before the destruction, so it must still run.
        queue->async([&] { laterTaskRan = true; });
        delete queue;
        destroyed = true;
    });
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return destroyed && laterTaskRan; }));
}

TEST(SerialQueue, AnAimedQueueRunsItsWorkOnTheTargetInOrderWithTheTargetsOwn) {
    auto target = std::make_shared<SerialQueue>("test.target");
    auto aimed = std::make_unique<SerialQueue>("test.aimed", target);
    EXPECT_EQ(aimed->target(), target);
    std::vector<std::string> order;
    for (int i = 0; i < 2; ++i) {
        aimed->async([&, i] {
            order.push_back((aimed->isCurrent() && target->isCurrent() ? "both " : "? ") +
                            std::to_string(i));
        });
        target->async([&, i] {
            order.push_back((aimed->isCurrent() ? "? " : "target ") + std::to_string(i));
        });
    }
    aimed->sync([] {});
    // Work still queued when the aimed queue goes runs on the target.
    aimed->async([&] { order.push_back("after release"); });
    aimed.reset();
    target->sync([] {});
    EXPECT_EQ(order, (std::vector<std::string>{"both 0", "target 0", "both 1", "target 1",
                                               "after release"}));
}

TEST(MainQueue, RunsDelayedWorkAndRepeatingTimersUntilInvalidatedOrReleased) {
    auto& main = MainQueue::shared();
    std::atomic<int> invalidatedFired{0};
    std::atomic<int> releasedFired{0};
    std::atomic<bool> delayedOnMain{false};
    main.asyncAfter(5ms, [&] { delayedOnMain = main.isCurrent(); });
    auto invalidated = main.scheduleRepeating(2ms, [&] { ++invalidatedFired; });
    auto released = main.scheduleRepeating(1ms, [&] { ++releasedFired; });
    ASSERT_TRUE(platform::pumpMainQueueUntil(
        [&] { return invalidatedFired >= 3 && releasedFired >= 1 && delayedOnMain; }));
    invalidated->invalidate();
    released.reset();
    main.drain();
    const int afterInvalidate = invalidatedFired;
    const int afterRelease = releasedFired;
    std::this_thread::sleep_for(20ms);
    main.drain();
    EXPECT_EQ(invalidatedFired, afterInvalidate);
    EXPECT_EQ(releasedFired, afterRelease);
    EXPECT_FALSE(invalidated->isValid());
}
