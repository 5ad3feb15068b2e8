// May run at crash time: kocrash_async_descriptor_reserve_release (close only).
#include "reporter/KOCrashDescriptorReserve.h"

#include "platform/mach/FaultSafeCopy.h"

#include <atomic>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The report file and one transient read (the thread listing, then a thread's /proc status,
// never both at once), with one to spare.
constexpr int kReservedDescriptors = 3;

std::atomic<int> reserved[kReservedDescriptors] = {-1, -1, -1};

} // namespace

void kocrash_nasync_descriptor_reserve_fill() {
    platform::mach::openFaultSafeCopyPipes();
    for (std::atomic<int>& slot : reserved) {
        if (slot.load() < 0) {
            slot.store(open("/dev/null", O_RDONLY | O_CLOEXEC));
        }
    }
}

void kocrash_async_descriptor_reserve_release() {
    for (std::atomic<int>& slot : reserved) {
        const int fd = slot.exchange(-1);
        if (fd >= 0) {
            close(fd);
        }
    }
}
