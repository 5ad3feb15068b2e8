#include "DavaRor/AppLifeCycle/AppLifeCycleInstallGuard.h"

DavaRorIntegrationInstallGuard& appLifeCycleIntegrationInstallGuard() {
    static DavaRorIntegrationInstallGuard* const guard = new DavaRorIntegrationInstallGuard(
        "App life cycle integration already installed to another DavaRorSDK instance.",
        "DavaRor/DavaRorAppLifeCycleIntegration.cpp", 40);
    return *guard;
}
