// Peak memory of the worst flags and remote-configuration replies: each reply
// is served from loopback, by a process of its own, to a freshly set-up
// client in its own forked process, which reports its peak resident size
// before the reply comes, once it is taken in, after the application reads
// the flag through the public calls (getFeatureFlag, getFeatureFlagPayload,
// isFeatureEnabled, with the called flag reported), and after a partial
// answer of the same size is merged into the cache and the flag read again.
//   build/host/bench/davaror_reply_memory_bench
#include "WorstReplies.h"

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/Utils/DavaRorMulticastCallback.h"
#include "DavaRor/delivery/DavaRorRemoteConfig.h"
#include "platform/core/MainQueue.h"
#include "platform/core/PumpUntil.h"
#include "support/LoopbackHttpServer.h"
#include "support/TemporaryDirectory.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

using namespace std::chrono_literals;
using testsupport::ScriptedReply;

long peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// A partial answer: the service could not compute every flag, so the client
// merges this one into what it holds.
std::string partial(std::string flagsBody) {
    flagsBody.pop_back();
    return flagsBody + R"(,"errorsWhileComputingFlags":true})";
}

// Serves the reply (a flags reply twice, the second time as a partial
// answer) from a process of its own, so that only the client's memory is
// measured. Returns the server's process id and writes its port.
pid_t startServer(const replybench::WorstReply& reply, std::uint16_t& port) {
    int ports[2];
    int stop[2];
    if (pipe(ports) != 0 || pipe(stop) != 0) {
        return -1;
    }
    const pid_t server = fork();
    if (server == 0) {
        close(ports[0]);
        close(stop[1]);
        testsupport::LoopbackHttpServer loopback;
        loopback.enqueue(reply.path, ScriptedReply::respond(200, reply.body()));
        if (reply.path == "/flags") {
            loopback.enqueue(reply.path, ScriptedReply::respond(200, partial(reply.body())));
        }
        const std::uint16_t listening = loopback.port();
        [[maybe_unused]] auto written = write(ports[1], &listening, sizeof listening);
        char ignored;
        [[maybe_unused]] auto read = ::read(stop[0], &ignored, 1); // until the client is done
        _exit(0);
    }
    close(ports[1]);
    close(stop[0]);
    [[maybe_unused]] auto read = ::read(ports[0], &port, sizeof port);
    close(ports[0]);
    // The server ends when this end closes, with the client process.
    return server;
}

// Waits for one flags answer through the client's public reload.
bool reloadFlags(DavaRorSDK& client) {
    std::atomic<bool> done = false;
    std::atomic<bool> taken = false;
    client.reloadFeatureFlags([&](const auto& flags) {
        taken = flags.has_value();
        done = true;
    });
    platform::pumpMainQueueUntil([&] { return done.load(); }, 120s);
    platform::MainQueue::shared().drain();
    return taken;
}

void readThroughPublicCalls(DavaRorSDK& client) {
    client.getFeatureFlag("big");
    client.getFeatureFlagPayload("big");
    client.isFeatureEnabled("big");
}

// True once the reply was taken in; peaks are printed either way.
bool takeIn(const replybench::WorstReply& reply) {
    const bool isFlags = reply.path == "/flags";
    std::uint16_t port = 0;
    const pid_t server = startServer(reply, port);
    if (server < 0) {
        return false;
    }
    testsupport::TemporaryDirectory folder;
    setenv("XDG_DATA_HOME", folder.path().c_str(), 1);
    auto config =
        std::make_shared<DavaRorConfig>("key", "http://127.0.0.1:" + std::to_string(port));
    config->disableReachabilityForTesting = true;
    config->disableQueueTimerForTesting = true;
    config->disableRemoteConfigForTesting = isFlags;
    config->preloadFeatureFlags = false;
    config->captureApplicationLifecycleEvents = false;
    auto client = DavaRorSDK::create();
    std::atomic<bool> fetched = false;
    bool taken = false;
    RegistrationToken token;
    long before = peakResidentMiB();
    client->setup(config);
    if (isFlags) {
        before = peakResidentMiB();
        taken = reloadFlags(*client);
    } else {
        token = client->remoteConfig()->onRemoteConfigLoaded.subscribe([&](const auto& document) {
            taken = document.has_value();
            fetched = true;
        });
        platform::pumpMainQueueUntil([&] { return fetched.load(); }, 120s);
        platform::MainQueue::shared().drain();
    }
    const long takenIn = peakResidentMiB();
    long read = takenIn;
    long merged = takenIn;
    if (isFlags && taken) {
        readThroughPublicCalls(*client);
        read = peakResidentMiB();
        taken = reloadFlags(*client);
        readThroughPublicCalls(*client);
        merged = peakResidentMiB();
    }
    client->close();
    std::printf("%-40s %8ld MiB %8ld MiB %8ld MiB %8ld MiB  %s\n", reply.name.c_str(), before,
                takenIn, read, merged, taken ? "taken in" : "refused");
    return taken;
}

} // namespace

int main() {
    std::printf("%-40s %12s %12s %12s %12s\n", "reply", "peak before", "taken in", "read",
                "merged");
    int failures = 0;
    for (auto& reply : replybench::worstReplies()) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            const bool taken = takeIn(reply);
            std::fflush(stdout);
            _exit(taken ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        failures += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    }
    return failures == 0 ? 0 : 1;
}
