// Memory objects over real memory: page rounding, readable prefixes, bounds of every read,
// the snapshot's independence from its source, and release of the local mapping.
#include "async/KOCrashAsyncMObject.h"

#include "GuardedPages.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"
#include "platform/mach/UnchangingMemory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <unistd.h>
#include <vector>

using platform::mach::mach_task_self;
using platform::mach::mach_vm_read_overwrite;

namespace {

std::uint64_t addressOf(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

std::size_t page() {
    return GuardedPages::pageSize();
}

// A two-page buffer aligned to a page, so a range can start a known distance before the
// boundary between the two pages.
class TwoPages {
public:
    TwoPages() : bytes_(3 * page()) {
        auto start = (addressOf(bytes_.data()) + page() - 1) & ~std::uint64_t{page() - 1};
        base_ = reinterpret_cast<std::uint8_t*>(start);
        for (std::size_t i = 0; i < 2 * page(); ++i) {
            base_[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
        }
    }
    std::uint8_t* boundary() const { return base_ + page(); }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint8_t* base_;
};

bool localIsUnwritable(void* local) {
    int fds[2];
    if (pipe(fds) != 0) {
        return false;
    }
    bool refused = write(fds[1], "x", 1) == 1 && read(fds[0], local, 1) == -1 && errno == EFAULT;
    close(fds[0]);
    close(fds[1]);
    return refused;
}

} // namespace

TEST(KOCrashAsyncMObject, ARangeAcrossAPageBoundaryMapsBothPages) {
    TwoPages pages;
    std::uint8_t* source = pages.boundary() - 4;
    kocrash_async_mobject mobj;
    ASSERT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), addressOf(source), 10, false),
              0u);

    EXPECT_EQ(mobj.mapping_length, 2 * page());
    EXPECT_EQ(mobj.address, mobj.mapping_start + page() - 4);
    EXPECT_EQ(kocrash_async_mobject_length(&mobj), 10u);
    EXPECT_EQ(kocrash_async_mobject_base_address(&mobj), addressOf(source));
    EXPECT_EQ(kocrash_async_mobject_task(&mobj), mach_task_self());
    auto* local = static_cast<const std::uint8_t*>(
        kocrash_async_mobject_remap_address(&mobj, addressOf(source), 0, 10));
    ASSERT_NE(local, nullptr);
    EXPECT_NE(local, source) << "the object reads its own copy";
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(local[i], source[i]);
    }
    kocrash_async_mobject_free(&mobj);
}

TEST(KOCrashAsyncMObject, ARangeRunningIntoAnUnmappedPageCoversItsReadablePrefix) {
    GuardedPages pages;
    std::uint64_t start = addressOf(pages.readableBeforeUnmapped() + page() - 4);
    kocrash_async_mobject mobj;
    ASSERT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), start, 10, false), 0u);
    EXPECT_EQ(kocrash_async_mobject_length(&mobj), 4u);
    std::uint8_t byte = 0;
    EXPECT_EQ(kocrash_async_mobject_read_uint8(&mobj, start, 3, &byte), 0u);
    EXPECT_EQ(byte, GuardedPages::patternByte(page() - 1));
    EXPECT_EQ(kocrash_async_mobject_read_uint8(&mobj, start, 4, &byte), KOCRASH_EINVAL);
    kocrash_async_mobject_free(&mobj);

    EXPECT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), start, 10, true), KOCRASH_ENOMEM)
        << "the whole range was asked for";
    EXPECT_EQ(
        kocrash_async_mobject_init(&mobj, mach_task_self(), addressOf(pages.unmapped()), 10, false),
        KOCRASH_ENOMEM);
    EXPECT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), 0, 16, false), KOCRASH_ENOMEM);
    EXPECT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), addressOf(pages.inaccessible()),
                                         4, false),
              KOCRASH_ENOMEM);
}

TEST(KOCrashAsyncMObject, ReadsAreBoundedByTheObjectAndUseTheByteOrder) {
    const std::uint8_t bytes[12] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                    0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};
    kocrash_async_mobject mobj;
    ASSERT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), addressOf(bytes), 12, true), 0u);
    const auto* little = kocrash_async_byteorder_little_endian();
    const auto* big = kocrash_async_byteorder_big_endian();
    std::uint16_t u16 = 0;
    std::uint32_t u32 = 0;
    std::uint64_t u64 = 0;
    std::uint64_t base = addressOf(bytes);

    // Fields need not be aligned.
    ASSERT_EQ(kocrash_async_mobject_read_uint16(&mobj, big, base, 1, &u16), 0u);
    EXPECT_EQ(u16, 0x2233);
    ASSERT_EQ(kocrash_async_mobject_read_uint32(&mobj, little, base + 8, 0, &u32), 0u);
    EXPECT_EQ(u32, 0xCCBBAA99u);
    ASSERT_EQ(kocrash_async_mobject_read_uint64(&mobj, big, base, 3, &u64), 0u);
    EXPECT_EQ(u64, 0x445566778899AABBu);

    u32 = 7;
    EXPECT_EQ(kocrash_async_mobject_read_uint32(&mobj, little, base, 9, &u32), KOCRASH_EINVAL);
    EXPECT_EQ(kocrash_async_mobject_read_uint32(&mobj, little, base, -1, &u32), KOCRASH_EINVAL);
    EXPECT_EQ(kocrash_async_mobject_read_uint64(&mobj, little, base,
                                                std::numeric_limits<std::int64_t>::min(), &u64),
              KOCRASH_EINVAL);
    EXPECT_EQ(u32, 7u) << "a refused read leaves the value alone";

    EXPECT_NE(kocrash_async_mobject_remap_address(&mobj, base + 11, 0, 1), nullptr);
    EXPECT_EQ(kocrash_async_mobject_remap_address(&mobj, base + 11, 0, 2), nullptr);
    EXPECT_EQ(kocrash_async_mobject_remap_address(&mobj, base, 11,
                                                  std::numeric_limits<std::uint64_t>::max()),
              nullptr);
    EXPECT_EQ(kocrash_async_mobject_remap_address(&mobj, base - 1, 0, 1), nullptr);
    kocrash_async_mobject_free(&mobj);
}

TEST(KOCrashAsyncMObject, TheObjectIsAReadOnlySnapshotOfItsSource) {
    std::vector<std::uint8_t> source(64, 0x5A);
    kocrash_async_mobject mobj;
    ASSERT_EQ(
        kocrash_async_mobject_init(&mobj, mach_task_self(), addressOf(source.data()), 64, true),
        0u);
    source[10] = 0x00;
    std::uint8_t byte = 0;
    ASSERT_EQ(kocrash_async_mobject_read_uint8(&mobj, addressOf(source.data()), 10, &byte), 0u);
    EXPECT_EQ(byte, 0x5A);
    void* local = kocrash_async_mobject_remap_address(&mobj, addressOf(source.data()), 0, 1);
    EXPECT_TRUE(localIsUnwritable(local));
    kocrash_async_mobject_free(&mobj);
}

TEST(KOCrashAsyncMObject, FreeReleasesTheLocalMapping) {
    std::vector<std::uint8_t> source(3 * page(), 1);
    kocrash_async_mobject mobj;
    ASSERT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), addressOf(source.data()),
                                         source.size(), true),
              0u);
    std::uint64_t mapping = mobj.mapping_start;
    kocrash_async_mobject_free(&mobj);
    std::uint8_t byte = 0;
    mach_vm_size_t copied = 0;
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), mapping, 1, addressOf(&byte), &copied),
              KERN_INVALID_ADDRESS);
}

TEST(KOCrashAsyncMObject, EmptyAndWrappingRangesAreRefusedOrEmpty) {
    std::uint8_t byte = 3;
    kocrash_async_mobject mobj;
    ASSERT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), addressOf(&byte), 0, false), 0u);
    EXPECT_EQ(kocrash_async_mobject_length(&mobj), 0u);
    EXPECT_EQ(mobj.mapping_length, 0u);
    EXPECT_EQ(kocrash_async_mobject_remap_address(&mobj, addressOf(&byte), 0, 1), nullptr);
    kocrash_async_mobject_free(&mobj);

    constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), kTop - 8, 16, false),
              KOCRASH_ENOMEM);
    EXPECT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), addressOf(&byte), kTop, true),
              KOCRASH_ENOMEM);
}

namespace {

// Code of this program is registered as unchanging by the loader stand-in; any read-only pages
// registered so behave the same: read in place, and never unmapped by the object's release.
TEST(KOCrashAsyncMObject, UnchangingMemoryIsReadInPlaceAndOutlivesTheObject) {
    GuardedPages pages;
    ASSERT_TRUE(platform::mach::addUnchangingMemory(addressOf(pages.readable()), page()));
    const std::uint64_t source = addressOf(pages.readable()) + 10;
    kocrash_async_mobject mobj;
    ASSERT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), source, 100, true),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_mobject_remap_address(&mobj, source, 0, 100), pages.readable() + 10);
    kocrash_async_mobject_free(&mobj);
    platform::mach::removeUnchangingMemory(addressOf(pages.readable()));
    EXPECT_EQ(pages.readable()[10], GuardedPages::patternByte(10)) << "still mapped";
}

} // namespace
