// Return addresses of this process turned into frames: signed addresses, the client's own
// frames on top, and addresses no image holds.
#include "DavaRor/ErrorTracking/DavaRorAddresses.h"
#include "DavaRor/ErrorTracking/DavaRorStackTraceProcessor.h"
#include "NoReturnCall.h"

#include <gtest/gtest.h>

namespace {

__attribute__((noinline)) int applicationFunction(int value) {
    asm volatile("" ::: "memory");
    return value + 1;
}

std::uint64_t addressOf(const void* function) {
    return reinterpret_cast<std::uintptr_t>(function) + 4;
}

TEST(Symbolication, TheClientsFramesAreStrippedOnlyOnTop) {
    DavaRorErrorTrackingConfig config;
    const std::uint64_t client =
        addressOf(reinterpret_cast<const void*>(&DavaRorStackTraceProcessor::symbolicateAddresses));
    const std::uint64_t application =
        addressOf(reinterpret_cast<const void*>(&applicationFunction));
    const auto frames = DavaRorStackTraceProcessor::symbolicateAddresses(
        {client, 0x10, application, client}, config, true);
    ASSERT_EQ(frames.size(), 2u) << "the client's top frame and the unmapped address are gone";
    EXPECT_EQ(frames[0].instructionAddress, application);
    EXPECT_EQ(frames[0].inApp, true);
    ASSERT_TRUE(frames[0].function);
    EXPECT_NE(frames[0].function->find("applicationFunction"), std::string::npos)
        << "a static function of the executable is named";
    EXPECT_EQ(frames[1].module, "DavaRor.so");
    ASSERT_TRUE(frames[1].function);
    EXPECT_NE(frames[1].function->find("symbolicateAddresses"), std::string::npos);
}

TEST(Symbolication, AReturnAddressIsNamedAfterTheFunctionThatMadeTheCall) {
    DavaRorErrorTrackingConfig config;
    const auto returnAddress = reinterpret_cast<std::uintptr_t>(&kocrash_fixture_after_call);
    const auto frames =
        DavaRorStackTraceProcessor::symbolicateAddresses({returnAddress}, config, false);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].instructionAddress, returnAddress);
    ASSERT_TRUE(frames[0].function);
    EXPECT_EQ(*frames[0].function, "kocrash_fixture_call_last");
    EXPECT_EQ(frames[0].symbolAddress,
              reinterpret_cast<std::uintptr_t>(&kocrash_fixture_call_last));
}

TEST(Symbolication, SignedReturnAddressesKeepEveryUserAddressBit) {
    DavaRorErrorTrackingConfig config;
    const std::uint64_t application =
        addressOf(reinterpret_cast<const void*>(&applicationFunction));
#if defined(__aarch64__)
    const std::uint64_t signature = 0x002A000000000000;
#else
    const std::uint64_t signature = 0;
#endif
    const auto frames =
        DavaRorStackTraceProcessor::symbolicateAddresses({application | signature}, config, false);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].instructionAddress, application);
    EXPECT_EQ(pacStripped(0x1234567890), 0x1234567890u) << "bits above 36 are address bits";
}

} // namespace
