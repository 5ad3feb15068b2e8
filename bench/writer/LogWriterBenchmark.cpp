// Time and size of one crash report of 1, 16 and 64 threads whose stacks are 30 frames deep
// (the writing thread among them), and the cost per written frame; next to it, where the build
// has libunwind, the cost of one unw_step on a stack of the same depth. Where the writer cannot
// walk stacks (no 64-bit ARM thread state) the reports carry no frames and only the totals are
// printed. Prints medians of several reports per thread count. The writer is set up as the
// error-tracking integration sets it up.
#include "images/KOCrashAsyncImageList.h"
#include "log/KOCrashLogWriter.h"
#include "report/KOCrashReport.h"

#include "platform/dyld/DyldImages.h"
#include "platform/mach/MachPorts.h"

#if defined(KOCRASH_BENCH_HAS_LIBUNWIND)
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

using platform::dyld::_dyld_get_image_header;
using platform::dyld::_dyld_get_image_name;
using platform::dyld::_dyld_image_count;

using platform::mach::mach_task_self;
using platform::mach::mach_thread_self;

namespace {

constexpr int kDepth = 30;
constexpr int kReports = 9;
using Clock = std::chrono::steady_clock;

// Runs bottom at the end of a chain of kDepth real frames.
[[gnu::noinline]] void descend(int depth, const std::function<void()>& bottom) {
    if (depth == 0) {
        bottom();
    } else {
        descend(depth - 1, bottom);
    }
    asm volatile("" ::: "memory");
}

struct Result {
    double seconds;
    std::size_t bytes;
    std::size_t frames;
};

struct Bench {
    kocrash_log_writer writer{};
    kocrash_async_image_list images{};
    int fd = memfd_create("report", 0);
    std::vector<double> seconds;
    std::vector<std::uint8_t> lastReport;
};

void writeOnce(Bench& bench, const kocrash_async_thread_state* state) {
    ftruncate(bench.fd, 0);
    lseek(bench.fd, 0, SEEK_SET);
    kocrash_async_file file;
    kocrash_async_file_init(&file, bench.fd, 0);
    const kocrash_async_signal_info signal{11, 1, 0};
    const kocrash_log_signal_info info{&signal, nullptr};
    const auto start = Clock::now();
    kocrash_log_writer_write(&bench.writer, mach_thread_self(), &bench.images, &file, &info, state);
    kocrash_async_file_flush(&file);
    bench.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
}

kocrash_error_t writeWithState(kocrash_async_thread_state* state, void* context) {
    writeOnce(*static_cast<Bench*>(context), state);
    return KOCRASH_ESUCCESS;
}

Result measure(Bench& bench, int threadCount) {
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> others;
    for (int index = 1; index < threadCount; ++index) {
        others.emplace_back([&] {
            descend(kDepth, [&] {
                ++ready;
                while (!stop.load(std::memory_order_relaxed)) {
                }
            });
        });
    }
    while (ready.load() < threadCount - 1) {
        std::this_thread::yield();
    }
    bench.seconds.clear();
    descend(kDepth, [&] {
        for (int report = 0; report < kReports; ++report) {
            if (kocrash_async_thread_state_current(writeWithState, &bench) != KOCRASH_ESUCCESS) {
                writeOnce(bench, nullptr);
            }
        }
    });
    stop = true;
    for (std::thread& thread : others) {
        thread.join();
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(bench.fd, 0, SEEK_END)));
    pread(bench.fd, bytes.data(), bytes.size(), 0);
    std::size_t frames = 0;
    if (const auto report = KOCrashReport::initWithData(bytes, nullptr)) {
        for (const KOCrashReportThreadInfo& thread : report->threads()) {
            frames += thread.stackFrames().size();
        }
    }
    std::ranges::sort(bench.seconds);
    return {bench.seconds[bench.seconds.size() / 2], bytes.size(), frames};
}

#if defined(KOCRASH_BENCH_HAS_LIBUNWIND)
// Median seconds per unw_step over a stack kDepth frames deeper than the caller's.
double unwStepSeconds() {
    std::vector<double> perStep;
    descend(kDepth, [&] {
        for (int round = 0; round < 200; ++round) {
            unw_context_t context;
            unw_cursor_t cursor;
            unw_getcontext(&context);
            unw_init_local(&cursor, &context);
            int steps = 0;
            const auto start = Clock::now();
            while (unw_step(&cursor) > 0) {
                ++steps;
            }
            perStep.push_back(std::chrono::duration<double>(Clock::now() - start).count() /
                              std::max(steps, 1));
        }
    });
    std::ranges::sort(perStep);
    return perStep[perStep.size() / 2];
}
#endif

} // namespace

int main() {
    Bench bench;
    kocrash_nasync_image_list_init(&bench.images, mach_task_self());
    for (std::uint32_t index = 0; index < _dyld_image_count(); ++index) {
        kocrash_nasync_image_list_append(
            &bench.images, reinterpret_cast<std::uintptr_t>(_dyld_get_image_header(index)),
            _dyld_get_image_name(index));
    }
    // No symbols, as the error-tracking integration writes its reports: frames are named when
    // the report is processed, not at crash time.
    kocrash_log_writer_init(&bench.writer, "bench", "1", "1", KOCRASH_ASYNC_SYMBOL_STRATEGY_NONE,
                            false);

    std::printf("%8s %12s %10s %8s %14s\n", "threads", "report_ms", "bytes", "frames",
                "per_frame_us");
    for (int threads : {1, 16, 64}) {
        const Result result = measure(bench, threads);
        std::printf("%8d %12.3f %10zu %8zu", threads, result.seconds * 1e3, result.bytes,
                    result.frames);
        if (result.frames > 0) {
            std::printf(" %14.3f", result.seconds * 1e6 / static_cast<double>(result.frames));
        }
        std::printf("\n");
    }
#if defined(KOCRASH_BENCH_HAS_LIBUNWIND)
    std::printf("libunwind unw_step: %.3f us per frame\n", unwStepSeconds() * 1e6);
#endif
    kocrash_log_writer_free(&bench.writer);
    kocrash_nasync_image_list_free(&bench.images);
    close(bench.fd);
}
