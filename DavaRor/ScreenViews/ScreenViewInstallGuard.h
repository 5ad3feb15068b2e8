#pragma once

#include "DavaRor/Utils/DavaRorIntegrationInstallGuard.h"

// Allows one installed screen-view integration per process.
DavaRorIntegrationInstallGuard& screenViewIntegrationInstallGuard();
