#include "platform/reachability/SCNetworkReachability.h"
#include "platform/core/SerialQueue.h"
#include "platform/reachability/FakeReachabilitySource.h"
#include "platform/reachability/ReachabilitySourceFactory.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <mutex>
#include <system_error>
#include <vector>

using namespace platform;

namespace {

// What the installed callback saw, and where.
struct Recorder {
    std::mutex mutex;
    std::vector<SCNetworkReachabilityFlags> flags;
    std::vector<bool> onQueue;
    std::vector<SCNetworkReachability*> targets;
    SerialQueue* queue = nullptr;

    static void callout(const SCNetworkReachabilityRef& target, SCNetworkReachabilityFlags flags,
                        void* info) {
        auto* self = static_cast<Recorder*>(info);
        std::lock_guard lock(self->mutex);
        self->flags.push_back(flags);
        self->onQueue.push_back(self->queue != nullptr && self->queue->isCurrent());
        self->targets.push_back(target.get());
    }

    std::vector<SCNetworkReachabilityFlags> seen() {
        std::lock_guard lock(mutex);
        return flags;
    }
};

SCNetworkReachabilityContext contextFor(const std::shared_ptr<Recorder>& recorder) {
    SCNetworkReachabilityContext context;
    context.info = recorder;
    context.copyDescription = [](const void*) { return std::string("recorder"); };
    return context;
}

sockaddr_in zeroIPv4() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    return address;
}

class ReachabilityTarget : public testing::Test {
protected:
    std::shared_ptr<FakeReachabilitySource> source = std::make_shared<FakeReachabilitySource>();
    SCNetworkReachabilityRef target = SCNetworkReachabilityCreateWithSource("fake", source);
    SerialQueue queue{"test.reachability.target"};
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();

    void SetUp() override { recorder->queue = &queue; }

    void schedule() {
        const auto context = contextFor(recorder);
        ASSERT_TRUE(SCNetworkReachabilitySetCallback(target, &Recorder::callout, &context));
        ASSERT_TRUE(SCNetworkReachabilitySetDispatchQueue(target, &queue));
        EXPECT_EQ(SCError(), kSCStatusOK);
    }
};

} // namespace

TEST_F(ReachabilityTarget, DeliversEveryReportedChangeOnItsQueueWithTheContextInfo) {
    schedule();
    source->fireCallback(SCNetworkReachabilityFlags{});
    source->fireCallback(kSCNetworkReachabilityFlagsReachable);
    source->fireCallback(kSCNetworkReachabilityFlagsReachable);
    queue.sync([] {});
    EXPECT_EQ(recorder->seen(),
              (std::vector<SCNetworkReachabilityFlags>{SCNetworkReachabilityFlags{},
                                                       kSCNetworkReachabilityFlagsReachable,
                                                       kSCNetworkReachabilityFlagsReachable}));
    EXPECT_EQ(recorder->onQueue, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(recorder->targets.front(), target.get());
}

TEST_F(ReachabilityTarget, FailuresSetTheCallersError) {
    SCNetworkReachabilityFlags flags{};
    source->failFetches(EIO);
    EXPECT_FALSE(SCNetworkReachabilityGetFlags(target, &flags));
    EXPECT_EQ(SCError(), EIO);
    EXPECT_FALSE(SCNetworkReachabilityGetFlags(target, nullptr));
    EXPECT_EQ(SCError(), kSCStatusInvalidArgument);
    EXPECT_FALSE(SCNetworkReachabilitySetCallback(nullptr, &Recorder::callout, nullptr));
    EXPECT_EQ(SCError(), kSCStatusInvalidArgument);
}

TEST_F(ReachabilityTarget, AWatchThatCannotStartLeavesTheTargetUnscheduled) {
    const auto context = contextFor(recorder);
    ASSERT_TRUE(SCNetworkReachabilitySetCallback(target, &Recorder::callout, &context));
    source->failWatches(EMFILE);
    EXPECT_FALSE(SCNetworkReachabilitySetDispatchQueue(target, &queue));
    EXPECT_EQ(SCError(), EMFILE);
    EXPECT_EQ(source->activeWatches(), 0u);
}

TEST_F(ReachabilityTarget, NothingArrivesOnceUnscheduledEvenWhenAlreadyQueued) {
    schedule();
    std::promise<void> release;
    queue.async([gate = release.get_future().share()] { gate.wait(); });
    source->fireCallback(kSCNetworkReachabilityFlagsReachable); // queued behind the gate
    ASSERT_TRUE(SCNetworkReachabilitySetDispatchQueue(target, nullptr));
    EXPECT_EQ(source->activeWatches(), 0u);
    release.set_value();
    source->fireCallback(SCNetworkReachabilityFlags{});
    queue.sync([] {});
    EXPECT_TRUE(recorder->seen().empty());
}

TEST_F(ReachabilityTarget, RemovingTheCallbackReleasesTheContextAndStopsDelivery) {
    schedule();
    std::weak_ptr<Recorder> held = recorder;
    recorder.reset();
    EXPECT_FALSE(held.expired()) << "the installed callback keeps its context alive";
    EXPECT_EQ(target->description(), "<SCNetworkReachability fake> {recorder}");
    ASSERT_TRUE(SCNetworkReachabilitySetCallback(target, nullptr, nullptr));
    EXPECT_TRUE(held.expired());
    EXPECT_EQ(target->description(), "<SCNetworkReachability fake>");
    // A delivery now would reach the released recorder, which ASan reports.
    source->fireCallback(kSCNetworkReachabilityFlagsReachable);
    queue.sync([] {});
}

TEST_F(ReachabilityTarget, ReleasingAScheduledTargetEndsItsWatch) {
    schedule();
    EXPECT_EQ(source->activeWatches(), 1u);
    std::weak_ptr<SCNetworkReachability> weakTarget = target;
    std::promise<void> release;
    queue.async([gate = release.get_future().share()] { gate.wait(); });
    source->fireCallback(kSCNetworkReachabilityFlagsReachable); // queued behind the gate
    target.reset();
    EXPECT_TRUE(weakTarget.expired());
    EXPECT_EQ(source->activeWatches(), 0u);
    release.set_value();
    queue.sync([] {});
    EXPECT_TRUE(recorder->seen().empty()) << "a callback queued for a released target is dropped";
}

TEST(ReachabilityTargetCreation, AddressAndNameTargetsValidateTheirInput) {
    auto source = std::make_shared<FakeReachabilitySource>();
    ScopedReachabilitySourceFactory fake([source] { return source; });

    const auto ipv4 = zeroIPv4();
    auto zero = SCNetworkReachabilityCreateWithAddress(reinterpret_cast<const sockaddr*>(&ipv4));
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->description(), "<SCNetworkReachability 0.0.0.0>");

    sockaddr_in6 ipv6{};
    ipv6.sin6_family = AF_INET6;
    auto zero6 = SCNetworkReachabilityCreateWithAddress(reinterpret_cast<const sockaddr*>(&ipv6));
    ASSERT_TRUE(zero6);
    EXPECT_EQ(zero6->description(), "<SCNetworkReachability ::>");

    auto named = SCNetworkReachabilityCreateWithName("example.invalid");
    ASSERT_TRUE(named);
    EXPECT_EQ(named->description(), "<SCNetworkReachability example.invalid>");

    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    EXPECT_FALSE(SCNetworkReachabilityCreateWithAddress(reinterpret_cast<const sockaddr*>(&local)));
    EXPECT_EQ(SCError(), kSCStatusInvalidArgument);
    EXPECT_FALSE(SCNetworkReachabilityCreateWithAddress(nullptr));
    EXPECT_FALSE(SCNetworkReachabilityCreateWithName(""));
    EXPECT_FALSE(SCNetworkReachabilityCreateWithName(nullptr));
    EXPECT_FALSE(SCNetworkReachabilityCreateWithSource("none", nullptr));
    EXPECT_EQ(SCError(), kSCStatusInvalidArgument);

    source->setFlags(kSCNetworkReachabilityFlagsIsLocalAddress);
    SCNetworkReachabilityFlags flags{};
    ASSERT_TRUE(SCNetworkReachabilityGetFlags(named, &flags));
    EXPECT_EQ(flags, kSCNetworkReachabilityFlagsIsLocalAddress) << "built on the factory's source";
}

TEST(ReachabilityTargetCreation, AFailingSourceFailsTheCreationWithItsCode) {
    ScopedReachabilitySourceFactory failing([]() -> std::shared_ptr<ReachabilityFlagsSource> {
        throw std::system_error(ENETDOWN, std::system_category());
    });
    const auto ipv4 = zeroIPv4();
    EXPECT_FALSE(SCNetworkReachabilityCreateWithAddress(reinterpret_cast<const sockaddr*>(&ipv4)));
    EXPECT_EQ(SCError(), ENETDOWN);
    EXPECT_FALSE(SCNetworkReachabilityCreateWithName("example.invalid"));
    EXPECT_EQ(SCError(), ENETDOWN);
}
