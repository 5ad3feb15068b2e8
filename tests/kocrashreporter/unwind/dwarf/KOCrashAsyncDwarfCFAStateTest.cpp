// The call-frame program and the row it builds: rows chosen by pc, remembered rows, the fixed
// capacities, refused and malformed instructions, and the application of a row to real
// registers and real stack memory in both machine widths.
#include "unwind/KOCrashAsyncDwarfCFAState.h"
#include "unwind/KOCrashAsyncDwarfConstants.h"

#include "DwarfBytes.h"
#include "LowPages.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

using platform::mach::mach_task_self;

using namespace kocrash::async;

namespace {

using State64 = dwarf_cfa_state<std::uint64_t, std::int64_t>;
using State32 = dwarf_cfa_state<std::uint32_t, std::int32_t>;
using Rule64 = dwarf_cfa_rule<std::uint64_t, std::int64_t>;

const kocrash_async_byteorder* little() {
    return kocrash_async_byteorder_little_endian();
}

// Factors 1 and -8, return address column 30, as 64-bit ARM code uses.
kocrash_async_dwarf_cie_info armCie() {
    kocrash_async_dwarf_cie_info cie{};
    cie.version = 1;
    cie.code_alignment_factor = 1;
    cie.data_alignment_factor = -8;
    cie.return_address_register = 30;
    return cie;
}

// An instruction range that stays mapped while its rules (which may point into it) are used.
class Program {
public:
    explicit Program(const DwarfBytes& bytes) : mapped_(bytes) {}

    template <typename State, typename word>
    kocrash_error_t run(State& state, word pc, word initialPc,
                        const kocrash_async_dwarf_cie_info& cie) const {
        const gnu_ehptr_reader<word> reader(little());
        return state.eval_program(mapped_.mobj(), pc, initialPc, &cie, &reader, little(),
                                  mapped_.address(), 0, mapped_.size());
    }
    std::uint64_t address() const { return mapped_.address(); }

private:
    MappedBytes mapped_;
};

template <typename State, typename word = std::uint64_t>
kocrash_error_t runOnce(State& state, const DwarfBytes& bytes, word pc = 0, word initialPc = 0,
                        const kocrash_async_dwarf_cie_info& cie = armCie()) {
    return Program(bytes).run(state, pc, initialPc, cie);
}

struct RuleOf {
    bool present;
    kocrash_dwarf_cfa_reg_rule_t rule;
    std::uint64_t value;
};

RuleOf ruleOf(const State64& state, std::uint32_t regnum) {
    RuleOf result{false, DWARF_RULE_OFFSET, 0};
    result.present = state.get_register_rule(regnum, &result.rule, &result.value);
    return result;
}

TEST(KOCrashAsyncDwarfCFAProgram, TheRowForThePcIsTheOneBeforeTheNextAdvance) {
    const DwarfBytes program = DwarfBytes()
                                   .raw({DW_CFA_def_cfa, 31, 0})
                                   .raw({DW_CFA_advance_loc | 4, DW_CFA_def_cfa_offset, 16})
                                   .raw({DW_CFA_offset | 29, 2})
                                   .raw({DW_CFA_advance_loc1, 200, DW_CFA_def_cfa_offset, 32});
    const std::pair<std::uint64_t, std::uint64_t> rows[] = {
        {0x1000, 0}, {0x1003, 0}, {0x1004, 16}, {0x10CB, 16}, {0x10CC, 32}, {0x5000, 32}};
    for (const auto& [pc, offset] : rows) {
        State64 state;
        ASSERT_EQ(runOnce(state, program, pc, std::uint64_t{0x1000}), KOCRASH_ESUCCESS);
        EXPECT_EQ(state.get_cfa_rule().register_offset(), offset) << std::hex << pc;
        EXPECT_EQ(ruleOf(state, 29).present, pc >= 0x1004) << std::hex << pc;
    }
    // pc 0 runs the whole program.
    State64 state;
    ASSERT_EQ(runOnce(state, program, std::uint64_t{0}, std::uint64_t{0x1000}), KOCRASH_ESUCCESS);
    EXPECT_EQ(state.get_cfa_rule().register_offset(), 32u);
}

TEST(KOCrashAsyncDwarfCFAProgram, LocationsAboveFourGigabytesKeepAllTheirBits) {
    const DwarfBytes program = DwarfBytes().raw(
        {DW_CFA_def_cfa, 31, 0, DW_CFA_advance_loc | 8, DW_CFA_def_cfa_offset, 48});
    State64 first;
    ASSERT_EQ(runOnce(first, program, std::uint64_t{0x500001000}, std::uint64_t{0x500001000}),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(first.get_cfa_rule().register_offset(), 0u);
    State64 later;
    ASSERT_EQ(runOnce(later, program, std::uint64_t{0x500001008}, std::uint64_t{0x500001000}),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(later.get_cfa_rule().register_offset(), 48u);
}

TEST(KOCrashAsyncDwarfCFAProgram, RememberedRowsComeBackWhole) {
    State64 state;
    const DwarfBytes program = DwarfBytes()
                                   .raw({DW_CFA_def_cfa, 29, 32, DW_CFA_offset | 19, 2})
                                   .raw({DW_CFA_remember_state, DW_CFA_def_cfa_offset, 0})
                                   .raw({DW_CFA_offset | 19, 5, DW_CFA_offset | 20, 6})
                                   .raw({DW_CFA_restore_state});
    ASSERT_EQ(runOnce(state, program), KOCRASH_ESUCCESS);
    EXPECT_EQ(state.get_cfa_rule().register_number(), 29u);
    EXPECT_EQ(state.get_cfa_rule().register_offset(), 32u);
    EXPECT_EQ(ruleOf(state, 19).value, static_cast<std::uint64_t>(-16));
    EXPECT_FALSE(ruleOf(state, 20).present);
    EXPECT_EQ(state.get_register_count(), 1u);
}

TEST(KOCrashAsyncDwarfCFAProgram, RestoreGoesBackToTheRulesTheProgramStartedWith) {
    State64 state;
    ASSERT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_def_cfa, 31, 0, DW_CFA_offset | 29, 2})),
              KOCRASH_ESUCCESS);
    const DwarfBytes fdeProgram = DwarfBytes()
                                      .raw({DW_CFA_offset | 29, 4, DW_CFA_offset | 19, 1})
                                      .raw({DW_CFA_offset | 20, 3, DW_CFA_restore_extended, 19})
                                      .raw({DW_CFA_restore | 29});
    ASSERT_EQ(runOnce(state, fdeProgram), KOCRASH_ESUCCESS);
    EXPECT_FALSE(ruleOf(state, 19).present);
    EXPECT_EQ(ruleOf(state, 20).value, static_cast<std::uint64_t>(-24));
    EXPECT_EQ(ruleOf(state, 29).value, static_cast<std::uint64_t>(-16));
}

TEST(KOCrashAsyncDwarfCFAProgram, EveryRegisterRuleInstruction) {
    State64 state;
    const DwarfBytes program = DwarfBytes()
                                   .raw({DW_CFA_def_cfa, 31, 0})
                                   .raw({DW_CFA_offset_extended, 19, 2})
                                   .raw({DW_CFA_offset_extended_sf, 20})
                                   .sleb(-2)
                                   .raw({DW_CFA_val_offset, 21, 3})
                                   .raw({DW_CFA_val_offset_sf, 22})
                                   .sleb(-3)
                                   .raw({DW_CFA_register, 23, 9})
                                   .raw({DW_CFA_same_value, 24})
                                   .raw({DW_CFA_offset | 25, 1, DW_CFA_undefined, 25})
                                   .raw({DW_CFA_expression, 26, 2, 0x8F, 0x08});
    Program instructions(program);
    ASSERT_EQ(instructions.run(state, std::uint64_t{0}, std::uint64_t{0}, armCie()),
              KOCRASH_ESUCCESS);
    const std::tuple<std::uint32_t, kocrash_dwarf_cfa_reg_rule_t, std::uint64_t> expected[] = {
        {19, DWARF_RULE_OFFSET, static_cast<std::uint64_t>(-16)},
        {20, DWARF_RULE_OFFSET, 16},
        {21, DWARF_RULE_VAL_OFFSET, static_cast<std::uint64_t>(-24)},
        {22, DWARF_RULE_VAL_OFFSET, 24},
        {23, DWARF_RULE_REGISTER, 9},
        {24, DWARF_RULE_SAME_VALUE, 0},
        // The block's length field, which the expression follows.
        {26, DWARF_RULE_EXPRESSION, instructions.address() + program.size() - 3},
    };
    for (const auto& [regnum, rule, value] : expected) {
        RuleOf actual = ruleOf(state, regnum);
        ASSERT_TRUE(actual.present) << regnum;
        EXPECT_EQ(actual.rule, rule) << regnum;
        EXPECT_EQ(actual.value, value) << regnum;
    }
    EXPECT_FALSE(ruleOf(state, 25).present);
    EXPECT_EQ(state.get_register_count(), 7u);
}

TEST(KOCrashAsyncDwarfCFAProgram, CfaChangesNeedARegisterRule) {
    State64 state;
    EXPECT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_def_cfa_register, 29})), KOCRASH_EINVAL);
    EXPECT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_def_cfa_offset, 8})), KOCRASH_EINVAL);

    ASSERT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_def_cfa_sf, 31}).sleb(-2)), KOCRASH_ESUCCESS);
    EXPECT_EQ(state.get_cfa_rule().type(), Rule64::CFA_RULE_TYPE_REGISTER_SIGNED);
    EXPECT_EQ(state.get_cfa_rule().register_offset_signed(), 16);
    ASSERT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_def_cfa_register, 29})), KOCRASH_ESUCCESS);
    EXPECT_EQ(state.get_cfa_rule().type(), Rule64::CFA_RULE_TYPE_REGISTER_SIGNED);
    EXPECT_EQ(state.get_cfa_rule().register_number(), 29u);
    ASSERT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_def_cfa_offset, 48})), KOCRASH_ESUCCESS);
    EXPECT_EQ(state.get_cfa_rule().type(), Rule64::CFA_RULE_TYPE_REGISTER);
    EXPECT_EQ(state.get_cfa_rule().register_offset(), 48u);
    ASSERT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_def_cfa_offset_sf, 1})), KOCRASH_ESUCCESS);
    EXPECT_EQ(state.get_cfa_rule().register_offset_signed(), -8);

    Program expression(DwarfBytes().raw({DW_CFA_def_cfa_expression, 2, 0x8F, 0x10}));
    ASSERT_EQ(expression.run(state, std::uint64_t{0}, std::uint64_t{0}, armCie()),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(state.get_cfa_rule().type(), Rule64::CFA_RULE_TYPE_EXPRESSION);
    EXPECT_EQ(state.get_cfa_rule().expression_address(), expression.address() + 2);
    EXPECT_EQ(state.get_cfa_rule().expression_length(), 2u);
    EXPECT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_def_cfa_offset, 8})), KOCRASH_EINVAL);
}

TEST(KOCrashAsyncDwarfCFAProgram, RefusedAndMalformedInstructions) {
    const std::pair<DwarfBytes, kocrash_error_t> cases[] = {
        {DwarfBytes().raw({DW_CFA_GNU_args_size, 16}), KOCRASH_ENOTSUP},
        {DwarfBytes().raw({DW_CFA_GNU_negative_offset_extended, 1, 1}), KOCRASH_ENOTSUP},
        {DwarfBytes().raw({0x17}), KOCRASH_ENOTSUP},
        {DwarfBytes().raw({0x3F}), KOCRASH_ENOTSUP},
        {DwarfBytes().u8(DW_CFA_offset_extended).uleb(1ull << 32).uleb(1), KOCRASH_ENOTSUP},
        {DwarfBytes().u8(DW_CFA_def_cfa_expression).uleb(1ull << 63), KOCRASH_ENOTSUP},
        {DwarfBytes().raw({DW_CFA_expression, 19, 5, 0x8F, 0x08}), KOCRASH_EINVAL},
        {DwarfBytes().raw({DW_CFA_def_cfa_expression, 3, 0x8F}), KOCRASH_EINVAL},
        {DwarfBytes().raw({DW_CFA_def_cfa, 31}), KOCRASH_EINVAL},
        {DwarfBytes().raw({DW_CFA_advance_loc2, 1}), KOCRASH_EINVAL},
        {DwarfBytes().raw({DW_CFA_offset | 3, 0x80}), KOCRASH_EINVAL},
        {DwarfBytes().raw({DW_CFA_set_loc, 1, 2, 3}), KOCRASH_EINVAL},
        {DwarfBytes().raw({DW_CFA_restore_state}), KOCRASH_EINVAL},
    };
    for (const auto& [program, code] : cases) {
        State64 state;
        EXPECT_EQ(runOnce(state, program), code) << int(program.bytes()[0]);
    }
    kocrash_async_dwarf_cie_info segmented = armCie();
    segmented.segment_size = 4;
    State64 state;
    EXPECT_EQ(runOnce(state, DwarfBytes().u8(DW_CFA_set_loc).u64(0x2000), std::uint64_t{0},
                      std::uint64_t{0}, segmented),
              KOCRASH_ENOTSUP);
}

TEST(KOCrashAsyncDwarfCFAProgram, SetLocDecodesWithTheCiePointerEncoding) {
    kocrash_async_dwarf_cie_info cie = armCie();
    cie.has_augmentation_data = true;
    cie.augmentation.has_pointer_encoding = true;
    cie.augmentation.pointer_encoding = DW_EH_PE_udata2;
    const DwarfBytes program = DwarfBytes()
                                   .raw({DW_CFA_def_cfa, 31, 0, DW_CFA_set_loc})
                                   .u16(0x1010)
                                   .raw({DW_CFA_def_cfa_offset, 64});
    State64 before;
    ASSERT_EQ(runOnce(before, program, std::uint64_t{0x100F}, std::uint64_t{0x1000}, cie),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(before.get_cfa_rule().register_offset(), 0u);
    State64 after;
    ASSERT_EQ(runOnce(after, program, std::uint64_t{0x1010}, std::uint64_t{0x1000}, cie),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(after.get_cfa_rule().register_offset(), 64u);
}

TEST(KOCrashAsyncDwarfCFAProgram, FactoredOffsetsWrapInsteadOfOverflowing) {
    kocrash_async_dwarf_cie_info cie = armCie();
    cie.data_alignment_factor = std::numeric_limits<std::int64_t>::min();
    cie.code_alignment_factor = ~0ull;
    State64 state;
    const DwarfBytes program = DwarfBytes()
                                   .raw({DW_CFA_def_cfa_sf, 31})
                                   .sleb(-1)
                                   .raw({DW_CFA_offset_extended_sf, 19})
                                   .sleb(std::numeric_limits<std::int64_t>::min())
                                   .raw({DW_CFA_advance_loc | 63, DW_CFA_offset | 20, 3});
    ASSERT_EQ(runOnce(state, program, std::uint64_t{0}, std::uint64_t{0}, cie), KOCRASH_ESUCCESS);
    EXPECT_EQ(state.get_cfa_rule().register_offset(), 1ull << 63);
    EXPECT_EQ(ruleOf(state, 19).value, 0u);
    EXPECT_EQ(ruleOf(state, 20).value, 1ull << 63);
}

TEST(KOCrashAsyncDwarfCFAState, HundredRulesAndNoMore) {
    State64 state;
    for (std::uint32_t regnum = 0; regnum < 100; ++regnum) {
        ASSERT_TRUE(state.set_register(regnum * 7, DWARF_RULE_OFFSET, regnum));
    }
    EXPECT_FALSE(state.set_register(1000, DWARF_RULE_OFFSET, 0));
    // Replacing an existing rule needs no entry.
    EXPECT_TRUE(state.set_register(7, DWARF_RULE_VAL_OFFSET, 5));
    EXPECT_EQ(state.get_register_count(), 100u);
    state.remove_register(14);
    EXPECT_TRUE(state.set_register(1000, DWARF_RULE_OFFSET, 0));

    DwarfBytes program;
    for (std::uint32_t regnum = 0; regnum < 101; ++regnum) {
        program.u8(DW_CFA_offset_extended).uleb(regnum).uleb(1);
    }
    State64 fromProgram;
    EXPECT_EQ(runOnce(fromProgram, program), KOCRASH_ENOMEM);
}

TEST(KOCrashAsyncDwarfCFAState, FiveRememberedLevelsAndNoMore) {
    State64 state;
    for (int level = 0; level < 5; ++level) {
        ASSERT_TRUE(state.push_state());
    }
    EXPECT_FALSE(state.push_state());
    DwarfBytes six;
    for (int level = 0; level < 6; ++level) {
        six.u8(DW_CFA_remember_state);
    }
    State64 fromProgram;
    EXPECT_EQ(runOnce(fromProgram, six), KOCRASH_ENOMEM);
    for (int level = 0; level < 5; ++level) {
        ASSERT_TRUE(state.pop_state());
    }
    EXPECT_FALSE(state.pop_state());
}

TEST(KOCrashAsyncDwarfCFAState, APushThePoolCannotHoldIsUndone) {
    State64 state;
    state.set_cfa_register(31, 16);
    for (std::uint32_t regnum = 0; regnum < 60; ++regnum) {
        ASSERT_TRUE(state.set_register(regnum, DWARF_RULE_OFFSET, regnum));
    }
    EXPECT_FALSE(state.push_state());
    EXPECT_EQ(state.get_register_count(), 60u);
    // All 40 free entries are still free, and level 0 is still current.
    for (std::uint32_t regnum = 100; regnum < 140; ++regnum) {
        ASSERT_TRUE(state.set_register(regnum, DWARF_RULE_OFFSET, 0)) << regnum;
    }
    EXPECT_FALSE(state.set_register(200, DWARF_RULE_OFFSET, 0));
    EXPECT_FALSE(state.pop_state());
    EXPECT_EQ(state.get_cfa_rule().register_offset(), 16u);
}

TEST(KOCrashAsyncDwarfCFAState, TheIteratorWalksBucketsInOrder) {
    State64 state;
    for (std::uint32_t regnum : {29u, 1u, 15u, 14u, 0u, 28u}) {
        state.set_register(regnum, DWARF_RULE_OFFSET, regnum);
    }
    state.remove_register(15);
    dwarf_cfa_state_iterator<std::uint64_t, std::int64_t> iterator(&state);
    std::vector<std::uint32_t> order;
    std::uint32_t regnum;
    kocrash_dwarf_cfa_reg_rule_t rule;
    std::uint64_t value;
    while (iterator.next(&regnum, &rule, &value)) {
        EXPECT_EQ(value, regnum);
        order.push_back(regnum);
    }
    EXPECT_FALSE(iterator.next(&regnum, &rule, &value));
    // Buckets 0 (14, 0, 28 in insertion order), 1 (29, 1).
    EXPECT_EQ(order, (std::vector<std::uint32_t>{14, 0, 28, 29, 1}));
}

// A 64-bit ARM frame whose stack lies below 2 GiB.
class ApplyState : public testing::Test {
protected:
    ApplyState() {
        kocrash_async_thread_state_init(&current, CPU_TYPE_ARM64);
        for (kocrash_regnum_t regnum = 0; regnum < KOCRASH_ARM64_REGISTER_COUNT; ++regnum) {
            kocrash_async_thread_state_set_reg(&current, regnum, 0x1000 + regnum);
        }
        kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM64_SP, stack.address());
        for (std::size_t slot = 0; slot < 64; ++slot) {
            word(slot) = 0xA000 + slot;
        }
    }
    std::uint64_t& word(std::size_t slot) {
        return reinterpret_cast<std::uint64_t*>(stack.data())[slot];
    }
    std::uint64_t reg(const kocrash_async_thread_state& state, kocrash_regnum_t regnum) {
        EXPECT_TRUE(kocrash_async_thread_state_has_reg(&state, regnum)) << regnum;
        return kocrash_async_thread_state_get_reg(&state, regnum);
    }
    kocrash_error_t apply(const State64& state, kocrash_async_thread_state* next,
                          const kocrash_async_dwarf_cie_info& cie = armCie()) {
        return state.apply_state(mach_task_self(), &cie, &current, little(), next);
    }

    LowPages stack{4096};
    kocrash_async_thread_state current;
};

TEST_F(ApplyState, SavedFramePointerAndLinkRegisterComeFromTheStack) {
    State64 state;
    ASSERT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_def_cfa, 31, 16, DW_CFA_offset | 29, 2,
                                               DW_CFA_offset | 30, 1})),
              KOCRASH_ESUCCESS);
    kocrash_async_thread_state next;
    ASSERT_EQ(apply(state, &next), KOCRASH_ESUCCESS);
    EXPECT_EQ(reg(next, KOCRASH_ARM64_SP), stack.address() + 16);
    EXPECT_EQ(reg(next, KOCRASH_ARM64_FP), word(0));
    EXPECT_EQ(reg(next, KOCRASH_ARM64_LR), word(1));
    EXPECT_EQ(reg(next, KOCRASH_ARM64_PC), word(1));
    // Callee-saved registers carry over; the others are unknown in the caller.
    EXPECT_EQ(reg(next, KOCRASH_ARM64_X19), 0x1000u + KOCRASH_ARM64_X19);
    EXPECT_FALSE(kocrash_async_thread_state_has_reg(&next, KOCRASH_ARM64_X0));
}

TEST_F(ApplyState, WithoutARuleTheReturnAddressIsStillInItsRegister) {
    State64 state;
    ASSERT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_def_cfa, 31, 0})), KOCRASH_ESUCCESS);
    kocrash_async_thread_state next;
    ASSERT_EQ(apply(state, &next), KOCRASH_ESUCCESS);
    EXPECT_EQ(reg(next, KOCRASH_ARM64_PC), 0x1000u + KOCRASH_ARM64_LR);
    EXPECT_EQ(reg(next, KOCRASH_ARM64_SP), stack.address());
    EXPECT_FALSE(kocrash_async_thread_state_has_reg(&next, KOCRASH_ARM64_LR));

    kocrash_async_thread_state_clear_reg(&current, KOCRASH_ARM64_LR);
    EXPECT_EQ(apply(state, &next), KOCRASH_EINVAL);
}

TEST_F(ApplyState, EveryRuleKind) {
    State64 state;
    // x19 = [CFA - 8], x20 = CFA + 8, x21 = x3, x22 unchanged, x23 = [sp + 16] by expression,
    // x24 = sp + 16 + CFA by value expression, v8 (no register of this state) saved at CFA - 16.
    Program program(DwarfBytes()
                        .raw({DW_CFA_def_cfa, 31, 32})
                        .raw({DW_CFA_offset | 19, 1})
                        .raw({DW_CFA_val_offset_sf, 20})
                        .sleb(-1)
                        .raw({DW_CFA_register, 21, 3})
                        .raw({DW_CFA_same_value, 22})
                        .raw({DW_CFA_expression, 23, 2, 0x8F, 0x10})
                        .raw({DW_CFA_val_expression, 24, 3, 0x8F, 0x10, DW_OP_plus})
                        .raw({DW_CFA_offset_extended, 72, 2}));
    ASSERT_EQ(program.run(state, std::uint64_t{0}, std::uint64_t{0}, armCie()), KOCRASH_ESUCCESS);
    kocrash_async_thread_state next;
    ASSERT_EQ(apply(state, &next), KOCRASH_ESUCCESS);
    const std::uint64_t cfa = stack.address() + 32;
    EXPECT_EQ(reg(next, KOCRASH_ARM64_X0 + 19), word(3));
    EXPECT_EQ(reg(next, KOCRASH_ARM64_X0 + 20), cfa + 8);
    EXPECT_EQ(reg(next, KOCRASH_ARM64_X0 + 21), 0x1000u + KOCRASH_ARM64_X0 + 3);
    EXPECT_EQ(reg(next, KOCRASH_ARM64_X0 + 22), 0x1000u + KOCRASH_ARM64_X0 + 22);
    EXPECT_EQ(reg(next, KOCRASH_ARM64_X0 + 23), word(2));
    EXPECT_EQ(reg(next, KOCRASH_ARM64_X0 + 24), stack.address() + 16 + cfa);
}

// An empty expression block leaves its start value, the CFA, on the stack as its result.
TEST_F(ApplyState, EmptyExpressionBlocksYieldTheCfa) {
    State64 state;
    Program program(DwarfBytes()
                        .raw({DW_CFA_def_cfa, 31, 32})
                        .raw({DW_CFA_expression, 23, 0})
                        .raw({DW_CFA_val_expression, 24, 0}));
    ASSERT_EQ(program.run(state, std::uint64_t{0}, std::uint64_t{0}, armCie()), KOCRASH_ESUCCESS);
    kocrash_async_thread_state next;
    ASSERT_EQ(apply(state, &next), KOCRASH_ESUCCESS);
    EXPECT_EQ(reg(next, KOCRASH_ARM64_X0 + 23), word(4));
    EXPECT_EQ(reg(next, KOCRASH_ARM64_X0 + 24), stack.address() + 32);
}

// Code built with return-address signing toggles the state after signing the link register;
// the saved value then carries a signature above the 48 address bits.
TEST_F(ApplyState, ASignedReturnAddressIsStrippedBeforeItBecomesThePc) {
    State64 state;
    ASSERT_EQ(runOnce(state, DwarfBytes().raw({DW_CFA_AARCH64_negate_ra_state, DW_CFA_def_cfa, 31,
                                               16, DW_CFA_offset | 29, 2, DW_CFA_offset | 30, 1})),
              KOCRASH_ESUCCESS);
    ASSERT_TRUE(state.return_address_signed());
    word(1) = 0x002B0000004A1234ull;
    kocrash_async_thread_state next;
    ASSERT_EQ(apply(state, &next), KOCRASH_ESUCCESS);
    EXPECT_EQ(next.arm_registers.uts.ts_64.pc, 0x4A1234u);
    EXPECT_EQ(next.arm_registers.uts.ts_64.lr, 0x4A1234u);

    // The state is a column of the row: a restored row brings it back.
    State64 toggled;
    ASSERT_EQ(
        runOnce(toggled, DwarfBytes().raw({DW_CFA_AARCH64_negate_ra_state, DW_CFA_remember_state,
                                           DW_CFA_AARCH64_negate_ra_state})),
        KOCRASH_ESUCCESS);
    EXPECT_FALSE(toggled.return_address_signed());
    ASSERT_TRUE(toggled.pop_state());
    EXPECT_TRUE(toggled.return_address_signed());
}

TEST_F(ApplyState, RulesThatCannotBeFollowed) {
    kocrash_async_thread_state next;
    State64 undefined;
    EXPECT_EQ(apply(undefined, &next), KOCRASH_EINVAL);

    State64 unmapped;
    unmapped.set_cfa_register(100, 0);
    EXPECT_EQ(apply(unmapped, &next), KOCRASH_ENOTSUP);

    State64 unknown;
    unknown.set_cfa_register(9, 0);
    kocrash_async_thread_state_clear_reg(&current, KOCRASH_ARM64_X0 + 9);
    EXPECT_EQ(apply(unknown, &next), KOCRASH_ENOTFOUND);

    State64 badSource;
    badSource.set_cfa_register(31, 0);
    badSource.set_register(19, DWARF_RULE_REGISTER, 100);
    EXPECT_EQ(apply(badSource, &next), KOCRASH_EINVAL);
    badSource.set_register(19, DWARF_RULE_REGISTER, 9);
    EXPECT_EQ(apply(badSource, &next), KOCRASH_ENOTFOUND);
    badSource.set_register(19, DWARF_RULE_SAME_VALUE, 0);
    kocrash_async_thread_state_clear_reg(&current, KOCRASH_ARM64_X19);
    EXPECT_EQ(apply(badSource, &next), KOCRASH_ENOTFOUND);

    // A saved slot in the first page, where nothing is ever mapped.
    State64 unreadable;
    unreadable.set_cfa_register(31, 0);
    unreadable.set_register(20, DWARF_RULE_OFFSET, 0x10 - stack.address());
    EXPECT_EQ(apply(unreadable, &next), KOCRASH_ENOTFOUND);
}

TEST_F(ApplyState, AReturnAddressColumnWithoutARegisterFeedsThePc) {
    kocrash_async_dwarf_cie_info cie = armCie();
    cie.return_address_register = 32;
    State64 state;
    state.set_cfa_register(31, 16);
    state.set_register(32, DWARF_RULE_OFFSET, static_cast<std::uint64_t>(-8));
    kocrash_async_thread_state next;
    ASSERT_EQ(apply(state, &next, cie), KOCRASH_ESUCCESS);
    EXPECT_EQ(reg(next, KOCRASH_ARM64_PC), word(1));
}

TEST(KOCrashAsyncDwarfApplyState32, ThirtyTwoBitFramesReadFourByteSlots) {
    LowPages stack(4096);
    auto* slots = reinterpret_cast<std::uint32_t*>(stack.data());
    slots[0] = 0x11111111;
    slots[1] = 0x22222222;
    kocrash_async_thread_state current;
    kocrash_async_thread_state_init(&current, CPU_TYPE_ARM);
    kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM_SP,
                                       static_cast<std::uint32_t>(stack.address()));
    kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM_R7, 0x7777);

    kocrash_async_dwarf_cie_info cie{};
    cie.code_alignment_factor = 2;
    cie.data_alignment_factor = -4;
    cie.return_address_register = 14;
    State32 state;
    ASSERT_EQ(runOnce(state,
                      DwarfBytes().raw(
                          {DW_CFA_def_cfa, 13, 8, DW_CFA_offset | 7, 2, DW_CFA_offset | 14, 1}),
                      std::uint32_t{0}, std::uint32_t{0}, cie),
              KOCRASH_ESUCCESS);
    kocrash_async_thread_state next;
    ASSERT_EQ(state.apply_state(mach_task_self(), &cie, &current, little(), &next),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM_SP), stack.address() + 8);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM_R7), 0x11111111u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM_LR), 0x22222222u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM_PC), 0x22222222u);
}

} // namespace
