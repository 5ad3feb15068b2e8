// Reports of real threads: every thread and image present, the crashed thread's frames inside
// the functions their symbols name, image UUIDs equal to the build-ids readelf prints, and
// length prefixes that match their bodies while the threads' stacks keep changing. Frames and
// registers need the 64-bit ARM thread state: on other machines only their absence is checked.
#include "ProcessFunctions.h"
#include "ReadelfBuildId.h"
#include "WriterReports.h"
#include "report/KOCrashReport.h"

#include "BusyThreads.h"
#include "CapturedAsyncFile.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using platform::mach::mach_thread_self;

namespace {

class KOCrashLogWriterThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kocrash_log_writer_init(&writer_, "com.example.app", "1", std::nullopt,
                                          KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, false),
                  KOCRASH_ESUCCESS);
    }
    void TearDown() override { kocrash_log_writer_free(&writer_); }

    KOCrashReport decode(const std::vector<std::uint8_t>& bytes) {
        EXPECT_TRUE(lengthPrefixesMatchBodies(bytes));
        std::optional<KOError> error;
        std::optional<KOCrashReport> report = KOCrashReport::initWithData(bytes, &error);
        return report ? *report
                      : throw std::runtime_error("undecodable: " + error->localizedDescription());
    }

    kocrash_log_writer writer_{};
    ProcessImageList images_;
};

constexpr bool kWalksStacks =
#if defined(__aarch64__)
    true;
#else
    false;
#endif

bool isWorker(const BusyThreads& workers, thread_act_t thread) {
    for (int index = 0; index < workers.size(); ++index) {
        if (workers.port(index) == thread) {
            return true;
        }
    }
    return false;
}

// The Mach-O views name C functions with a leading "_".
std::string elfName(const KOCrashReportSymbolInfo& symbol) {
    return symbol.symbolName().substr(1);
}

TEST_F(KOCrashLogWriterThreadsTest, NineRealThreadsWithTheirFramesAndEveryImageWithItsBuildId) {
    BusyThreads workers(8);
    ReportRequest request;
    request.crashedThread = workers.port(0);
    const KOCrashReport report = decode(writeReport(&writer_, images_.get(), request, true));
    // Only where frames are walked: the oracle cannot read every object of an x86_64 process.
    const auto functions = kWalksStacks ? std::make_unique<ProcessFunctions>() : nullptr;

    // The report lists the threads in the kernel's order; the caller only when captured.
    std::vector<thread_act_t> expected = listedThreads();
    if (!kWalksStacks) {
        std::erase(expected, mach_thread_self());
    }
    const auto& threads = report.threads();
    ASSERT_EQ(threads.size(), expected.size());
    EXPECT_EQ(std::ranges::count_if(threads, [](const auto& t) { return t.crashed(); }), 1);
    for (std::size_t index = 0; index < threads.size(); ++index) {
        const KOCrashReportThreadInfo& thread = threads[index];
        SCOPED_TRACE("thread " + std::to_string(index));
        EXPECT_EQ(thread.threadNumber(), static_cast<std::int64_t>(index));
        EXPECT_EQ(thread.crashed(),
                  expected[index] == (kWalksStacks ? mach_thread_self() : workers.port(0)));
        EXPECT_EQ(thread.registers().size(),
                  thread.crashed() && kWalksStacks ? KOCRASH_ARM64_REGISTER_COUNT : 0u);
        if (!kWalksStacks) {
            EXPECT_TRUE(thread.stackFrames().empty());
        } else if (thread.crashed()) {
            ASSERT_GT(thread.stackFrames().size(), 3u);
            // A stripped C library keeps no symbol of its local functions: a frame there
            // can only be named by the nearest exported one, which the oracle cannot confirm.
            for (const KOCrashReportStackFrameInfo& frame : thread.stackFrames()) {
                ASSERT_TRUE(frame.symbolInfo()) << std::hex << frame.instructionPointer();
                const std::string function = functions->nameAt(frame.instructionPointer());
                if (!function.empty() || report.imageForAddress(frame.instructionPointer()) ==
                                             report.imageForAddress(BusyThreads::spinFunction())) {
                    EXPECT_EQ(function, elfName(*frame.symbolInfo()));
                }
            }
        } else if (isWorker(workers, expected[index])) {
            ASSERT_FALSE(thread.stackFrames().empty());
            const KOCrashReportStackFrameInfo& innermost = thread.stackFrames().front();
            const std::string spin = functions->nameAt(BusyThreads::spinFunction());
            EXPECT_EQ(functions->nameAt(innermost.instructionPointer()), spin);
            ASSERT_TRUE(innermost.symbolInfo());
            EXPECT_EQ(elfName(*innermost.symbolInfo()), spin);
        }
    }

    bool namesLibc = false;
    for (const KOCrashReportBinaryImageInfo& image : report.images()) {
        SCOPED_TRACE(image.imageName());
        namesLibc |= image.imageName().find("/libc.so") != std::string::npos;
        const std::string buildId = readelfBuildId(image.imageName());
        if (buildId.size() >= 32) {
            EXPECT_EQ(image.imageUUID(), buildId.substr(0, 32));
        }
    }
    EXPECT_TRUE(namesLibc);
    EXPECT_TRUE(report.imageForAddress(reinterpret_cast<std::uintptr_t>(&elfName)));
    EXPECT_TRUE(workers.allAdvance());
}

// Whether the crashed thread lists registers is the build's to say, not the state's: a first frame
// that knows none of them still lists the whole layout where there is one, and nothing where
// there is none.
TEST_F(KOCrashLogWriterThreadsTest, TheCrashedThreadListsTheLayoutWhereTheBuildHasOne) {
    kocrash_async_thread_state nothingKnown;
    ASSERT_EQ(kocrash_async_thread_state_init(&nothingKnown, CPU_TYPE_ARM64), KOCRASH_ESUCCESS);
    CapturedAsyncFile file;
    const kocrash_async_signal_info signal{11, 1, 0x10};
    const kocrash_log_signal_info signalInfo{&signal, nullptr};
    kocrash_log_writer_write(&writer_, mach_thread_self(), images_.get(), file.file(), &signalInfo,
                             &nothingKnown);
    const KOCrashReport report = decode(file.bytes());
    const auto crashed =
        std::ranges::find_if(report.threads(), [](const auto& t) { return t.crashed(); });
    ASSERT_NE(crashed, report.threads().end());
    if (!kWalksStacks) {
        EXPECT_TRUE(crashed->registers().empty());
        return;
    }
    ASSERT_EQ(crashed->registers().size(), KOCRASH_ARM64_REGISTER_COUNT);
    EXPECT_EQ(crashed->registers().front().registerName(), "pc");
    for (const KOCrashReportRegisterInfo& known : crashed->registers()) {
        EXPECT_EQ(known.registerValue(), 0u) << known.registerName();
    }
}

// More threads than the writer once kept track of: every one is suspended, so every one is
// walked (the registers of a thread come from its suspension).
TEST_F(KOCrashLogWriterThreadsTest, EveryListedThreadIsSuspendedAndWalked) {
    if (!kWalksStacks) {
        GTEST_SKIP() << "stacks are walked on 64-bit ARM only";
    }
    constexpr int kWaiting = 600;
    std::atomic<int> waiting{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> threads;
    for (int index = 0; index < kWaiting; ++index) {
        threads.emplace_back([&] {
            waiting.fetch_add(1);
            release.wait(false);
        });
    }
    while (waiting.load() < kWaiting) {
        std::this_thread::yield();
    }
    const KOCrashReport report = decode(writeReport(&writer_, images_.get(), {}, false));
    release = true;
    release.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_GT(report.threads().size(), static_cast<std::size_t>(kWaiting));
    // The emulator's own threads cannot be suspended and are listed without frames.
    EXPECT_GE(
        std::ranges::count_if(report.threads(),
                              [](const auto& thread) { return !thread.stackFrames().empty(); }),
        kWaiting);
}

// Recursion the compiler can neither flatten nor turn into a loop.
[[gnu::noinline]] int recurse(int depth, std::atomic<bool>* stop) {
    if (depth == 0) {
        return stop->load(std::memory_order_relaxed) ? 1 : 0;
    }
    const int result = recurse(depth - 1, stop);
    asm volatile("" ::: "memory");
    return result;
}

TEST_F(KOCrashLogWriterThreadsTest, EveryLengthPrefixMatchesItsBodyWhileStacksChange) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int index = 0; index < 16; ++index) {
        threads.emplace_back([&stop, index] {
            for (int round = 0; !stop.load(); ++round) {
                recurse(1 + (round * 7 + index) % 40, &stop);
            }
        });
    }
    for (int report = 0; report < 100; ++report) {
        SCOPED_TRACE("report " + std::to_string(report));
        const std::size_t others = listedThreads().size() - 1;
        const std::vector<std::uint8_t> bytes = writeReport(&writer_, images_.get(), {}, false);
        ASSERT_TRUE(lengthPrefixesMatchBodies(bytes));
        EXPECT_EQ(decode(bytes).threads().size(), others);
    }
    stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
}

struct DeepWrite {
    kocrash_log_writer* writer;
    kocrash_async_image_list* images;
    std::vector<std::uint8_t> bytes;
};

[[gnu::noinline]] void writeAtDepth(int depth, DeepWrite* write) {
    if (depth > 0) {
        writeAtDepth(depth - 1, write);
        asm volatile("" ::: "memory");
        return;
    }
    write->bytes = writeReport(write->writer, write->images, {}, true);
}

TEST_F(KOCrashLogWriterThreadsTest, ADeepStackIsCutAt512FramesAndNamedUnlessStrategyIsNone) {
    if (!kWalksStacks) {
        GTEST_SKIP() << "stacks are walked on 64-bit ARM only";
    }
    for (auto strategy :
         {KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, KOCRASH_ASYNC_SYMBOL_STRATEGY_NONE}) {
        writer_.symbol_strategy = strategy;
        DeepWrite write{&writer_, images_.get(), {}};
        writeAtDepth(600, &write);
        const KOCrashReport report = decode(write.bytes);
        const auto crashed =
            std::ranges::find_if(report.threads(), [](const auto& t) { return t.crashed(); });
        ASSERT_NE(crashed, report.threads().end());
        const auto& frames = crashed->stackFrames();
        EXPECT_EQ(frames.size(), 512u);
        EXPECT_EQ(
            std::ranges::count_if(frames, [](const auto& f) { return f.symbolInfo().has_value(); }),
            strategy == KOCRASH_ASYNC_SYMBOL_STRATEGY_NONE ? 0 : 512);
    }
}

} // namespace
