#include "DavaRor/delivery/Reachability.h"
#include "platform/core/MainQueue.h"
#include "platform/core/PumpUntil.h"
#include "platform/reachability/FakeReachabilitySource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

using davaror::description;
using davaror::Reachability;
using davaror::ReachabilityError;

using namespace platform;

namespace {

constexpr auto reachable = kSCNetworkReachabilityFlagsReachable;
constexpr SCNetworkReachabilityFlags unreachable{};

std::shared_ptr<Reachability> monitorOn(const std::shared_ptr<FakeReachabilitySource>& source,
                                        DispatchQueue* notificationQueue) {
    return Reachability::create(SCNetworkReachabilityCreateWithSource("fake", source),
                                DispatchQoS::defaultQoS, nullptr, notificationQueue);
}

// An owner of a monitor, as an event queue is: it sets the closures, which
// capture it weakly.
struct Owner : std::enable_shared_from_this<Owner> {
    std::shared_ptr<Reachability> monitor;
    std::atomic<int> pauses{0};

    void start() {
        monitor->setWhenUnreachable([weakSelf = weak_from_this()](Reachability&) {
            if (auto self = weakSelf.lock()) {
                ++self->pauses;
            }
        });
        monitor->startNotifier();
    }
};

} // namespace

TEST(ReachabilityLifetime, NeitherThePlatformNorTheClosuresKeepTheMonitorAlive) {
    auto source = std::make_shared<FakeReachabilitySource>(unreachable);
    auto owner = std::make_shared<Owner>();
    owner->monitor = monitorOn(source, &MainQueue::shared());
    owner->start();
    ASSERT_TRUE(pumpMainQueueUntil([&] { return owner->pauses == 1; }));

    const auto target = owner->monitor->reachabilityRef();
    std::weak_ptr<Reachability> monitor = owner->monitor;
    std::weak_ptr<Owner> weakOwner = owner;
    owner.reset();
    EXPECT_TRUE(weakOwner.expired());
    EXPECT_TRUE(monitor.expired());
    EXPECT_EQ(source->activeWatches(), 0u) << "the monitor's end stops the notifier";
    EXPECT_EQ(target->description(), "<SCNetworkReachability fake>");
}

TEST(ReachabilityLifetime, ChangesStillQueuedForAReleasedMonitorAreDropped) {
    auto source = std::make_shared<FakeReachabilitySource>(reachable);
    auto monitor = monitorOn(source, &MainQueue::shared());
    std::atomic<int> calls{0};
    monitor->setWhenUnreachable([&](Reachability&) { ++calls; });
    monitor->startNotifier();
    MainQueue::shared().drain();

    std::promise<void> open;
    MainQueue::shared().async([gate = open.get_future().share()] { gate.wait(); });
    source->fireCallback(unreachable);
    monitor->reachabilitySerialQueue().sync([] {}); // the closure now waits behind the gate
    monitor.reset();
    open.set_value();
    MainQueue::shared().drain();
    EXPECT_EQ(calls, 0);
}

TEST(ReachabilityLifetime, AClosureMayReleaseTheLastReferenceToItsMonitor) {
    for (DispatchQueue* notificationQueue : {static_cast<DispatchQueue*>(&MainQueue::shared()),
                                             static_cast<DispatchQueue*>(nullptr)}) {
        auto source = std::make_shared<FakeReachabilitySource>(reachable);
        auto holder =
            std::make_shared<std::shared_ptr<Reachability>>(monitorOn(source, notificationQueue));
        std::weak_ptr<Reachability> monitor = *holder;
        (*holder)->setWhenUnreachable([holder](Reachability&) { holder->reset(); });
        (*holder)->startNotifier();
        MainQueue::shared().drain();
        source->fireCallback(unreachable);
        // The monitor's end, wherever it runs, stops the notifier.
        ASSERT_TRUE(
            pumpMainQueueUntil([&] { return monitor.expired() && source->activeWatches() == 0; }));
    }
}

TEST(ReachabilityLifetime, FieldsMayBeUsedFromManyThreadsWhileChangesArrive) {
    auto source = std::make_shared<FakeReachabilitySource>(reachable);
    auto monitor = monitorOn(source, &MainQueue::shared());
    NotificationCenter centers[2];
    monitor->startNotifier();

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        // Bounded, so the monitor's queue is not flooded faster than it drains.
        for (int i = 0; i < 2000 && !stop; ++i) {
            source->fireCallback(i % 2 == 0 ? unreachable : reachable);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            monitor->setWhenReachable([i](Reachability&) { EXPECT_GE(i, 0); });
            monitor->setWhenUnreachable([i](Reachability&) { EXPECT_GE(i, 0); });
            monitor->setNotificationCenter(centers[i % 2]);
            monitor->allowsCellularConnection = i % 2 == 0;
        }
    });
    threads.emplace_back([&] {
        while (!stop) {
            monitor->connection();
            monitor->flags();
            monitor->notifierRunning();
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            monitor->stopNotifier();
            try {
                monitor->startNotifier();
            } catch (const ReachabilityError&) {
                ADD_FAILURE() << "start failed";
            }
        }
    });
    threads.back().join();
    threads.pop_back();
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    monitor->reachabilitySerialQueue().sync([] {});
    MainQueue::shared().drain(); // every change still travelling has arrived
    EXPECT_TRUE(monitor->notifierRunning());
    EXPECT_EQ(source->activeWatches(), 1u) << "starts and stops never leave a second watch";

    std::atomic<int> callsAfterwards{0};
    monitor->setWhenReachable([&](Reachability&) { ++callsAfterwards; });
    source->fireCallback(reachable | kSCNetworkReachabilityFlagsIsDirect);
    monitor->reachabilitySerialQueue().sync([] {});
    MainQueue::shared().drain();
    EXPECT_EQ(callsAfterwards, 1) << "still delivering";
    monitor.reset();
    MainQueue::shared().drain();
}
