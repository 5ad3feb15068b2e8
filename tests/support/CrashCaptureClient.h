// A client set up as an application with crash capture on would set it up, sending nowhere and
// starting no timers, for programs that measure or compare what the client changes around it.
#pragma once

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorage.h"
#include "platform/bundle/Bundle.h"

#include <memory>
#include <string>

namespace testsupport {

inline std::shared_ptr<DavaRorSDK> setUpCrashCaptureClient(const std::string& bundleIdentifier) {
    platform::Bundle::main().setBundleIdentifier(bundleIdentifier);
    auto config = std::make_shared<DavaRorConfig>("capture-key", "http://127.0.0.1:9");
    config->disableReachabilityForTesting = true;
    config->disableRemoteConfigForTesting = true;
    config->disableQueueTimerForTesting = true;
    config->preloadFeatureFlags = false;
    config->captureApplicationLifecycleEvents = false;
    config->errorTrackingConfig->setAutoCapture(true);
    DavaRorStorage(*config).setJson(DavaRorStorage::StorageKey::errorTracking,
                                    {{"autocaptureExceptions", true}});
    auto client = DavaRorSDK::create();
    client->setup(config);
    return client;
}

} // namespace testsupport
