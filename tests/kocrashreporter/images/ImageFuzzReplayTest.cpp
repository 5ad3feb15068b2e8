// The fuzz corpus and the linked fixtures (the fuzzer's seeds) replayed through the fuzz body,
// together with every prefix of one fixture's header and load commands.
#include "ImageFuzzBody.h"
#include "MachOOracle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

std::vector<std::uint8_t> bytesOf(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(ImageFuzzCorpus, EveryCorpusFileReplays) {
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(KOCRASH_IMAGE_TEST_DIR) / "fuzz_corpus")) {
        const auto bytes = bytesOf(entry.path());
        kocrash_image_fuzz_one(bytes.data(), bytes.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 10u);
}

TEST(ImageFuzzCorpus, TheSeedsReplay) {
    for (const char* seed :
         {"functions_arm64.dylib", "functions_x86_64.dylib", "functions_armv7.dylib", "entry_arm64",
          "metadata_arm64.dylib", "prologues_arm64.dylib", "functions_universal.dylib"}) {
        const auto bytes = bytesOf(oracle::fixturePath(seed));
        ASSERT_FALSE(bytes.empty()) << seed;
        kocrash_image_fuzz_one(bytes.data(), bytes.size());
    }
}

TEST(ImageFuzzCorpus, EveryPrefixOfAnImageReplays) {
    const auto bytes = bytesOf(oracle::fixturePath("functions_arm64.dylib"));
    for (std::size_t length = 0; length <= 1024 && length <= bytes.size(); length += 7) {
        const std::vector<std::uint8_t> prefix(bytes.begin(), bytes.begin() + length);
        kocrash_image_fuzz_one(prefix.data(), prefix.size());
    }
}

} // namespace
