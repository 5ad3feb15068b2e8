#pragma once

#include <chrono>
#include <functional>

namespace platform {

// Lets the main queue run until `condition` holds or `timeout` passes; true
// when the condition held. For tests, which must not sleep a fixed time.
bool pumpMainQueueUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace platform
