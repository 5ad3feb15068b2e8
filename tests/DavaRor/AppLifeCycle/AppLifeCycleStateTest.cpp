#include "DavaRor/AppLifeCycle/AppLifeCycleState.h"
#include "support/DavaRorLogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

using davaror::AppLifeCycleState;
using davaror::AppVersionInfo;

using nlohmann::json;

namespace {

const AppVersionInfo kCurrent{"2.4.1", "241"};

class AppLifeCycleStateTest : public ::testing::Test {
protected:
    AppLifeCycleState state;
    testsupport::DavaRorLogCapture log;
};

} // namespace

TEST_F(AppLifeCycleStateTest, OpenBackgroundOpenCarriesVersionAndBuildOnlyTheFirstTime) {
    auto opened = state.appDidBecomeActive(true, kCurrent);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->event, "Application Opened");
    EXPECT_EQ(opened->properties,
              (json{{"from_background", false}, {"version", "2.4.1"}, {"build", "241"}}))
        << "the build stays text in the open event";

    auto backgrounded = state.appDidEnterBackground(true);
    ASSERT_TRUE(backgrounded);
    EXPECT_EQ(backgrounded->event, "Application Backgrounded");
    EXPECT_EQ(backgrounded->properties, json::object());

    auto reopened = state.appDidBecomeActive(true, kCurrent);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->properties, (json{{"from_background", true}}));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(AppLifeCycleStateTest, RepeatedMomentsOnlyLog) {
    EXPECT_FALSE(state.appDidEnterBackground(true)) << "a new state is in the background";
    EXPECT_TRUE(state.appDidBecomeActive(true, kCurrent));
    EXPECT_FALSE(state.appDidBecomeActive(true, kCurrent));
    EXPECT_TRUE(state.appDidEnterBackground(true));
    EXPECT_FALSE(state.appDidEnterBackground(true));
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "[DavaRor] Skipping Application Backgrounded event - app already in background",
            "[DavaRor] Skipping Application Opened event - app already in foreground",
            "[DavaRor] Skipping Application Backgrounded event - app already in background"}));
}

TEST_F(AppLifeCycleStateTest, TheStateMovesWhileCapturingIsOffButTheFirstOpenWaits) {
    EXPECT_FALSE(state.appDidBecomeActive(false, kCurrent));
    EXPECT_FALSE(state.appDidBecomeActive(true, kCurrent)) << "already in the foreground";
    EXPECT_FALSE(state.appDidEnterBackground(false));
    EXPECT_FALSE(state.appDidEnterBackground(true)) << "already in the background";

    auto opened = state.appDidBecomeActive(true, {"2.4.1", std::nullopt});
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->properties, (json{{"from_background", false}, {"version", "2.4.1"}}))
        << "still the first captured open; a missing build is left out";
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "[DavaRor] Skipping Application Opened event - captureApplicationLifecycleEvents "
            "is disabled in configuration",
            "[DavaRor] Skipping Application Opened event - app already in foreground",
            "[DavaRor] Skipping Application Backgrounded event - "
            "captureApplicationLifecycleEvents is disabled in configuration",
            "[DavaRor] Skipping Application Backgrounded event - app already in background"}));
}

TEST(AppLifeCycleStateRace, ActivationsRacingFromManyThreadsOpenOnce) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 50; ++round) {
        AppLifeCycleState state;
        std::atomic<int> opened{0};
        std::atomic<int> fresh{0};
        std::barrier start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                start.arrive_and_wait();
                if (auto event = state.appDidBecomeActive(true, kCurrent)) {
                    ++opened;
                    fresh += event->properties["from_background"] == false;
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(opened, 1) << "round " << round;
        ASSERT_EQ(fresh, 1);
    }
}
