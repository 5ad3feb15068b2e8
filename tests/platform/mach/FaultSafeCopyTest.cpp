// Fault-safe copies on real memory: readable, inaccessible and unmapped pages, copies larger
// than a pipe, copies from many threads, from a signal handler and from a forked child.
#include "platform/mach/FaultSafeCopy.h"

#include "ForkedChild.h"
#include "GuardedPages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using platform::mach::faultSafeCopy;
using platform::mach::FaultSafeCopyResult;

namespace {

std::vector<std::uint8_t> patterned(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 12));
    }
    return bytes;
}

// Copies source in pieces and reports whether every copy arrived intact.
bool copiesArriveIntact(const std::vector<std::uint8_t>& source, int rounds) {
    std::vector<std::uint8_t> copy(source.size());
    for (int round = 0; round < rounds; ++round) {
        std::fill(copy.begin(), copy.end(), 0);
        if (faultSafeCopy(copy.data(), source.data(), source.size()) !=
                FaultSafeCopyResult::Copied ||
            copy != source) {
            return false;
        }
    }
    return true;
}

// Whether the kernel reads the own process for a copy; under the emulator it does not.
bool processReadsItself() {
    std::uint8_t source = 7;
    std::uint8_t copy = 0;
    iovec local{&copy, 1};
    iovec remote{&source, 1};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1 && copy == 7;
}

std::vector<int> openPipeDescriptors() {
    std::vector<int> pipes;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string().starts_with("pipe:")) {
            pipes.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return pipes;
}

} // namespace

// Pipes are the application's descriptors: none where the kernel reads the own process, and
// two pairs at most where it cannot.
TEST(FaultSafeCopy, TakesPipesOnlyWhereTheKernelCannotReadTheOwnProcess) {
    const int status = runInForkedChild([] {
        const std::size_t before = openPipeDescriptors().size();
        platform::mach::openFaultSafeCopyPipes();
        GuardedPages pages;
        std::uint8_t copy[64];
        const bool worked =
            faultSafeCopy(copy, pages.readable(), sizeof copy) == FaultSafeCopyResult::Copied &&
            faultSafeCopy(copy, pages.inaccessible(), sizeof copy) ==
                FaultSafeCopyResult::SourceUnreadable &&
            faultSafeCopy(pages.inaccessible(), pages.readable(), sizeof copy) ==
                FaultSafeCopyResult::DestinationUnwritable;
        const std::size_t taken = openPipeDescriptors().size() - before;
        _exit(worked && (processReadsItself() ? taken == 0 : taken <= 4) ? 0 : 1);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(FaultSafeCopy, CopiesReadableMemoryOfAnySize) {
    for (std::size_t size :
         {std::size_t{1}, std::size_t{4095}, std::size_t{65536 + 17}, std::size_t{1} << 20}) {
        SCOPED_TRACE(size);
        EXPECT_TRUE(copiesArriveIntact(patterned(size, 5), 1));
    }
}

TEST(FaultSafeCopy, ReportsUnreadableSourcesAndUnwritableDestinationsWithoutFaulting) {
    GuardedPages pages;
    std::vector<std::uint8_t> copy(64);
    errno = 1234;
    EXPECT_EQ(faultSafeCopy(copy.data(), pages.inaccessible(), 8),
              FaultSafeCopyResult::SourceUnreadable);
    EXPECT_EQ(faultSafeCopy(copy.data(), pages.unmapped(), 8),
              FaultSafeCopyResult::SourceUnreadable);
    EXPECT_EQ(faultSafeCopy(copy.data(), nullptr, 8), FaultSafeCopyResult::SourceUnreadable);
    // A range that starts readable and runs into the inaccessible page.
    EXPECT_EQ(faultSafeCopy(copy.data(), pages.inaccessible() - 4, 8),
              FaultSafeCopyResult::SourceUnreadable);
    EXPECT_EQ(errno, 1234) << "a signal handler's caller must find errno untouched";

    ASSERT_EQ(faultSafeCopy(copy.data(), pages.inaccessible() - 4, 4), FaultSafeCopyResult::Copied);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(copy[i], GuardedPages::patternByte(GuardedPages::pageSize() - 4 + i));
    }

    // A destination that cannot be written leaves no bytes behind for the next copies.
    EXPECT_EQ(faultSafeCopy(pages.inaccessible(), pages.readable(), 100),
              FaultSafeCopyResult::DestinationUnwritable);
    for (int i = 0; i < 16; ++i) {
        EXPECT_TRUE(copiesArriveIntact(patterned(300, static_cast<std::uint8_t>(i)), 1));
    }
}

TEST(FaultSafeCopy, ConcurrentCopiesNeverMixTheirBytes) {
    constexpr int kThreads = 16;
    std::atomic<int> intact{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &intact] {
            if (copiesArriveIntact(patterned(100 * 1024 + t, static_cast<std::uint8_t>(t)), 20)) {
                intact.fetch_add(1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(intact.load(), kThreads);
}

namespace {

std::atomic<int> handlerCopies{0};
std::atomic<int> handlerFailures{0};
const std::vector<std::uint8_t>* handlerSource = nullptr;

void copyInHandler(int) {
    std::uint8_t copy[512];
    if (faultSafeCopy(copy, handlerSource->data(), sizeof copy) != FaultSafeCopyResult::Copied) {
        handlerFailures.fetch_add(1);
        return;
    }
    for (std::size_t i = 0; i < sizeof copy; ++i) {
        if (copy[i] != (*handlerSource)[i]) {
            handlerFailures.fetch_add(1);
            return;
        }
    }
    handlerCopies.fetch_add(1);
}

} // namespace

TEST(FaultSafeCopy, ASignalHandlerCopiesWhileItsThreadIsInTheMiddleOfACopy) {
    std::vector<std::uint8_t> handlerBytes = patterned(512, 99);
    handlerSource = &handlerBytes;
    struct sigaction action {};
    action.sa_handler = copyInHandler;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    std::atomic<bool> running{true};
    std::atomic<bool> threadIntact{true};
    std::atomic<pid_t> copier{0};
    std::thread thread([&] {
        copier = gettid();
        std::vector<std::uint8_t> source = patterned(256 * 1024, 1);
        while (running.load()) {
            if (!copiesArriveIntact(source, 1)) {
                threadIntact = false;
            }
        }
    });
    while (copier.load() == 0) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 200; ++i) {
        tgkill(getpid(), copier.load(), SIGUSR2);
        usleep(500);
    }
    running = false;
    thread.join();
    sigaction(SIGUSR2, &previous, nullptr);

    EXPECT_TRUE(threadIntact.load());
    EXPECT_EQ(handlerFailures.load(), 0);
    EXPECT_GT(handlerCopies.load(), 0);
}

TEST(FaultSafeCopy, AForkedChildAndItsParentCopyAtTheSameTime) {
    std::vector<std::uint8_t> source = patterned(200 * 1024, 42);
    ASSERT_TRUE(copiesArriveIntact(source, 1)) << "the pool's pipes exist before the fork";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(copiesArriveIntact(source, 200) ? 0 : 1);
    }
    bool parentIntact = copiesArriveIntact(source, 200);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(parentIntact);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Everything a copy needs exists once capture is enabled: a process that has used up its
// descriptors since still copies, and still tells an unreadable source apart.
TEST(FaultSafeCopy, CopiesWhenNoDescriptorIsLeft) {
    GuardedPages pages;
    platform::mach::openFaultSafeCopyPipes();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        while (dup(STDERR_FILENO) >= 0) {
        }
        std::uint8_t copy[64];
        const bool copied =
            faultSafeCopy(copy, pages.readable(), sizeof copy) == FaultSafeCopyResult::Copied &&
            copy[5] == GuardedPages::patternByte(5);
        const bool refused = faultSafeCopy(copy, pages.inaccessible(), sizeof copy) ==
                             FaultSafeCopyResult::SourceUnreadable;
        const bool probed =
            platform::mach::readablePrefixLength(pages.readable(), 3 * GuardedPages::pageSize()) ==
            GuardedPages::pageSize();
        _exit(errno == EMFILE && copied && refused && probed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A daemon closes every descriptor it inherited and opens sockets that get the pool's numbers.
// The copies that write the source into a pipe (every copy under the emulator) must neither send a
// byte into those sockets nor read from them, and still work.
TEST(FaultSafeCopy, DescriptorsTakenOverByTheApplicationAreNeverWrittenNorRead) {
    GuardedPages pages;
    platform::mach::openFaultSafeCopyPipes();
    const int status = runInForkedChild([&] {
        // The pool's pipes are the pipes there are; an emulator's own descriptors stay open.
        const std::vector<int> closed = openPipeDescriptors();
        for (int fd : closed) {
            close(fd);
        }
        // One end of each pair holds a byte that a stray read would take; the other nothing.
        std::vector<int> marked;
        std::vector<int> empty;
        while (marked.size() + empty.size() < closed.size()) {
            int ends[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) != 0) {
                _exit(2);
            }
            const char mark = 'm';
            (void)!write(ends[1], &mark, 1);
            marked.push_back(ends[0]);
            empty.push_back(ends[1]);
        }
        std::uint8_t copy[64];
        const bool copied =
            faultSafeCopy(copy, pages.readable(), sizeof copy) == FaultSafeCopyResult::Copied &&
            copy[7] == GuardedPages::patternByte(7);
        const bool refused = faultSafeCopy(pages.inaccessible(), pages.readable(), sizeof copy) ==
                             FaultSafeCopyResult::DestinationUnwritable;
        char byte = 0;
        for (int fd : marked) {
            if (recv(fd, &byte, 1, MSG_DONTWAIT) != 1 || byte != 'm' ||
                recv(fd, &byte, 1, MSG_DONTWAIT) != -1) {
                _exit(3);
            }
        }
        for (int fd : empty) {
            if (recv(fd, &byte, 1, MSG_DONTWAIT) != -1) {
                _exit(4);
            }
        }
        _exit((processReadsItself() || !closed.empty()) && copied && refused ? 0 : 5);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
