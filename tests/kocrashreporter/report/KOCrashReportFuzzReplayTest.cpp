#include "CrashReportFuzzBody.h"
#include "CrashReportMessages.h"
#include "WriterPacking.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

TEST(KOCrashReportFuzzCorpus, EveryCorpusFileReplays) {
    const std::filesystem::path corpus =
        std::filesystem::path(KOCRASH_REPORT_TEST_DIR) / "fuzz_corpus";
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                              std::istreambuf_iterator<char>());
        kocrash_report_fuzz_one(bytes.data(), bytes.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 10u);
}

// A file cut anywhere, as a crash during writing or a full disk leaves it, must be rejected
// or decoded cleanly.
TEST(KOCrashReportFuzzCorpus, EveryPrefixOfAValidFileReplays) {
    for (auto* fixture : {fullARM64Report, arm32Report, exceptionReport}) {
        CrashReportMessages messages;
        const auto file = packReportWithWriter(&fixture(messages)->base);
        for (std::size_t length = 0; length <= file.size(); ++length) {
            // A copy of exactly that length, so that reading past it is caught.
            const std::vector<std::uint8_t> prefix(file.begin(), file.begin() + length);
            kocrash_report_fuzz_one(prefix.data(), prefix.size());
        }
    }
}

} // namespace
