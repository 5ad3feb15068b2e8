// The frame-pointer reader over frame records laid out in real memory, and over the real
// stack of this thread (64-bit ARM only: the thread state has no other layout); the
// link-register reader that comes before it for a first pc in no image.
#include "unwind/KOCrashFrameWalker.h"

#include "LowPages.h"
#include "ProcessFunctions.h"
#include "images/KOCrashAsyncImageList.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <vector>

using platform::mach::mach_task_self;

namespace {

constexpr koframe_cursor_frame_reader_t kFramePointerOnly[] = {koframe_cursor_read_frame_ptr};

class FrameRecords : public testing::Test {
protected:
    FrameRecords() {
        kocrash_async_thread_state_init(&state, CPU_TYPE_ARM64);
        kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_IP, 0x10000);
        kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_SP, stack.address());
    }
    std::uint64_t slot(std::size_t index) const { return stack.address() + 8 * index; }
    void record(std::size_t index, std::uint64_t callerFp, std::uint64_t returnAddress) {
        reinterpret_cast<std::uint64_t*>(stack.data())[index] = callerFp;
        reinterpret_cast<std::uint64_t*>(stack.data())[index + 1] = returnAddress;
    }
    koframe_error_t read(const kocrash_async_thread_state& current,
                         const kocrash_async_thread_state* previous,
                         kocrash_async_thread_state* next) {
        return koframe_cursor_read_frame_ptr(mach_task_self(), nullptr, &current, previous, next);
    }

    LowPages stack{4096};
    kocrash_async_thread_state state;
};

TEST_F(FrameRecords, AChainOfRecordsWalksUpToTheNullFramePointer) {
    record(0, slot(4), 0x11000);
    record(4, slot(10), 0x12000);
    record(10, 0, 0x13000);
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_FP, slot(0));
    koframe_cursor cursor;
    koframe_cursor_init(&cursor, mach_task_self(), &state, nullptr);
    std::vector<kocrash_greg_t> pcs;
    koframe_error_t result;
    while ((result = koframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1)) ==
           KOFRAME_ESUCCESS) {
        kocrash_greg_t pc;
        ASSERT_EQ(koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &pc), KOFRAME_ESUCCESS);
        pcs.push_back(pc);
    }
    EXPECT_EQ(result, KOFRAME_ENOFRAME);
    EXPECT_EQ(pcs, (std::vector<kocrash_greg_t>{0x10000, 0x11000, 0x12000, 0x13000}));
    // Only fp and pc are known in a frame the record gave.
    kocrash_greg_t value;
    EXPECT_EQ(koframe_cursor_get_reg(&cursor, KOCRASH_REG_SP, &value), KOFRAME_ENOTSUP);
    EXPECT_EQ(koframe_cursor_get_reg(&cursor, KOCRASH_REG_FP, &value), KOFRAME_ESUCCESS);
    EXPECT_EQ(value, 0u);
    koframe_cursor_free(&cursor);
}

TEST_F(FrameRecords, RecordsMustLieFurtherUpTheStackThanTheFrameBefore) {
    record(0, 0, 0x11000);
    record(2, 0, 0x12000);
    kocrash_async_thread_state previous = state;
    kocrash_async_thread_state_set_reg(&previous, KOCRASH_REG_FP, slot(2));
    kocrash_async_thread_state current = state;
    kocrash_async_thread_state_set_reg(&current, KOCRASH_REG_FP, slot(0));
    kocrash_async_thread_state next;
    EXPECT_EQ(read(current, &previous, &next), KOFRAME_EBADFRAME);
    kocrash_async_thread_state_set_reg(&current, KOCRASH_REG_FP, slot(2));
    EXPECT_EQ(read(current, &previous, &next), KOFRAME_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_IP), 0x12000u);
    // On a stack that grows upwards the comparison turns round.
    current.stack_direction = KOCRASH_ASYNC_STACK_DIRECTION_UP;
    kocrash_async_thread_state_set_reg(&current, KOCRASH_REG_FP, slot(0));
    EXPECT_EQ(read(current, &previous, &next), KOFRAME_ESUCCESS);
    // A previous frame without a frame pointer checks nothing.
    current.stack_direction = KOCRASH_ASYNC_STACK_DIRECTION_DOWN;
    kocrash_async_thread_state_clear_reg(&previous, KOCRASH_REG_FP);
    EXPECT_EQ(read(current, &previous, &next), KOFRAME_ESUCCESS);
}

// A record that names itself, or one further down, as its caller's ends the walk after its own
// return address: no frame comes twice.
TEST_F(FrameRecords, ARecordThatPointsToItselfOrBackwardsEndsTheWalk) {
    for (const std::size_t callerSlot : {std::size_t{4}, std::size_t{2}}) {
        record(0, slot(4), 0x11000);
        record(4, slot(callerSlot), 0x12000);
        kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_FP, slot(0));
        koframe_cursor cursor;
        koframe_cursor_init(&cursor, mach_task_self(), &state, nullptr);
        std::vector<kocrash_greg_t> pcs;
        koframe_error_t result;
        while ((result = koframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1)) ==
                   KOFRAME_ESUCCESS &&
               pcs.size() < 16) {
            kocrash_greg_t pc;
            koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &pc);
            pcs.push_back(pc);
        }
        koframe_cursor_free(&cursor);
        EXPECT_NE(result, KOFRAME_ESUCCESS);
        EXPECT_EQ(pcs, (std::vector<kocrash_greg_t>{0x10000, 0x11000}))
            << "caller record at slot " << callerSlot;
    }
}

TEST_F(FrameRecords, ARecordBelowTheStackPointerIsRefused) {
    record(0, 0, 0x11000);
    record(4, 0, 0x12000);
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_SP, slot(4));
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_FP, slot(0));
    kocrash_async_thread_state next;
    EXPECT_EQ(read(state, nullptr, &next), KOFRAME_EBADFRAME);
    // Without a stack pointer of its own, the frame it came from bounds it.
    kocrash_async_thread_state current = state;
    kocrash_async_thread_state_clear_reg(&current, KOCRASH_REG_SP);
    EXPECT_EQ(read(current, &state, &next), KOFRAME_EBADFRAME);
    kocrash_async_thread_state_set_reg(&current, KOCRASH_REG_FP, slot(4));
    ASSERT_EQ(read(current, &state, &next), KOFRAME_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_IP), 0x12000u);
}

TEST_F(FrameRecords, MissingNullAndUnreadableFramePointers) {
    kocrash_async_thread_state next;
    EXPECT_EQ(read(state, nullptr, &next), KOFRAME_EBADFRAME);
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_FP, 0);
    EXPECT_EQ(read(state, nullptr, &next), KOFRAME_ENOFRAME);
    // Nothing is ever mapped in the first page.
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_FP, 0x10);
    EXPECT_EQ(read(state, nullptr, &next), KOFRAME_EBADFRAME);
    // The record's second word is past the end of the readable memory.
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_FP, stack.address() + stack.size() - 8);
    EXPECT_EQ(read(state, nullptr, &next), KOFRAME_EBADFRAME);
}

// A call through a bad pointer: the callee stored no record, the caller is at the link register,
// and the walk goes on from the caller's own record. Without a link register, the record decides.
TEST_F(FrameRecords, AFirstPcInNoImageReturnsToTheLinkRegister) {
    kocrash_async_image_list noImages;
    kocrash_nasync_image_list_init(&noImages, mach_task_self());
    record(0, 0, 0x12000);
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_FP, slot(0));
    for (const kocrash_greg_t badPc : {kocrash_greg_t{0}, kocrash_greg_t{0x10000}}) {
        for (const bool withLinkRegister : {true, false}) {
            kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_IP, badPc);
            if (withLinkRegister) {
                kocrash_async_thread_state_set_reg(&state, KOCRASH_ARM64_LR, 0x11000);
            } else {
                kocrash_async_thread_state_clear_reg(&state, KOCRASH_ARM64_LR);
            }
            koframe_cursor cursor;
            koframe_cursor_init(&cursor, mach_task_self(), &state, &noImages);
            std::vector<kocrash_greg_t> pcs;
            while (koframe_cursor_next(&cursor) == KOFRAME_ESUCCESS) {
                kocrash_greg_t pc;
                ASSERT_EQ(koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &pc), KOFRAME_ESUCCESS);
                pcs.push_back(pc);
            }
            koframe_cursor_free(&cursor);
            EXPECT_EQ(pcs, withLinkRegister ? (std::vector<kocrash_greg_t>{badPc, 0x11000, 0x12000})
                                            : (std::vector<kocrash_greg_t>{badPc, 0x12000}));
        }
    }
    kocrash_nasync_image_list_free(&noImages);
}

TEST_F(FrameRecords, ThirtyTwoBitRecordsHoldTwoFourByteWords) {
    auto* words = reinterpret_cast<std::uint32_t*>(stack.data());
    const auto callerRecord = static_cast<std::uint32_t>(stack.address() + 0x40);
    words[0] = callerRecord;
    words[1] = 0x13579;
    kocrash_async_thread_state narrow;
    kocrash_async_thread_state_init(&narrow, CPU_TYPE_ARM);
    kocrash_async_thread_state_set_reg(&narrow, KOCRASH_ARM_R7,
                                       static_cast<std::uint32_t>(stack.address()));
    kocrash_async_thread_state next;
    ASSERT_EQ(read(narrow, nullptr, &next), KOFRAME_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM_R7), callerRecord);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM_PC), 0x13579u);
}

#if defined(__aarch64__)

struct Walk {
    std::vector<kocrash_greg_t> pcs;
    koframe_error_t end = KOFRAME_ESUCCESS;
};

kocrash_error_t walkFramePointers(kocrash_async_thread_state* state, void* context) {
    auto* walk = static_cast<Walk*>(context);
    koframe_cursor cursor;
    koframe_cursor_init(&cursor, mach_task_self(), state, nullptr);
    while ((walk->end = koframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1)) ==
               KOFRAME_ESUCCESS &&
           walk->pcs.size() < 64) {
        kocrash_greg_t pc;
        koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &pc);
        walk->pcs.push_back(pc);
    }
    koframe_cursor_free(&cursor);
    return KOCRASH_ESUCCESS;
}

extern "C" [[gnu::noinline]] void frame_pointer_inner(Walk* walk) {
    kocrash_async_thread_state_current(walkFramePointers, walk);
    asm volatile("" ::: "memory");
}

extern "C" [[gnu::noinline]] void frame_pointer_middle(Walk* walk) {
    frame_pointer_inner(walk);
    asm volatile("" ::: "memory");
}

extern "C" [[gnu::noinline]] void frame_pointer_outer(Walk* walk) {
    frame_pointer_middle(walk);
    asm volatile("" ::: "memory");
}

TEST(FramePointerWalk, FollowsThisThreadsFrameRecordsThroughItsCallers) {
    Walk walk;
    frame_pointer_outer(&walk);
    const ProcessFunctions functions;
    ASSERT_GE(walk.pcs.size(), 4u);
    EXPECT_EQ(functions.nameAt(walk.pcs[0]), "frame_pointer_inner");
    EXPECT_EQ(functions.nameAt(walk.pcs[1]), "frame_pointer_middle");
    EXPECT_EQ(functions.nameAt(walk.pcs[2]), "frame_pointer_outer");
    EXPECT_EQ(walk.end, KOFRAME_ENOFRAME) << "the walk ends at the outermost record";
    bool reachedMain = false;
    for (kocrash_greg_t pc : walk.pcs) {
        reachedMain = reachedMain || functions.nameAt(pc) == "main";
    }
    EXPECT_TRUE(reachedMain);
}

#endif

} // namespace
