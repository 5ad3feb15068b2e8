// A remote configuration over a real storage folder, talking to a loopback
// server that serves "/array/key/config" and "/flags?v=2".
#pragma once

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/DavaRorStorageManager.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorRemoteConfig.h"
#include "platform/core/LogSink.h"
#include "platform/core/MainQueue.h"
#include "platform/core/PumpUntil.h"
#include "support/LoopbackHttpServer.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using nlohmann::json;
using testsupport::ScriptedReply;
using Key = DavaRorStorage::StorageKey;
using namespace std::chrono_literals;

inline constexpr const char* configPath = "/array/key/config";
inline constexpr const char* flagsPath = "/flags";

// Everything a group of callbacks or observers was given, safe to wait on.
class Received {
public:
    void add(std::optional<json> value) {
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
    }
    DavaRorRemoteConfig::FeatureFlagsCallback callback() {
        return [this](const std::optional<json>& value) { add(value); };
    }
    // Waits on the main queue too, which delivers observers.
    bool waitFor(std::size_t count) {
        return platform::pumpMainQueueUntil([&] { return size() >= count; }, 20s);
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return values_.size();
    }
    std::vector<std::optional<json>> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::optional<json>> values_;
};

class RemoteConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        davaRorLogEnabled = true;
        config->storageManager = identity;
    }
    void TearDown() override {
        // Observer deliveries already queued finish before the recorders go.
        platform::MainQueue::shared().drain();
        davaRorLogEnabled = false;
    }

    std::shared_ptr<DavaRorRemoteConfig>
    start(DavaRorRemoteConfig::FeatureFlagCalledCallback called = nullptr) {
        return DavaRorRemoteConfig::create(
            config, storage, api, [this] { return defaultPersonProperties; }, std::move(called));
    }

    // Starts with the configuration document held back until the observers
    // below are subscribed, so none of their calls is missed.
    std::shared_ptr<DavaRorRemoteConfig> startObserved(ScriptedReply document) {
        auto gate = std::make_shared<testsupport::ReplyGate>();
        server.enqueue(configPath, document.heldBy(gate));
        auto remote = start();
        tokens.push_back(remote->onRemoteConfigLoaded.subscribe(
            [this](const std::optional<json>& value) { documents.add(value); }));
        tokens.push_back(remote->onFeatureFlagsLoaded.subscribe(
            [this](const std::optional<json>& value) { flagsLoaded.add(value); }));
        gate->open();
        return remote;
    }

    // Reloads and waits for the callback; the callback's value.
    std::optional<json> reload(DavaRorRemoteConfig& remote) {
        Received received;
        remote.reloadFeatureFlags(received.callback());
        EXPECT_TRUE(received.waitFor(1));
        return received.size() > 0 ? received.values().front() : std::nullopt;
    }

    std::optional<json> stored(Key key) const { return storage->getJson(key); }
    bool storedFileExists(Key key) const { return std::filesystem::exists(storage->url(key)); }

    std::vector<json> flagsRequestBodies() const {
        std::vector<json> bodies;
        for (const auto& request : server.requests()) {
            if (request.path() == flagsPath) {
                bodies.push_back(json::parse(request.body));
            }
        }
        return bodies;
    }

    static ScriptedReply answer(const json& body) {
        return ScriptedReply::respond(200, body.dump());
    }

    platform::log::ScopedCapture log;
    testsupport::LoopbackHttpServer server;
    testsupport::TemporaryDirectory folder;
    std::shared_ptr<DavaRorConfig> config =
        std::make_shared<DavaRorConfig>("key", server.baseUrl());
    std::shared_ptr<DavaRorStorage> storage =
        std::make_shared<DavaRorStorage>("key", folder.path());
    std::shared_ptr<DavaRorStorageManager> identity =
        std::make_shared<DavaRorStorageManager>(storage);
    std::shared_ptr<DavaRorApi> api = std::make_shared<DavaRorApi>(config);
    json defaultPersonProperties = json::object();
    Received documents;
    Received flagsLoaded;
    std::vector<RegistrationToken> tokens;
};
