// The expression evaluator in both machine widths: arithmetic that wraps, signed comparisons
// and division, hostile operands, stack limits, branches and the bound on the operations a run
// may execute, registers and memory; and every expression of a real C library's call-frame
// table evaluated against readelf's rendering of it.
#include "unwind/KOCrashAsyncDwarfExpression.h"
#include "unwind/KOCrashAsyncDwarfCFAState.h"
#include "unwind/KOCrashAsyncDwarfConstants.h"
#include "unwind/KOCrashAsyncDwarfFrameReader.h"
#include "unwind/KOCrashAsyncDwarfPrimitives.h"

#include "DwarfBytes.h"
#include "ElfFile.h"
#include "GuardedPages.h"
#include "LowPages.h"
#include "MappedImage.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <regex>
#include <sstream>

using platform::mach::mach_task_self;

using namespace kocrash::async;

namespace {

const kocrash_async_byteorder* little() {
    return kocrash_async_byteorder_little_endian();
}

template <typename Word> class DwarfExpression : public testing::Test {
protected:
    using word = Word;
    using signed_word = std::make_signed_t<Word>;
    static constexpr word kAllOnes = ~word{0};

    DwarfExpression() {
        kocrash_async_thread_state_init(&state, CPU_TYPE_ARM64);
        for (kocrash_regnum_t regnum = 0; regnum < KOCRASH_ARM64_REGISTER_COUNT; ++regnum) {
            kocrash_async_thread_state_set_reg(&state, regnum, 0x100 * regnum);
        }
        kocrash_async_thread_state_set_reg(&state, KOCRASH_ARM64_SP, 0x1000);
    }

    struct Result {
        kocrash_error_t error;
        word value;
    };

    Result eval(const DwarfBytes& expression, std::initializer_list<word> initial = {}) {
        MappedBytes mapped(expression);
        const std::vector<word> entries(initial);
        Result result{0, 0x5A5A5A5A};
        result.error = kocrash_async_dwarf_expression_eval<word, signed_word>(
            mapped.mobj(), mach_task_self(), &state, little(), mapped.address(), 0, mapped.size(),
            entries.data(), entries.size(), &result.value);
        return result;
    }
    word value(const DwarfBytes& expression) {
        Result result = eval(expression);
        EXPECT_EQ(result.error, KOCRASH_ESUCCESS);
        return result.value;
    }
    kocrash_error_t error(const DwarfBytes& expression) { return eval(expression).error; }

    kocrash_async_thread_state state;
};

using Widths = testing::Types<std::uint32_t, std::uint64_t>;
TYPED_TEST_SUITE(DwarfExpression, Widths);

TYPED_TEST(DwarfExpression, ArithmeticWrapsInTheWord) {
    using word = typename TestFixture::word;
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit5, DW_OP_lit3, DW_OP_minus})), 2u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit3, DW_OP_lit5, DW_OP_minus})),
              static_cast<word>(TestFixture::kAllOnes - 1));
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_const1s, 0xFF, DW_OP_lit2, DW_OP_div})), 0u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_const1s, 0xF9, DW_OP_lit2, DW_OP_div})),
              static_cast<word>(-3));
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_const1s, 0xF9, DW_OP_lit2, DW_OP_mod})),
              static_cast<word>(TestFixture::kAllOnes - 6) % 2);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_const1s, 0xFF, DW_OP_lit1, DW_OP_lt})), 1u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_const1s, 0xFF, DW_OP_lit1, DW_OP_gt})), 0u);
    EXPECT_EQ(
        this->value(DwarfBytes().raw({DW_OP_lit7, DW_OP_lit7, DW_OP_le, DW_OP_lit7, DW_OP_lit7,
                                      DW_OP_ge, DW_OP_plus, DW_OP_lit1, DW_OP_lit2, DW_OP_ne,
                                      DW_OP_plus, DW_OP_lit1, DW_OP_lit1, DW_OP_eq, DW_OP_plus})),
        4u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_const1s, 0xF0, DW_OP_lit4, DW_OP_shr})),
              TestFixture::kAllOnes >> 4);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_const1s, 0xF0, DW_OP_lit4, DW_OP_shra})),
              TestFixture::kAllOnes);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit3, DW_OP_lit4, DW_OP_shl})), 48u);
    EXPECT_EQ(
        this->value(DwarfBytes().raw({DW_OP_lit12, DW_OP_lit10, DW_OP_and, DW_OP_lit1, DW_OP_or,
                                      DW_OP_lit15, DW_OP_xor, DW_OP_lit3, DW_OP_mul})),
        18u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit5, DW_OP_neg, DW_OP_abs, DW_OP_not})),
              static_cast<word>(~word{5}));
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit1, DW_OP_plus_uconst}).uleb(1ull << 40)),
              static_cast<word>((1ull << 40) + 1));
}

TYPED_TEST(DwarfExpression, HostileOperandsNeitherTrapNorMisbehave) {
    using word = typename TestFixture::word;
    using signed_word = typename TestFixture::signed_word;
    const word minimum = static_cast<word>(std::numeric_limits<signed_word>::min());
    DwarfBytes minimumBytes;
    if (sizeof(word) == 8) {
        minimumBytes.u8(DW_OP_const8u).u64(minimum);
    } else {
        minimumBytes.u8(DW_OP_const4u).u32(minimum);
    }
    EXPECT_EQ(this->value(DwarfBytes().append(minimumBytes).raw({DW_OP_const1s, 0xFF, DW_OP_div})),
              minimum);
    EXPECT_EQ(this->value(DwarfBytes().append(minimumBytes).raw({DW_OP_abs})), minimum);
    EXPECT_EQ(this->value(DwarfBytes().append(minimumBytes).raw({DW_OP_neg})), minimum);
    EXPECT_EQ(this->value(DwarfBytes().append(minimumBytes).raw({DW_OP_lit2, DW_OP_mul})), 0u);
    // Shift counts are taken modulo the width.
    const std::uint8_t bits = sizeof(word) * 8;
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit3, DW_OP_const1u, bits, DW_OP_shl})), 3u);
    EXPECT_EQ(this->value(DwarfBytes().raw(
                  {DW_OP_lit3, DW_OP_const1u, static_cast<std::uint8_t>(2 * bits + 1), DW_OP_shl})),
              6u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_const1s, 0x80, DW_OP_const1s, 0xFF, DW_OP_shra})),
              TestFixture::kAllOnes);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit8, DW_OP_const1u, bits, DW_OP_shr})), 8u);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_lit1, DW_OP_lit0, DW_OP_div})), KOCRASH_EINVAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_lit1, DW_OP_lit0, DW_OP_mod})), KOCRASH_EINVAL);
}

TYPED_TEST(DwarfExpression, ConstantsAreCutToTheWord) {
    using word = typename TestFixture::word;
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_const8u).u64(0x1122334455667788)),
              static_cast<word>(0x1122334455667788));
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_const8s).u64(~0ull)), TestFixture::kAllOnes);
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_const4s).u32(0x80000000)),
              static_cast<word>(-0x80000000ll));
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_const4u).u32(0x80000000)), 0x80000000u);
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_const2s).u16(0x8000)), static_cast<word>(-0x8000));
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_const2u).u16(0x8000)), 0x8000u);
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_const1u).u8(0x80)), 0x80u);
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_constu).uleb(1ull << 35)),
              static_cast<word>(1ull << 35));
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_consts).sleb(-5)), static_cast<word>(-5));
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_const4u, 1, 2})), KOCRASH_EINVAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_constu, 0x80})), KOCRASH_EINVAL);
}

TYPED_TEST(DwarfExpression, StackOperationsAndTheirLimits) {
    // 1 2 3 (3 on top) rotate to 3 1 2.
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit1, DW_OP_lit2, DW_OP_lit3, DW_OP_rot})), 2u);
    EXPECT_EQ(
        this->value(DwarfBytes().raw({DW_OP_lit1, DW_OP_lit2, DW_OP_lit3, DW_OP_rot, DW_OP_drop})),
        1u);
    EXPECT_EQ(this->value(DwarfBytes().raw(
                  {DW_OP_lit1, DW_OP_lit2, DW_OP_lit3, DW_OP_rot, DW_OP_drop, DW_OP_drop})),
              3u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit1, DW_OP_lit2, DW_OP_over})), 1u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit1, DW_OP_lit2, DW_OP_lit3, DW_OP_pick, 2})),
              1u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit1, DW_OP_lit2, DW_OP_swap})), 1u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit4, DW_OP_dup, DW_OP_plus})), 8u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit9, DW_OP_nop})), 9u);

    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_lit1, DW_OP_swap})), KOCRASH_EINVAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_lit1, DW_OP_lit1, DW_OP_rot})), KOCRASH_EINVAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_lit1, DW_OP_pick, 1})), KOCRASH_EINVAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_dup})), KOCRASH_EINVAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_drop})), KOCRASH_EINVAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_lit1, DW_OP_plus})), KOCRASH_EINTERNAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_neg})), KOCRASH_EINTERNAL);

    DwarfBytes hundred;
    for (int entry = 0; entry < 100; ++entry) {
        hundred.u8(DW_OP_lit0);
    }
    EXPECT_EQ(this->error(hundred), KOCRASH_ESUCCESS);
    EXPECT_EQ(this->error(DwarfBytes().append(hundred).u8(DW_OP_lit0)), KOCRASH_EINTERNAL);
    EXPECT_EQ(this->error(DwarfBytes().append(hundred).u8(DW_OP_over)), KOCRASH_EINTERNAL);
    EXPECT_EQ(this->error(DwarfBytes().append(hundred).raw({DW_OP_pick, 0})), KOCRASH_EINTERNAL);
    EXPECT_EQ(this->error(DwarfBytes().append(hundred).u8(DW_OP_dup)), KOCRASH_EINVAL);
}

TYPED_TEST(DwarfExpression, InitialEntriesAndTheFinalStack) {
    using word = typename TestFixture::word;
    using signed_word = typename TestFixture::signed_word;
    EXPECT_EQ(this->eval(DwarfBytes().u8(DW_OP_nop), {}).error, KOCRASH_EINVAL);
    auto withCfa = this->eval(DwarfBytes().u8(DW_OP_nop), {0x4000});
    EXPECT_EQ(withCfa.error, KOCRASH_ESUCCESS);
    EXPECT_EQ(withCfa.value, 0x4000u);
    // An empty expression leaves the initial entries as they are.
    MappedBytes mapped(DwarfBytes().u8(DW_OP_lit1));
    const word cfa = 0x8000;
    word result = 0;
    EXPECT_EQ((kocrash_async_dwarf_expression_eval<word, signed_word>(
                  mapped.mobj(), mach_task_self(), &this->state, little(), mapped.address(), 0, 0,
                  &cfa, 1, &result)),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(result, cfa);
    EXPECT_EQ((kocrash_async_dwarf_expression_eval<word, signed_word>(
                  mapped.mobj(), mach_task_self(), &this->state, little(), mapped.address(), 0, 0,
                  nullptr, 0, &result)),
              KOCRASH_EINVAL);
    // The first given entry ends deepest.
    EXPECT_EQ(this->eval(DwarfBytes().u8(DW_OP_minus), {10, 3}).value, 7u);
    std::vector<word> tooMany(101, 1);
    EXPECT_EQ((kocrash_async_dwarf_expression_eval<word, signed_word>(
                  mapped.mobj(), mach_task_self(), &this->state, little(), mapped.address(), 0,
                  mapped.size(), tooMany.data(), tooMany.size(), &result)),
              KOCRASH_EINTERNAL);
}

TYPED_TEST(DwarfExpression, BranchesStayInsideTheExpressionAndRunsAreBounded) {
    // Counts 5 down to 0 with a backward branch.
    EXPECT_EQ(this->value(DwarfBytes()
                              .raw({DW_OP_lit5, DW_OP_lit1, DW_OP_minus, DW_OP_dup, DW_OP_bra})
                              .u16(static_cast<std::uint16_t>(-6))),
              0u);
    EXPECT_EQ(this->value(DwarfBytes().raw({DW_OP_lit1, DW_OP_skip}).u16(1).raw({DW_OP_lit7})), 1u);
    EXPECT_EQ(
        this->value(DwarfBytes().raw({DW_OP_lit1, DW_OP_lit0, DW_OP_bra}).u16(1).raw({DW_OP_lit7})),
        7u);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_lit1, DW_OP_skip}).u16(2).raw({DW_OP_lit7})),
              KOCRASH_EINVAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_skip}).u16(static_cast<std::uint16_t>(-4))),
              KOCRASH_EINVAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_bra}).u16(0)), KOCRASH_EINTERNAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_lit1, DW_OP_skip, 0})), KOCRASH_EINVAL);

    // A loop without end stops after a bounded number of operations.
    EXPECT_EQ(
        this->error(DwarfBytes().raw({DW_OP_lit1, DW_OP_skip}).u16(static_cast<std::uint16_t>(-3))),
        KOCRASH_EINVAL);
    // A loop of one operation and then four per round runs to the bound and no further.
    auto countdown = [](std::uint16_t rounds) {
        return DwarfBytes()
            .u8(DW_OP_const2u)
            .u16(rounds)
            .raw({DW_OP_lit1, DW_OP_minus, DW_OP_dup, DW_OP_bra})
            .u16(static_cast<std::uint16_t>(-6));
    };
    const std::uint16_t rounds = (kDwarfExpressionMaxOperations - 1) / 4;
    EXPECT_EQ(this->value(countdown(rounds)), 0u);
    EXPECT_EQ(this->error(countdown(rounds + 1)), KOCRASH_EINVAL);
}

TYPED_TEST(DwarfExpression, RegistersAreMappedFromDwarfNumbers) {
    using word = typename TestFixture::word;
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_breg0 + 31).sleb(16)), 0x1010u);
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_breg0 + 5).sleb(-1)),
              static_cast<word>(0x100 * (KOCRASH_ARM64_X0 + 5) - 1));
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_bregx).uleb(29).sleb(8)),
              static_cast<word>(0x100 * KOCRASH_ARM64_FP + 8));
    EXPECT_EQ(this->error(DwarfBytes().u8(DW_OP_bregx).uleb(64).sleb(0)), KOCRASH_ENOTSUP);
    EXPECT_EQ(this->error(DwarfBytes().u8(DW_OP_bregx).uleb(1ull << 40).sleb(0)), KOCRASH_ENOTSUP);
    kocrash_async_thread_state_clear_reg(&this->state, KOCRASH_ARM64_X0 + 7);
    // The register is looked up before its (here missing) offset is read.
    EXPECT_EQ(this->error(DwarfBytes().u8(DW_OP_breg0 + 7)), KOCRASH_ENOTFOUND);
    EXPECT_EQ(this->error(DwarfBytes().u8(DW_OP_breg0 + 8)), KOCRASH_EINVAL);
}

TYPED_TEST(DwarfExpression, DereferencesReadTheTask) {
    using word = typename TestFixture::word;
    LowPages memory(4096);
    const std::uint64_t pattern = 0x8877665544332211;
    std::memcpy(memory.data(), &pattern, sizeof(pattern));
    DwarfBytes address;
    address.u8(DW_OP_const4u).u32(static_cast<std::uint32_t>(memory.address()));
    EXPECT_EQ(this->value(DwarfBytes().append(address).u8(DW_OP_deref)),
              static_cast<word>(pattern));
    EXPECT_EQ(this->value(DwarfBytes().append(address).raw({DW_OP_deref_size, 1})), 0x11u);
    EXPECT_EQ(this->value(DwarfBytes().append(address).raw({DW_OP_deref_size, 2})), 0x2211u);
    EXPECT_EQ(this->value(DwarfBytes().append(address).raw({DW_OP_deref_size, 4})), 0x44332211u);
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_lit9).append(address).u8(DW_OP_xderef)),
              static_cast<word>(pattern));
    EXPECT_EQ(this->value(DwarfBytes().u8(DW_OP_lit9).append(address).raw({DW_OP_xderef_size, 1})),
              0x11u);
    EXPECT_EQ(this->error(DwarfBytes().append(address).u8(DW_OP_xderef)), KOCRASH_EINVAL);
    // A size above the word is refused before anything is popped; other sizes after.
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_deref_size, 16})), KOCRASH_EINVAL);
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_deref_size, 3})), KOCRASH_EINTERNAL);
    EXPECT_EQ(this->error(DwarfBytes().append(address).raw({DW_OP_deref_size, 3})), KOCRASH_EINVAL);
    if (sizeof(word) == 8) {
        EXPECT_EQ(this->value(DwarfBytes().append(address).raw({DW_OP_deref_size, 8})), pattern);
    } else {
        EXPECT_EQ(this->error(DwarfBytes().append(address).raw({DW_OP_deref_size, 8})),
                  KOCRASH_EINVAL);
    }
#if defined(__x86_64__)
    // The emulator cannot tell an unreadable page from an unmapped one.
    GuardedPages pages;
    if (sizeof(word) == 8) {
        const auto inaccessible = reinterpret_cast<std::uintptr_t>(pages.inaccessible());
        EXPECT_EQ(this->error(DwarfBytes().u8(DW_OP_const8u).u64(inaccessible).u8(DW_OP_deref)),
                  KOCRASH_EACCESS);
    }
#endif
    // Nothing is ever mapped in the first page.
    EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_lit16, DW_OP_deref})), KOCRASH_ENOTFOUND);
}

TYPED_TEST(DwarfExpression, OperationsOutsideTheSupportedSetAreRefused) {
    const std::uint8_t refused[] = {0x00,
                                    0x01,
                                    0x02,
                                    DW_OP_addr,
                                    0x04,
                                    0x05,
                                    0x07,
                                    DW_OP_reg0,
                                    DW_OP_reg31,
                                    DW_OP_regx,
                                    DW_OP_fbreg,
                                    DW_OP_piece,
                                    DW_OP_push_object_address,
                                    DW_OP_call2,
                                    DW_OP_call4,
                                    DW_OP_call_ref,
                                    DW_OP_form_tls_address,
                                    DW_OP_call_frame_cfa,
                                    DW_OP_bit_piece,
                                    DW_OP_implicit_value,
                                    DW_OP_stack_value,
                                    0xA0,
                                    0xE0,
                                    0xF3,
                                    0xFF};
    for (std::uint8_t opcode : refused) {
        EXPECT_EQ(this->error(DwarfBytes().raw({DW_OP_lit1, opcode, 0, 0, 0, 0})), KOCRASH_ENOTSUP)
            << int(opcode);
    }
}

// A model of the operations as readelf renders them ("DW_OP_breg7 (rsp): 8; DW_OP_lit15"),
// enough for the expressions of a C library's call-frame table. The registers are the
// thread state's, numbered as DWARF numbers them; memory comes from the task.
std::uint64_t evaluateRendering(const std::string& rendering,
                                const kocrash_async_thread_state& state, std::uint64_t initial) {
    std::vector<std::uint64_t> stack;
    if (initial != 0) {
        stack.push_back(initial);
    }
    auto pop = [&] {
        std::uint64_t top = stack.back();
        stack.pop_back();
        return top;
    };
    std::smatch match;
    const std::regex breg(R"(DW_OP_breg(\d+) \([^)]*\): (-?\d+))");
    const std::regex lit(R"(DW_OP_lit(\d+))");
    const std::regex constant(R"(DW_OP_const\d[us]: (-?\d+))");
    std::stringstream operations(rendering);
    std::string operation;
    while (std::getline(operations, operation, ';')) {
        operation.erase(0, operation.find_first_not_of(' '));
        if (std::regex_match(operation, match, breg)) {
            kocrash_regnum_t regnum;
            EXPECT_TRUE(kocrash_async_thread_state_map_dwarf_to_reg(&state, std::stoull(match[1]),
                                                                    &regnum));
            stack.push_back(kocrash_async_thread_state_get_reg(&state, regnum) +
                            static_cast<std::uint64_t>(std::stoll(match[2])));
        } else if (std::regex_match(operation, match, lit)) {
            stack.push_back(std::stoull(match[1]));
        } else if (std::regex_match(operation, match, constant)) {
            stack.push_back(static_cast<std::uint64_t>(std::stoll(match[1])));
        } else if (operation == "DW_OP_deref") {
            std::uint64_t address = pop();
            std::uint64_t value;
            std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof(value));
            stack.push_back(value);
        } else if (operation == "DW_OP_and" || operation == "DW_OP_plus" ||
                   operation == "DW_OP_shl" || operation == "DW_OP_ge" ||
                   operation == "DW_OP_minus") {
            std::uint64_t top = pop();
            std::uint64_t second = pop();
            stack.push_back(operation == "DW_OP_and"     ? second & top
                            : operation == "DW_OP_plus"  ? second + top
                            : operation == "DW_OP_minus" ? second - top
                            : operation == "DW_OP_shl"
                                ? second << top
                                : std::uint64_t{static_cast<std::int64_t>(second) >=
                                                static_cast<std::int64_t>(top)});
        } else {
            ADD_FAILURE() << "no model for " << operation;
            return 0;
        }
    }
    return stack.back();
}

// The x86-64 C library's table holds the expressions that need them: the PLT's CFA (which
// depends on where in a PLT entry the pc is) and the signal return trampoline, whose every
// register is saved at an expression's address.
TEST(KOCrashAsyncDwarfRealExpressions, EveryExpressionOfTheCLibraryTableMatchesReadelf) {
    const std::string path = "/lib/x86_64-linux-gnu/libc.so.6";
    if (!std::filesystem::exists(path)) {
        GTEST_SKIP() << "no x86-64 C library on this machine";
    }
    ElfFile file(path);
    const ElfSection section = *file.section(".eh_frame");
    CopiedSection copy(file, section);
    kocrash_async_mobject mobj;
    ASSERT_EQ(
        kocrash_async_mobject_init(&mobj, mach_task_self(), copy.address(), copy.size(), true),
        KOCRASH_ESUCCESS);

    // Registers: distinct values; sp points into a buffer of distinct words below 2 GiB.
    LowPages memory(8192);
    for (std::size_t slot = 0; slot < 1024; ++slot) {
        reinterpret_cast<std::uint64_t*>(memory.data())[slot] = 0x10000 + slot * 0x111;
    }
    kocrash_async_thread_state state;
    kocrash_async_thread_state_init(&state, CPU_TYPE_ARM64);
    for (kocrash_regnum_t regnum = 0; regnum < KOCRASH_ARM64_REGISTER_COUNT; ++regnum) {
        kocrash_async_thread_state_set_reg(&state, regnum, 0x700000 + 0x1003 * regnum);
    }
    // DWARF register 7 (the stack pointer of x86-64) is x7 of this state.
    kocrash_async_thread_state_set_reg(&state, KOCRASH_ARM64_X0 + 7, memory.address() + 0x100);

    std::unique_ptr<FILE, int (*)(FILE*)> dump(
        popen(("readelf --debug-dump=frames '" + path + "' 2>/dev/null").c_str(), "r"), pclose);
    ASSERT_TRUE(dump);
    const std::regex fdeLine(
        R"(^([0-9a-f]+) [0-9a-f]+ [0-9a-f]+ FDE cie=[0-9a-f]+ pc=[0-9a-f]+\.\.([0-9a-f]+))");
    const std::regex cfaExpression(R"(^  DW_CFA_def_cfa_expression \((.*)\)$)");
    const std::regex registerExpression(
        R"(^  DW_CFA_(val_)?expression: r(\d+) \([^)]*\) \((.*)\)$)");
    std::uint64_t fdeOffset = 0;
    std::uint64_t lastPc = 0;
    std::size_t checked = 0;
    char line[4096];
    while (std::fgets(line, sizeof(line), dump.get()) != nullptr) {
        std::string text(line);
        text.erase(text.find_last_not_of("\n") + 1);
        std::smatch match;
        if (std::regex_search(text, match, fdeLine)) {
            fdeOffset = std::stoull(match[1], nullptr, 16);
            lastPc = std::stoull(match[2], nullptr, 16) - 1;
            continue;
        }
        const bool isCfa = std::regex_match(text, match, cfaExpression);
        if (!isCfa && !std::regex_match(text, match, registerExpression)) {
            continue;
        }
        // The row at the FDE's last address holds the expression (the tables that use them
        // never change it again).
        kocrash_async_dwarf_fde_info fde;
        ASSERT_EQ(kocrash_async_dwarf_fde_info_init<std::uint64_t>(
                      &fde, &mobj, little(), copy.address() + fdeOffset, false),
                  KOCRASH_ESUCCESS);
        const gnu_ehptr_reader<std::uint64_t> pointers(little());
        kocrash_async_dwarf_cie_info cie;
        ASSERT_EQ(kocrash_async_dwarf_cie_info_init(&cie, &mobj, little(), &pointers,
                                                    copy.address() + fde.cie_entry_offset),
                  KOCRASH_ESUCCESS);
        dwarf_cfa_state<std::uint64_t, std::int64_t> rows;
        const std::uint64_t pc = lastPc + (copy.address() - section.address);
        ASSERT_EQ(rows.eval_program(&mobj, pc, fde.start_pc, &cie, &pointers, little(),
                                    copy.address(), cie.initial_instructions_offset,
                                    cie.initial_instructions_length),
                  KOCRASH_ESUCCESS);
        ASSERT_EQ(rows.eval_program(&mobj, pc, fde.start_pc, &cie, &pointers, little(),
                                    copy.address(), fde.instructions_offset,
                                    fde.instructions_length),
                  KOCRASH_ESUCCESS);

        std::uint64_t expressionAddress;
        std::uint64_t expressionLength;
        std::uint64_t initial = 0;
        std::string rendering;
        if (isCfa) {
            ASSERT_EQ(rows.get_cfa_rule().type(),
                      (dwarf_cfa_rule<std::uint64_t, std::int64_t>::CFA_RULE_TYPE_EXPRESSION));
            expressionAddress = rows.get_cfa_rule().expression_address();
            expressionLength = rows.get_cfa_rule().expression_length();
            rendering = match[1];
        } else {
            kocrash_dwarf_cfa_reg_rule_t rule;
            std::uint64_t block;
            ASSERT_TRUE(rows.get_register_rule(std::stoul(match[2]), &rule, &block));
            kocrash_vm_size_t lengthSize;
            ASSERT_EQ(
                kocrash_async_dwarf_read_uleb128(&mobj, block, 0, &expressionLength, &lengthSize),
                KOCRASH_ESUCCESS);
            expressionAddress = block + lengthSize;
            initial = memory.address() + 0x200;
            rendering = match[3];
        }
        for (std::uint64_t pcValue : {0x1000u, 0x100Au, 0x100Bu, 0x100Fu}) {
            // The PLT's CFA depends on the pc's place in its 16-byte entry.
            kocrash_async_thread_state_set_reg(&state, KOCRASH_ARM64_X0 + 16, pcValue);
            std::uint64_t result;
            const std::uint64_t initialEntries[] = {initial};
            ASSERT_EQ((kocrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
                          &mobj, mach_task_self(), &state, little(), expressionAddress, 0,
                          expressionLength, initialEntries, initial != 0 ? 1 : 0, &result)),
                      KOCRASH_ESUCCESS)
                << rendering;
            EXPECT_EQ(result, evaluateRendering(rendering, state, initial)) << rendering;
        }
        ++checked;
    }
    kocrash_async_mobject_free(&mobj);
    EXPECT_GE(checked, 10u);
}

} // namespace
