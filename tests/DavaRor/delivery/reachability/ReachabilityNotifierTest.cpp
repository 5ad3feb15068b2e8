#include "DavaRor/delivery/Reachability.h"
#include "platform/core/MainQueue.h"
#include "platform/reachability/FakeReachabilitySource.h"
#include "platform/reachability/ReachabilitySourceFactory.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

using davaror::description;
using davaror::Reachability;
using davaror::ReachabilityError;

using namespace platform;
using Connection = Reachability::Connection;

namespace {

constexpr auto reachable = kSCNetworkReachabilityFlagsReachable;
constexpr SCNetworkReachabilityFlags unreachable{};

// Every closure call and notification of one monitor, in arrival order.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> entries;
    std::vector<bool> onExpectedQueue;

    void add(std::string entry, bool onQueue) {
        std::lock_guard lock(mutex);
        entries.push_back(std::move(entry));
        onExpectedQueue.push_back(onQueue);
    }
    std::vector<std::string> seen() {
        std::lock_guard lock(mutex);
        return entries;
    }
};

class ReachabilityNotifier : public testing::Test {
protected:
    std::shared_ptr<FakeReachabilitySource> source =
        std::make_shared<FakeReachabilitySource>(reachable);
    NotificationCenter center;
    Journal journal;
    ObserverToken observation;

    std::shared_ptr<Reachability> makeMonitor(DispatchQueue* notificationQueue) {
        auto monitor = Reachability::create(SCNetworkReachabilityCreateWithSource("fake", source),
                                            DispatchQoS::defaultQoS, nullptr, notificationQueue);
        monitor->setNotificationCenter(center);
        const auto onQueue = [notificationQueue, &queue = monitor->reachabilitySerialQueue()] {
            return notificationQueue != nullptr ? notificationQueue->isCurrent()
                                                : queue.isCurrent();
        };
        monitor->setWhenReachable([this, onQueue](Reachability& m) {
            journal.add("reachable " + std::string(description(m.connection())), onQueue());
        });
        monitor->setWhenUnreachable([this, onQueue](Reachability& m) {
            journal.add("unreachable " + std::string(description(m.connection())), onQueue());
        });
        observation = center.addObserver(
            std::string(Reachability::reachabilityChanged),
            [this, expected = monitor.get(), onQueue](const Notification& n) {
                journal.add(n.object == expected ? "posted" : "posted by a stranger", onQueue());
            });
        return monitor;
    }

    // Lets a fired callback travel through the serial queue and the main queue.
    static void settle(Reachability& monitor) {
        monitor.reachabilitySerialQueue().sync([] {});
        MainQueue::shared().drain();
    }
};

} // namespace

TEST_F(ReachabilityNotifier, StartDeliversTheCurrentStateOnceAndStopEndsDelivery) {
    auto monitor = makeMonitor(&MainQueue::shared());
    monitor->startNotifier();
    EXPECT_TRUE(monitor->notifierRunning());
    MainQueue::shared().drain();
    EXPECT_EQ(journal.seen(), (std::vector<std::string>{"reachable WiFi", "posted"}));
    EXPECT_EQ(journal.onExpectedQueue, (std::vector<bool>{true, true}));

    EXPECT_NO_THROW(monitor->startNotifier());
    settle(*monitor);
    EXPECT_EQ(journal.seen().size(), 2u) << "a second start does nothing";
    EXPECT_EQ(source->activeWatches(), 1u);
    EXPECT_EQ(monitor->reachabilityRef()->description(),
              "<SCNetworkReachability fake> {-R -------}");

    monitor->stopNotifier();
    EXPECT_FALSE(monitor->notifierRunning());
    EXPECT_EQ(source->activeWatches(), 0u);
    source->fireCallback(unreachable);
    settle(*monitor);
    EXPECT_EQ(journal.seen().size(), 2u) << "a stopped monitor hears nothing";
    EXPECT_EQ(monitor->reachabilityRef()->description(), "<SCNetworkReachability fake>");
}

TEST_F(ReachabilityNotifier, ReportsOnlyChangesOfTheFlagsToTheCurrentClosures) {
    auto monitor = makeMonitor(&MainQueue::shared());
    monitor->startNotifier();
    for (auto flags : {reachable, reachable, unreachable, unreachable, reachable,
                       reachable | kSCNetworkReachabilityFlagsIsDirect}) {
        source->fireCallback(flags);
        settle(*monitor);
    }
    EXPECT_EQ(journal.seen(), (std::vector<std::string>{
                                  "reachable WiFi", "posted",            // start
                                  "unreachable No Connection", "posted", // lost
                                  "reachable WiFi", "posted",            // back
                                  "reachable WiFi", "posted",            // other flags
                              }));
    EXPECT_EQ(monitor->flags(), reachable | kSCNetworkReachabilityFlagsIsDirect);

    std::atomic<int> replacementCalls{0};
    monitor->setWhenUnreachable([&](Reachability&) { ++replacementCalls; });
    source->fireCallback(unreachable);
    settle(*monitor);
    EXPECT_EQ(replacementCalls, 1);
    EXPECT_EQ(journal.seen().size(), 9u) << "only the notification from the replaced closure";
}

TEST_F(ReachabilityNotifier, WithoutANotificationQueueClosuresRunInsideThePlatformCallback) {
    auto monitor = makeMonitor(nullptr);
    monitor->startNotifier();
    EXPECT_EQ(journal.seen().size(), 2u) << "delivered before startNotifier returned";
    source->fireCallback(unreachable);
    monitor->reachabilitySerialQueue().sync([] {});
    EXPECT_EQ(journal.seen(), (std::vector<std::string>{"reachable WiFi", "posted",
                                                        "unreachable No Connection", "posted"}));
    EXPECT_EQ(journal.onExpectedQueue, (std::vector<bool>(4, true)));
}

// Without a notification queue the start's own fetch runs the closures, so a
// closure that stops once reachable stops a start still under way.
TEST_F(ReachabilityNotifier, AStopDuringTheStartsFetchHolds) {
    auto monitor = makeMonitor(nullptr);
    std::atomic<int> reachableCalls{0};
    monitor->setWhenReachable([&](Reachability& m) {
        ++reachableCalls;
        m.stopNotifier();
    });
    EXPECT_NO_THROW(monitor->startNotifier());
    EXPECT_EQ(reachableCalls, 1);
    ASSERT_FALSE(monitor->notifierRunning());
    EXPECT_EQ(source->activeWatches(), 0u);
    EXPECT_EQ(monitor->reachabilityRef()->description(), "<SCNetworkReachability fake>");
    source->fireCallback(unreachable);
    monitor->reachabilitySerialQueue().sync([] {});
    EXPECT_EQ(journal.seen(), (std::vector<std::string>{"posted"})) << "stopped: heard nothing";

    // The same stop, asked for by another thread while the fetch is under way.
    source->setFlags(reachable | kSCNetworkReachabilityFlagsIsDirect);
    std::promise<void> stopped;
    auto stopping = stopped.get_future();
    std::thread stopper;
    monitor->setWhenReachable([&](Reachability& m) {
        stopper = std::thread([&m, &stopped] {
            m.stopNotifier();
            stopped.set_value();
        });
        stopping.wait();
    });
    EXPECT_NO_THROW(monitor->startNotifier());
    ASSERT_TRUE(stopper.joinable()) << "the start's fetch ran no closure";
    stopper.join();
    EXPECT_FALSE(monitor->notifierRunning());
    EXPECT_EQ(source->activeWatches(), 0u);
}

TEST_F(ReachabilityNotifier, FailedStartsLeaveTheNotifierStopped) {
    auto monitor = makeMonitor(&MainQueue::shared());
    source->failWatches(EMFILE);
    try {
        monitor->startNotifier();
        ADD_FAILURE() << "start succeeded";
    } catch (const ReachabilityError& error) {
        EXPECT_EQ(error.kind(), ReachabilityError::Kind::unableToSetDispatchQueue);
        EXPECT_EQ(error.scError(), EMFILE);
        EXPECT_EQ(std::string(error.what()),
                  "unableToSetDispatchQueue(" + std::to_string(EMFILE) + ")");
    }
    EXPECT_FALSE(monitor->notifierRunning());
    EXPECT_EQ(monitor->reachabilityRef()->description(), "<SCNetworkReachability fake>")
        << "the callback is removed again";

    source->failWatches(0);
    source->failFetches(EIO);
    try {
        monitor->startNotifier();
        ADD_FAILURE() << "start succeeded";
    } catch (const ReachabilityError& error) {
        EXPECT_EQ(error.kind(), ReachabilityError::Kind::unableToGetFlags);
        EXPECT_EQ(error.scError(), EIO);
    }
    EXPECT_FALSE(monitor->notifierRunning());
    EXPECT_EQ(source->activeWatches(), 0u);
    EXPECT_EQ(monitor->connection(), Connection::unavailable);

    source->failFetches(0);
    monitor->startNotifier();
    MainQueue::shared().drain();
    EXPECT_TRUE(monitor->notifierRunning());
    EXPECT_EQ(journal.seen(), (std::vector<std::string>{"reachable WiFi", "posted"}));
}

namespace {

// Its first fetch waits until released, then fails. Later fetches fail too,
// or report the network reachable; then the second one waits until no watch
// is left, which is once the failed start has removed the callback.
class StallingSource final : public ReachabilityFlagsSource {
public:
    explicit StallingSource(bool laterFetchesSucceed) : laterFetchesSucceed_(laterFetchesSucceed) {}

    SCNetworkReachabilityFlags currentFlags() override {
        const int fetch = fetches_.fetch_add(1);
        if (fetch == 0) {
            entered.set_value();
            release.get_future().wait();
        }
        if (fetch == 0 || !laterFetchesSucceed_) {
            throw std::system_error(EIO, std::system_category());
        }
        if (fetch == 1) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return handlers_.empty(); });
        }
        return reachable;
    }

    std::unique_ptr<Watch> watch(ChangeHandler handler) override {
        std::lock_guard lock(mutex_);
        const int id = ++watchesStarted_;
        handlers_.emplace(id, std::move(handler));
        changed_.notify_all();
        return std::make_unique<EndingWatch>(*this, id);
    }

    bool waitForWatchesStarted(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return watchesStarted_ >= count; });
    }

    // Reports a change to every live watch, as the routing table would.
    void fire(SCNetworkReachabilityFlags flags) {
        std::lock_guard lock(mutex_);
        for (auto& [id, handler] : handlers_) {
            handler(flags);
        }
    }

    std::promise<void> entered;
    std::promise<void> release;

private:
    class EndingWatch final : public Watch {
    public:
        EndingWatch(StallingSource& source, int id) : source_(source), id_(id) {}
        ~EndingWatch() override {
            std::lock_guard lock(source_.mutex_);
            source_.handlers_.erase(id_);
            source_.changed_.notify_all();
        }

    private:
        StallingSource& source_;
        const int id_;
    };

    const bool laterFetchesSucceed_;
    std::atomic<int> fetches_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, ChangeHandler> handlers_;
    int watchesStarted_ = 0;
};

} // namespace

TEST(ReachabilityStart, ASecondStartDuringAFailingFirstOneFailsToo) {
    auto source = std::make_shared<StallingSource>(false);
    auto monitor = Reachability::create(SCNetworkReachabilityCreateWithSource("stalling", source),
                                        DispatchQoS::defaultQoS, nullptr, nullptr);
    auto first = std::async(std::launch::async, [&] { monitor->startNotifier(); });
    source->entered.get_future().wait();
    EXPECT_FALSE(monitor->notifierRunning()) << "running only once the first fetch succeeded";
    auto second = std::async(std::launch::async, [&] { monitor->startNotifier(); });
    // Gives a start that wrongly returns at once the time to do so.
    second.wait_for(std::chrono::milliseconds(200));
    source->release.set_value();
    EXPECT_THROW(first.get(), ReachabilityError);
    EXPECT_THROW(second.get(), ReachabilityError);
    EXPECT_FALSE(monitor->notifierRunning());
    EXPECT_EQ(monitor->reachabilityRef()->description(), "<SCNetworkReachability stalling>");
}

// The first start's failure removes the callback the second one installed,
// while the second one's own fetch is under way and then succeeds.
TEST(ReachabilityStart, ASecondStartThatSucceedsAfterTheFirstFailedLeavesTheNotifierRunning) {
    auto source = std::make_shared<StallingSource>(true);
    auto monitor = Reachability::create(SCNetworkReachabilityCreateWithSource("stalling", source),
                                        DispatchQoS::defaultQoS, nullptr, nullptr);
    std::atomic<int> unreachableCalls{0};
    monitor->setWhenUnreachable([&](Reachability&) { ++unreachableCalls; });
    auto first = std::async(std::launch::async, [&] { monitor->startNotifier(); });
    source->entered.get_future().wait();
    auto second = std::async(std::launch::async, [&] { monitor->startNotifier(); });
    const bool secondInstalled = source->waitForWatchesStarted(2);
    source->release.set_value();
    EXPECT_TRUE(secondInstalled);
    EXPECT_THROW(first.get(), ReachabilityError);
    EXPECT_NO_THROW(second.get());
    EXPECT_TRUE(monitor->notifierRunning());
    EXPECT_EQ(monitor->reachabilityRef()->description(),
              "<SCNetworkReachability stalling> {-R -------}");

    source->fire(unreachable);
    monitor->reachabilitySerialQueue().sync([] {});
    EXPECT_EQ(unreachableCalls, 1) << "a change reaches the callback";
}

TEST(ReachabilityErrors, CreationAndCallbackFailuresCarryThePlatformCode) {
    auto orphan = Reachability::create(SCNetworkReachabilityRef{});
    try {
        orphan->startNotifier();
        ADD_FAILURE() << "start succeeded";
    } catch (const ReachabilityError& error) {
        EXPECT_EQ(error.kind(), ReachabilityError::Kind::unableToSetCallback);
        EXPECT_EQ(std::string(error.what()), "unableToSetCallback(1002)");
    }
    EXPECT_FALSE(orphan->notifierRunning());

    try {
        Reachability::create(std::string());
        ADD_FAILURE() << "created";
    } catch (const ReachabilityError& error) {
        EXPECT_EQ(error.kind(), ReachabilityError::Kind::failedToCreateWithHostname);
        EXPECT_EQ(error.hostname(), "");
        EXPECT_EQ(std::string(error.what()), "failedToCreateWithHostname(\"\", 1002)");
    }

    ScopedReachabilitySourceFactory failing([]() -> std::shared_ptr<ReachabilityFlagsSource> {
        throw std::system_error(ENETDOWN, std::system_category());
    });
    try {
        Reachability::create();
        ADD_FAILURE() << "created";
    } catch (const ReachabilityError& error) {
        EXPECT_EQ(error.kind(), ReachabilityError::Kind::failedToCreateWithAddress);
        EXPECT_EQ(error.scError(), ENETDOWN);
        EXPECT_EQ(std::string(error.what()),
                  "failedToCreateWithAddress(0.0.0.0:0, " + std::to_string(ENETDOWN) + ")");
    }
}

TEST(ReachabilityQueues, TheMonitorsOwnQueueIsAimedAtAGivenTargetQueue) {
    auto target = std::make_shared<SerialQueue>("test.reachability.target-queue");
    auto source = std::make_shared<FakeReachabilitySource>(reachable);
    auto monitor = Reachability::create(SCNetworkReachabilityCreateWithSource("fake", source),
                                        DispatchQoS::defaultQoS, target, nullptr);
    auto& own = monitor->reachabilitySerialQueue();
    EXPECT_NE(&own, target.get());
    EXPECT_EQ(own.label(), "com.davaror.Reachability");
    EXPECT_EQ(own.target(), target);
    std::atomic<bool> ranOnBoth{false};
    monitor->setWhenReachable(
        [&](Reachability&) { ranOnBoth = target->isCurrent() && own.isCurrent(); });
    monitor->startNotifier();
    EXPECT_TRUE(ranOnBoth);
}

TEST(ReachabilityQueues, BackgroundWorkRunsAtALowerPriority) {
    auto source = std::make_shared<FakeReachabilitySource>(reachable);
    auto monitor = Reachability::create(SCNetworkReachabilityCreateWithSource("fake", source),
                                        DispatchQoS::background, nullptr, nullptr);
    const int callerNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    int workerNice = callerNice;
    monitor->reachabilitySerialQueue().sync(
        [&] { workerNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); });
    EXPECT_EQ(workerNice, std::min(callerNice + 10, 19));
}

TEST(ReachabilityZeroAddress, WatchesTheSourceTheFactoryGives) {
    auto source = std::make_shared<FakeReachabilitySource>(unreachable);
    ScopedReachabilitySourceFactory fake([source] { return source; });
    auto monitor = Reachability::create();
    EXPECT_EQ(monitor->notificationQueue(), &MainQueue::shared());
    EXPECT_EQ(monitor->reachabilityRef()->description(), "<SCNetworkReachability 0.0.0.0>");
    EXPECT_EQ(monitor->connection(), Connection::unavailable);
    source->setFlags(reachable);
    monitor->startNotifier();
    EXPECT_EQ(monitor->connection(), Connection::wifi);
}
