// Exception entries built from errors and exceptions: chains, cycles, missing names, the
// program's own error types, and exceptions that bring their own stack.
#include "DavaRor/ErrorTracking/DavaRorExceptionProcessor.h"

#include <gtest/gtest.h>

#include <stdexcept>

using nlohmann::json;
using platform::foundation::NSDictionary;
using platform::foundation::NSError;
using platform::foundation::NSException;
using platform::foundation::NSUnderlyingErrorKey;

namespace storage {

struct QuotaExceeded : std::runtime_error {
    QuotaExceeded() : std::runtime_error("quota exceeded") {}
};

struct DiskError : NSError {
    explicit DiskError(NSDictionary userInfo)
        : NSError("com.example.disk", 28, std::move(userInfo)) {}
};

struct WriteRefused : NSException {
    WriteRefused() : NSException("WriteRefused", "read-only volume") {}
};

} // namespace storage

namespace {

__attribute__((noinline)) void raiseRefusedUpload(const NSException& exception) {
    exception.raise();
}

class ExceptionEntries : public ::testing::Test {
protected:
    DavaRorErrorTrackingConfig config;
};

TEST_F(ExceptionEntries, ACycleOfUnderlyingErrorsIsWalkedOnce) {
    auto first = std::make_shared<NSError>("com.example.first", 1);
    auto second = std::make_shared<NSError>("com.example.second", 2,
                                            NSDictionary{{NSUnderlyingErrorKey, first}});
    first->setUserInfoValue(NSUnderlyingErrorKey, second);

    const json entries =
        DavaRorExceptionProcessor::buildExceptionList(*first, true, "generic", config);
    first->setUserInfoValue(NSUnderlyingErrorKey, std::any{});
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]["type"], "com.example.first");
    EXPECT_EQ(entries[1]["type"], "com.example.second");
}

TEST_F(ExceptionEntries, UnderlyingErrorsAndExceptionsOfSubclassesAreFollowed) {
    auto root = std::make_shared<NSError>("com.example.root", 5);
    auto disk = std::make_shared<storage::DiskError>(NSDictionary{{NSUnderlyingErrorKey, root}});
    const NSError upload("com.example.upload", 1, {{NSUnderlyingErrorKey, disk}});

    const json entries =
        DavaRorExceptionProcessor::buildExceptionList(upload, true, "generic", config);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0]["type"], "com.example.upload");
    EXPECT_EQ(entries[1]["type"], "storage::DiskError");
    EXPECT_EQ(entries[1]["value"], "The operation couldn’t be completed. (com.example.disk error "
                                   "28.) (Code: 28)");
    EXPECT_EQ(entries[2]["type"], "com.example.root");

    const NSException failed("SaveFailed", std::nullopt,
                             {{NSUnderlyingErrorKey, std::make_shared<storage::WriteRefused>()}});
    const json exceptions =
        DavaRorExceptionProcessor::buildExceptionList(failed, true, "generic", config);
    ASSERT_EQ(exceptions.size(), 2u);
    EXPECT_EQ(exceptions[1]["type"], "WriteRefused");
}

TEST_F(ExceptionEntries, AnErrorOfTheProgramsOwnTypeIsNamedAfterIt) {
    const json entries = DavaRorExceptionProcessor::buildExceptionList(storage::QuotaExceeded(),
                                                                       false, "generic", config);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]["type"], "storage::QuotaExceeded");
    EXPECT_EQ(entries[0]["value"], "quota exceeded (Code: 0)");
    EXPECT_EQ(entries[0]["mechanism"]["handled"], false);
}

TEST_F(ExceptionEntries, AnExceptionWithoutNameOrReasonKeepsThreadAndMechanism) {
    const json entries = DavaRorExceptionProcessor::buildExceptionList(
        NSException("", std::nullopt), true, "generic", config);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].contains("type"));
    EXPECT_FALSE(entries[0].contains("value"));
    EXPECT_TRUE(entries[0]["thread_id"].is_number_integer());
    EXPECT_EQ(entries[0]["mechanism"]["synthetic"], true) << "never raised: the current stack";
}

TEST_F(ExceptionEntries, ARaisedExceptionKeepsTheStackItWasRaisedOn) {
    json entries;
    try {
        raiseRefusedUpload(NSException("UploadRefused", "server said no"));
    } catch (const NSException& caught) {
        entries = DavaRorExceptionProcessor::buildExceptionList(caught, true, "generic", config);
    }
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]["type"], "UploadRefused");
    EXPECT_EQ(entries[0]["value"], "server said no");
    EXPECT_EQ(entries[0]["mechanism"]["synthetic"], false);
    const json& innermost = entries[0]["stacktrace"]["frames"].back();
    EXPECT_NE(innermost["function"].get<std::string>().find("raiseRefusedUpload"),
              std::string::npos)
        << innermost.dump();
}

} // namespace
