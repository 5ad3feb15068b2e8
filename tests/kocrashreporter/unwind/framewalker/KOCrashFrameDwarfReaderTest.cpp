// The DWARF reader's work on a mapped call-frame section: hand-built sections for the cases
// real tables cannot show, and (64-bit ARM only) a walk of this thread's real stack by the
// executable's own .eh_frame alone, restoring callee-saved registers.
#include "unwind/KOCrashFrameReaderDwarf.h"

#include "DwarfBytes.h"
#include "LowPages.h"
#include "ProcessFunctions.h"
#include "platform/mach/MachPorts.h"
#include "unwind/KOCrashAsyncDwarfConstants.h"

#include <gtest/gtest.h>

#include <vector>

using platform::mach::mach_task_self;

using namespace kocrash::async;

namespace {

const kocrash_async_byteorder* little() {
    return kocrash_async_byteorder_little_endian();
}

// A .debug_frame section with one CIE (sp-based CFA, return address in x30) and one FDE at
// start whose program saves fp and lr after 8 bytes.
DwarfBytes debugFrame(std::uint64_t start) {
    DwarfBytes section;
    section.u32(0).u32(0xFFFFFFFF).u8(4).cstring("").u8(8).u8(0).uleb(4).sleb(-8).uleb(30);
    section.raw({DW_CFA_def_cfa, 31, 0});
    section.patch32(0, static_cast<std::uint32_t>(section.size() - 4));
    const std::size_t fde = section.size();
    section.u32(0).u32(0).u64(start).u64(0x40);
    section.raw({DW_CFA_advance_loc | 2, DW_CFA_def_cfa_offset, 16, DW_CFA_offset | 29, 2,
                 DW_CFA_offset | 30, 1});
    section.patch32(fde, static_cast<std::uint32_t>(section.size() - fde - 4));
    return section;
}

class DwarfSectionReader : public testing::Test {
protected:
    DwarfSectionReader() {
        kocrash_async_thread_state_init(&current, CPU_TYPE_ARM64);
        kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM64_SP, stack.address());
        kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM64_LR, 0x7777000);
        kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM64_FP, 0x8888000);
        auto* words = reinterpret_cast<std::uint64_t*>(stack.data());
        words[0] = 0x1234000;
        words[1] = 0x5678000;
    }
    koframe_error_t read(const MappedBytes& section, std::uint64_t pc,
                         kocrash_async_thread_state* next) {
        kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM64_PC, pc);
        return koframe_read_dwarf_section(mach_task_self(), section.mobj(), little(), true, true,
                                          pc, &current, next);
    }

    LowPages stack{4096};
    kocrash_async_thread_state current;
};

// The programs start from the FDE's whole start address: cut to 32 bits, a function above
// 4 GiB would get the row of its last instruction at its first.
TEST_F(DwarfSectionReader, FunctionsAboveFourGigabytesGetTheRowOfTheirPc) {
    const std::uint64_t start = 0x500001000;
    const MappedBytes section(debugFrame(start));
    kocrash_async_thread_state next;
    ASSERT_EQ(read(section, start, &next), KOFRAME_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM64_PC), 0x7777000u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM64_SP), stack.address());
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM64_FP), 0x8888000u);

    ASSERT_EQ(read(section, start + 8, &next), KOFRAME_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM64_PC), 0x5678000u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM64_SP), stack.address() + 16);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM64_FP), 0x1234000u);
}

TEST_F(DwarfSectionReader, PcsWithoutAnFdeAndRowsThatCannotBeAppliedFail) {
    const MappedBytes section(debugFrame(0x40000));
    kocrash_async_thread_state next;
    EXPECT_EQ(read(section, 0x3FFFF, &next), KOFRAME_ENOTSUP);
    EXPECT_EQ(read(section, 0x40040, &next), KOFRAME_ENOTSUP);
    kocrash_async_thread_state_clear_reg(&current, KOCRASH_ARM64_SP);
    EXPECT_EQ(read(section, 0x40000, &next), KOFRAME_ENOFRAME);

    const MappedBytes broken(DwarfBytes().u32(12).u32(0xFFFFFFFF).u8(9).raw({0, 0, 0}));
    EXPECT_EQ(read(broken, 0x40000, &next), KOFRAME_ENOTSUP);
}

#if defined(__aarch64__)

struct Walk {
    const kocrash_async_mobject* ehFrame;
    const ProcessFunctions* functions;
    std::vector<kocrash_greg_t> pcs;
    // x19 to x28 of the frame of dwarf_walk_outer, as the walk restored them.
    std::vector<kocrash_greg_t> outerCalleeSaved;
};

Walk* currentWalk;

// Only DWARF: pcs outside the executable are not this reader's, and caller frames look up the
// byte before their return address.
koframe_error_t readExecutableDwarf(task_t task, kocrash_async_image_list*,
                                    const kocrash_async_thread_state* current,
                                    const kocrash_async_thread_state* previous,
                                    kocrash_async_thread_state* next) {
    const kocrash_greg_t pc = kocrash_async_thread_state_get_reg(current, KOCRASH_REG_IP);
    return koframe_read_dwarf_section(task, currentWalk->ehFrame, little(), true, false,
                                      previous != nullptr ? pc - 1 : pc, current, next);
}

constexpr koframe_cursor_frame_reader_t kDwarfOnly[] = {readExecutableDwarf};

kocrash_error_t walkByDwarf(kocrash_async_thread_state* state, void*) {
    koframe_cursor cursor;
    koframe_cursor_init(&cursor, mach_task_self(), state, nullptr);
    while (koframe_cursor_next_with_readers(&cursor, kDwarfOnly, 1) == KOFRAME_ESUCCESS &&
           currentWalk->pcs.size() < 64) {
        kocrash_greg_t pc;
        koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &pc);
        currentWalk->pcs.push_back(pc);
        if (currentWalk->functions->nameAt(pc) == "dwarf_walk_outer") {
            for (kocrash_regnum_t regnum = KOCRASH_ARM64_X19; regnum <= KOCRASH_ARM64_X28;
                 ++regnum) {
                kocrash_greg_t value = 0;
                koframe_cursor_get_reg(&cursor, regnum, &value);
                currentWalk->outerCalleeSaved.push_back(value);
            }
        }
    }
    koframe_cursor_free(&cursor);
    return KOCRASH_ESUCCESS;
}

extern "C" [[gnu::noinline]] void dwarf_walk_inner() {
    kocrash_async_thread_state_current(walkByDwarf, nullptr);
    asm volatile("" ::: "memory");
}

// Uses every callee-saved register, so its prologue saves them all and its call-frame
// information says where.
extern "C" [[gnu::noinline]] void dwarf_walk_middle() {
    asm volatile("mov x19, #1\n mov x20, #2\n mov x21, #3\n mov x22, #4\n mov x23, #5\n"
                 "mov x24, #6\n mov x25, #7\n mov x26, #8\n mov x27, #9\n mov x28, #10" ::
                     : "x19", "x20", "x21", "x22", "x23", "x24", "x25", "x26", "x27", "x28");
    dwarf_walk_inner();
    asm volatile("" ::: "memory");
}

constexpr std::uint64_t kSentinel = 0x5E57100000000000;

// Holds sentinels in x19 to x28 across its call.
extern "C" [[gnu::noinline]] void dwarf_walk_outer() {
    register std::uint64_t x19 asm("x19") = kSentinel + 19;
    register std::uint64_t x20 asm("x20") = kSentinel + 20;
    register std::uint64_t x21 asm("x21") = kSentinel + 21;
    register std::uint64_t x22 asm("x22") = kSentinel + 22;
    register std::uint64_t x23 asm("x23") = kSentinel + 23;
    register std::uint64_t x24 asm("x24") = kSentinel + 24;
    register std::uint64_t x25 asm("x25") = kSentinel + 25;
    register std::uint64_t x26 asm("x26") = kSentinel + 26;
    register std::uint64_t x27 asm("x27") = kSentinel + 27;
    register std::uint64_t x28 asm("x28") = kSentinel + 28;
    asm volatile(""
                 : "+r"(x19), "+r"(x20), "+r"(x21), "+r"(x22), "+r"(x23), "+r"(x24), "+r"(x25),
                   "+r"(x26), "+r"(x27), "+r"(x28));
    dwarf_walk_middle();
    asm volatile("" ::"r"(x19), "r"(x20), "r"(x21), "r"(x22), "r"(x23), "r"(x24), "r"(x25),
                 "r"(x26), "r"(x27), "r"(x28));
}

TEST(DwarfWalk, TheExecutablesOwnTablesWalkThisThreadAndRestoreCalleeSavedRegisters) {
    const ProcessFunctions functions;
    kocrash_async_mobject ehFrame;
    ASSERT_EQ(kocrash_async_mobject_init(&ehFrame, mach_task_self(),
                                         functions.executableEhFrameAddress(),
                                         functions.executableEhFrameSize(), true),
              KOCRASH_ESUCCESS);
    Walk walk{&ehFrame, &functions, {}, {}};
    currentWalk = &walk;
    dwarf_walk_outer();
    kocrash_async_mobject_free(&ehFrame);

    ASSERT_GE(walk.pcs.size(), 5u);
    EXPECT_EQ(functions.nameAt(walk.pcs[0]), "dwarf_walk_inner");
    EXPECT_EQ(functions.nameAt(walk.pcs[1]), "dwarf_walk_middle");
    EXPECT_EQ(functions.nameAt(walk.pcs[2]), "dwarf_walk_outer");
    bool reachedMain = false;
    for (kocrash_greg_t pc : walk.pcs) {
        reachedMain = reachedMain || functions.nameAt(pc) == "main";
    }
    EXPECT_TRUE(reachedMain) << "the executable's tables lead back to main";
    ASSERT_EQ(walk.outerCalleeSaved.size(), 10u);
    for (std::size_t index = 0; index < 10; ++index) {
        EXPECT_EQ(walk.outerCalleeSaved[index], kSentinel + 19 + index) << "x" << 19 + index;
    }
}

#endif

} // namespace
