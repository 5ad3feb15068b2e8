// The crash-safe file writer on real files and pipes: what reaches the file, when, and in what
// order; the byte limit; descriptors that cannot be written.
#include "async/KOCrashAsync.h"

#include "support/Files.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A file in a fresh folder; the writer under test owns every descriptor opened on it.
struct TemporaryFile {
    int open(int flags = O_WRONLY | O_CREAT) const {
        return ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    }
    std::string contents() const { return testsupport::readFile(path); }
    off_t size() const {
        struct stat status {};
        return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
    }

    testsupport::TemporaryDirectory directory;
    std::filesystem::path path = directory.path() / "report";
};

std::string bytes(std::size_t count, char first) {
    std::string text(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        text[i] = static_cast<char>(first + i % 23);
    }
    return text;
}

bool append(kocrash_async_file& file, const std::string& data) {
    return kocrash_async_file_write(&file, data.data(), data.size());
}

} // namespace

TEST(KOCrashAsyncFile, SmallWritesWaitInTheBufferAndReachTheFileInOrder) {
    TemporaryFile temporary;
    kocrash_async_file file;
    kocrash_async_file_init(&file, temporary.open(), 0);
    std::string first = bytes(200, 'a');
    std::string second = bytes(100, 'A');

    ASSERT_TRUE(append(file, first));
    EXPECT_EQ(temporary.size(), 0);
    EXPECT_EQ(file.buffered_length, 200u);

    // 300 bytes no longer fit: the first 200 go out before the 100 are buffered.
    ASSERT_TRUE(append(file, second));
    EXPECT_EQ(temporary.size(), 200);
    EXPECT_EQ(file.buffered_length, 100u);

    ASSERT_TRUE(kocrash_async_file_flush(&file));
    EXPECT_EQ(file.buffered_length, 0u);
    EXPECT_TRUE(kocrash_async_file_close(&file));
    EXPECT_EQ(temporary.contents(), first + second);
}

TEST(KOCrashAsyncFile, AWriteLargerThanTheBufferGoesStraightToTheFile) {
    TemporaryFile temporary;
    kocrash_async_file file;
    kocrash_async_file_init(&file, temporary.open(), 0);
    std::string head = bytes(10, '0');
    std::string large = bytes(300, 'a');
    std::string tail = bytes(256, 'A');

    ASSERT_TRUE(append(file, head));
    ASSERT_TRUE(append(file, large));
    EXPECT_EQ(temporary.size(), 310);
    EXPECT_EQ(file.buffered_length, 0u);
    // Exactly a full buffer still waits.
    ASSERT_TRUE(append(file, tail));
    EXPECT_EQ(file.buffered_length, 256u);
    EXPECT_TRUE(kocrash_async_file_close(&file));
    EXPECT_EQ(temporary.contents(), head + large + tail);
}

TEST(KOCrashAsyncFile, TheByteLimitCutsTheFileAtAWriteBoundary) {
    TemporaryFile temporary;
    kocrash_async_file file;
    kocrash_async_file_init(&file, temporary.open(), 10);

    EXPECT_TRUE(append(file, "123456"));
    EXPECT_FALSE(append(file, "abcde"));
    EXPECT_EQ(file.bytes_written, 6u);
    // Three more bytes would fit, but writing them would leave a hole where "abcde" belonged.
    EXPECT_FALSE(append(file, "xyz"));
    EXPECT_FALSE(kocrash_async_file_close(&file)) << "a cut file must not pass for a complete one";
    EXPECT_EQ(temporary.contents(), "123456");

    TemporaryFile exact;
    kocrash_async_file_init(&file, exact.open(), 10);
    EXPECT_TRUE(append(file, "1234"));
    EXPECT_TRUE(append(file, "567890"));
    EXPECT_FALSE(kocrash_async_file_write(&file, "x", SIZE_MAX)) << "no wrap-around past the limit";
    EXPECT_EQ(file.bytes_written, 10u);
}

TEST(KOCrashAsyncFile, AClosedDescriptorFailsTheFlushButKeepsTheBuffer) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    close(fds[1]);
    kocrash_async_file file;
    kocrash_async_file_init(&file, fds[1], 0);
    EXPECT_TRUE(append(file, "buffered")) << "nothing reaches the descriptor yet";
    EXPECT_FALSE(kocrash_async_file_flush(&file));
    EXPECT_EQ(file.buffered_length, 8u);
    EXPECT_FALSE(append(file, bytes(300, 'a')));
    EXPECT_FALSE(kocrash_async_file_close(&file));
}

TEST(KOCrashAsyncFile, CloseReleasesTheDescriptorEvenWhenTheLastFlushFails) {
    TemporaryFile temporary;
    int readOnly = temporary.open(O_RDONLY | O_CREAT);
    ASSERT_GE(readOnly, 0);
    kocrash_async_file file;
    kocrash_async_file_init(&file, readOnly, 0);
    ASSERT_TRUE(append(file, "pending"));
    EXPECT_FALSE(kocrash_async_file_close(&file));
    errno = 0;
    EXPECT_EQ(fcntl(readOnly, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(KOCrashAsyncWriten, AnEmptyRangeNeedsNoWriteAndABadDescriptorFails) {
    EXPECT_EQ(kocrash_async_writen(-1, "", 0), 0);
    EXPECT_EQ(kocrash_async_writen(-1, "x", 1), -1);
}

namespace {

std::atomic<int> interruptions{0};
void countInterruption(int) {
    interruptions.fetch_add(1);
}

} // namespace

TEST(KOCrashAsyncWriten, InterruptedWritesResumeUntilEveryByteIsOut) {
    struct sigaction action {};
    action.sa_handler = countInterruption; // no SA_RESTART: blocked writes return early
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);

    std::vector<char> data(2 * 1024 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 13 + (i >> 16));
    }
    std::atomic<pid_t> writer{0};
    std::atomic<bool> done{false};
    ssize_t result = 0;
    std::thread thread([&] {
        writer = gettid();
        result = kocrash_async_writen(fds[1], data.data(), data.size());
        done = true;
        close(fds[1]);
    });
    while (writer.load() == 0) {
        std::this_thread::yield();
    }
    std::vector<char> received;
    char chunk[4096];
    for (;;) {
        if (!done.load()) {
            tgkill(getpid(), writer.load(), SIGUSR1);
        }
        ssize_t count = read(fds[0], chunk, sizeof chunk);
        if (count <= 0) {
            break;
        }
        received.insert(received.end(), chunk, chunk + count);
    }
    thread.join();
    close(fds[0]);
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(result, static_cast<ssize_t>(data.size()));
    EXPECT_GT(interruptions.load(), 0);
    EXPECT_TRUE(received == data);
}
