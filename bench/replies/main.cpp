// Peak memory of the worst flags and remote-configuration replies: each reply
// is served from loopback to a fresh remote configuration in its own forked
// process, which reports its peak resident size before and after taking the
// reply in (the first includes the server's own copies of the reply).
//   build/host/bench/davaror_reply_memory_bench
#include "WorstReplies.h"

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/DavaRorStorageManager.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorRemoteConfig.h"
#include "platform/core/MainQueue.h"
#include "platform/core/PumpUntil.h"
#include "support/LoopbackHttpServer.h"
#include "support/TemporaryDirectory.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {

using namespace std::chrono_literals;
using testsupport::ScriptedReply;

long peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// True once the reply was taken in; peaks are printed either way.
bool takeIn(replybench::WorstReply reply) {
    const bool isFlags = reply.path == "/flags";
    testsupport::LoopbackHttpServer server;
    auto gate = std::make_shared<testsupport::ReplyGate>();
    server.enqueue(reply.path, ScriptedReply::respond(200, reply.body()).heldBy(gate));
    testsupport::TemporaryDirectory folder;
    auto config = std::make_shared<DavaRorConfig>("key", server.baseUrl());
    config->disableRemoteConfigForTesting = isFlags;
    config->preloadFeatureFlags = false;
    auto storage = std::make_shared<DavaRorStorage>("key", folder.path());
    config->storageManager = std::make_shared<DavaRorStorageManager>(storage);
    auto remote = DavaRorRemoteConfig::create(
        config, storage, std::make_shared<DavaRorApi>(config),
        [] { return nlohmann::json::object(); }, nullptr);
    std::atomic<bool> done = false;
    std::atomic<bool> taken = false;
    auto token = remote->onRemoteConfigLoaded.subscribe([&](const auto& document) {
        taken = document.has_value();
        done = true;
    });
    if (isFlags) {
        remote->reloadFeatureFlags([&](const auto& flags) {
            taken = flags.has_value();
            done = true;
        });
    }
    const long before = peakResidentMiB();
    gate->open();
    platform::pumpMainQueueUntil([&] { return done.load(); }, 120s);
    platform::MainQueue::shared().drain();
    if (isFlags) {
        remote->getFeatureFlagResult("big");
    }
    std::printf("%-40s %8ld MiB %8ld MiB  %s\n", reply.name.c_str(), before, peakResidentMiB(),
                taken ? "taken in" : "refused");
    return taken;
}

} // namespace

int main() {
    std::printf("%-40s %12s %12s\n", "reply", "peak before", "peak after");
    int failures = 0;
    for (auto& reply : replybench::worstReplies()) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            const bool taken = takeIn(std::move(reply));
            std::fflush(stdout);
            _exit(taken ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        failures += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    }
    return failures == 0 ? 0 : 1;
}
