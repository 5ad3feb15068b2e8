// An application with error tracking on that crashes when told to. Every run sets the client
// up against the given host, prints its distinct id and where its crashing function lies,
// then crashes (segv: a store to address 0x10; throw: an uncaught std::runtime_error; with an
// "oom-" prefix, the same once the address space is used up, which throws std::bad_alloc) or
// sends what it has, waits until it was delivered, and exits (run). The next run after a crash
// sends the crash as a "$exception" event. The library version is part of every event's context, so
// the event tells which run crashed. Usage: davaror-crash <ingestion host>
// <segv|throw|oom-segv|oom-throw|run> [library version]
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorSdkInfo.h"
#include "DavaRor/delivery/DavaRorQueue.h"
#include "platform/bundle/Bundle.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string_view>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

extern "C" __attribute__((noinline)) void davaror_store_through(volatile int* address) {
    *address = 1;
}

namespace {

void* volatile keptAllocation = nullptr;

// No address space beyond what the process holds now.
void exhaustAddressSpace() {
    std::size_t pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%zu", &pages) != 1) {
        std::exit(3);
    }
    std::fclose(statm);
    const rlim_t inUse = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    const rlimit limit{inUse, inUse};
    setrlimit(RLIMIT_AS, &limit);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: %s <ingestion host> <segv|throw|oom-segv|oom-throw|run> [library version]\n",
            argv[0]);
        return 2;
    }
    const std::string_view mode = argv[2];
    davaRorLogEnabled = true;
    // The bundle identifier names the crash reporter's folder, the same at every run.
    platform::Bundle::main().setBundleIdentifier("com.example.davaror-crash");
    if (argc > 3) {
        davaRorVersion = argv[3];
    }

    auto config = std::make_shared<DavaRorConfig>("crash-key", argv[1]);
    config->disableReachabilityForTesting = true;
    config->disableRemoteConfigForTesting = true;
    config->preloadFeatureFlags = false;
    config->captureApplicationLifecycleEvents = false;
    config->captureScreenViews = false;
    config->errorTrackingConfig->setAutoCapture(true);
    // The service's remote configuration allows error tracking; stored as a fetch stores it, so
    // that it applies from this run on.
    DavaRorStorage(*config).setJson(DavaRorStorage::StorageKey::errorTracking,
                                    {{"autocaptureExceptions", true}});
    auto client = DavaRorSDK::create();
    client->setup(config);
    std::printf("distinct id %s\ncrashing function %p\n", client->getDistinctId().c_str(),
                reinterpret_cast<void*>(&davaror_store_through));
    std::fflush(stdout);

    if (mode.starts_with("oom-")) {
        exhaustAddressSpace();
    }
    if (mode == "segv" || mode == "oom-segv") {
        davaror_store_through(reinterpret_cast<volatile int*>(0x10));
    } else if (mode == "throw") {
        throw std::runtime_error("disk full");
    } else if (mode == "oom-throw") {
        keptAllocation = ::operator new (std::size_t{1} << 30);
    }
    client->flush();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (client->queue()->depth() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        client->flush();
    }
    const int left = client->queue()->depth();
    client->close();
    return left == 0 ? 0 : 1;
}
