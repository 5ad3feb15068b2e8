// For tests that fork after making a crash reporter: its first start describes the loaded
// libraries on a thread of its own. A fork meanwhile copies that thread's locks as they stand (the
// address sanitizer's allocator among them), and under qemu-user the child can start no thread.
#pragma once

#include "ForkedChild.h"
#include "reporter/KOCrashReporterCrashContext.h"

#include <chrono>
#include <thread>

namespace testsupport {

// Until the libraries are described and the thread that described them has ended.
inline void waitUntilImagesAnnounced() {
    while (kocrash_nasync_shared_image_list_announcing()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    waitUntilImageAnnouncerEnds();
}

} // namespace testsupport
