// The compact unwind and DWARF readers as the walker calls them: they find the image that
// holds the pc in the image list, and for a caller's frame (one with a frame before it) they
// look up the byte before its return address, which after a call that never returns already
// belongs to the next function. The process's own objects must be 64-bit ARM images for that,
// so this runs in the arm64 build (under the emulator).
#include "images/KOCrashAsyncImageList.h"
#include "unwind/KOCrashFrameImageSections.h"
#include "unwind/KOCrashFrameWalker.h"

#include "LowPages.h"
#include "MachOFixture.h"
#include "platform/dyld/DyldImages.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

using platform::dyld::_dyld_get_image_header;
using platform::dyld::_dyld_get_image_name;
using platform::dyld::_dyld_image_count;

using platform::mach::mach_task_self;

#if defined(__aarch64__)

extern "C" char dwarf_after_noreturn[];

namespace {

class ImageReaders : public testing::Test {
protected:
    ImageReaders() {
        kocrash_nasync_image_list_init(&list, mach_task_self());
        kocrash_nasync_image_list_append(&list, fixture.mapping().address(),
                                         fixture.path().c_str());
        // The process's own objects, this executable among them, as the loader stand-in shows
        // them.
        for (std::uint32_t index = 0; index < _dyld_image_count(); ++index) {
            kocrash_nasync_image_list_append(
                &list, reinterpret_cast<std::uintptr_t>(_dyld_get_image_header(index)),
                _dyld_get_image_name(index));
        }
        // The return address of the call that never returns is the next function's start; the
        // frame record of the calling function is on the stack.
        auto* words = reinterpret_cast<std::uint64_t*>(stack.data());
        words[0] = 0x4440000;
        words[1] = 0x5550000;
        kocrash_async_thread_state_init(&current, CPU_TYPE_ARM64);
        kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM64_SP, stack.address());
        kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM64_FP, stack.address());
        kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM64_LR, 0x6660000);
        kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM64_X19, 0x1919);
        previous = current;
    }
    ~ImageReaders() override { kocrash_nasync_image_list_free(&list); }

    static std::uint64_t afterNoreturn() {
        return reinterpret_cast<std::uintptr_t>(dwarf_after_noreturn);
    }

    MachOFixture fixture{"noreturn_calls_arm64.dylib"};
    kocrash_async_image_list list;
    LowPages stack{4096};
    kocrash_async_thread_state current;
    kocrash_async_thread_state previous;
};

TEST_F(ImageReaders, CompactUnwindLooksUpACallersReturnAddressOneByteBack) {
    kocrash_async_thread_state_set_reg(&current, KOCRASH_REG_IP,
                                       fixture.address("_after_noreturn"));
    kocrash_async_thread_state next;
    // The crashed frame's own pc: the frameless function there, return address in lr.
    ASSERT_EQ(koframe_cursor_read_compact_unwind(mach_task_self(), &list, &current, nullptr, &next),
              KOFRAME_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_IP), 0x6660000u);
    // A caller's: the function that made the call, whose frame record holds the way back.
    ASSERT_EQ(
        koframe_cursor_read_compact_unwind(mach_task_self(), &list, &current, &previous, &next),
        KOFRAME_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_IP), 0x5550000u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_FP), 0x4440000u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_SP), stack.address() + 16);
}

TEST_F(ImageReaders, DwarfLooksUpACallersReturnAddressOneByteBack) {
    kocrash_async_thread_state_set_reg(&current, KOCRASH_REG_IP, afterNoreturn());
    kocrash_async_thread_state next;
    // This executable's view has no compact unwind information.
    EXPECT_EQ(koframe_cursor_read_compact_unwind(mach_task_self(), &list, &current, nullptr, &next),
              KOFRAME_ENOTSUP);
    ASSERT_EQ(koframe_cursor_read_dwarf_unwind(mach_task_self(), &list, &current, nullptr, &next),
              KOFRAME_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_IP), 0x6660000u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_SP), stack.address());
    ASSERT_EQ(koframe_cursor_read_dwarf_unwind(mach_task_self(), &list, &current, &previous, &next),
              KOFRAME_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_IP), 0x5550000u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_FP), 0x4440000u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_SP), stack.address() + 16);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next, KOCRASH_ARM64_X19), 0x1919u);
}

TEST_F(ImageReaders, TheWalkerReportsTheReturnAddressUnchanged) {
    kocrash_async_thread_state_set_reg(&current, KOCRASH_REG_IP, 0x7770000);
    kocrash_async_thread_state_set_reg(&current, KOCRASH_ARM64_LR, afterNoreturn());
    koframe_cursor cursor;
    koframe_cursor_init(&cursor, mach_task_self(), &current, &list);
    constexpr koframe_cursor_frame_reader_t lrOnly[] = {
        [](task_t, kocrash_async_image_list*, const kocrash_async_thread_state* frame,
           const kocrash_async_thread_state*, kocrash_async_thread_state* next) -> koframe_error_t {
            kocrash_async_thread_state_copy(next, frame);
            kocrash_async_thread_state_set_reg(
                next, KOCRASH_REG_IP, kocrash_async_thread_state_get_reg(frame, KOCRASH_ARM64_LR));
            return KOFRAME_ESUCCESS;
        }};
    ASSERT_EQ(koframe_cursor_next_with_readers(&cursor, lrOnly, 1), KOFRAME_ESUCCESS);
    ASSERT_EQ(koframe_cursor_next_with_readers(&cursor, lrOnly, 1), KOFRAME_ESUCCESS);
    ASSERT_EQ(koframe_cursor_next(&cursor), KOFRAME_ESUCCESS);
    kocrash_greg_t pc;
    ASSERT_EQ(koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &pc), KOFRAME_ESUCCESS);
    EXPECT_EQ(pc, 0x5550000u) << "the caller's frame was found through the call's own function";
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&cursor.previous_frame, KOCRASH_REG_IP),
              afterNoreturn());
    koframe_cursor_free(&cursor);
}

TEST_F(ImageReaders, PcsTheReadersCannotUse) {
    kocrash_async_thread_state next;
    for (auto reader : {koframe_cursor_read_compact_unwind, koframe_cursor_read_dwarf_unwind}) {
        kocrash_async_thread_state_set_reg(&current, KOCRASH_REG_IP, 0x7770000);
        EXPECT_EQ(reader(mach_task_self(), &list, &current, nullptr, &next), KOFRAME_ENOTSUP);
        kocrash_async_thread_state_set_reg(&current, KOCRASH_REG_IP, 0);
        EXPECT_EQ(reader(mach_task_self(), &list, &current, nullptr, &next), KOFRAME_ENOTSUP);
        kocrash_async_thread_state_clear_reg(&current, KOCRASH_REG_IP);
        EXPECT_EQ(reader(mach_task_self(), &list, &current, nullptr, &next), KOFRAME_EBADFRAME);
    }
}

// One walk at a time holds the section cache: it maps each image's sections once and keeps
// them until it ends; any other caller is told to map its own.
TEST_F(ImageReaders, TheSectionCacheServesOneWalkAtATime) {
    kocrash_async_image_list_set_reading(&list, true);
    const kocrash_async_image* executable =
        kocrash_async_image_containing_address(&list, afterNoreturn());
    ASSERT_NE(executable, nullptr);
    const int first = 0;
    const int second = 0;
    ASSERT_TRUE(koframe_section_cache_claim(&first, &list));
    EXPECT_FALSE(koframe_section_cache_claim(&second, &list));
    koframe_image_sections* sections = nullptr;
    ASSERT_TRUE(koframe_section_cache_find(&first, &executable->macho_image, &sections));
    ASSERT_NE(sections, nullptr);
    EXPECT_FALSE(sections->debug_frame);
    EXPECT_TRUE(sections->has_index) << "the executable's view shows its search table";
    koframe_image_sections* again = nullptr;
    ASSERT_TRUE(koframe_section_cache_find(&first, &executable->macho_image, &again));
    EXPECT_EQ(again, sections) << "the sections are mapped once for the walk";
    EXPECT_FALSE(koframe_section_cache_find(&second, &executable->macho_image, &again));
    koframe_section_cache_release(&second);
    EXPECT_FALSE(koframe_section_cache_claim(&second, &list))
        << "only the holder lets the cache go";
    koframe_section_cache_release(&first);

    // A cursor holds it from init to free.
    koframe_cursor cursor;
    koframe_cursor_init(&cursor, mach_task_self(), &current, &list);
    EXPECT_FALSE(koframe_section_cache_claim(&second, &list));
    koframe_cursor_free(&cursor);
    EXPECT_TRUE(koframe_section_cache_claim(&second, &list));
    koframe_section_cache_release(&second);
    kocrash_async_image_list_set_reading(&list, false);
}

// The walks of one report share what the first mapped: its images cannot change while the
// list is compared with the loader. Walks outside a report start afresh.
TEST_F(ImageReaders, WalksOfOneReportShareTheirSections) {
    kocrash_async_image_list_set_reading(&list, true);
    const kocrash_async_image* executable =
        kocrash_async_image_containing_address(&list, afterNoreturn());
    ASSERT_NE(executable, nullptr);
    const auto mappedIn = [&](const void* walk) {
        koframe_image_sections* sections = nullptr;
        koframe_section_cache_find(walk, &executable->macho_image, &sections);
        return sections;
    };
    const int walks[3] = {};
    // A report's comparison with the loader, as the writer brackets its walks.
    list.comparisons.fetch_add(1);
    list.comparing.store(true);
    ASSERT_TRUE(koframe_section_cache_claim(&walks[0], &list));
    koframe_image_sections* first = mappedIn(&walks[0]);
    ASSERT_NE(first, nullptr);
    // What the walk learned about the image stays with its sections.
    first->cie_memos.entries[0].valid = true;
    first->cie_memos.entries[0].cie_address = 0x1234;
    koframe_section_cache_release(&walks[0]);
    ASSERT_TRUE(koframe_section_cache_claim(&walks[1], &list));
    const koframe_image_sections* second = mappedIn(&walks[1]);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->cie_memos.entries[0].valid &&
                second->cie_memos.entries[0].cie_address == 0x1234)
        << "a later walk of the report finds them as the first left them";
    koframe_section_cache_release(&walks[1]);

    list.comparing.store(false);
    ASSERT_TRUE(koframe_section_cache_claim(&walks[2], &list));
    const koframe_image_sections* afresh = mappedIn(&walks[2]);
    ASSERT_NE(afresh, nullptr);
    EXPECT_FALSE(afresh->cie_memos.entries[0].valid) << "mapped again once the report is over";
    koframe_section_cache_release(&walks[2]);
    kocrash_async_image_list_set_reading(&list, false);
}

} // namespace
#endif
