// Copies from memory of the own process that may be unmapped or unreadable, without faulting:
// the kernel reads the source and reports EFAULT instead of delivering a signal. Where
// process_vm_readv cannot read the own process (the emulator), copies need pipes; they are made
// when crash capture is enabled (openFaultSafeCopyPipes), or at the first copy that needs one,
// never while the library loads; so a copy at crash time needs no free descriptor.
// Async-signal-safe: no allocation, no lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::mach {

enum class FaultSafeCopyResult {
    Copied,
    SourceUnreadable,
    DestinationUnwritable,
    NoResources,
};

FaultSafeCopyResult faultSafeCopy(void* destination, const void* source, std::size_t length);

// Whether length bytes at address were copied whole; address is a number, as records of the
// loader and of other objects give it.
inline bool faultSafeRead(std::uint64_t address, void* destination, std::size_t length) {
    return faultSafeCopy(destination, reinterpret_cast<const void*>(address), length) ==
           FaultSafeCopyResult::Copied;
}

template <typename T> bool faultSafeRead(std::uint64_t address, T* value) {
    return faultSafeRead(address, value, sizeof(T));
}

// Finds out, once, whether copies need pipes, and where they do opens every pooled pipe that is
// not open yet in this process, so that copies at crash time find them; called again, it
// retries what failed before (no descriptor was free, say). Opens nothing where
// process_vm_readv reads the own process.
void openFaultSafeCopyPipes();

// Bytes from source on, at most length, that lie in readable pages. One check per page, no
// byte of the pages copied.
std::size_t readablePrefixLength(const void* source, std::size_t length);

// Whether the page holding address is mapped at all (readable or not).
bool isMapped(const void* address);
// Whether every page of [start, start + length) is mapped: one system call for up to 256
// pages, which neither reads nor pins them.
bool isWhollyMapped(const void* start, std::size_t length);

} // namespace platform::mach
