// Every input the fuzzers kept goes through the same checks in the normal test run.
#include "DwarfFuzzBody.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::size_t replay(const char* corpus, void (*body)(const std::uint8_t*, std::size_t)) {
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(KOCRASH_DWARF_TEST_DIR) / corpus)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                              std::istreambuf_iterator<char>());
        body(bytes.data(), bytes.size());
        ++replayed;
    }
    return replayed;
}

TEST(KOCrashAsyncDwarfFuzzCorpus, EveryFramesInputReplays) {
    EXPECT_GT(replay("fuzz_corpus_frames", kocrash_dwarf_fuzz_frames), 10u);
}

TEST(KOCrashAsyncDwarfFuzzCorpus, EveryExpressionInputReplays) {
    EXPECT_GT(replay("fuzz_corpus_expression", kocrash_dwarf_fuzz_expression), 10u);
}

} // namespace
