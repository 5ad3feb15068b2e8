// The register set: layouts, names, masking, valid bits, volatile clearing and the DWARF maps.
#include "unwind/KOCrashAsyncThreadState.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

// A machine context with a distinct value in every general-register slot; bits above the 48-bit
// user address width are set so that masking shows, and the addresses lie above 2^36 as they
// do on arm64 Linux.
ko_mcontext64 distinctContext() {
    ko_mcontext64 context;
    std::memset(&context, 0xEE, sizeof context);
    for (int i = 0; i < 29; ++i) {
        context.ss.x[i] = 0xA500000000000000ull | (0x1000u + static_cast<unsigned>(i));
    }
    context.ss.fp = 0xA5007FFFF0001000ull;
    context.ss.lr = 0x80207FFFF0002000ull;
    context.ss.sp = 0xA5007FFFF0003000ull;
    context.ss.pc = 0x8000000100001234ull;
    context.ss.cpsr = 0x60000000u;
    return context;
}

// The value a 64-bit register of that name holds in the context, as read back: the address
// registers masked, the general registers whole.
std::uint64_t expected64(const ko_mcontext64& context, const std::string& name) {
    const std::map<std::string, std::uint64_t> special = {{"pc", 0x100001234ull},
                                                          {"fp", 0x7FFFF0001000ull},
                                                          {"sp", 0x7FFFF0003000ull},
                                                          {"lr", 0x7FFFF0002000ull},
                                                          {"cpsr", context.ss.cpsr}};
    const auto found = special.find(name);
    return found != special.end() ? found->second : context.ss.x[std::stoi(name.substr(1))];
}

// What state32() put into the register of that name.
std::uint32_t expected32(const std::string& name) {
    const std::map<std::string, std::uint32_t> special = {
        {"sp", 0xC0DE00A0u}, {"lr", 0xC0DE00B0u}, {"pc", 0xC0DE00C0u}, {"cpsr", 0xC0DE00D0u}};
    const auto found = special.find(name);
    return found != special.end() ? found->second
                                  : 0xC0DE0000u + static_cast<unsigned>(std::stoi(name.substr(1)));
}

std::uint64_t validBits(const kocrash_async_thread_state& state) {
    std::uint64_t bits = 0;
    for (kocrash_regnum_t n = 0; n < kocrash_async_thread_state_get_reg_count(&state); ++n) {
        if (kocrash_async_thread_state_has_reg(&state, n)) {
            bits |= std::uint64_t{1} << n;
        }
    }
    return bits;
}

kocrash_async_thread_state state32() {
    kocrash_async_thread_state state;
    EXPECT_EQ(kocrash_async_thread_state_init(&state, CPU_TYPE_ARM), 0u);
    arm_thread_state32_t& registers = state.arm_registers.uts.ts_32;
    for (int i = 0; i < 13; ++i) {
        registers.r[i] = 0xC0DE0000u + static_cast<unsigned>(i);
    }
    registers.sp = 0xC0DE00A0u;
    registers.lr = 0xC0DE00B0u;
    registers.pc = 0xC0DE00C0u;
    registers.cpsr = 0xC0DE00D0u;
    return state;
}

} // namespace

TEST(KOCrashAsyncThreadState, InitChoosesTheLayoutByCpuType) {
    kocrash_async_thread_state state;
    ASSERT_EQ(kocrash_async_thread_state_init(&state, CPU_TYPE_ARM64), 0u);
    EXPECT_EQ(kocrash_async_thread_state_get_greg_size(&state), 8u);
    EXPECT_EQ(kocrash_async_thread_state_get_stack_direction(&state), 2u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg_count(&state), 34u);
    EXPECT_EQ(validBits(state), 0u);

    ASSERT_EQ(kocrash_async_thread_state_init(&state, CPU_TYPE_ARM), 0u);
    EXPECT_EQ(kocrash_async_thread_state_get_greg_size(&state), 4u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg_count(&state), 17u);

    EXPECT_EQ(kocrash_async_thread_state_init(&state, CPU_TYPE_X86_64), KOCRASH_ENOTSUP);
    EXPECT_EQ(kocrash_async_thread_state_init(&state, CPU_TYPE_X86), KOCRASH_ENOTSUP);
}

TEST(KOCrashAsyncThreadState, EverySlotOfAMachineContextLandsInItsRegister) {
    ko_mcontext64 context = distinctContext();
    kocrash_async_thread_state state;
    kocrash_async_thread_state_mcontext_init(&state, &context);

    ASSERT_EQ(kocrash_async_thread_state_get_reg_count(&state), 34u);
    for (kocrash_regnum_t n = 0; n < 34; ++n) {
        std::string name = kocrash_async_thread_state_get_reg_name(&state, n);
        SCOPED_TRACE(name);
        EXPECT_TRUE(kocrash_async_thread_state_has_reg(&state, n));
        EXPECT_EQ(kocrash_async_thread_state_get_reg(&state, n), expected64(context, name));
    }
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&state, KOCRASH_ARM64_PC), 0x100001234u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&state, KOCRASH_ARM64_X0 + 28),
              0xA500000000000000ull | 0x101C)
        << "general registers come back whole";
    // The numbering itself, not only names and slots agreeing with each other.
    std::string names;
    for (kocrash_regnum_t n : {0u, 1u, 2u, 3u, 8u, 31u, 32u, 33u}) {
        names += std::string(kocrash_async_thread_state_get_reg_name(&state, n)) + " ";
    }
    EXPECT_EQ(names, "pc fp sp x0 x5 x28 lr cpsr ");
}

TEST(KOCrashAsyncThreadState, TheThirtyTwoBitLayoutKeepsItsOwnSlots) {
    kocrash_async_thread_state state = state32();
    std::string names;
    for (kocrash_regnum_t n = 0; n < 17; ++n) {
        std::string name = kocrash_async_thread_state_get_reg_name(&state, n);
        names += name + " ";
        SCOPED_TRACE(name);
        EXPECT_EQ(kocrash_async_thread_state_get_reg(&state, n), expected32(name));
    }
    EXPECT_EQ(names, "pc r7 sp r0 r1 r2 r3 r4 r5 r6 r8 r9 r10 r11 r12 lr cpsr ");
    kocrash_async_thread_state_set_reg(&state, KOCRASH_ARM_R8, 0x1122334455667788ull);
    EXPECT_EQ(state.arm_registers.uts.ts_32.r[8], 0x55667788u) << "the low 32 bits are kept";
    EXPECT_EQ(validBits(state), std::uint64_t{1} << KOCRASH_ARM_R8);
}

TEST(KOCrashAsyncThreadState, SettingARegisterStoresItAndMarksItValid) {
    kocrash_async_thread_state state;
    ASSERT_EQ(kocrash_async_thread_state_init(&state, CPU_TYPE_ARM64), 0u);
    kocrash_async_thread_state_set_reg(&state, KOCRASH_ARM64_X0 + 5, 0xFFFF000012345678ull);
    EXPECT_EQ(state.known_register_mask, std::uint64_t{1} << 8);
    EXPECT_EQ(state.arm_registers.uts.ts_64.x[5], 0xFFFF000012345678ull);

    kocrash_async_thread_state_set_reg(&state, KOCRASH_ARM64_CPSR, 0x1122334455667788ull);
    EXPECT_EQ(state.arm_registers.uts.ts_64.cpsr, 0x55667788u);
    EXPECT_EQ(state.arm_registers.uts.ts_64.reserved, 0u)
        << "cpsr does not spill into its neighbour";

    kocrash_async_thread_state_set_reg(&state, KOCRASH_ARM64_LR, 0xFF00000123456789ull);
    EXPECT_EQ(state.arm_registers.uts.ts_64.lr, 0xFF00000123456789ull) << "stored whole";
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&state, KOCRASH_ARM64_LR), 0x123456789ull);

    kocrash_async_thread_state_clear_reg(&state, KOCRASH_ARM64_X0 + 5);
    EXPECT_FALSE(kocrash_async_thread_state_has_reg(&state, KOCRASH_ARM64_X0 + 5));
    EXPECT_EQ(state.arm_registers.uts.ts_64.x[5], 0xFFFF000012345678ull) << "the value stays";
    EXPECT_TRUE(kocrash_async_thread_state_has_reg(&state, KOCRASH_ARM64_LR + 64))
        << "taken modulo 64";
    kocrash_async_thread_state_clear_all_regs(&state);
    EXPECT_EQ(validBits(state), 0u);
}

TEST(KOCrashAsyncThreadState, ClearingVolatileRegistersKeepsWhatACalleePreserves) {
    ko_mcontext64 context = distinctContext();
    kocrash_async_thread_state state;
    kocrash_async_thread_state_mcontext_init(&state, &context);
    kocrash_async_thread_state_clear_volatile_regs(&state);
    std::uint64_t kept = std::uint64_t{1} << 1;
    for (kocrash_regnum_t n = 22; n <= 31; ++n) {
        kept |= std::uint64_t{1} << n;
    }
    EXPECT_EQ(validBits(state), kept);
    EXPECT_EQ(state.arm_registers.uts.ts_64.pc, context.ss.pc) << "values are not overwritten";

    kocrash_async_thread_state narrow = state32();
    for (kocrash_regnum_t n = 0; n < 17; ++n) {
        kocrash_async_thread_state_set_reg(&narrow, n, n);
    }
    kocrash_async_thread_state_clear_volatile_regs(&narrow);
    std::uint64_t kept32 = 0;
    for (const char* name : {"r4", "r5", "r6", "r7", "r8", "r10", "r11"}) {
        for (kocrash_regnum_t n = 0; n < 17; ++n) {
            if (kocrash_async_thread_state_get_reg_name(&narrow, n) == std::string(name)) {
                kept32 |= std::uint64_t{1} << n;
            }
        }
    }
    EXPECT_EQ(validBits(narrow), kept32);
}

TEST(KOCrashAsyncThreadState, DwarfNumbersMapToTheRegistersOfTheSameName) {
    kocrash_async_thread_state wide;
    ASSERT_EQ(kocrash_async_thread_state_init(&wide, CPU_TYPE_ARM64), 0u);
    for (std::uint64_t dwarf = 0; dwarf < 32; ++dwarf) {
        kocrash_regnum_t n = 99;
        ASSERT_TRUE(kocrash_async_thread_state_map_dwarf_to_reg(&wide, dwarf, &n)) << dwarf;
        std::string expected = dwarf < 29    ? "x" + std::to_string(dwarf)
                               : dwarf == 29 ? "fp"
                               : dwarf == 30 ? "lr"
                                             : "sp";
        EXPECT_EQ(kocrash_async_thread_state_get_reg_name(&wide, n), expected);
        std::uint64_t back = 99;
        ASSERT_TRUE(kocrash_async_thread_state_map_reg_to_dwarf(&wide, n, &back));
        EXPECT_EQ(back, dwarf);
    }
    kocrash_regnum_t n = 0;
    EXPECT_TRUE(kocrash_async_thread_state_map_dwarf_to_reg(&wide, 31, &n));
    EXPECT_EQ(n, KOCRASH_ARM64_SP);
    EXPECT_FALSE(kocrash_async_thread_state_map_dwarf_to_reg(&wide, 32, &n));
    std::uint64_t dwarf = 0;
    EXPECT_FALSE(kocrash_async_thread_state_map_reg_to_dwarf(&wide, KOCRASH_ARM64_PC, &dwarf));
    EXPECT_FALSE(kocrash_async_thread_state_map_reg_to_dwarf(&wide, KOCRASH_ARM64_CPSR, &dwarf));

    kocrash_async_thread_state narrow = state32();
    const char* names32[] = {"r0", "r1", "r2",  "r3",  "r4",  "r5", "r6", "r7",
                             "r8", "r9", "r10", "r11", "r12", "sp", "lr", "pc"};
    for (std::uint64_t d = 0; d < 16; ++d) {
        ASSERT_TRUE(kocrash_async_thread_state_map_dwarf_to_reg(&narrow, d, &n)) << d;
        EXPECT_STREQ(kocrash_async_thread_state_get_reg_name(&narrow, n), names32[d]);
    }
    EXPECT_FALSE(kocrash_async_thread_state_map_dwarf_to_reg(&narrow, 16, &n));
    EXPECT_FALSE(kocrash_async_thread_state_map_reg_to_dwarf(&narrow, KOCRASH_ARM_CPSR, &dwarf));
}

TEST(KOCrashAsyncThreadStateDeathTest, ARegisterNumberBeyondTheLayoutStopsTheProcess) {
    kocrash_async_thread_state state = state32();
    EXPECT_DEATH(kocrash_async_thread_state_get_reg(&state, 17), "");
    EXPECT_DEATH(kocrash_async_thread_state_set_reg(&state, 40, 1), "");
    EXPECT_DEATH(kocrash_async_thread_state_get_reg_name(&state, 17), "");
}
