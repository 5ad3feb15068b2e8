// Peak memory of delivering a queue of the largest events: 50 stored events
// just under the 8 MiB limit of one event (hard to compress, as text of
// random letters), flushed to a loopback receiver until none is left. The
// events are written by one process, received by another, and delivered by a
// third, whose peak resident size before and after the flushes is printed
// with the number of requests the queue took.
//   build/host/bench/davaror_flush_memory_bench
#include "../delivery/LoopbackSink.h"
#include "../delivery/ScratchFolder.h"

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/Utils/TimeBasedEpochGenerator.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorQueue.h"
#include "platform/core/PumpUntil.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>

namespace {

using namespace std::chrono_literals;

constexpr int eventCount = 50;
constexpr const char* apiKey = "bench-api-key";

long peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

int runInChild(const std::function<int()>& body) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const int status = body();
        std::fflush(stdout);
        _exit(status);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Stores the events through the queue, as captures would.
int storeLargestEvents(const DavaRorStorage& storage) {
    auto config = std::make_shared<DavaRorConfig>(apiKey, "http://127.0.0.1:9");
    config->flushAt = eventCount + 1;
    auto queue =
        std::make_shared<DavaRorQueue>(config, storage, std::make_shared<DavaRorApi>(config),
                                       DavaRorQueue::DavaRorApiEndpoint::batch, nullptr);
    std::mt19937 random(35);
    std::uniform_int_distribution<int> letter('a', 'z');
    for (int i = 0; i < eventCount; ++i) {
        std::string pad(maxUntrustedJsonBytes - 4096, ' ');
        for (char& c : pad) {
            c = static_cast<char>(letter(random));
        }
        queue->add(DavaRorEvent("large", "user", {{"pad", std::move(pad)}},
                                std::chrono::system_clock::now(),
                                davaror::TimeBasedEpochGenerator::shared().v7()));
    }
    return queue->depth() == eventCount ? 0 : 1;
}

// Keeps a receiver up in a process of its own until `stop` is closed, then has
// it print how many requests it answered. Returns its address.
std::string startReceiver(int& stop, pid_t& receiver) {
    int address[2];
    int stopPipe[2];
    if (pipe(address) != 0 || pipe(stopPipe) != 0) {
        return {};
    }
    receiver = fork();
    if (receiver == 0) {
        close(address[0]);
        close(stopPipe[1]);
        deliverybench::LoopbackSink sink;
        const std::string url = sink.baseUrl();
        [[maybe_unused]] auto written = write(address[1], url.data(), url.size());
        close(address[1]);
        char ignored;
        [[maybe_unused]] auto read = ::read(stopPipe[0], &ignored, 1);
        std::printf("%-34s %8llu\n", "requests received",
                    static_cast<unsigned long long>(sink.requestsServed()));
        std::fflush(stdout);
        _exit(0);
    }
    close(address[1]);
    close(stopPipe[0]);
    stop = stopPipe[1];
    std::string url;
    char buffer[256];
    for (ssize_t count; (count = ::read(address[0], buffer, sizeof buffer)) > 0;) {
        url.append(buffer, static_cast<std::size_t>(count));
    }
    close(address[0]);
    return url;
}

int deliver(const DavaRorStorage& storage, const std::string& host) {
    auto config = std::make_shared<DavaRorConfig>(apiKey, host);
    config->flushAt = eventCount + 1;
    auto queue =
        std::make_shared<DavaRorQueue>(config, storage, std::make_shared<DavaRorApi>(config),
                                       DavaRorQueue::DavaRorApiEndpoint::batch, nullptr);
    queue->start(true, true);
    const long before = peakResidentMiB();
    const auto start = std::chrono::steady_clock::now();
    const bool delivered = platform::pumpMainQueueUntil(
        [&] {
            queue->flush();
            return queue->depth() == 0;
        },
        600s);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%-34s %8ld MiB\n", "peak before the flushes", before);
    std::printf("%-34s %8ld MiB\n", "peak after the flushes", peakResidentMiB());
    std::printf("%-34s %8.1f s\n", "delivery took", took.count());
    std::printf("%-34s %8s\n", "every event delivered", delivered ? "yes" : "NO");
    return delivered ? 0 : 1;
}

} // namespace

int main() {
    deliverybench::ScratchFolder folder;
    const DavaRorStorage storage(apiKey, folder.path());
    std::printf("%d events of %zu bytes each, batches of at most %zu bytes\n", eventCount,
                maxUntrustedJsonBytes - 4096, DavaRorQueue::maxBatchBytes);
    if (runInChild([&] { return storeLargestEvents(storage); }) != 0) {
        std::fprintf(stderr, "could not store the events\n");
        return 1;
    }
    int stop = -1;
    pid_t receiver = -1;
    const std::string host = startReceiver(stop, receiver);
    if (host.empty()) {
        return 1;
    }
    const int delivered = runInChild([&] { return deliver(storage, host); });
    close(stop);
    waitpid(receiver, nullptr, 0);
    return delivered;
}
