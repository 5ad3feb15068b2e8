#include "DavaRor/AppLifeCycle/AppLifeCycleInstallGuard.h"
#include "DavaRor/ScreenViews/ScreenViewInstallGuard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string refusalOfSecondClaim(DavaRorIntegrationInstallGuard& guard) {
    try {
        guard.claim();
    } catch (const InternalDavaRorError& error) {
        return error.description();
    }
    return "";
}

} // namespace

TEST(IntegrationInstallGuard, ASecondInstallIsRefusedWithTheIntegrationsOwnText) {
    auto& lifeCycle = appLifeCycleIntegrationInstallGuard();
    auto& screenViews = screenViewIntegrationInstallGuard();
    lifeCycle.claim();
    screenViews.claim();
    EXPECT_EQ(refusalOfSecondClaim(lifeCycle),
              "App life cycle integration already installed to another DavaRorSDK instance. "
              "(DavaRor/DavaRorAppLifeCycleIntegration.cpp:40)");
    EXPECT_EQ(refusalOfSecondClaim(screenViews),
              "Autocapture integration already installed to another DavaRorSDK instance. "
              "(DavaRor/DavaRorScreenViewIntegration.cpp:22)");

    lifeCycle.release();
    EXPECT_NO_THROW(lifeCycle.claim()) << "released, the type can be installed again";
    EXPECT_THROW(screenViews.claim(), InternalDavaRorError) << "each type has its own flag";
    lifeCycle.release();
    screenViews.release();
}
