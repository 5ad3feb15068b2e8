#include "DavaRor/ScreenViews/DavaRorScreenViewIntegration.h"

#include "DavaRor/AppLifeCycle/DI.h"
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/ScreenViews/ScreenViewInstallGuard.h"
#include "DavaRor/Utils/DavaRorLog.h"

namespace DI = davaror::DI;

DavaRorScreenViewIntegration::DavaRorScreenViewIntegration()
    : ownership_(screenViewIntegrationInstallGuard()) {}

void DavaRorScreenViewIntegration::install(DavaRorSDK& davaRor) {
    ownership_.claim(davaRor);
    start();
}

void DavaRorScreenViewIntegration::start() {
    screenViewToken_ = DI::main().screenViewPublisher().onScreenView().subscribe(
        [weak = weak_from_this()](const std::string& screen) {
            if (auto self = weak.lock()) {
                self->captureScreenView(screen);
            }
        });
}

void DavaRorScreenViewIntegration::uninstall(DavaRorSDK& davaRor) {
    if (ownership_.release(davaRor)) {
        screenViewToken_.release();
    }
}

void DavaRorScreenViewIntegration::captureScreenView(const std::string& screen) {
    auto davaRor = ownership_.client();
    auto config = davaRor ? davaRor->config() : nullptr;
    if (!config) {
        return;
    }
    if (!config->captureScreenViews) {
        davaRorLog("Skipping $screen event - captureScreenViews is disabled in configuration");
        return;
    }
    davaRor->screen(screen);
}
