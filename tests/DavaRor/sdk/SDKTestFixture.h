// A client set up against a scripted loopback server, its files in a fresh
// data folder and its log captured.
#pragma once

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/delivery/DavaRorQueue.h"
#include "platform/core/LogSink.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/PumpUntil.h"
#include "support/Gunzip.h"
#include "support/LoopbackHttpServer.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::ScriptedReply;

class SDKTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The client keeps its files under the XDG data folder.
        setenv("XDG_DATA_HOME", data.path().c_str(), 1);
        davaRorLogEnabled = true;
        config->disableReachabilityForTesting = true;
        config->disableQueueTimerForTesting = true;
        config->disableRemoteConfigForTesting = true;
        config->preloadFeatureFlags = false;
        // These cases count the events they capture themselves.
        config->captureApplicationLifecycleEvents = false;
    }
    void TearDown() override {
        client->close();
        davaRorLogEnabled = false;
    }

    std::vector<json> receivedBatches() {
        std::vector<json> batches;
        for (const auto& request : server.requests()) {
            batches.push_back(json::parse(gunzip(request.body)));
        }
        return batches;
    }

    std::filesystem::path queueFolder() const {
        return DavaRorStorage("key", data.path() / "davaror")
            .url(DavaRorStorage::StorageKey::queue);
    }

    platform::log::ScopedCapture log;
    testsupport::LoopbackHttpServer server;
    testsupport::TemporaryDirectory data;
    std::shared_ptr<DavaRorConfig> config =
        std::make_shared<DavaRorConfig>("key", server.baseUrl());
    std::shared_ptr<DavaRorSDK> client = DavaRorSDK::create();
};
