// The stepping loop of the frame walker with scripted readers: the first frame, the reader
// order, what a failed step leaves behind, and the end of the stack.
#include "unwind/KOCrashFrameWalker.h"

#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using platform::mach::mach_task_self;
using platform::mach::vm_page_size;

namespace {

// What a scripted reader does and what it was shown.
struct Script {
    koframe_error_t result = KOFRAME_ENOTSUP;
    // The pc of the frame it derives; no pc at all when unset.
    bool derivesPc = true;
    kocrash_greg_t nextPc = 0;
    // How far the derived frame's sp lies above the current one; no sp at all when unset.
    std::optional<kocrash_greg_t> spStep;
    int calls = 0;
    std::vector<bool> sawPrevious;
    std::vector<kocrash_greg_t> previousPcs;
};

Script first;
Script second;

koframe_error_t play(Script& script, const kocrash_async_thread_state* current,
                     const kocrash_async_thread_state* previous, kocrash_async_thread_state* next) {
    ++script.calls;
    script.sawPrevious.push_back(previous != nullptr);
    script.previousPcs.push_back(
        previous != nullptr ? kocrash_async_thread_state_get_reg(previous, KOCRASH_REG_IP) : 0);
    if (script.result == KOFRAME_ESUCCESS) {
        kocrash_async_thread_state_copy(next, current);
        kocrash_async_thread_state_clear_all_regs(next);
        if (script.derivesPc) {
            kocrash_async_thread_state_set_reg(next, KOCRASH_REG_IP, script.nextPc);
        }
        if (script.spStep) {
            kocrash_async_thread_state_set_reg(
                next, KOCRASH_REG_SP,
                kocrash_async_thread_state_get_reg(current, KOCRASH_REG_SP) + *script.spStep);
        }
    }
    return script.result;
}

koframe_error_t firstReader(task_t, kocrash_async_image_list*,
                            const kocrash_async_thread_state* current,
                            const kocrash_async_thread_state* previous,
                            kocrash_async_thread_state* next) {
    return play(first, current, previous, next);
}

koframe_error_t secondReader(task_t, kocrash_async_image_list*,
                             const kocrash_async_thread_state* current,
                             const kocrash_async_thread_state* previous,
                             kocrash_async_thread_state* next) {
    return play(second, current, previous, next);
}

constexpr koframe_cursor_frame_reader_t kReaders[] = {firstReader, secondReader};

class FrameWalker : public testing::Test {
protected:
    FrameWalker() {
        first = Script();
        second = Script();
        kocrash_async_thread_state_init(&initial, CPU_TYPE_ARM64);
        kocrash_async_thread_state_set_reg(&initial, KOCRASH_REG_IP, 0x50000);
        kocrash_async_thread_state_set_reg(&initial, KOCRASH_REG_SP, 0x70000);
        koframe_cursor_init(&cursor, mach_task_self(), &initial, nullptr);
    }
    ~FrameWalker() override { koframe_cursor_free(&cursor); }

    koframe_error_t step() { return koframe_cursor_next_with_readers(&cursor, kReaders, 2); }
    kocrash_greg_t pc() {
        kocrash_greg_t value = 0;
        EXPECT_EQ(koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &value), KOFRAME_ESUCCESS);
        return value;
    }

    kocrash_async_thread_state initial;
    koframe_cursor cursor;
};

TEST_F(FrameWalker, TheFirstFrameIsTheInitialStateItself) {
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    EXPECT_EQ(cursor.depth, 1u);
    EXPECT_EQ(pc(), 0x50000u);
    kocrash_greg_t sp;
    ASSERT_EQ(koframe_cursor_get_reg(&cursor, KOCRASH_REG_SP, &sp), KOFRAME_ESUCCESS);
    EXPECT_EQ(sp, 0x70000u);
    EXPECT_EQ(first.calls + second.calls, 0);
}

TEST_F(FrameWalker, WithoutReadersOnlyTheFirstFrameComes) {
    EXPECT_EQ(koframe_cursor_next_with_readers(&cursor, nullptr, 0), KOFRAME_ESUCCESS);
    EXPECT_EQ(koframe_cursor_next_with_readers(&cursor, nullptr, 0), KOFRAME_EINVAL);
    EXPECT_EQ(cursor.depth, 1u);
}

TEST_F(FrameWalker, TheFirstReaderThatSucceedsSuppliesTheFrame) {
    first.result = KOFRAME_ENOTSUP;
    second.result = KOFRAME_ESUCCESS;
    second.nextPc = 0x60000;
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    EXPECT_EQ(pc(), 0x60000u);
    EXPECT_EQ(cursor.depth, 2u);
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 1);

    first.result = KOFRAME_ESUCCESS;
    first.nextPc = 0x61000;
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    EXPECT_EQ(pc(), 0x61000u);
    EXPECT_EQ(second.calls, 1) << "later readers are not asked";
}

TEST_F(FrameWalker, WhenEveryReaderFailsTheLastOnesCodeComesBackAndNothingMoves) {
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    first.result = KOFRAME_ENOTSUP;
    second.result = KOFRAME_EBADFRAME;
    EXPECT_EQ(step(), KOFRAME_EBADFRAME);
    EXPECT_EQ(cursor.depth, 1u);
    EXPECT_EQ(pc(), 0x50000u);
    second.result = KOFRAME_ENOFRAME;
    EXPECT_EQ(step(), KOFRAME_ENOFRAME);
}

TEST_F(FrameWalker, ReadersSeeThePreviousFrameFromTheSecondStepOn) {
    first.result = KOFRAME_ESUCCESS;
    first.nextPc = 0x60000;
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    first.nextPc = 0x61000;
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    EXPECT_EQ(first.sawPrevious, (std::vector<bool>{false, true}));
    EXPECT_EQ(first.previousPcs[1], 0x50000u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&cursor.previous_frame, KOCRASH_REG_IP), 0x60000u);
}

TEST_F(FrameWalker, APcInTheFirstPageEndsTheStack) {
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    first.result = KOFRAME_ESUCCESS;
    for (kocrash_greg_t endPc :
         {kocrash_greg_t{0}, kocrash_greg_t{1}, kocrash_greg_t{vm_page_size}}) {
        first.nextPc = endPc;
        EXPECT_EQ(step(), KOFRAME_ENOFRAME) << endPc;
        EXPECT_EQ(cursor.depth, 1u);
    }
    first.derivesPc = false;
    EXPECT_EQ(step(), KOFRAME_ENOFRAME);
    first.derivesPc = true;
    first.nextPc = vm_page_size + 1;
    EXPECT_EQ(step(), KOFRAME_ESUCCESS);
    EXPECT_EQ(cursor.depth, 2u);
}

TEST_F(FrameWalker, AStepThatStaysAtTheSamePcAndStackEndsTheStack) {
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    first.result = KOFRAME_ESUCCESS;
    first.nextPc = 0x50000;
    first.spStep = 0x40;
    ASSERT_EQ(step(), KOFRAME_ESUCCESS) << "recursion: same pc, caller's stack above";
    first.spStep = 0;
    EXPECT_EQ(step(), KOFRAME_ENOFRAME);
    EXPECT_EQ(cursor.depth, 2u);
}

TEST_F(FrameWalker, RegistersOfTheCurrentFrame) {
    ASSERT_EQ(step(), KOFRAME_ESUCCESS);
    EXPECT_EQ(koframe_cursor_get_regcount(&cursor), KOCRASH_ARM64_REGISTER_COUNT);
    EXPECT_STREQ(koframe_cursor_get_regname(&cursor, KOCRASH_REG_SP), "sp");
    EXPECT_EQ(koframe_cursor_get_regname(&cursor, KOCRASH_ARM64_REGISTER_COUNT), nullptr);
    kocrash_greg_t value;
    EXPECT_EQ(koframe_cursor_get_reg(&cursor, KOCRASH_ARM64_X0, &value), KOFRAME_ENOTSUP);
    EXPECT_EQ(koframe_cursor_get_reg(&cursor, 63, &value), KOFRAME_ENOTSUP);
}

} // namespace
