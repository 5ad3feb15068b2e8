// The async list and the image list over real images: order, lookup by address at the edges of
// __TEXT, removal while a reader stands on a node, reuse of parked nodes only once no reader is
// active, and readers racing a writer.
#include "images/KOCrashAsyncImageList.h"
#include "FixtureImages.h"
#include "async/KOCrashAsyncList.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

using platform::mach::mach_task_self;

namespace {

using IntList = kocrash::async::async_list<int>;

std::vector<int> valuesOf(IntList& list) {
    std::vector<int> values;
    list.set_reading(true);
    for (auto* node = list.head(); node != nullptr; node = IntList::next(node)) {
        values.push_back(node->value);
    }
    list.set_reading(false);
    return values;
}

IntList::node* nodeOf(IntList& list, int value) {
    for (auto* node = list.head(); node != nullptr; node = IntList::next(node)) {
        if (node->value == value) {
            return node;
        }
    }
    return nullptr;
}

TEST(AsyncList, AppendsPrependsAndUnlinksAnywhere) {
    IntList list;
    list.nasync_append(2);
    list.nasync_append(3);
    list.nasync_prepend(1);
    list.nasync_append(4);
    EXPECT_EQ(valuesOf(list), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(list.nasync_remove_node(nodeOf(list, 1)));
    EXPECT_TRUE(list.nasync_remove_node(nodeOf(list, 3)));
    EXPECT_TRUE(list.nasync_remove_node(nodeOf(list, 4)));
    EXPECT_EQ(valuesOf(list), (std::vector<int>{2}));
    list.nasync_append(5);
    list.nasync_prepend(0);
    EXPECT_EQ(valuesOf(list), (std::vector<int>{0, 2, 5}));
}

TEST(AsyncList, ANodeRemovedUnderAReaderStaysWalkableAndIsReusedOnlyAfterwards) {
    IntList list;
    for (int value : {1, 2, 3}) {
        list.nasync_append(value);
    }
    list.set_reading(true);
    IntList::node* standing = nodeOf(list, 2);
    EXPECT_FALSE(list.nasync_remove_node(standing)) << "parked, not released";
    // The reader standing on the removed node still reaches the rest of the chain.
    ASSERT_NE(IntList::next(standing), nullptr);
    EXPECT_EQ(IntList::next(standing)->value, 3);
    list.nasync_append(4);
    EXPECT_NE(nodeOf(list, 4), standing) << "no reuse while a reader is active";
    EXPECT_EQ(IntList::next(standing)->value, 3);
    list.set_reading(false);
    list.nasync_append(5);
    EXPECT_EQ(nodeOf(list, 5), standing) << "reused once no reader is active";
    EXPECT_EQ(valuesOf(list), (std::vector<int>{1, 3, 4, 5}));
}

TEST(AsyncList, RemovingANodeOfAnotherListChangesNothing) {
    IntList list;
    IntList other;
    list.nasync_append(1);
    other.nasync_append(2);
    EXPECT_FALSE(list.nasync_remove_node(other.head()));
    EXPECT_EQ(valuesOf(list), (std::vector<int>{1}));
    EXPECT_EQ(valuesOf(other), (std::vector<int>{2}));
}

TEST(AsyncList, ReadersNeverSeeAReleasedNodeWhileAWriterChurns) {
    IntList list;
    for (int value = 0; value < 8; ++value) {
        list.nasync_append(value);
    }
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int reader = 0; reader < 3; ++reader) {
        readers.emplace_back([&] {
            while (!done.load()) {
                list.set_reading(true);
                long sum = 0;
                for (auto* node = list.head(); node != nullptr; node = IntList::next(node)) {
                    sum += node->value;
                }
                list.set_reading(false);
                EXPECT_GE(sum, 0);
            }
        });
    }
    for (int round = 0; round < 2000; ++round) {
        list.nasync_remove_node(list.head());
        list.nasync_append(round % 100);
    }
    done.store(true);
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(valuesOf(list).size(), 8u);
}

class ImageList : public testing::Test {
protected:
    ImageList() { kocrash_nasync_image_list_init(&list_, mach_task_self()); }
    ~ImageList() override { kocrash_nasync_image_list_free(&list_); }

    std::vector<std::uint64_t> headers() {
        std::vector<std::uint64_t> found;
        kocrash_async_image_list_set_reading(&list_, true);
        for (auto* image = kocrash_async_image_list_next(&list_, nullptr); image != nullptr;
             image = kocrash_async_image_list_next(&list_, image)) {
            found.push_back(image->macho_image.header_address);
        }
        kocrash_async_image_list_set_reading(&list_, false);
        return found;
    }

    kocrash_async_image_list list_;
};

TEST_F(ImageList, FindsImagesByAddressWithinTheirText) {
    MappedFixture arm64("functions_arm64.dylib");
    MappedFixture x86("functions_x86_64.dylib");
    kocrash_nasync_image_list_append(&list_, arm64.mapping().address(), arm64.path().c_str());
    kocrash_nasync_image_list_append(&list_, x86.mapping().address(), x86.path().c_str());
    EXPECT_EQ(headers(),
              (std::vector<std::uint64_t>{arm64.mapping().address(), x86.mapping().address()}));
    kocrash_async_image_list_set_reading(&list_, true);
    const std::uint64_t end = arm64.mapping().address() + arm64.image()->text_length;
    auto* found = kocrash_async_image_containing_address(&list_, end - 1);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->macho_image.header_address, arm64.mapping().address());
    EXPECT_STREQ(found->macho_image.name, arm64.path().c_str());
    found = kocrash_async_image_containing_address(&list_, end);
    EXPECT_TRUE(found == nullptr || found->macho_image.header_address != arm64.mapping().address());
    kocrash_async_image_list_set_reading(&list_, false);
}

TEST_F(ImageList, ImagesThatCannotBeReadAreNotAdded) {
    std::ifstream file(oracle::fixturePath("functions_universal.dylib"), std::ios::binary);
    std::vector<std::uint8_t> universal((std::istreambuf_iterator<char>(file)),
                                        std::istreambuf_iterator<char>());
    kocrash_nasync_image_list_append(&list_, reinterpret_cast<std::uintptr_t>(universal.data()),
                                     "universal");
    kocrash_nasync_image_list_append(&list_, 0x10, "unmapped");
    EXPECT_TRUE(headers().empty());
}

TEST_F(ImageList, RemovingUnderAReaderKeepsTheImageReadableUntilTheReaderLeaves) {
    MappedFixture first("functions_arm64.dylib");
    MappedFixture second("entry_arm64");
    MappedFixture third("functions_armv7.dylib");
    for (const auto* fixture : {&first, &second, &third}) {
        kocrash_nasync_image_list_append(&list_, fixture->mapping().address(),
                                         fixture->path().c_str());
    }
    kocrash_async_image_list_set_reading(&list_, true);
    kocrash_async_image* standing = kocrash_async_image_list_next(&list_, nullptr);
    standing = kocrash_async_image_list_next(&list_, standing);
    ASSERT_EQ(standing->macho_image.header_address, second.mapping().address());
    kocrash_nasync_image_list_remove(&list_, second.mapping().address());
    kocrash_nasync_image_list_remove(&list_, 0x1234);
    // The record and its node are still there for the reader (AddressSanitizer checks).
    EXPECT_STREQ(standing->macho_image.name, second.path().c_str());
    kocrash_async_image* after = kocrash_async_image_list_next(&list_, standing);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->macho_image.header_address, third.mapping().address());
    kocrash_async_image_list_set_reading(&list_, false);
    EXPECT_EQ(headers(),
              (std::vector<std::uint64_t>{first.mapping().address(), third.mapping().address()}));
    // Removed records are released later or with the list; LeakSanitizer checks both.
    kocrash_nasync_image_list_remove(&list_, first.mapping().address());
    EXPECT_EQ(headers(), (std::vector<std::uint64_t>{third.mapping().address()}));
}

} // namespace
