// Gzip bodies checked against zlib itself: inflating them gives the input back
// and they match a one-shot deflate with the same settings byte for byte.
#include "DavaRor/delivery/Gzip.h"

#include "support/Gunzip.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <zlib.h>

#include <random>

using davaror::CompressionLevel;
using davaror::GzipError;
using davaror::gzipped;

namespace {

using Bytes = std::string;

Bytes randomBytes(size_t count, unsigned seed = 7) {
    std::mt19937 generator(seed);
    Bytes bytes(count, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

TEST(Gzip, CompressesLikeZlibAndRoundTrips) {
    EXPECT_TRUE(gzipped({}).empty()) << "empty input gives empty output";

    const Bytes tiny = gzipped("{}");
    EXPECT_EQ(tiny.substr(0, 3), "\x1f\x8b\x08") << "gzip magic and the deflate method";
    EXPECT_EQ(gunzip(tiny), "{}");

    const Bytes random = randomBytes(1 << 20);
    const Bytes compressed = gzipped(random);
    EXPECT_GT(compressed.size(), 3 * 16384u) << "needs several output passes";
    EXPECT_EQ(gunzip(compressed), random);
    EXPECT_EQ(compressed, gzipOneShot(random));

    const Bytes repetitive(200000, 'a');
    EXPECT_EQ(gzipped(repetitive, CompressionLevel::bestCompression),
              gzipOneShot(repetitive, Z_BEST_COMPRESSION));
}

// Outputs just below, at and just above each 16 KiB step of the output buffer.
TEST(Gzip, OutputsAroundEveryBufferStepAreWholeAndExact) {
    for (const size_t boundary : {16384u, 32768u, 49152u}) {
        std::vector<long> offsetsSeen;
        for (size_t length = boundary - 64; length <= boundary + 8; ++length) {
            const Bytes input = randomBytes(length, static_cast<unsigned>(length));
            const Bytes expected = gzipOneShot(input, 0);
            const long offset = static_cast<long>(expected.size()) - static_cast<long>(boundary);
            if (offset < -1 || offset > 1) {
                continue;
            }
            offsetsSeen.push_back(offset);
            const Bytes compressed = gzipped(input, CompressionLevel::noCompression);
            EXPECT_EQ(compressed, expected) << "output length " << expected.size();
            EXPECT_EQ(gunzip(compressed), input);
        }
        EXPECT_NE(std::find(offsetsSeen.begin(), offsetsSeen.end(), 0), offsetsSeen.end())
            << "no input filled the buffer exactly at " << boundary;
    }
}

TEST(Gzip, InvalidSettingsFailWithStreamError) {
    try {
        gzipped("abc", CompressionLevel(10));
        FAIL() << "level 10 was accepted";
    } catch (const GzipError& error) {
        EXPECT_EQ(error.kind(), GzipError::Kind::fromCode(Z_STREAM_ERROR));
        EXPECT_EQ(error.message(), "Unknown gzip error");
        EXPECT_STREQ(error.what(), "Unknown gzip error");
    }
    try {
        gzipped("a", CompressionLevel::defaultCompression, 7);
        FAIL() << "window bits 7 were accepted";
    } catch (const GzipError& error) {
        EXPECT_EQ(error.kind().value(), GzipError::Kind::Case::stream);
    }
}

// The length check must come before anything reads the input: the mapping is
// reserved address space only.
TEST(Gzip, InputOfFourGibibytesIsRefusedNotTruncated) {
    const size_t fourGiB = size_t{1} << 32;
    void* reserved =
        mmap(nullptr, fourGiB, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    const std::string_view huge(static_cast<const char*>(reserved), fourGiB);
    try {
        gzipped(huge);
        ADD_FAILURE() << "a 4 GiB input was compressed";
    } catch (const GzipError& error) {
        EXPECT_EQ(error.kind().value(), GzipError::Kind::Case::buffer);
    }
    munmap(reserved, fourGiB);
}

TEST(GzipError, MapsZlibCodesAndUsesZlibTextOnlyWhenItIsValidUtf8) {
    using Case = GzipError::Kind::Case;
    const std::pair<int, Case> kinds[] = {
        {-2, Case::stream},  {-3, Case::data},    {-4, Case::memory}, {-5, Case::buffer},
        {-6, Case::version}, {-7, Case::unknown}, {1, Case::unknown}};
    for (const auto& [code, kind] : kinds) {
        EXPECT_EQ(GzipError::Kind::fromCode(code).value(), kind) << code;
    }
    EXPECT_EQ(GzipError::Kind::fromCode(-7).unknownCode(), -7);

    EXPECT_EQ(GzipError(-3, "invalid block type").message(), "invalid block type");
    EXPECT_EQ(GzipError(-3, "caf\xc3\xa9").message(), "caf\xc3\xa9");
    for (const char* unusable : {static_cast<const char*>(nullptr), "\xff", "\xed\xa0\x80"}) {
        EXPECT_EQ(GzipError(-3, unusable).message(), "Unknown gzip error");
    }
}

} // namespace
