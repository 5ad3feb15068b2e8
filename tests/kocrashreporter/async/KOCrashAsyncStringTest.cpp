// The library-free string and memory routines, against the C library's own results.
#include "async/KOCrashAsync.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

int sign(int value) {
    return (value > 0) - (value < 0);
}

} // namespace

TEST(KOCrashAsyncString, ComparisonsOrderBytesAsUnsignedValues) {
    struct Case {
        const char* a;
        const char* b;
    };
    const Case cases[] = {{"", ""},      {"abc", "abc"}, {"abc", "abd"},   {"abd", "abc"},
                          {"ab", "abc"}, {"abc", "ab"},  {"\xff", "\x01"}, {"\x01", "\xff"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(sign(kocrash_async_strcmp(c.a, c.b)), sign(std::strcmp(c.a, c.b)));
    }
    EXPECT_EQ(kocrash_async_strcmp("\xff", "\x01"), 0xfe);
    EXPECT_EQ(kocrash_async_strcmp("ab", "abc"), -'c');
}

TEST(KOCrashAsyncString, BoundedComparisonLooksAtMostAtNBytes) {
    EXPECT_EQ(kocrash_async_strncmp("abcX", "abcY", 3), 0);
    EXPECT_LT(kocrash_async_strncmp("abcX", "abcY", 4), 0);
    EXPECT_EQ(kocrash_async_strncmp("abc", "xyz", 0), 0);
    // Equal up to a shared terminator, whatever lies beyond it.
    EXPECT_EQ(kocrash_async_strncmp("ab\0x", "ab\0y", 4), 0);
    // Segment names are 16-byte fields without a terminator when full.
    const char full[16] = {'_', '_', 'T', 'E', 'X', 'T', '_', 'E',
                           'X', 'E', 'C', '_', 'L', 'O', 'N', 'G'};
    EXPECT_EQ(kocrash_async_strncmp(full, "__TEXT_EXEC_LONG_TAIL", 16), 0);
    EXPECT_GT(kocrash_async_strncmp("\x80", "\x7f", 1), 0);
}

TEST(KOCrashAsyncString, CopyAndFillTouchExactlyTheirRange) {
    unsigned char buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    const unsigned char source[4] = {1, 2, 3, 4};
    EXPECT_EQ(kocrash_async_memcpy(buffer + 2, source, 4), buffer + 2);
    const unsigned char copied[8] = {9, 9, 1, 2, 3, 4, 9, 9};
    EXPECT_EQ(std::memcmp(buffer, copied, 8), 0);

    EXPECT_EQ(kocrash_async_memset(buffer + 1, 0x1AB, 3), buffer + 1);
    const unsigned char filled[8] = {9, 0xAB, 0xAB, 0xAB, 3, 4, 9, 9};
    EXPECT_EQ(std::memcmp(buffer, filled, 8), 0);
    kocrash_async_memcpy(buffer, source, 0);
    EXPECT_EQ(buffer[0], 9);
}
