// Per-frame cost of walking one stack as a crash meets it, through large libraries: the C++
// library (call_once through the C library's pthread_once, a stream's imbue running its
// callbacks), the C library (qsort's merge sort calling the comparison) and DavaRor.so (a
// view's appear hooks, run by the library's own View::appear). Walked three ways:
// libunwind's unw_step; the crash reporter's DWARF-driven step as its walker takes it in a
// report (each image's sections mapped once for all the report's walks, the FDE found by the
// .eh_frame_hdr table), the same with the sections mapped once per walk, and the same machinery
// with the sections mapped for every step and .eh_frame scanned from its start. The
// frame-pointer reader is compared on a chain of this program's own frames, since the libraries
// keep no frame records. x86-64 user addresses lie below 2^47, so the 64-bit ARM thread state's
// 48-bit address mask keeps every one whole. Every walker must see the frames libunwind sees
// before it is timed. Prints the frames per object and the ratios at the end.
#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include "X86DwarfStep.h"
#include "platform/dyld/DyldImages.h"
#include "platform/mach/MachPorts.h"
#include "platform/ui/View.h"
#include "unwind/KOCrashFrameImageSections.h"
#include "unwind/KOCrashFrameWalker.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <locale>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

using platform::dyld::_dyld_get_image_header;
using platform::dyld::_dyld_get_image_name;
using platform::dyld::_dyld_image_count;

using platform::mach::mach_task_self;

namespace {

constexpr std::size_t kMaxFrames = 64;

struct Pcs {
    std::array<std::uint64_t, kMaxFrames> pcs{};
    std::size_t count = 0;
    bool operator==(const Pcs&) const = default;
};

using Body = void (*)(benchmark::State&, const unw_context_t&);

// The benchmark that runs at the bottom of the chain, and where the chain began: the walks
// end at the frame that started it.
struct Chain {
    Body body = nullptr;
    benchmark::State* state = nullptr;
    std::uint64_t top = 0;
};
Chain chain;

kocrash_async_image_list images;
std::map<std::string, std::size_t> framesPerObject;

// View::onAppear and View::appear as DavaRor.so defines them, loaded at run time: this program's
// own copy of the platform code would otherwise run instead.
struct DavaRorView {
    void (*onAppear)(platform::ui::View*, std::function<void()>) = nullptr;
    void (*appear)(platform::ui::View*) = nullptr;
};
DavaRorView davarorView;

extern "C" [[gnu::noinline]] void atTheBottom() {
    unw_context_t context;
    unw_getcontext(&context);
    chain.body(*chain.state, context);
    asm volatile("" ::: "memory");
}

extern "C" [[gnu::noinline]] void appearThroughDavaRor() {
    platform::ui::View view;
    davarorView.onAppear(&view, [] { atTheBottom(); });
    davarorView.appear(&view);
    asm volatile("" ::: "memory");
}

bool comparisonWentDown = false;

int compareThenGoDown(const void* a, const void* b) {
    if (!comparisonWentDown) {
        comparisonWentDown = true;
        appearThroughDavaRor();
    }
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

extern "C" [[gnu::noinline]] void sortWithComparison() {
    int values[32];
    for (int index = 0; index < 32; ++index) {
        values[index] = (index * 7919) % 32;
    }
    qsort(values, 32, sizeof(int), compareThenGoDown);
    asm volatile("" ::: "memory");
}

void onImbue(std::ios_base::event event, std::ios_base&, int) {
    if (event == std::ios_base::imbue_event) {
        sortWithComparison();
    }
}

extern "C" [[gnu::noinline]] void imbueWithCallback() {
    std::ostringstream stream;
    stream.register_callback(onImbue, 0);
    stream.imbue(std::locale::classic());
    asm volatile("" ::: "memory");
}

extern "C" [[gnu::noinline]] void onceThenImbue() {
    std::once_flag once;
    std::call_once(once, [] { imbueWithCallback(); });
    asm volatile("" ::: "memory");
}

extern "C" [[gnu::noinline]] void enterChain() {
    chain.top = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    onceThenImbue();
    asm volatile("" ::: "memory");
}

void onLibraryStack(benchmark::State& state, Body body) {
    chain = {body, &state, 0};
    comparisonWentDown = false;
    enterChain();
}

// The frame that called unw_getcontext, as every walker starts from it.
X86Frame firstFrame(const unw_context_t& context) {
    unw_cursor_t cursor;
    unw_init_local(&cursor, const_cast<unw_context_t*>(&context));
    unw_word_t ip;
    unw_word_t sp;
    unw_word_t rbp;
    unw_get_reg(&cursor, UNW_REG_IP, &ip);
    unw_get_reg(&cursor, UNW_REG_SP, &sp);
    unw_get_reg(&cursor, UNW_X86_64_RBP, &rbp);
    return {ip, sp, rbp};
}

// Up to the frame that started the chain, that one included.
Pcs libunwindWalk(const unw_context_t& context, std::uint64_t top) {
    Pcs walked;
    unw_cursor_t cursor;
    unw_init_local(&cursor, const_cast<unw_context_t*>(&context));
    while (walked.count < kMaxFrames) {
        unw_word_t ip = 0;
        unw_get_reg(&cursor, UNW_REG_IP, &ip);
        walked.pcs[walked.count++] = ip;
        if (ip == top || unw_step(&cursor) <= 0) {
            break;
        }
    }
    return walked;
}

// How long the sections a walk maps stay mapped.
enum class Mapped {
    // For the whole report, whose walks share them: the steady state of a report's threads.
    PerReport,
    // From the walk's first frame in an image to its end.
    PerWalk,
};

// The owner of the section cache while a benchmark's walks share it.
const int reportWalks = 0;

Pcs dwarfWalk(X86StepKind kind, Mapped mapped, X86Frame frame, std::size_t count) {
    Pcs walked;
    // The walk holds the section cache, as the walker's cursor does from init to free, unless
    // the report holds it for all its walks.
    const void* walk = mapped == Mapped::PerWalk ? static_cast<const void*>(&walked) : &reportWalks;
    if (mapped == Mapped::PerWalk) {
        koframe_section_cache_claim(walk, &images);
    }
    while (walked.count < count) {
        walked.pcs[walked.count] = frame.rip;
        const std::uint64_t lookup = walked.count == 0 ? frame.rip : frame.rip - 1;
        ++walked.count;
        X86Frame caller{};
        if (walked.count < count && !x86DwarfStep(&images, walk, kind, frame, lookup, &caller)) {
            break;
        }
        frame = caller;
    }
    if (mapped == Mapped::PerWalk) {
        koframe_section_cache_release(walk);
    }
    return walked;
}

// A walker that sees other frames than libunwind is not timed.
bool sameStack(benchmark::State& state, const Pcs& walked, const Pcs& expected) {
    if (walked != expected) {
        state.SkipWithError("the walker does not see the frames libunwind sees");
        return false;
    }
    return true;
}

void countFramesPerObject(const Pcs& walked) {
    if (!framesPerObject.empty()) {
        return;
    }
    for (std::size_t index = 0; index < walked.count; ++index) {
        Dl_info info;
        std::string name = "?";
        if (dladdr(reinterpret_cast<void*>(walked.pcs[index] - (index == 0 ? 0 : 1)), &info) != 0 &&
            info.dli_fname != nullptr) {
            name = info.dli_fname;
            name = name.substr(name.find_last_of('/') + 1);
        }
        ++framesPerObject[name];
    }
}

void libunwindBody(benchmark::State& state, const unw_context_t& context) {
    const Pcs expected = libunwindWalk(context, chain.top);
    countFramesPerObject(expected);
    for (auto _ : state) {
        benchmark::DoNotOptimize(libunwindWalk(context, chain.top));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * expected.count));
    state.counters["frames"] = static_cast<double>(expected.count);
}

template <X86StepKind kind, Mapped mapped>
void dwarfBody(benchmark::State& state, const unw_context_t& context) {
    const Pcs expected = libunwindWalk(context, chain.top);
    const X86Frame first = firstFrame(context);
    if (mapped == Mapped::PerReport) {
        koframe_section_cache_claim(&reportWalks, &images);
    }
    if (sameStack(state, dwarfWalk(kind, mapped, first, expected.count), expected)) {
        for (auto _ : state) {
            benchmark::DoNotOptimize(dwarfWalk(kind, mapped, first, expected.count));
        }
        state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * expected.count));
        state.counters["frames"] = static_cast<double>(expected.count);
    }
    if (mapped == Mapped::PerReport) {
        koframe_section_cache_release(&reportWalks);
    }
}

// This program's own frames, each with a frame record, for the frame-pointer reader.
constexpr int kOwnFrames = 16;

extern "C" [[gnu::noinline]] void descend(int depth) {
    if (depth == 0) {
        atTheBottom();
    } else {
        descend(depth - 1);
    }
    asm volatile("" ::: "memory");
}

void onOwnStack(benchmark::State& state, Body body) {
    chain = {body, &state, 0};
    descend(kOwnFrames + 4);
}

Pcs framePointerWalk(const X86Frame& first) {
    static constexpr koframe_cursor_frame_reader_t readers[] = {koframe_cursor_read_frame_ptr};
    kocrash_async_thread_state state;
    kocrash_async_thread_state_init(&state, CPU_TYPE_ARM64);
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_IP, first.rip);
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_FP, first.rbp);
    koframe_cursor cursor;
    koframe_cursor_init(&cursor, mach_task_self(), &state, nullptr);
    Pcs walked;
    while (walked.count < kOwnFrames) {
        koframe_cursor_next_with_readers(&cursor, readers, 1);
        kocrash_greg_t pc = 0;
        koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &pc);
        walked.pcs[walked.count++] = pc;
    }
    koframe_cursor_free(&cursor);
    return walked;
}

Pcs ownFramesOfLibunwind(const unw_context_t& context) {
    Pcs walked = libunwindWalk(context, 0);
    walked.count = walked.count < kOwnFrames ? walked.count : kOwnFrames;
    for (std::size_t index = walked.count; index < kMaxFrames; ++index) {
        walked.pcs[index] = 0;
    }
    return walked;
}

void libunwindOwnBody(benchmark::State& state, const unw_context_t& context) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(ownFramesOfLibunwind(context));
    }
    state.SetItemsProcessed(state.iterations() * kOwnFrames);
}

void framePointerBody(benchmark::State& state, const unw_context_t& context) {
    const X86Frame first = firstFrame(context);
    if (!sameStack(state, framePointerWalk(first), ownFramesOfLibunwind(context))) {
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(framePointerWalk(first));
    }
    state.SetItemsProcessed(state.iterations() * kOwnFrames);
}

void BM_LibunwindStep(benchmark::State& state) {
    onLibraryStack(state, libunwindBody);
}
void BM_DwarfStep(benchmark::State& state) {
    onLibraryStack(state, dwarfBody<X86StepKind::CachedTable, Mapped::PerReport>);
}
void BM_DwarfStepMappedPerWalk(benchmark::State& state) {
    onLibraryStack(state, dwarfBody<X86StepKind::CachedTable, Mapped::PerWalk>);
}
void BM_DwarfStepScanMappedPerStep(benchmark::State& state) {
    onLibraryStack(state, dwarfBody<X86StepKind::MappedScan, Mapped::PerWalk>);
}
void BM_LibunwindStepOwnFrames(benchmark::State& state) {
    onOwnStack(state, libunwindOwnBody);
}
void BM_FramePointerStepOwnFrames(benchmark::State& state) {
    onOwnStack(state, framePointerBody);
}

BENCHMARK(BM_LibunwindStep);
BENCHMARK(BM_DwarfStep);
BENCHMARK(BM_DwarfStepMappedPerWalk);
BENCHMARK(BM_DwarfStepScanMappedPerStep);
BENCHMARK(BM_LibunwindStepOwnFrames);
BENCHMARK(BM_FramePointerStepOwnFrames);

// Keeps the time per frame of every benchmark and prints each against libunwind's on the same
// stack at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto frames = run.counters.find("frames");
            const double count = frames != run.counters.end() ? frames->second.value
                                                              : static_cast<double>(kOwnFrames);
            if (!run.error_occurred) {
                nanosecondsPerFrame_[run.benchmark_name()] = run.GetAdjustedRealTime() / count;
            }
        }
    }

    void printRatios() const {
        std::printf("\nframes walked per object:");
        for (const auto& [object, count] : framesPerObject) {
            std::printf(" %s %zu;", object.c_str(), count);
        }
        std::printf("\n");
        printAgainst("BM_LibunwindStep", {"BM_DwarfStep", "BM_DwarfStepMappedPerWalk",
                                          "BM_DwarfStepScanMappedPerStep"});
        printAgainst("BM_LibunwindStepOwnFrames", {"BM_FramePointerStepOwnFrames"});
    }

private:
    void printAgainst(const std::string& baselineName,
                      std::initializer_list<std::string> names) const {
        const auto baseline = nanosecondsPerFrame_.find(baselineName);
        if (baseline == nanosecondsPerFrame_.end()) {
            return;
        }
        std::printf("per frame, against %s (%.1f ns):\n", baselineName.c_str(), baseline->second);
        for (const std::string& name : names) {
            const auto found = nanosecondsPerFrame_.find(name);
            if (found != nanosecondsPerFrame_.end()) {
                std::printf("  %-30s %10.1f ns  %8.2fx\n", name.c_str(), found->second,
                            found->second / baseline->second);
            }
        }
    }

    std::map<std::string, double> nanosecondsPerFrame_;
};

} // namespace

int main(int argc, char** argv) {
    void* davaror = dlopen(KOCRASH_BENCH_DAVAROR_PATH, RTLD_NOW | RTLD_LOCAL);
    if (davaror != nullptr) {
        davarorView.onAppear = reinterpret_cast<decltype(davarorView.onAppear)>(
            dlsym(davaror, "_ZN8platform2ui4View8onAppearESt8functionIFvvEE"));
        davarorView.appear = reinterpret_cast<decltype(davarorView.appear)>(
            dlsym(davaror, "_ZN8platform2ui4View6appearEv"));
    }
    if (davarorView.onAppear == nullptr || davarorView.appear == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", KOCRASH_BENCH_DAVAROR_PATH, dlerror());
        return 1;
    }
    // The crash reporter starts the loader stand-in before any crash, and with it the record
    // of the process's unchanging code and tables that memory objects read in place; its image
    // list holds every object, DavaRor.so among them.
    kocrash_nasync_image_list_init(&images, mach_task_self());
    for (std::uint32_t index = 0; index < _dyld_image_count(); ++index) {
        kocrash_nasync_image_list_append(
            &images, reinterpret_cast<std::uintptr_t>(_dyld_get_image_header(index)),
            _dyld_get_image_name(index));
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    kocrash_nasync_image_list_free(&images);
    return 0;
}
