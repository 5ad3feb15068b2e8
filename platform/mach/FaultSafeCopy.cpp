// May run at crash time: everything in this file.
// Where the kernel has process_vm_readv, a copy is one such read of the own process, and no
// descriptor is ever opened for copies. The emulator has not, and there a copy goes through a
// pipe: write() makes the kernel read the source, and an unreadable range fails with EFAULT
// instead of a fault. The emulator checks a whole write() range at once, so a failed chunk is
// retried up to its page end to find the readable prefix exactly. Nothing is made while the
// library loads: which kind of copy works is found out once, when crash capture is enabled, and
// only then are the pipes opened where they are needed (or one by one as copies first need
// them), so a crash finds them open; a copy that finds every one of them in use waits a little
// and then fails instead of opening another, since no descriptor may be left at crash time. A
// pipe is only used by the process that opened it (a forked child reads and writes its own),
// and only while its descriptors still name it: an application that closes descriptors it did
// not open (a daemon does) may get the numbers back for files of its own, which must never
// receive process memory nor be read from. All of it goes through raw system calls: the C
// library's wrappers may be instrumented to check the bytes against the program's own objects,
// and these copies read whole pages on purpose.
#include "platform/mach/FaultSafeCopy.h"
#include "platform/mach/ErrnoGuard.h"

#include "platform/mach/MachVirtualMemory.h"
#include "platform/mach/SystemCall.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform::mach {
namespace {

// Several threads (or a signal handler on top of a thread) may copy at once; each copy
// leases a pipe of its own, so the bytes of two copies never mix. A pipe stays leased only
// for one copy, so a crash finds one free unless this many copies were cut short at once.
// Each pipe is two of the application's descriptors.
constexpr int kPooledPipes = 2;
// How often a copy looks again for a pipe that another copy holds before it gives up: a copy
// takes microseconds, but a thread stopped in the middle of one holds its pipe for good. Once a
// copy has given up, the next ones look once only, until one gets a pipe again: a crash that
// finds every pipe held by stopped threads must not wait at each of its many copies.
constexpr int kLeaseAttempts = 20000;
std::atomic<bool> leaseGivenUp{false};
// Pipes hold 64 KiB by default; a smaller pipe just takes more rounds.
constexpr std::size_t kLargestChunk = 64 * 1024;
constexpr std::size_t kScratchSize = 256;
// Pages whose readability one system call checks.
constexpr int kProbesPerCall = 32;
// Pages whose residency one mincore() call reports.
constexpr std::size_t kResidencyPerCall = 256;

struct PooledPipe {
    std::atomic<bool> busy{false};
    // Touched only by the thread that set busy.
    int readFd = -1;
    int writeFd = -1;
    pid_t owner = 0;
    // Both ends of a pipe are one inode of the pipe file system.
    dev_t device = 0;
    ino_t inode = 0;
};

PooledPipe pool[kPooledPipes];

enum class ProcessRead : int { Unknown, Available, Unavailable };
std::atomic<ProcessRead> processRead{ProcessRead::Unknown};

using platform::ErrnoGuard;

pid_t currentPid() {
    return static_cast<pid_t>(platform::systemCall(SYS_getpid));
}

// The pid is asked each time: a forked child that used its parent's would read the parent.
ssize_t readOwnMemory(const iovec* local, unsigned long localCount, const iovec* remote,
                      unsigned long remoteCount) {
    return platform::systemCall(SYS_process_vm_readv, currentPid(), local, localCount, remote,
                                remoteCount, 0);
}

bool processReadAvailable() {
    ProcessRead known = processRead.load(std::memory_order_relaxed);
    if (known == ProcessRead::Unknown) {
        std::uint8_t probe = 1;
        std::uint8_t copy = 0;
        iovec local{&copy, 1};
        iovec remote{&probe, 1};
        known = readOwnMemory(&local, 1, &remote, 1) == 1 && copy == 1 ? ProcessRead::Available
                                                                       : ProcessRead::Unavailable;
        processRead.store(known, std::memory_order_relaxed);
    }
    return known == ProcessRead::Available;
}

bool namesPipe(int fd, dev_t device, ino_t inode) {
    struct stat status;
    return platform::systemCall(SYS_fstat, fd, &status) == 0 && S_ISFIFO(status.st_mode) &&
           status.st_dev == device && status.st_ino == inode;
}

// Called with the entry leased. Keeps a pipe this process opened and its descriptors still
// name; closes one inherited from a parent; forgets one whose numbers now name something else.
// Then opens one where none is left. False when the entry has no pipe.
bool makeUsable(PooledPipe& entry, pid_t self) {
    if (entry.readFd >= 0) {
        const bool ours = namesPipe(entry.readFd, entry.device, entry.inode) &&
                          namesPipe(entry.writeFd, entry.device, entry.inode);
        if (ours && entry.owner == self) {
            return true;
        }
        if (ours) {
            platform::systemCall(SYS_close, entry.readFd);
            platform::systemCall(SYS_close, entry.writeFd);
        }
        entry.readFd = -1;
        entry.writeFd = -1;
    }
    int fds[2];
    struct stat status;
    if (platform::systemCall(SYS_pipe2, fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    if (platform::systemCall(SYS_fstat, fds[0], &status) != 0) {
        platform::systemCall(SYS_close, fds[0]);
        platform::systemCall(SYS_close, fds[1]);
        return false;
    }
    entry.readFd = fds[0];
    entry.writeFd = fds[1];
    entry.owner = self;
    entry.device = status.st_dev;
    entry.inode = status.st_ino;
    return true;
}

// A pooled pipe, or none when every one is in use or none can be had.
class PipeLease {
public:
    PipeLease() {
        const pid_t self = currentPid();
        const int attempts = leaseGivenUp.load(std::memory_order_relaxed) ? 1 : kLeaseAttempts;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            bool anyBusy = false;
            for (PooledPipe& entry : pool) {
                if (entry.busy.exchange(true, std::memory_order_acquire)) {
                    anyBusy = true;
                    continue;
                }
                if (!makeUsable(entry, self)) {
                    entry.busy.store(false, std::memory_order_release);
                    continue;
                }
                pooled_ = &entry;
                leaseGivenUp.store(false, std::memory_order_relaxed);
                return;
            }
            if (!anyBusy) {
                return;
            }
            platform::systemCall(SYS_sched_yield);
        }
        leaseGivenUp.store(true, std::memory_order_relaxed);
    }
    ~PipeLease() {
        if (pooled_ == nullptr) {
            return;
        }
        // A pipe left with unread bytes would hand them to the next copy.
        if (broken_) {
            discardLeftovers();
        }
        pooled_->busy.store(false, std::memory_order_release);
    }

    PipeLease(const PipeLease&) = delete;
    PipeLease& operator=(const PipeLease&) = delete;

    bool valid() const { return pooled_ != nullptr; }
    int readFd() const { return pooled_->readFd; }
    int writeFd() const { return pooled_->writeFd; }
    void markBroken() { broken_ = true; }

private:
    // The pipe does not block, so reading stops once it is empty.
    void discardLeftovers() {
        std::uint8_t scratch[kScratchSize];
        while (platform::systemCall(SYS_read, pooled_->readFd, scratch, sizeof scratch) > 0) {
        }
    }

    PooledPipe* pooled_ = nullptr;
    bool broken_ = false;
};

ssize_t writeRetrying(int fd, std::uintptr_t source, std::size_t length) {
    for (;;) {
        ssize_t written = platform::systemCall(SYS_write, fd, source, length);
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
        ssize_t count = platform::systemCall(SYS_read, fd, target, wanted);
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

FaultSafeCopyResult copyThroughPipe(std::uint8_t* out, std::uintptr_t from, std::size_t length) {
    PipeLease pipe;
    if (!pipe.valid()) {
        return FaultSafeCopyResult::NoResources;
    }
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

// How many of the probes, in order, lie in readable pages: one byte of each is read.
int readableProbes(const iovec* probes, int count) {
    if (processReadAvailable()) {
        std::uint8_t scratch[kProbesPerCall];
        iovec local{scratch, static_cast<std::size_t>(count)};
        ssize_t read = readOwnMemory(&local, 1, probes, static_cast<unsigned long>(count));
        return read > 0 ? static_cast<int>(read) : 0;
    }
    PipeLease pipe;
    if (!pipe.valid()) {
        return 0;
    }
    ssize_t written;
    do {
        written = platform::systemCall(SYS_writev, pipe.writeFd(), probes, count);
    } while (written < 0 && errno == EINTR);
    if (written <= 0) {
        return 0;
    }
    if (drain(pipe.readFd(), nullptr, static_cast<std::size_t>(written)) != DrainResult::Drained) {
        pipe.markBroken();
        return 0;
    }
    return static_cast<int>(written);
}

} // namespace

void openFaultSafeCopyPipes() {
    ErrnoGuard errnoGuard;
    if (processReadAvailable()) {
        return;
    }
    const pid_t self = currentPid();
    for (PooledPipe& entry : pool) {
        if (entry.busy.exchange(true, std::memory_order_acquire)) {
            continue;
        }
        makeUsable(entry, self);
        entry.busy.store(false, std::memory_order_release);
    }
}

FaultSafeCopyResult faultSafeCopy(void* destination, const void* source, std::size_t length) {
    if (length == 0) {
        return FaultSafeCopyResult::Copied;
    }
    ErrnoGuard errnoGuard;
    if (processReadAvailable()) {
        iovec local{destination, length};
        iovec remote{const_cast<void*>(source), length};
        if (readOwnMemory(&local, 1, &remote, 1) == static_cast<ssize_t>(length)) {
            return FaultSafeCopyResult::Copied;
        }
        // A source whose every page reads was not what failed.
        return readablePrefixLength(source, length) == length
                   ? FaultSafeCopyResult::DestinationUnwritable
                   : FaultSafeCopyResult::SourceUnreadable;
    }
    // The pipe tells an unreadable source from an unwritable destination.
    return copyThroughPipe(static_cast<std::uint8_t*>(destination),
                           reinterpret_cast<std::uintptr_t>(source), length);
}

std::size_t readablePrefixLength(const void* source, std::size_t length) {
    ErrnoGuard errnoGuard;
    auto start = reinterpret_cast<std::uintptr_t>(source);
    std::size_t readable = 0;
    while (readable < length) {
        // One byte tells for the whole page: protection never changes within a page.
        iovec probes[kProbesPerCall];
        std::size_t pageEnds[kProbesPerCall];
        int count = 0;
        for (std::size_t cursor = readable; cursor < length && count < kProbesPerCall; ++count) {
            probes[count] = {reinterpret_cast<void*>(start + cursor), 1};
            cursor += bytesToPageEnd(start + cursor);
            pageEnds[count] = cursor;
        }
        int readablePages = readableProbes(probes, count);
        if (readablePages > 0) {
            readable = pageEnds[readablePages - 1];
        }
        if (readablePages < count) {
            break;
        }
    }
    return readable < length ? readable : length;
}

bool isMapped(const void* address) {
    ErrnoGuard errnoGuard;
    auto page = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t{vm_page_mask};
    unsigned char residency = 0;
    return mincore(reinterpret_cast<void*>(page), 1, &residency) == 0;
}

bool isWhollyMapped(const void* start, std::size_t length) {
    ErrnoGuard errnoGuard;
    auto address = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t end = address + length;
    address &= ~std::uintptr_t{vm_page_mask};
    unsigned char residency[kResidencyPerCall];
    while (address < end) {
        std::size_t span = end - address;
        if (span > kResidencyPerCall * vm_page_size) {
            span = kResidencyPerCall * vm_page_size;
        }
        // mincore() fails with ENOMEM as soon as a page of the range is unmapped.
        if (mincore(reinterpret_cast<void*>(address), span, residency) != 0) {
            return false;
        }
        address += span;
    }
    return true;
}

} // namespace platform::mach
