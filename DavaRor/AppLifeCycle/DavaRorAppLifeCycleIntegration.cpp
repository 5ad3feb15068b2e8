#include "DavaRor/AppLifeCycle/DavaRorAppLifeCycleIntegration.h"

#include "DavaRor/AppLifeCycle/AppInstallOrUpdate.h"
#include "DavaRor/AppLifeCycle/AppLifeCycleInstallGuard.h"
#include "DavaRor/AppLifeCycle/AppVersionInfo.h"
#include "DavaRor/AppLifeCycle/DI.h"
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "platform/userdefaults/UserDefaults.h"

using davaror::AppInstallOrUpdateCheck;
using davaror::AppLifecycleEvent;
using davaror::currentAppVersion;

namespace DI = davaror::DI;

namespace {

// The client with its configuration, or none once it is gone or closed.
struct InstalledClient {
    std::shared_ptr<DavaRorSDK> davaRor;
    std::shared_ptr<DavaRorConfig> config;
};

std::optional<InstalledClient> installedClient(const DavaRorIntegrationOwnership& ownership) {
    auto davaRor = ownership.client();
    auto config = davaRor ? davaRor->config() : nullptr;
    if (!config) {
        return std::nullopt;
    }
    return InstalledClient{std::move(davaRor), std::move(config)};
}

void capture(DavaRorSDK& davaRor, const std::optional<AppLifecycleEvent>& event) {
    if (event) {
        davaRor.capture(event->event, event->properties);
    }
}

} // namespace

DavaRorAppLifeCycleIntegration::DavaRorAppLifeCycleIntegration()
    : ownership_(appLifeCycleIntegrationInstallGuard()) {}

void DavaRorAppLifeCycleIntegration::install(DavaRorSDK& davaRor) {
    ownership_.claim(davaRor);
    start();
    captureAppInstallOrUpdated();
}

void DavaRorAppLifeCycleIntegration::start() {
    auto& publisher = DI::main().appLifecyclePublisher();
    auto handler = [weak = weak_from_this()](void (DavaRorAppLifeCycleIntegration::*capture)()) {
        return [weak, capture] {
            if (auto self = weak.lock()) {
                ((*self).*capture)();
            }
        };
    };
    didFinishLaunchingToken_ = publisher.onDidFinishLaunching().subscribe(
        handler(&DavaRorAppLifeCycleIntegration::captureAppInstallOrUpdated));
    didBecomeActiveToken_ = publisher.onDidBecomeActive().subscribe(
        handler(&DavaRorAppLifeCycleIntegration::captureAppOpened));
    didEnterBackgroundToken_ = publisher.onDidEnterBackground().subscribe(
        handler(&DavaRorAppLifeCycleIntegration::captureAppBackgrounded));
}

void DavaRorAppLifeCycleIntegration::uninstall(DavaRorSDK& davaRor) {
    if (!ownership_.release(davaRor)) {
        return;
    }
    didFinishLaunchingToken_.release();
    didBecomeActiveToken_.release();
    didEnterBackgroundToken_.release();
}

void DavaRorAppLifeCycleIntegration::captureAppInstallOrUpdated() {
    auto client = installedClient(ownership_);
    if (!client) {
        return;
    }
    capture(*client->davaRor, AppInstallOrUpdateCheck::processWide().run(
                                  client->config->captureApplicationLifecycleEvents,
                                  currentAppVersion(), platform::UserDefaults::standard()));
}

void DavaRorAppLifeCycleIntegration::captureAppOpened() {
    auto client = installedClient(ownership_);
    if (!client) {
        return;
    }
    capture(*client->davaRor,
            state_.appDidBecomeActive(client->config->captureApplicationLifecycleEvents,
                                      currentAppVersion()));
}

void DavaRorAppLifeCycleIntegration::captureAppBackgrounded() {
    auto client = installedClient(ownership_);
    if (!client) {
        return;
    }
    capture(*client->davaRor,
            state_.appDidEnterBackground(client->config->captureApplicationLifecycleEvents));
}
