// May run at crash time: everything in this file. Copies go through a pipe: write() makes the
// kernel read the source, and an unreadable range fails with EFAULT instead of a fault. The
// emulator checks a whole write() range at once, so a failed chunk is retried up to its page
// end to find the readable prefix exactly. The pipe is written and read with raw system calls:
// the C library's wrappers may be instrumented to check the bytes against the program's own
// objects, and these copies read whole pages on purpose.
#include "platform/mach/FaultSafeCopy.h"

#include "platform/mach/MachVirtualMemory.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::mach {
namespace {

// Several threads (or a signal handler on top of a thread) may copy at once; each copy
// leases a pipe of its own, so the bytes of two copies never mix.
constexpr int kPooledPipes = 8;
// Pipes hold 64 KiB by default; a smaller pipe just takes more rounds.
constexpr std::size_t kLargestChunk = 64 * 1024;
constexpr std::size_t kScratchSize = 256;

struct PooledPipe {
    std::atomic<bool> busy{false};
    // Touched only by the thread that set busy.
    int readFd = -1;
    int writeFd = -1;
};

PooledPipe pool[kPooledPipes];

class ErrnoGuard {
public:
    ErrnoGuard() : saved_(errno) {}
    ~ErrnoGuard() { errno = saved_; }
    ErrnoGuard(const ErrnoGuard&) = delete;
    ErrnoGuard& operator=(const ErrnoGuard&) = delete;

private:
    int saved_;
};

bool openPipe(int& readFd, int& writeFd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    readFd = fds[0];
    writeFd = fds[1];
    return true;
}

void closePipe(int& readFd, int& writeFd) {
    if (readFd >= 0) {
        close(readFd);
    }
    if (writeFd >= 0) {
        close(writeFd);
    }
    readFd = -1;
    writeFd = -1;
}

// A pipe from the pool, or a pipe of its own when every pooled one is in use.
class PipeLease {
public:
    PipeLease() {
        for (PooledPipe& entry : pool) {
            if (entry.busy.exchange(true, std::memory_order_acquire)) {
                continue;
            }
            if (entry.readFd < 0 && !openPipe(entry.readFd, entry.writeFd)) {
                entry.busy.store(false, std::memory_order_release);
                return;
            }
            pooled_ = &entry;
            readFd_ = entry.readFd;
            writeFd_ = entry.writeFd;
            return;
        }
        openPipe(readFd_, writeFd_);
    }

    ~PipeLease() {
        if (pooled_ == nullptr) {
            closePipe(readFd_, writeFd_);
            return;
        }
        // A pipe left with unread bytes would hand them to the next copy.
        if (broken_) {
            closePipe(pooled_->readFd, pooled_->writeFd);
        }
        pooled_->busy.store(false, std::memory_order_release);
    }

    PipeLease(const PipeLease&) = delete;
    PipeLease& operator=(const PipeLease&) = delete;

    bool valid() const { return readFd_ >= 0; }
    int readFd() const { return readFd_; }
    int writeFd() const { return writeFd_; }
    void markBroken() { broken_ = true; }

private:
    PooledPipe* pooled_ = nullptr;
    int readFd_ = -1;
    int writeFd_ = -1;
    bool broken_ = false;
};

ssize_t writeRetrying(int fd, std::uintptr_t source, std::size_t length) {
    for (;;) {
        ssize_t written = syscall(SYS_write, fd, source, length);
        if (written >= 0 || errno != EINTR) {
            return written;
        }
    }
}

enum class DrainResult { Drained, DestinationFault, Broken };

// Reads back exactly length bytes into destination (or discards them for a null one).
DrainResult drain(int fd, std::uint8_t* destination, std::size_t length) {
    bool destinationFault = destination == nullptr;
    std::uint8_t scratch[kScratchSize];
    std::size_t received = 0;
    while (received < length) {
        std::size_t remaining = length - received;
        std::uint8_t* target = destinationFault ? scratch : destination + received;
        std::size_t wanted =
            destinationFault && remaining > kScratchSize ? kScratchSize : remaining;
        ssize_t count = syscall(SYS_read, fd, target, wanted);
        if (count > 0) {
            received += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EFAULT && !destinationFault) {
            destinationFault = true;
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            return DrainResult::Broken;
        }
    }
    return destinationFault && destination != nullptr ? DrainResult::DestinationFault
                                                      : DrainResult::Drained;
}

std::size_t bytesToPageEnd(std::uintptr_t address) {
    return vm_page_size - (address & vm_page_mask);
}

void resetPoolInChild() {
    for (PooledPipe& entry : pool) {
        closePipe(entry.readFd, entry.writeFd);
        entry.busy.store(false, std::memory_order_relaxed);
    }
}

// A forked child must not share its parent's pipes: both would read each other's bytes.
[[gnu::constructor]] void registerForkHandler() {
    pthread_atfork(nullptr, nullptr, resetPoolInChild);
}

} // namespace

void openFaultSafeCopyPipes() {
    for (PooledPipe& entry : pool) {
        if (entry.busy.exchange(true, std::memory_order_acquire)) {
            continue;
        }
        if (entry.readFd < 0) {
            openPipe(entry.readFd, entry.writeFd);
        }
        entry.busy.store(false, std::memory_order_release);
    }
}

FaultSafeCopyResult faultSafeCopy(void* destination, const void* source, std::size_t length) {
    if (length == 0) {
        return FaultSafeCopyResult::Copied;
    }
    ErrnoGuard errnoGuard;
    PipeLease pipe;
    if (!pipe.valid()) {
        return FaultSafeCopyResult::NoResources;
    }
    auto* out = static_cast<std::uint8_t*>(destination);
    auto from = reinterpret_cast<std::uintptr_t>(source);
    std::size_t done = 0;
    while (done < length) {
        std::size_t chunk = length - done < kLargestChunk ? length - done : kLargestChunk;
        ssize_t written = writeRetrying(pipe.writeFd(), from + done, chunk);
        if (written < 0 && errno == EFAULT && chunk > bytesToPageEnd(from + done)) {
            written = writeRetrying(pipe.writeFd(), from + done, bytesToPageEnd(from + done));
        }
        if (written < 0 && errno == EFAULT) {
            return FaultSafeCopyResult::SourceUnreadable;
        }
        if (written <= 0) {
            pipe.markBroken();
            return FaultSafeCopyResult::NoResources;
        }
        switch (drain(pipe.readFd(), out + done, static_cast<std::size_t>(written))) {
        case DrainResult::Drained:
            break;
        case DrainResult::DestinationFault:
            return FaultSafeCopyResult::DestinationUnwritable;
        case DrainResult::Broken:
            pipe.markBroken();
            return FaultSafeCopyResult::NoResources;
        }
        done += static_cast<std::size_t>(written);
    }
    return FaultSafeCopyResult::Copied;
}

std::size_t readablePrefixLength(const void* source, std::size_t length) {
    ErrnoGuard errnoGuard;
    PipeLease pipe;
    if (!pipe.valid()) {
        return 0;
    }
    auto start = reinterpret_cast<std::uintptr_t>(source);
    std::size_t readable = 0;
    while (readable < length) {
        // One byte tells for the whole page: protection never changes within a page.
        if (writeRetrying(pipe.writeFd(), start + readable, 1) != 1) {
            break;
        }
        if (drain(pipe.readFd(), nullptr, 1) != DrainResult::Drained) {
            pipe.markBroken();
            break;
        }
        readable += bytesToPageEnd(start + readable);
    }
    return readable < length ? readable : length;
}

bool isMapped(const void* address) {
    ErrnoGuard errnoGuard;
    auto page = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t{vm_page_mask};
    unsigned char residency = 0;
    return mincore(reinterpret_cast<void*>(page), 1, &residency) == 0;
}

} // namespace platform::mach
