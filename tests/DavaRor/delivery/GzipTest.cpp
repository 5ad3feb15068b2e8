// Gzip bodies checked against zlib itself: inflating them gives the input back
// and they match a one-shot deflate with the same settings byte for byte.
#include "DavaRor/delivery/Gzip.h"

#include "support/Gunzip.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <zlib.h>

#include <random>

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

Bytes oneShotDeflate(const Bytes& input, int level) {
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    Bytes output(deflateBound(&stream, input.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = static_cast<uInt>(output.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

TEST(Gzip, EmptyInputGivesEmptyOutput) {
    EXPECT_TRUE(gzipped({}).empty());
}

TEST(Gzip, TinyInputIsOneGzipMember) {
    const Bytes input = "{}";
    const Bytes compressed = gzipped(input);
    ASSERT_GE(compressed.size(), 3u);
    EXPECT_EQ(compressed.substr(0, 3), "\x1f\x8b\x08") << "gzip magic and the deflate method";
    EXPECT_EQ(gunzip(compressed), input);
}

TEST(Gzip, OneMegabyteOfRandomBytesRoundTrips) {
    const Bytes input = randomBytes(1 << 20);
    const Bytes compressed = gzipped(input);
    EXPECT_GT(compressed.size(), 3 * 16384u) << "needs several output passes";
    EXPECT_EQ(gunzip(compressed), input);
    EXPECT_EQ(compressed, oneShotDeflate(input, Z_DEFAULT_COMPRESSION));
}

TEST(Gzip, RepetitiveInputShrinks) {
    const Bytes input(200000, 'a');
    const Bytes compressed = gzipped(input, CompressionLevel::bestCompression);
    EXPECT_LT(compressed.size(), 1000u);
    EXPECT_EQ(gunzip(compressed), input);
}

// Outputs just below, at and just above each 16 KiB step of the output buffer.
TEST(Gzip, OutputsAroundEveryBufferStepAreWholeAndExact) {
    for (const size_t boundary : {16384u, 32768u, 49152u}) {
        std::vector<long> offsetsSeen;
        for (size_t length = boundary - 64; length <= boundary + 8; ++length) {
            const Bytes input = randomBytes(length, static_cast<unsigned>(length));
            const Bytes expected = oneShotDeflate(input, 0);
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

TEST(Gzip, InvalidLevelFailsWithStreamError) {
    try {
        gzipped("abc", CompressionLevel(10));
        FAIL() << "level 10 was accepted";
    } catch (const GzipError& error) {
        EXPECT_EQ(error.kind(), GzipError::Kind::fromCode(Z_STREAM_ERROR));
        EXPECT_EQ(error.message(), "Unknown gzip error");
        EXPECT_STREQ(error.what(), "Unknown gzip error");
    }
}

TEST(Gzip, InvalidWindowBitsFailWithStreamError) {
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

TEST(GzipErrorKind, MapsZlibCodes) {
    using Case = GzipError::Kind::Case;
    EXPECT_EQ(GzipError::Kind::fromCode(-2).value(), Case::stream);
    EXPECT_EQ(GzipError::Kind::fromCode(-3).value(), Case::data);
    EXPECT_EQ(GzipError::Kind::fromCode(-4).value(), Case::memory);
    EXPECT_EQ(GzipError::Kind::fromCode(-5).value(), Case::buffer);
    EXPECT_EQ(GzipError::Kind::fromCode(-6).value(), Case::version);
    for (const int code : {-7, 1, 0, 2}) {
        const auto kind = GzipError::Kind::fromCode(code);
        EXPECT_EQ(kind.value(), Case::unknown);
        EXPECT_EQ(kind.unknownCode(), code);
    }
    EXPECT_EQ(GzipError::Kind::fromCode(-7), GzipError::Kind::fromCode(-7));
    EXPECT_NE(GzipError::Kind::fromCode(-7), GzipError::Kind::fromCode(1));
    EXPECT_NE(GzipError::Kind::fromCode(-2), GzipError::Kind::fromCode(-3));
}

TEST(GzipErrorMessage, UsesZlibTextOnlyWhenItIsValidUtf8) {
    EXPECT_EQ(GzipError(-3, "invalid block type").message(), "invalid block type");
    EXPECT_EQ(GzipError(-3, "caf\xc3\xa9").message(), "caf\xc3\xa9");
    EXPECT_EQ(GzipError(-3, nullptr).message(), "Unknown gzip error");
    for (const char* invalid : {"\xff", "\xc3", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        EXPECT_EQ(GzipError(-3, invalid).message(), "Unknown gzip error") << invalid;
    }
}

} // namespace
