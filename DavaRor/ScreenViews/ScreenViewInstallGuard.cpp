#include "DavaRor/ScreenViews/ScreenViewInstallGuard.h"

DavaRorIntegrationInstallGuard& screenViewIntegrationInstallGuard() {
    static DavaRorIntegrationInstallGuard* const guard = new DavaRorIntegrationInstallGuard(
        "Autocapture integration already installed to another DavaRorSDK instance.",
        "DavaRor/DavaRorScreenViewIntegration.cpp", 22);
    return *guard;
}
