#pragma once

#include "platform/core/ForkSafeMutex.h"
#include "platform/core/UUID.h"

#include <cstdint>
#include <functional>
#include <mutex>

namespace davaror {

// Makes version-7 UUIDs: 48 bits of Unix time in milliseconds, then 74 free
// bits (around the version and variant bits) that count up within one
// millisecond and are refilled from the secure random source in a new one.
// Ids from one generator are strictly increasing, also when the clock steps
// back: the last millisecond is reused until the clock passes it, and a
// counter overflow moves on to the next millisecond.
class TimeBasedEpochGenerator {
public:
    using MillisecondClock = std::function<std::uint64_t()>;
    using RandomSource = std::function<void(std::uint8_t*, std::size_t)>;

    TimeBasedEpochGenerator();
    TimeBasedEpochGenerator(MillisecondClock clock, RandomSource random);

    static TimeBasedEpochGenerator& shared();

    platform::UUID v7();

private:
    void refill();

    MillisecondClock clock_;
    RandomSource random_;
    platform::ForkSafeMutex lock_;
    std::uint64_t lastMillisecond_ = 0;
    std::uint16_t counterHigh_ = 0; // 12 bits beside the version
    std::uint64_t counterLow_ = 0;  // 62 bits beside the variant
};

} // namespace davaror
