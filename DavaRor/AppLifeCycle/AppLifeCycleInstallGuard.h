#pragma once

#include "DavaRor/Utils/DavaRorIntegrationInstallGuard.h"

// Allows one installed life-cycle integration per process.
DavaRorIntegrationInstallGuard& appLifeCycleIntegrationInstallGuard();
