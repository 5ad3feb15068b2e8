// The main queue's thread runs until the main queue itself is destroyed at
// exit. Services that its tasks first use after it was made are destroyed
// before it, and must still work for it then. A use after destruction shows
// as a failed exit of this test under the address and thread sanitizers.
#include "platform/core/LogSink.h"
#include "platform/core/MainQueue.h"
#include "platform/core/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

std::atomic<bool> postedOnce{false};

// Runs on the main queue until the process ends, so it is running while the
// static objects are destroyed.
void postAndLogForever() {
    platform::NotificationCenter::defaultCenter().post({"tick", nullptr, nullptr});
    platform::log::writeLine("tick");
    postedOnce = true;
    platform::MainQueue::shared().async(postAndLogForever);
}

} // namespace

TEST(ExitOrder, NotificationsAndLogLinesFromTheMainQueueOutliveStaticDestruction) {
    auto& mainQueue = platform::MainQueue::shared();
    mainQueue.async([] {
        // Kept to the end of the process, so the lines are captured, not printed.
        static auto* const capture = new platform::log::ScopedCapture;
        (void)capture;
        postAndLogForever();
    });
    while (!postedOnce) {
        mainQueue.drain();
    }
    SUCCEED();
}
