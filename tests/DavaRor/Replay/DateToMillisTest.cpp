#include "DavaRor/Replay/DateToMillis.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <type_traits>

using namespace std::chrono;

TEST(DateToMillis, DropsTheFractionTowardZero) {
    const DavaRorDate epoch{};
    EXPECT_EQ(dateToMillis(epoch + microseconds(900)), 0);
    EXPECT_EQ(dateToMillis(epoch - microseconds(500)), 0) << "not floored to -1";
    EXPECT_EQ(dateToMillis(epoch + milliseconds(1500)), 1500);
    EXPECT_EQ(dateToMillis(epoch - microseconds(1999)), -1);
    EXPECT_EQ(dateToMillis(epoch + seconds(1'700'000'000) + nanoseconds(123'999'999)),
              1'700'000'000'123);
}

TEST(DateToMillis, IsExactAtTheEndsOfTheClock) {
    static_assert(std::is_same_v<DavaRorDate::duration, nanoseconds>);
    // A detour through seconds as a double would round these to a
    // neighbouring millisecond.
    const DavaRorDate latest{DavaRorDate::duration(std::numeric_limits<std::int64_t>::max())};
    EXPECT_EQ(dateToMillis(latest), std::numeric_limits<std::int64_t>::max() / 1'000'000);
    const DavaRorDate earliest{DavaRorDate::duration(std::numeric_limits<std::int64_t>::min())};
    EXPECT_EQ(dateToMillis(earliest), std::numeric_limits<std::int64_t>::min() / 1'000'000);
}
