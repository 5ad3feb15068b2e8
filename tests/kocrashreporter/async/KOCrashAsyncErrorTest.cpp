// The error texts are what crash logs and log lines show: each one exactly.
#include "async/KOCrashAsync.h"

#include <gtest/gtest.h>

#include <string>

TEST(KOCrashAsyncError, EveryCodeHasItsFixedText) {
    const std::pair<kocrash_error_t, std::string> texts[] = {
        {0, "No error"},
        {1, "Unknown error"},
        {2, "Output file can not be opened (or written to)"},
        {3, "No memory available"},
        {4, "Operation not supported"},
        {5, "Invalid argument"},
        {6, "Internal error"},
        {7, "Access denied"},
        {8, "Not found"},
        {9, "The input data is in an unknown or invalid format."},
        {10, "Unhandled error code"},
        {0xFFFFFFFF, "Unhandled error code"},
    };
    for (const auto& [code, text] : texts) {
        EXPECT_EQ(kocrash_async_strerror(code), text) << "code " << code;
    }
}
