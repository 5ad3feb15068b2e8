// Sets the analytics client up against an ingestion host the way an
// application does at launch, captures a few events from several threads
// while the application is active, then resigns active, flushes, and waits
// until the event queue's folder is empty, i.e. every event was delivered.
// The application's launch and activation give the life-cycle events:
// "Application Installed" on the first run with a fresh user-defaults
// folder, "Application Opened" and "Application Backgrounded".
// Usage: davaror-capture <ingestion host, e.g. http://127.0.0.1:8080> [api key]
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/delivery/DavaRorQueue.h"
#include "platform/application/Application.h"
#include "platform/bundle/Bundle.h"
#include "platform/core/MainQueue.h"

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: " << argv[0] << " <ingestion host> [api key]\n";
        return 2;
    }
    davaRorLogEnabled = true;
    // Linux executables carry no information dictionary. Without a build
    // every launch would look like an install; the identifier also names
    // the user-defaults file.
    auto& bundle = platform::Bundle::main();
    bundle.setBundleIdentifier("com.example.davaror-capture");
    bundle.setShortVersionString("1.0.0");
    bundle.setVersion("1");

    auto config = std::make_shared<DavaRorConfig>(argc > 2 ? argv[2] : "example-api-key", argv[1]);
    config->flushAt = 10;
    config->disableRemoteConfigForTesting = true;
    config->preloadFeatureFlags = false;
    config->captureApplicationLifecycleEvents = true;

    auto client = DavaRorSDK::shared();
    client->setup(config);
    auto& application = platform::Application::shared();
    application.finishLaunching();
    application.becomeActive();

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&client, t] {
            for (int i = 0; i < 5; ++i) {
                client->capture("example_event", {{"thread", t}, {"index", i}});
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    application.resignActive();
    // The notifications are handled on the main queue.
    platform::MainQueue::shared().drain();
    client->flush();

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (client->queue()->depth() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        client->flush();
    }
    const int left = client->queue()->depth();
    client->close();
    std::cout << (left == 0 ? "all events delivered"
                            : "events left on disk: " + std::to_string(left))
              << std::endl;
    return left == 0 ? 0 : 1;
}
