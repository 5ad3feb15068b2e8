#include "DavaRor/AppLifeCycle/AppInstallOrUpdate.h"
#include "DavaRor/AppLifeCycle/AppLifeCycleState.h"
#include "DavaRor/AppLifeCycle/DI.h"
#include "platform/application/Application.h"
#include "platform/core/MainQueue.h"
#include "platform/core/PumpUntil.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using davaror::AppInstallOrUpdateCheck;
using davaror::ApplicationLifecyclePublisher;
using davaror::ApplicationScreenViewPublisher;
using davaror::AppLifecycleEvent;
using davaror::AppLifeCycleState;
using davaror::AppVersionInfo;
using davaror::storedAppVersion;

namespace DI = davaror::DI;

using nlohmann::json;

// The life-cycle rules wired to the process's publisher the way the
// integration wires them: posting finish launching, activate, activate,
// resign, activate on empty defaults gives exactly Installed, Opened,
// Backgrounded, Opened, each on the main queue.
TEST(LifecycleNotifications, DriveTheLifeCycleRulesThroughThePublisher) {
    testsupport::TemporaryDirectory temporary;
    platform::UserDefaults defaults(temporary.path() / "defaults.json");
    const AppVersionInfo current{"2.4.1", "241"};
    AppInstallOrUpdateCheck installOrUpdate;
    AppLifeCycleState state;
    std::mutex mutex;
    std::vector<json> captured;
    auto capture = [&](const std::optional<AppLifecycleEvent>& event) {
        std::lock_guard lock(mutex);
        if (event) {
            captured.push_back({event->event, event->properties});
        }
        EXPECT_TRUE(platform::MainQueue::shared().isCurrent());
    };
    auto count = [&] {
        std::lock_guard lock(mutex);
        return captured.size();
    };

    auto& publisher = DI::main().appLifecyclePublisher();
    ASSERT_EQ(&publisher, &ApplicationLifecyclePublisher::shared());
    auto launched = publisher.onDidFinishLaunching().subscribe(
        [&] { capture(installOrUpdate.run(true, current, defaults)); });
    auto active = publisher.onDidBecomeActive().subscribe(
        [&] { capture(state.appDidBecomeActive(true, current)); });
    auto background = publisher.onDidEnterBackground().subscribe(
        [&] { capture(state.appDidEnterBackground(true)); });

    auto& application = platform::Application::shared();
    application.finishLaunching();
    application.becomeActive();
    application.becomeActive();
    application.resignActive();
    application.becomeActive();
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return count() == 4; }));
    active.release();
    application.becomeActive();
    platform::MainQueue::shared().drain();

    EXPECT_EQ(captured, (std::vector<json>{
                            {"Application Installed", {{"version", "2.4.1"}, {"build", 241}}},
                            {"Application Opened",
                             {{"from_background", false}, {"version", "2.4.1"}, {"build", "241"}}},
                            {"Application Backgrounded", json::object()},
                            {"Application Opened", {{"from_background", true}}},
                        }));
    EXPECT_EQ(storedAppVersion(defaults).build, "241");
    EXPECT_EQ(&DI::main().screenViewPublisher(), &ApplicationScreenViewPublisher::shared());
}
