// Builds one event, stores it the way the event queue keeps events (one JSON
// file per event, named by its version-7 UUID) and prints where it went.
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/DavaRorStorageManager.h"
#include "DavaRor/Models/DavaRorEvent.h"
#include "DavaRor/Utils/DavaRorFiles.h"
#include "DavaRor/Utils/TimeBasedEpochGenerator.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>

int main(int argc, char** argv) {
    const std::string apiKey = argc > 1 ? argv[1] : "example-api-key";
    DavaRorConfig config(apiKey);
    auto storage = std::make_shared<DavaRorStorage>(config);
    DavaRorStorageManager identity(storage);

    DavaRorEvent event("example_event", identity.getDistinctId(),
                       {{"source", "examples/capture"}, {"attempt", 1}},
                       std::chrono::system_clock::now(), TimeBasedEpochGenerator::shared().v7());

    auto folder = storage->url(DavaRorStorage::StorageKey::queue);
    std::filesystem::create_directories(folder);
    auto file = folder / event.uuid.uuidString();
    if (!writeFileAtomically(file, event.toJSON().dump())) {
        std::cerr << "could not write " << file << "\n";
        return 1;
    }
    std::cout << "stored " << event.event << " for " << event.distinctId << "\n"
              << "  file: " << file << "\n"
              << "  json: " << event.toJSON().dump() << "\n";
    return 0;
}
