// Facts of one process from the kernel's process record: id, name, parent, start time and
// whether a debugger traces it. Normal context only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/time.h>

class KOCrashProcessInfo {
public:
    static std::optional<KOCrashProcessInfo> currentProcessInfo();
    // Nothing when the kernel has no record of the process.
    static std::optional<KOCrashProcessInfo> initWithProcessID(std::int32_t processID);

    std::int32_t processID() const { return _processID; }
    // The valid UTF-8 prefix of the command name; nothing when that prefix is empty.
    const std::optional<std::string>& processName() const { return _processName; }
    std::int32_t parentProcessID() const { return _parentProcessID; }
    timeval startTime() const { return _startTime; }
    bool isTraced() const { return _traced; }

private:
    KOCrashProcessInfo() = default;

    std::int32_t _processID = 0;
    std::optional<std::string> _processName;
    std::int32_t _parentProcessID = 0;
    timeval _startTime{};
    bool _traced = false;
};
