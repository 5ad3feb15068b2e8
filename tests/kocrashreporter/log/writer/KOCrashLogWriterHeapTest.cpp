// Writing a report calls no allocation function: this program replaces the C library's
// allocation functions with ones that abort while a write is under way, and a forked child
// (whose only threads are the ones it starts itself) writes a report of several real threads.
// The same replacement runs the writer's set-up out of memory.
#include "WriterReports.h"
#include "report/KOCrashReport.h"

#include "BusyThreads.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using platform::mach::mach_thread_self;

namespace {

std::atomic<bool> heapForbidden{false};
std::atomic<bool> heapExhausted{false};

void abortIfForbidden() {
    if (heapForbidden.load(std::memory_order_relaxed)) {
        static const char text[] = "heap call while writing a report\n";
        ::write(2, text, sizeof text - 1);
        std::abort();
    }
}

} // namespace

extern "C" {

void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);

void* malloc(std::size_t size) {
    abortIfForbidden();
    return heapExhausted ? nullptr : __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    abortIfForbidden();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
    abortIfForbidden();
    return __libc_realloc(pointer, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
    abortIfForbidden();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return memalign(alignment, size);
}
int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
    *result = memalign(alignment, size);
    return *result != nullptr ? 0 : ENOMEM;
}
void free(void* pointer) {
    abortIfForbidden();
    __libc_free(pointer);
}

} // extern "C"

namespace {

struct ChildWrite {
    kocrash_log_writer* writer;
    kocrash_async_image_list* images;
    kocrash_async_file* file;
};

void writeWithoutHeap(const ChildWrite& call, const kocrash_async_thread_state* state) {
    const kocrash_async_signal_info signal{11, 1, 0};
    const kocrash_log_signal_info info{&signal, nullptr};
    heapForbidden = true;
    kocrash_log_writer_write(call.writer, mach_thread_self(), call.images, call.file, &info, state);
    kocrash_async_file_flush(call.file);
    heapForbidden = false;
}

kocrash_error_t writeWithCapturedState(kocrash_async_thread_state* state, void* context) {
    writeWithoutHeap(*static_cast<ChildWrite*>(context), state);
    return KOCRASH_ESUCCESS;
}

std::optional<KOCrashReport> writeAndDecode(kocrash_log_writer* writer) {
    ProcessImageList images;
    const int fd = memfd_create("report", 0);
    kocrash_async_file file;
    kocrash_async_file_init(&file, fd, 0);
    ChildWrite call{writer, images.get(), &file};
    if (kocrash_async_thread_state_current(writeWithCapturedState, &call) != KOCRASH_ESUCCESS) {
        writeWithoutHeap(call, nullptr);
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
    pread(fd, bytes.data(), bytes.size(), 0);
    return KOCrashReport::initWithData(bytes, nullptr);
}

[[noreturn]] void writeReportInChild() {
    BusyThreads workers(4);
    kocrash_log_writer writer{};
    kocrash_log_writer_init(&writer, "com.example.app", "1", "1",
                            KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, false);
    kocrash_log_writer_set_exception(&writer, "Name", "Reason", std::vector<std::uint64_t>{0x1000});
    kocrash_log_writer_set_custom_data(&writer, std::vector<std::uint8_t>{1, 2});
    const std::optional<KOCrashReport> report = writeAndDecode(&writer);
    _exit(report && report->threads().size() >= 4 && report->images().size() > 2 ? 0 : 2);
}

[[noreturn]] void writeReportOfExceptionSetOutOfMemory() {
    BusyThreads workers(1);
    kocrash_log_writer writer{};
    kocrash_log_writer_init(&writer, "com.example.app", "1", "1",
                            KOCRASH_ASYNC_SYMBOL_STRATEGY_NONE, false);
    const std::vector<std::uint64_t> callStack{0x1000};
    heapExhausted = true;
    kocrash_log_writer_set_exception(&writer, "Name", "Reason", callStack);
    heapExhausted = false;
    const std::optional<KOCrashReport> report = writeAndDecode(&writer);
    _exit(report && report->exceptionInfo() && report->exceptionInfo()->exceptionName().empty() &&
                  report->signalInfo().name() == "SIGSEGV"
              ? 0
              : 2);
}

void expectChildExitsCleanly(void (*child)()) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        child();
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(KOCrashLogWriterHeapTest, WritingAReportCallsNoAllocationFunction) {
    expectChildExitsCleanly(writeReportInChild);
}

TEST(KOCrashLogWriterHeapTest, AnExceptionWhoseTextsCouldNotBeCopiedIsWrittenWithEmptyTexts) {
    expectChildExitsCleanly(writeReportOfExceptionSetOutOfMemory);
}

} // namespace
