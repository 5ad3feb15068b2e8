#include "SampleEvents.h"

#include "BenchmarkNames.h"
#include "ScratchFolder.h"

#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/Utils/DavaRorDates.h"
#include "DavaRor/Utils/DavaRorJSON.h"
#include "DavaRor/Utils/TimeBasedEpochGenerator.h"

#include <climits>
#include <cstdlib>
#include <optional>
#include <stdexcept>

using davaror::TimeBasedEpochGenerator;

namespace deliverybench {

namespace {

DavaRorEvent captureOneTap() {
    ScratchFolder data;
    ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    auto client = DavaRorSDK::create();
    client->setup(captureOnlyConfig(neverContactedHost));
    std::optional<DavaRorEvent> captured;
    {
        auto token =
            client->onEventCaptured.subscribe([&](const DavaRorEvent& event) { captured = event; });
        client->capture("button_tapped", {{"button", "checkout"}, {"screen", "cart"}});
    }
    client->close();
    if (!captured) {
        throw std::runtime_error("the client captured no sample event");
    }
    return *captured;
}

} // namespace

std::shared_ptr<DavaRorConfig> captureOnlyConfig(const std::string& host) {
    auto config = std::make_shared<DavaRorConfig>(benchApiKey, host);
    config->flushAt = INT_MAX;
    config->maxQueueSize = INT_MAX;
    config->disableReachabilityForTesting = true;
    config->disableQueueTimerForTesting = true;
    config->disableRemoteConfigForTesting = true;
    config->preloadFeatureFlags = false;
    return config;
}

const DavaRorEvent& sampleEvent() {
    static const DavaRorEvent event = captureOneTap();
    return event;
}

const std::string& sampleEventBytes() {
    static const std::string bytes = toJSONData(sampleEvent().toJSON()).value();
    return bytes;
}

const std::vector<DavaRorEvent>& sampleBatch() {
    static const std::vector<DavaRorEvent> batch = [] {
        std::vector<DavaRorEvent> events;
        for (int index = 0; index < flushBatchSize; ++index) {
            DavaRorEvent event = sampleEvent();
            event.uuid = TimeBasedEpochGenerator::shared().v7();
            event.properties["index"] = index;
            events.push_back(std::move(event));
        }
        return events;
    }();
    return batch;
}

std::string batchBody(const std::vector<DavaRorEvent>& events) {
    nlohmann::json batch = nlohmann::json::array();
    for (const auto& event : events) {
        batch.push_back(event.toJSON());
    }
    const nlohmann::json body = {
        {"api_key", benchApiKey},
        {"batch", std::move(batch)},
        {"sent_at", toISO8601String(std::chrono::system_clock::now())},
    };
    return toJSONData(body).value();
}

} // namespace deliverybench
