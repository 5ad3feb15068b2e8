// The texts of Mach exceptions: named types and codes, and the fallbacks for the rest.
#include "DavaRor/ErrorTracking/DavaRorMachExceptionNames.h"

#include <gtest/gtest.h>

namespace {

TEST(MachExceptionNames, TablesSizesMatchThePublishedNames) {
    using namespace DavaRorMachExceptionNames;
    EXPECT_EQ(machExceptionNames().size(), 13u);
    EXPECT_EQ(kernelReturnCodeNames().size(), 56u);
    EXPECT_EQ(kernelReturnCodeNames().at(50), "KERN_CODESIGN_ERROR");
    EXPECT_EQ(exceptionCodeNameMappings().size(), 4u);
}

TEST(MachExceptionNames, MessagesNameTypeCodeAndSubcode) {
    struct Case {
        std::uint64_t type;
        std::vector<std::uint64_t> codes;
        const char* message;
    };
    const Case cases[] = {
        {1, {1, 0x10}, "EXC_BAD_ACCESS, Code KERN_INVALID_ADDRESS (1), Subcode 0x0000000000000010"},
        {1, {999}, "EXC_BAD_ACCESS, Code 999"},
        {1, {257, 2, 3}, "EXC_BAD_ACCESS, Code EXC_ARM_DA_ALIGN (257), Subcode 0x0000000000000002"},
        {1, {}, "EXC_BAD_ACCESS"},
        {2, {2}, "EXC_BAD_INSTRUCTION, Code EXC_ARM_SME_DISALLOWED (2)"},
        {3, {0}, "EXC_ARITHMETIC, Code EXC_ARM_FP_UNDEFINED (0)"},
        {6,
         {1, ~std::uint64_t{0}},
         "EXC_BREAKPOINT, Code EXC_ARM_BREAKPOINT (1), Subcode 0xffffffffffffffff"},
        {5, {1}, "EXC_SOFTWARE, Code 1"},
        {1, {~std::uint64_t{0}}, "EXC_BAD_ACCESS, Code -1"},
        {77, {}, "EXC_UNKNOWN_77"},
        {77, {5}, "EXC_UNKNOWN_77, Code 5"},
        {0x8000000000000001, {1}, "EXC_UNKNOWN_9223372036854775809, Code 1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DavaRorMachExceptionNames::machExceptionMessage(c.type, c.codes), c.message);
    }
}

} // namespace
