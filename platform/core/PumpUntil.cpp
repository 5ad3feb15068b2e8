#include "platform/core/PumpUntil.h"

#include "platform/core/MainQueue.h"

#include <thread>

namespace platform {

bool pumpMainQueueUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        MainQueue::shared().drain();
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace platform
