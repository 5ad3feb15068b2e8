// Address arithmetic and task reads over real memory, with both byte orders.
#include "async/KOCrashAsync.h"

#include "GuardedPages.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using platform::mach::mach_task_self;

namespace {

constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();

std::uint64_t addressOf(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

} // namespace

TEST(KOCrashAsyncAddress, OffsetsThatLeaveTheAddressSpaceAreRefused) {
    std::uint64_t result = 77;
    EXPECT_FALSE(kocrash_async_address_apply_offset(kTop - 15, 32, &result));
    EXPECT_FALSE(kocrash_async_address_apply_offset(16, -32, &result));
    EXPECT_FALSE(
        kocrash_async_address_apply_offset(16, std::numeric_limits<std::int64_t>::min(), &result));
    EXPECT_EQ(result, 77u) << "a refused offset stores nothing";

    EXPECT_TRUE(kocrash_async_address_apply_offset(16, -16, &result));
    EXPECT_EQ(result, 0u);
    EXPECT_TRUE(kocrash_async_address_apply_offset(kTop - 15, 15, &result));
    EXPECT_EQ(result, kTop);
    EXPECT_TRUE(kocrash_async_address_apply_offset(0x1000, 0x234, nullptr));
}

TEST(KOCrashAsyncTaskRead, ReadsRealMemoryAndReportsBadAddressesByCode) {
    GuardedPages pages;
    std::uint8_t buffer[8] = {};
    ASSERT_EQ(
        kocrash_async_task_memcpy(mach_task_self(), addressOf(pages.readable()), 10, buffer, 8),
        0u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(buffer[i], GuardedPages::patternByte(10 + i));
    }
    EXPECT_EQ(kocrash_async_task_memcpy(mach_task_self(), 0, 0, buffer, 8), KOCRASH_ENOTFOUND);
    EXPECT_EQ(
        kocrash_async_task_memcpy(mach_task_self(), addressOf(pages.unmapped()), 0, buffer, 1),
        KOCRASH_ENOTFOUND);
    // Readable bytes followed by unmapped ones: the read as a whole fails.
    EXPECT_EQ(kocrash_async_task_memcpy(mach_task_self(), addressOf(pages.readableBeforeUnmapped()),
                                        static_cast<std::int64_t>(GuardedPages::pageSize()) - 4,
                                        buffer, 8),
              KOCRASH_ENOTFOUND);
#if defined(__x86_64__)
    EXPECT_EQ(
        kocrash_async_task_memcpy(mach_task_self(), addressOf(pages.inaccessible()), 0, buffer, 1),
        KOCRASH_EACCESS);
#endif
    EXPECT_EQ(
        kocrash_async_task_memcpy(mach_task_self() + 1, addressOf(pages.readable()), 0, buffer, 1),
        KOCRASH_EUNKNOWN);
}

TEST(KOCrashAsyncTaskRead, AnOverflowingOffsetReadsNothing) {
    GuardedPages pages;
    std::uint8_t buffer[4] = {1, 2, 3, 4};
    // Wrapping around would land on the readable page; the overflow must be caught first.
    std::uint64_t wrapped = addressOf(pages.readable());
    EXPECT_EQ(kocrash_async_task_memcpy(mach_task_self(), kTop,
                                        static_cast<std::int64_t>(wrapped + 1), buffer, 4),
              KOCRASH_ENOMEM);
    EXPECT_EQ(kocrash_async_task_memcpy(mach_task_self(), 8, -16, buffer, 4), KOCRASH_ENOMEM);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[3], 4);
}

TEST(KOCrashAsyncTaskRead, IntegersComeOutInTheDescriptorsByteOrder) {
    const std::uint8_t bytes[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    task_t task = mach_task_self();
    std::uint16_t u16 = 0;
    std::uint32_t u32 = 0;
    std::uint64_t u64 = 0;
    ASSERT_EQ(kocrash_async_task_read_uint16(task, kocrash_async_byteorder_little_endian(),
                                             addressOf(bytes), 0, &u16),
              0u);
    EXPECT_EQ(u16, 0x0201);
    ASSERT_EQ(kocrash_async_task_read_uint32(task, kocrash_async_byteorder_big_endian(),
                                             addressOf(bytes), 4, &u32),
              0u);
    EXPECT_EQ(u32, 0x05060708u);
    ASSERT_EQ(kocrash_async_task_read_uint64(task, kocrash_async_byteorder_big_endian(),
                                             addressOf(bytes), 0, &u64),
              0u);
    EXPECT_EQ(u64, 0x0102030405060708u);
    EXPECT_EQ(
        kocrash_async_task_read_uint64(task, kocrash_async_byteorder_big_endian(), 0, 0, &u64),
        KOCRASH_ENOTFOUND);
}
