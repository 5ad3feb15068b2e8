#include "DavaRor/Utils/DavaRorDates.h"
#include "DavaRor/Utils/DavaRorFiles.h"
#include "DavaRor/Utils/DavaRorJSON.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorMulticastCallback.h"
#include "DavaRor/Utils/DavaRorSha256.h"
#include "DavaRor/Utils/InternalDavaRorError.h"
#include "platform/core/LogSink.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

using davaror::apiDateFormatter;

TEST(DavaRorDates, ReadsBothApiFormsAndRefusesEverythingElse) {
    auto withMilliseconds = apiDateFormatter.date("2024-02-29T23:59:59.123Z");
    ASSERT_TRUE(withMilliseconds);
    EXPECT_EQ(toISO8601String(*withMilliseconds), "2024-02-29T23:59:59.123Z");
    auto withoutMilliseconds = apiDateFormatter.date("2001-09-09T01:46:40Z");
    ASSERT_TRUE(withoutMilliseconds);
    EXPECT_EQ(withoutMilliseconds->time_since_epoch(), std::chrono::seconds(1'000'000'000));
    for (const char* text :
         {"", "2024-02-29", "2024-02-29T23:59:59", "2024-02-29T23:59:59.12Z",
          "2024-02-29 23:59:59Z", "2024-13-01T00:00:00Z", "2024-02-29T23:59:59.123Zjunk",
          "2024-02-31T00:00:00.000Z", "2023-02-29T00:00:00Z", "2024-06-30T23:59:60Z"}) {
        EXPECT_FALSE(apiDateFormatter.date(text)) << text;
    }
}

TEST(DavaRorDates, DatesBeforeTheEpochKeepTheirMilliseconds) {
    DavaRorDate date(std::chrono::milliseconds(-1));
    EXPECT_EQ(toISO8601String(date), "1969-12-31T23:59:59.999Z");
}

// The published test vectors, one of them fed in pieces that straddle blocks.
TEST(DavaRorSha256, DigestsMatchTheStandardVectors) {
    const auto hex = [](const DavaRorSha256Digest& digest) {
        std::string text;
        for (const auto byte : digest) {
            text += "0123456789abcdef"[byte >> 4];
            text += "0123456789abcdef"[byte & 0xF];
        }
        return text;
    };
    EXPECT_EQ(hex(DavaRorSha256().finish()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(DavaRorSha256().update("abc").finish()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(DavaRorSha256()
                      .update("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                      .finish()),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    DavaRorSha256 million;
    const std::string piece(997, 'a');
    for (std::size_t fed = 0; fed < 1'000'000; fed += piece.size()) {
        million.update(std::string_view(piece).substr(0, 1'000'000 - fed));
    }
    EXPECT_EQ(hex(million.finish()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(DavaRorLog, PrintsOnlyWhileEnabled) {
    platform::log::ScopedCapture capture;
    davaRorLogEnabled = false;
    davaRorLog("hidden");
    davaRorLogEnabled = true;
    davaRorLog("shown");
    davaRorLogEnabled = false;
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"[DavaRor] shown"});
}

TEST(DavaRorUtilities, JSONWritingFailsCleanlyOnInvalidText) {
    platform::log::ScopedCapture capture;
    davaRorLogEnabled = true;
    EXPECT_FALSE(toJSONData({{"bad", std::string("\xff\xfe")}}));
    EXPECT_EQ(toJSONData({{"a", 1}}), "{\"a\":1}");
    davaRorLogEnabled = false;
    EXPECT_TRUE(capture.contains("[DavaRor] Failed to serialize dictionary to JSON: "));
}

TEST(DavaRorUtilities, ErrorDescriptionNamesItsOrigin) {
    InternalDavaRorError error("Install failed", "Integration.swift", 12);
    EXPECT_EQ(error.description(), "Install failed (Integration.swift:12)");
    InternalDavaRorError here("here");
    EXPECT_EQ(std::string(here.what()).rfind("here (UtilitiesTest.cpp:", 0), 0u);
}

TEST(DavaRorUtilities, DeleteSafelyRemovesFoldersAndIgnoresMissingPaths) {
    auto folder = std::filesystem::temp_directory_path() / "davaror-delete-safely";
    std::filesystem::create_directories(folder / "nested");
    std::ofstream(folder / "nested" / "file") << "x";
    deleteSafely(folder);
    EXPECT_FALSE(std::filesystem::exists(folder));
    deleteSafely(folder);
}

TEST(DavaRorMulticastCallback, TokensControlSubscriptionsAndMayOutliveTheList) {
    std::vector<std::size_t> counts;
    std::optional<RegistrationToken> survivor;
    {
        DavaRorMulticastCallback<std::string> callback([&](std::size_t n) { counts.push_back(n); });
        std::vector<std::string> seen;
        auto first = callback.subscribe([&](const std::string& v) { seen.push_back("1:" + v); });
        survivor = callback.subscribe([&](const std::string& v) { seen.push_back("2:" + v); });
        callback.invoke("a");
        first.release();
        callback.invoke("b");
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (std::vector<std::string>{"1:a", "2:a", "2:b"}));
        EXPECT_EQ(callback.subscriberCount(), 1u);
    }
    survivor.reset(); // the list is gone: releasing must be harmless
    EXPECT_EQ(counts, (std::vector<std::size_t>{1, 2}));
}

TEST(DavaRorMulticastCallback, ACallbackMayUnsubscribeItselfWhileInvoked) {
    DavaRorMulticastCallback<> callback;
    int calls = 0;
    std::optional<RegistrationToken> token;
    token = callback.subscribe([&] {
        ++calls;
        token.reset();
    });
    callback.invoke();
    callback.invoke();
    EXPECT_EQ(calls, 1);
}
