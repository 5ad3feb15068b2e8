// Copies from memory of the own process that may be unmapped or unreadable, without faulting:
// the kernel reads the source while writing it into a pipe and reports EFAULT instead of
// delivering a signal. Async-signal-safe: no allocation, no lock.
#pragma once

#include <cstddef>

namespace platform::mach {

enum class FaultSafeCopyResult {
    Copied,
    SourceUnreadable,
    DestinationUnwritable,
    NoResources,
};

FaultSafeCopyResult faultSafeCopy(void* destination, const void* source, std::size_t length);

// Opens every pooled pipe now, so that copies made later need no new descriptor (a process
// may have none left when it crashes). Normal context.
void openFaultSafeCopyPipes();

// Bytes from source on, at most length, that lie in readable pages.
std::size_t readablePrefixLength(const void* source, std::size_t length);

// Whether the page holding address is mapped at all (readable or not).
bool isMapped(const void* address);

} // namespace platform::mach
