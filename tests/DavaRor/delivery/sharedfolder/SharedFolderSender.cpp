// One process of the shared-folder tests: an application whose event queue
// lives in a storage folder that another process uses too.
// Arguments: host, storage folder, first index, count, channel descriptor.
// It stores the events [first, first + count), writes one byte on the
// channel, waits for one byte back, then flushes until it is killed.
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Utils/TimeBasedEpochGenerator.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorQueue.h"

#include <unistd.h>

#include <string>
#include <thread>

using davaror::TimeBasedEpochGenerator;

int main(int argc, char** argv) {
    if (argc != 6) {
        return 2;
    }
    ::alarm(60);
    const int first = std::stoi(argv[3]);
    const int count = std::stoi(argv[4]);
    const int channel = std::stoi(argv[5]);
    auto config = std::make_shared<DavaRorConfig>("key", argv[1]);
    config->flushAt = 1000;
    config->maxBatchSize = 10;
    DavaRorStorage storage("key", argv[2]);
    auto queue =
        std::make_shared<DavaRorQueue>(config, storage, std::make_shared<DavaRorApi>(config),
                                       DavaRorQueue::DavaRorApiEndpoint::batch, nullptr);
    queue->start(true, true);
    for (int index = first; index < first + count; ++index) {
        queue->add(DavaRorEvent("shared", "user", {{"index", index}},
                                std::chrono::system_clock::now(),
                                TimeBasedEpochGenerator::shared().v7()));
    }
    char go;
    if (::write(channel, "s", 1) != 1 || ::read(channel, &go, 1) != 1) {
        return 3;
    }
    for (;;) {
        queue->flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
