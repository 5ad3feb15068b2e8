// Clients for integration tests: set up without reachability, queue timer or
// remote configuration, with a recorder of the events each one captures.
#pragma once

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// Points the client's files, the user defaults and the crash reports into `home`, so a test
// starts with nothing stored and shares no report with a test running beside it. Call before
// the first setup: the defaults' path is fixed at first use.
inline void useHome(const std::filesystem::path& home) {
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
}

// Nothing listens on port 9 of the loopback address, should a test flush.
inline std::shared_ptr<DavaRorConfig> quietConfig(std::string apiKey,
                                                  std::string host = "http://127.0.0.1:9") {
    auto config = std::make_shared<DavaRorConfig>(std::move(apiKey), std::move(host));
    config->disableReachabilityForTesting = true;
    config->disableQueueTimerForTesting = true;
    config->disableRemoteConfigForTesting = true;
    config->preloadFeatureFlags = false;
    return config;
}

// Records the events a client captures, on whatever thread it captures them.
class EventRecorder {
public:
    explicit EventRecorder(DavaRorSDK& client)
        : token_(client.onEventCaptured.subscribe([this](const DavaRorEvent& event) {
              std::lock_guard lock(mutex_);
              events_.push_back(event);
          })) {}

    std::vector<DavaRorEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

    std::vector<std::string> names() const {
        std::vector<std::string> names;
        for (const auto& event : events()) {
            names.push_back(event.event);
        }
        return names;
    }

private:
    mutable std::mutex mutex_;
    std::vector<DavaRorEvent> events_;
    RegistrationToken token_; // last, so it unsubscribes before the list goes
};

} // namespace testsupport
