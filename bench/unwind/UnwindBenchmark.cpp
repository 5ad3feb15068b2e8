// Per-frame cost of walking the same stack three ways: libunwind's unw_step, the crash
// reporter's DWARF-driven step (section mapping, FDE search, CIE, call-frame programs; once
// more with the section mapped once per walk, to show what the mapping costs), and its
// frame-pointer reader. The stack is a chain of frames of this program; x86-64 user addresses
// lie below 2^47, so the 64-bit ARM thread state's 48-bit address mask keeps every one whole.
// Every walker must see the same pcs before it is timed. Prints the ratios at the end.
#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include "X86DwarfStep.h"
#include "platform/dyld/DyldImages.h"
#include "platform/mach/MachPorts.h"
#include "unwind/KOCrashFrameWalker.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <map>
#include <string>

using platform::dyld::_dyld_image_count;

using platform::mach::mach_task_self;

namespace {

constexpr int kFrames = 16;
using Pcs = std::array<std::uint64_t, kFrames>;

// What runs at the bottom of the chain: one benchmark's loop.
struct Bottom {
    void (*body)(benchmark::State&, const unw_context_t&);
    benchmark::State* state;
};

extern "C" [[gnu::noinline]] void descend(int depth, Bottom* bottom) {
    if (depth == 0) {
        unw_context_t context;
        unw_getcontext(&context);
        bottom->body(*bottom->state, context);
    } else {
        descend(depth - 1, bottom);
    }
    // Keeps each call a real call with a frame of its own.
    asm volatile("" ::: "memory");
}

void onDeepStack(benchmark::State& state, void (*body)(benchmark::State&, const unw_context_t&)) {
    Bottom bottom{body, &state};
    descend(kFrames + 4, &bottom);
}

// The frame that called unw_getcontext, as all three walkers start from it.
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

Pcs libunwindWalk(const unw_context_t& context) {
    Pcs pcs{};
    unw_cursor_t cursor;
    unw_init_local(&cursor, const_cast<unw_context_t*>(&context));
    for (int frame = 0; frame < kFrames; ++frame) {
        unw_word_t ip = 0;
        unw_get_reg(&cursor, UNW_REG_IP, &ip);
        pcs[frame] = ip;
        unw_step(&cursor);
    }
    return pcs;
}

Pcs dwarfWalk(const EhFrame& section, X86Frame frame) {
    Pcs pcs{};
    for (int index = 0; index < kFrames; ++index) {
        pcs[index] = frame.rip;
        X86Frame caller{};
        x86DwarfStep(section, frame, index == 0 ? frame.rip : frame.rip - 1, &caller);
        frame = caller;
    }
    return pcs;
}

// The same with the section mapped once for the whole walk: what the mapping costs per frame.
Pcs dwarfWalkMappedOnce(const EhFrame& section, X86Frame frame) {
    Pcs pcs{};
    kocrash_async_mobject mobj;
    if (kocrash_async_mobject_init(&mobj, mach_task_self(), section.address, section.size, true) !=
        KOCRASH_ESUCCESS) {
        return pcs;
    }
    for (int index = 0; index < kFrames; ++index) {
        pcs[index] = frame.rip;
        X86Frame caller{};
        x86DwarfStepMapped(&mobj, frame, index == 0 ? frame.rip : frame.rip - 1, &caller);
        frame = caller;
    }
    kocrash_async_mobject_free(&mobj);
    return pcs;
}

Pcs framePointerWalk(const X86Frame& first) {
    static constexpr koframe_cursor_frame_reader_t readers[] = {koframe_cursor_read_frame_ptr};
    kocrash_async_thread_state state;
    kocrash_async_thread_state_init(&state, CPU_TYPE_ARM64);
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_IP, first.rip);
    kocrash_async_thread_state_set_reg(&state, KOCRASH_REG_FP, first.rbp);
    koframe_cursor cursor;
    koframe_cursor_init(&cursor, mach_task_self(), &state, nullptr);
    Pcs pcs{};
    for (int frame = 0; frame < kFrames; ++frame) {
        koframe_cursor_next_with_readers(&cursor, readers, 1);
        kocrash_greg_t pc = 0;
        koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &pc);
        pcs[frame] = pc;
    }
    koframe_cursor_free(&cursor);
    return pcs;
}

// A walker that sees other frames than libunwind is not timed.
bool sameStack(benchmark::State& state, const Pcs& walked, const unw_context_t& context) {
    if (walked != libunwindWalk(context)) {
        state.SkipWithError("the walker does not see the frames libunwind sees");
        return false;
    }
    return true;
}

void libunwindBody(benchmark::State& state, const unw_context_t& context) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(libunwindWalk(context));
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
}

void dwarfBody(benchmark::State& state, const unw_context_t& context) {
    const EhFrame section = executableEhFrame();
    const X86Frame first = firstFrame(context);
    if (!sameStack(state, dwarfWalk(section, first), context)) {
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(dwarfWalk(section, first));
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
}

void dwarfMappedOnceBody(benchmark::State& state, const unw_context_t& context) {
    const EhFrame section = executableEhFrame();
    const X86Frame first = firstFrame(context);
    if (!sameStack(state, dwarfWalkMappedOnce(section, first), context)) {
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(dwarfWalkMappedOnce(section, first));
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
}

void framePointerBody(benchmark::State& state, const unw_context_t& context) {
    const X86Frame first = firstFrame(context);
    if (!sameStack(state, framePointerWalk(first), context)) {
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(framePointerWalk(first));
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
}

void BM_LibunwindStep(benchmark::State& state) {
    onDeepStack(state, libunwindBody);
}
void BM_DwarfStep(benchmark::State& state) {
    onDeepStack(state, dwarfBody);
}
void BM_DwarfStepSectionMappedOnce(benchmark::State& state) {
    onDeepStack(state, dwarfMappedOnceBody);
}
void BM_FramePointerStep(benchmark::State& state) {
    onDeepStack(state, framePointerBody);
}

BENCHMARK(BM_LibunwindStep);
BENCHMARK(BM_DwarfStep);
BENCHMARK(BM_DwarfStepSectionMappedOnce);
BENCHMARK(BM_FramePointerStep);

// Keeps the time per frame of every benchmark and prints each against libunwind's at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred) {
                nanosecondsPerFrame_[run.benchmark_name()] = run.GetAdjustedRealTime() / kFrames;
            }
        }
    }

    void printRatios() const {
        const auto baseline = nanosecondsPerFrame_.find("BM_LibunwindStep");
        if (baseline == nanosecondsPerFrame_.end()) {
            return;
        }
        std::printf("\nper frame, against libunwind's unw_step (%.1f ns):\n", baseline->second);
        for (const auto& [name, nanoseconds] : nanosecondsPerFrame_) {
            std::printf("  %-30s %10.1f ns  %8.2fx\n", name.c_str(), nanoseconds,
                        nanoseconds / baseline->second);
        }
    }

private:
    std::map<std::string, double> nanosecondsPerFrame_;
};

} // namespace

int main(int argc, char** argv) {
    // The crash reporter starts the loader stand-in before any crash, and with it the record
    // of the process's unchanging code and tables that memory objects read in place.
    _dyld_image_count();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
