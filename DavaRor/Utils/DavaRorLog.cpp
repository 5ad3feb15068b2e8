#include "DavaRor/Utils/DavaRorLog.h"

#include "platform/core/LogSink.h"

#include <string>

std::atomic<bool> davaror::davaRorLogEnabled{false};

void davaror::davaRorLog(std::string_view message) noexcept {
    if (!davaRorLogEnabled.load(std::memory_order_relaxed)) {
        return;
    }
    try {
        std::string line = "[DavaRor] ";
        line.append(message);
        platform::log::writeLine(line);
    } catch (...) {
        // Logging must never take the caller down.
    }
}
