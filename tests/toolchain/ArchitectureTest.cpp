// Proves that the arm64 suite really runs arm64 code: the process reports
// aarch64, and a chain of frame records leads back through its callers.
#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct FrameRecord {
    const FrameRecord* previous;
    std::uintptr_t returnAddress;
};

std::vector<std::uintptr_t> returnAddresses;

[[gnu::noinline]] void recordCallers() {
    auto* frame = static_cast<const FrameRecord*>(__builtin_frame_address(0));
    for (int depth = 0; frame != nullptr && depth < 4; ++depth) {
        returnAddresses.push_back(frame->returnAddress);
        frame = frame->previous;
    }
    asm volatile("" ::: "memory");
}

[[gnu::noinline]] void middle() {
    recordCallers();
    asm volatile("" ::: "memory");
}

[[gnu::noinline]] void outer() {
    middle();
    asm volatile("" ::: "memory");
}

bool within(std::uintptr_t address, void (*function)(), std::uintptr_t span) {
    auto start = reinterpret_cast<std::uintptr_t>(function);
    return address - start < span;
}

} // namespace

TEST(Architecture, ReportsTheMachineTheCodeWasBuiltFor) {
    utsname name{};
    ASSERT_EQ(uname(&name), 0);
#if defined(__aarch64__)
    EXPECT_EQ(std::string(name.machine), "aarch64");
#elif defined(__x86_64__)
    EXPECT_EQ(std::string(name.machine), "x86_64");
#endif
}

// x86_64 built with frame pointers keeps the same two-word record layout.
TEST(Architecture, FrameRecordsLeadBackThroughTheCallers) {
    returnAddresses.clear();
    outer();
    // Frame 0 is recordCallers' own record: its return address lies in middle,
    // the next one in outer.
    ASSERT_GE(returnAddresses.size(), 2u);
    EXPECT_TRUE(within(returnAddresses[0], &middle, 64));
    EXPECT_TRUE(within(returnAddresses[1], &outer, 64));
#if defined(__aarch64__)
    // Under the emulator the guest's addresses stay below 2^36, as on the
    // original platform.
    EXPECT_LT(reinterpret_cast<std::uintptr_t>(&returnAddresses), std::uintptr_t{1} << 36);
#endif
}
