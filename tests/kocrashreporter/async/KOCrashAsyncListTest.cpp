// The async list under a reader that never locks, while a writer keeps changing it.
#include "async/KOCrashAsyncList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using List = kocrash::async::async_list<int>;

TEST(KOCrashAsyncList, ParkedNodeIsNotReusedWhileAReaderMayStandOnIt) {
    List list;
    list.nasync_append(1);
    list.nasync_append(2);
    list.set_reading(true);
    List::node* standing = list.head();
    list.nasync_remove_node(standing);
    list.nasync_append(3);
    EXPECT_EQ(standing->value, 1);
    ASSERT_NE(List::next(standing), nullptr);
    EXPECT_EQ(List::next(standing)->value, 2);
    list.set_reading(false);
}

TEST(KOCrashAsyncList, ReaderWalksWhileAWriterAppendsAndRemoves) {
    List list;
    list.nasync_append(-1);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            list.set_reading(true);
            for (List::node* node = list.head(); node != nullptr; node = List::next(node)) {
                EXPECT_GE(node->value, -1);
            }
            list.set_reading(false);
        }
    });
    for (int i = 0; i < 100000; ++i) {
        list.nasync_append(i);
        list.nasync_prepend(i);
        list.nasync_remove_node(list.head());
        List::node* last = list.head();
        while (List::next(last) != nullptr) {
            last = List::next(last);
        }
        list.nasync_remove_node(last);
    }
    done.store(true);
    reader.join();
    ASSERT_NE(list.head(), nullptr);
    EXPECT_EQ(list.head()->value, -1);
    EXPECT_EQ(List::next(list.head()), nullptr);
}

} // namespace
