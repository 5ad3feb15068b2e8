#include "KOCrashReporterError.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(KOCrashReporterError, PopulatesTheReporterDomainWithDescriptionAndCause) {
    std::optional<KOError> error;
    kocrash_populate_error(&error, KOCrashReporterErrorAlreadyEnabled, "already on");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain(), "KOCrashReporterErrorDomain");
    EXPECT_EQ(error->code(), 3);
    EXPECT_EQ(error->localizedDescription(), "already on");
    EXPECT_EQ(error->underlyingError(), nullptr);

    const auto cause = std::make_shared<const KOError>("Elsewhere", 42, "inner");
    kocrash_populate_error(&error, KOCrashReporterErrorOther, "outer", cause);
    EXPECT_EQ(error->code(), KOCrashReporterErrorOther);
    EXPECT_EQ(error->localizedDescription(), "outer");
    EXPECT_EQ(error->underlyingError(), cause);
}

TEST(KOCrashReporterError, SystemCallErrorsCarryTheKernelOrErrnoValueAsCause) {
    std::optional<KOError> mach;
    kocrash_populate_mach_error(&mach, 5, "task_threads failed");
    EXPECT_EQ(mach->domain(), KOCrashReporterErrorDomain);
    EXPECT_EQ(mach->code(), KOCrashReporterErrorSystemCall);
    EXPECT_EQ(mach->localizedDescription(), "task_threads failed");
    ASSERT_NE(mach->underlyingError(), nullptr);
    EXPECT_EQ(mach->underlyingError()->domain(), "NSMachErrorDomain");
    EXPECT_EQ(mach->underlyingError()->code(), 5);
    EXPECT_EQ(mach->underlyingError()->localizedDescription(), "");
    EXPECT_EQ(mach->underlyingError()->underlyingError(), nullptr);

    std::optional<KOError> posix;
    kocrash_populate_posix_error(&posix, ENOENT, "open failed");
    EXPECT_EQ(posix->code(), KOCrashReporterErrorSystemCall);
    EXPECT_EQ(posix->underlyingError()->domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(posix->underlyingError()->code(), ENOENT);
}

TEST(KOCrashReporterError, WithoutAnOutPointerNothingHappens) {
    kocrash_populate_error(nullptr, KOCrashReporterErrorOther, "x");
    kocrash_populate_mach_error(nullptr, 1, "x");
    kocrash_populate_posix_error(nullptr, EINVAL, "x");
    SUCCEED();
}

} // namespace
