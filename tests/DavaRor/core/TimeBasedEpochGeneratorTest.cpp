#include "DavaRor/Utils/TimeBasedEpochGenerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using davaror::TimeBasedEpochGenerator;

namespace {

std::uint64_t millisecondsOf(const platform::UUID& id) {
    std::uint64_t value = 0;
    for (int i = 0; i < 6; ++i) {
        value = value << 8 | id.bytes()[i];
    }
    return value;
}

void expectVersionAndVariant(const platform::UUID& id) {
    EXPECT_EQ(id.bytes()[6] >> 4, 7);
    EXPECT_EQ(id.bytes()[8] >> 6, 2);
}

// Generates from `threads` threads at once and checks that every thread saw
// strictly increasing ids and that no id was handed out twice.
void expectUniqueAndIncreasing(TimeBasedEpochGenerator& generator, int threads, int perThread) {
    std::vector<std::vector<platform::UUID>> produced(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            auto& ids = produced[t];
            ids.reserve(perThread);
            for (int i = 0; i < perThread; ++i) {
                ids.push_back(generator.v7());
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    std::vector<platform::UUID> all;
    for (const auto& ids : produced) {
        for (std::size_t i = 1; i < ids.size(); ++i) {
            ASSERT_LT(ids[i - 1], ids[i]);
        }
        all.insert(all.end(), ids.begin(), ids.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    expectVersionAndVariant(all.front());
    expectVersionAndVariant(all.back());
}

} // namespace

TEST(TimeBasedEpochGenerator, IdsFromManyThreadsAreUniqueAndIncreasing) {
    expectUniqueAndIncreasing(TimeBasedEpochGenerator::shared(), 8, 100'000);
}

TEST(TimeBasedEpochGenerator, AClockSteppingBackDoesNotReorderIds) {
    // The clock jumps back by a second every 1000 readings.
    std::atomic<std::uint64_t> reading{0};
    TimeBasedEpochGenerator generator(
        [&] {
            auto n = reading++;
            return 1'700'000'000'000ull + n / 10 - (n / 1000) * 1000;
        },
        platform::secureRandomBytes);
    expectUniqueAndIncreasing(generator, 8, 100'000);
}

TEST(TimeBasedEpochGenerator, IdsKeepTheirTimestampAndIncreaseWithinOneMillisecond) {
    TimeBasedEpochGenerator generator(
        [] { return 0x0123456789ABull; },
        [](std::uint8_t* bytes, std::size_t n) { std::memset(bytes, 0, n); });
    auto first = generator.v7();
    auto second = generator.v7();
    EXPECT_EQ(millisecondsOf(first), 0x0123456789ABull);
    EXPECT_EQ(first.uuidString(), "01234567-89AB-7000-8000-000000000000");
    EXPECT_EQ(second.uuidString(), "01234567-89AB-7000-8000-000000000001");
}

TEST(TimeBasedEpochGenerator, CounterOverflowMovesToTheNextMillisecond) {
    // All-ones entropy leaves no room to count: the next id must move on to
    // the next millisecond instead of wrapping below the previous one.
    TimeBasedEpochGenerator generator(
        [] { return 1000ull; },
        [](std::uint8_t* bytes, std::size_t n) { std::memset(bytes, 0xFF, n); });
    auto first = generator.v7();
    auto second = generator.v7();
    EXPECT_EQ(millisecondsOf(first), 1000u);
    EXPECT_EQ(millisecondsOf(second), 1001u);
    EXPECT_LT(first, second);
    expectVersionAndVariant(second);
}
