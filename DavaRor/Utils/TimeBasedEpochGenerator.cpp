#include "DavaRor/Utils/TimeBasedEpochGenerator.h"

#include <chrono>

namespace davaror {

namespace {
constexpr std::uint16_t highMask = 0x0FFF;
constexpr std::uint64_t lowMask = (std::uint64_t{1} << 62) - 1;

std::uint64_t systemMilliseconds() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}
} // namespace

TimeBasedEpochGenerator::TimeBasedEpochGenerator()
    : TimeBasedEpochGenerator(systemMilliseconds, platform::secureRandomBytes) {}

TimeBasedEpochGenerator::TimeBasedEpochGenerator(MillisecondClock clock, RandomSource random)
    : clock_(std::move(clock)), random_(std::move(random)) {}

TimeBasedEpochGenerator& TimeBasedEpochGenerator::shared() {
    static TimeBasedEpochGenerator generator;
    return generator;
}

void TimeBasedEpochGenerator::refill() {
    std::uint8_t entropy[10];
    random_(entropy, sizeof entropy);
    counterHigh_ = static_cast<std::uint16_t>((entropy[0] << 8 | entropy[1]) & highMask);
    counterLow_ = 0;
    for (int i = 2; i < 10; ++i) {
        counterLow_ = counterLow_ << 8 | entropy[i];
    }
    counterLow_ &= lowMask;
}

platform::UUID TimeBasedEpochGenerator::v7() {
    std::lock_guard guard(lock_);
    const std::uint64_t now = clock_();
    if (now > lastMillisecond_) {
        lastMillisecond_ = now;
        refill();
    } else if (counterLow_ < lowMask) {
        ++counterLow_;
    } else if (counterHigh_ < highMask) {
        counterLow_ = 0;
        ++counterHigh_;
    } else {
        ++lastMillisecond_;
        refill();
    }

    platform::UUID::Bytes bytes{};
    for (int i = 0; i < 6; ++i) {
        bytes[i] = static_cast<std::uint8_t>(lastMillisecond_ >> (40 - 8 * i));
    }
    bytes[6] = static_cast<std::uint8_t>(0x70 | counterHigh_ >> 8);
    bytes[7] = static_cast<std::uint8_t>(counterHigh_);
    bytes[8] = static_cast<std::uint8_t>(0x80 | counterLow_ >> 56);
    for (int i = 9; i < 16; ++i) {
        bytes[i] = static_cast<std::uint8_t>(counterLow_ >> (8 * (15 - i)));
    }
    return platform::UUID(bytes);
}

} // namespace davaror
