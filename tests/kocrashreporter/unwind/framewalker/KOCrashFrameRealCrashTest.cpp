// A real crash walked back to main: the test's own code calls into a real Mach-O image mapped
// executable, a frameless leaf function there faults (SIGSEGV), and the handler, on an
// alternate stack, walks the thread with the walker's standard readers: through the image's
// functions by their compact unwind entries, through this executable and its libraries by
// their .eh_frame (read through the loader stand-in's Mach-O views), to main. Needs the 64-bit
// ARM thread state, so it runs in the arm64 build (under the emulator).
#include "images/KOCrashAsyncImageList.h"
#include "unwind/KOCrashFrameWalker.h"

#include "MachOFixture.h"
#include "ProcessFunctions.h"
#include "platform/dyld/DyldImages.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <set>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#if defined(__aarch64__)
#include "platform/mach/MachThreadState.h"

using platform::dyld::_dyld_get_image_header;
using platform::dyld::_dyld_get_image_name;
using platform::dyld::_dyld_image_count;

using platform::mach::mach_task_self;

extern "C" void call_with_sentinels(void* function, std::uint64_t a0, std::uint64_t a1,
                                    std::uint64_t a2, const std::uint64_t* values,
                                    std::uint64_t* sp_out);
extern "C" char call_with_sentinels_return[];
extern "C" void fault_under_self_pointing_record();

namespace {

constexpr std::size_t kMaxFrames = 48;
constexpr kocrash_regnum_t kFirstCalleeSaved = KOCRASH_ARM64_X19;
constexpr int kCalleeSaved = 10;

// One walk as the handler saw it, in static storage: the handler allocates nothing.
struct WalkRecord {
    std::size_t count;
    kocrash_greg_t pcs[kMaxFrames];
    kocrash_greg_t sps[kMaxFrames];
    bool calleeSavedKnown[kMaxFrames][kCalleeSaved];
    kocrash_greg_t calleeSaved[kMaxFrames][kCalleeSaved];
    koframe_error_t end;
};

struct CrashWalks {
    kocrash_async_image_list* list;
    WalkRecord standard;
    WalkRecord tablesOnly;
    WalkRecord compactOnly;
};

CrashWalks walks;
sigjmp_buf backToTest;

void walk(const kocrash_async_thread_state* crashed, const koframe_cursor_frame_reader_t* readers,
          std::size_t count, WalkRecord* record) {
    koframe_cursor cursor;
    koframe_cursor_init(&cursor, mach_task_self(), crashed, walks.list);
    record->count = 0;
    while (record->count < kMaxFrames) {
        record->end = readers == nullptr
                          ? koframe_cursor_next(&cursor)
                          : koframe_cursor_next_with_readers(&cursor, readers, count);
        if (record->end != KOFRAME_ESUCCESS) {
            break;
        }
        const std::size_t frame = record->count++;
        koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &record->pcs[frame]);
        koframe_cursor_get_reg(&cursor, KOCRASH_REG_SP, &record->sps[frame]);
        for (int index = 0; index < kCalleeSaved; ++index) {
            record->calleeSavedKnown[frame][index] =
                koframe_cursor_get_reg(&cursor, kFirstCalleeSaved + index,
                                       &record->calleeSaved[frame][index]) == KOFRAME_ESUCCESS;
        }
    }
    koframe_cursor_free(&cursor);
}

void walkTheCrashedThread(int, siginfo_t*, void* context) {
    ko_mcontext64 machine;
    platform::mach::machineContextFromUcontext(*static_cast<ucontext_t*>(context), machine);
    kocrash_async_thread_state crashed;
    kocrash_async_thread_state_mcontext_init(&crashed, &machine);
    walk(&crashed, nullptr, 0, &walks.standard);
    static constexpr koframe_cursor_frame_reader_t tables[] = {koframe_cursor_read_compact_unwind,
                                                               koframe_cursor_read_dwarf_unwind};
    walk(&crashed, tables, 2, &walks.tablesOnly);
    walk(&crashed, tables, 1, &walks.compactOnly);
    siglongjmp(backToTest, 1);
}

extern "C" int echo_plus_one(int value) {
    return value + 1;
}

constexpr std::uint64_t kSentinel = 0x5E57000000000000;
// Nothing is ever mapped in the first page.
constexpr std::uint64_t kFaultAddress = 0x10;

extern "C" [[gnu::noinline]] void crash_through_the_image(void* entry, std::uint64_t* callSp) {
    std::uint64_t values[kCalleeSaved];
    for (int index = 0; index < kCalleeSaved; ++index) {
        values[index] = kSentinel + 19 + index;
    }
    call_with_sentinels(entry, reinterpret_cast<std::uintptr_t>(&echo_plus_one), kFaultAddress, 7,
                        values, callSp);
    asm volatile("" ::: "memory");
}

extern "C" [[gnu::noinline]] int fault_in_comparison(const void*, const void*) {
    // Through a variable, so the compiler neither sees nor drops the store to the first page.
    volatile std::uintptr_t address = kFaultAddress;
    *reinterpret_cast<volatile int*>(address) = 1;
    return 0;
}

// The C library calls the comparison from frames of its own, described by its .eh_frame only.
extern "C" [[gnu::noinline]] void sort_with_a_faulting_comparison() {
    int values[] = {3, 1, 2};
    qsort(values, 3, sizeof(int), fault_in_comparison);
    asm volatile("" ::: "memory");
}

bool inTheCLibrary(std::uint64_t pc) {
    Dl_info info;
    return dladdr(reinterpret_cast<void*>(pc), &info) != 0 && info.dli_fname != nullptr &&
           std::string(info.dli_fname).find("/libc.so") != std::string::npos;
}

// The ctest entry that runs without the emulator's address reservation says so: there the
// executable and the stacks must lie above 2^36, or the run exercises nothing new.
void expectAddressesAboveTheReservationWhenRunWithoutIt(const WalkRecord& record) {
    if (std::getenv("KOCRASH_EXPECT_ADDRESSES_ABOVE_2_36") == nullptr || record.count == 0) {
        return;
    }
    constexpr std::uint64_t kReservationEnd = std::uint64_t{1} << 36;
    EXPECT_GE(record.pcs[record.count - 1], kReservationEnd);
    EXPECT_GE(record.sps[0], kReservationEnd);
}

// Images of the process (as the loader stand-in shows them) and the fixture, in one list.
class CrashedThread : public testing::Test {
protected:
    CrashedThread() {
        kocrash_nasync_image_list_init(&list, mach_task_self());
        kocrash_nasync_image_list_append(&list, fixture.mapping().address(),
                                         fixture.path().c_str());
        for (std::uint32_t index = 0; index < _dyld_image_count(); ++index) {
            kocrash_nasync_image_list_append(
                &list, reinterpret_cast<std::uintptr_t>(_dyld_get_image_header(index)),
                _dyld_get_image_name(index));
        }
        walks.list = &list;
    }
    ~CrashedThread() override { kocrash_nasync_image_list_free(&list); }

    // Runs the chain on this thread until its leaf faults and the handler has walked it.
    void crash(std::uint64_t* callSp) {
        crashIn([&] {
            crash_through_the_image(reinterpret_cast<void*>(fixture.address("_chain_entry")),
                                    callSp);
        });
    }

    template <typename Body> void crashIn(Body body) {
        std::vector<std::uint8_t> alternateStack(64 * 1024);
        stack_t stack{};
        stack.ss_sp = alternateStack.data();
        stack.ss_size = alternateStack.size();
        stack_t previousStack{};
        ASSERT_EQ(sigaltstack(&stack, &previousStack), 0);
        struct sigaction action {};
        struct sigaction previousAction {};
        action.sa_sigaction = walkTheCrashedThread;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(sigaction(SIGSEGV, &action, &previousAction), 0);
        const bool faulted = sigsetjmp(backToTest, 1) != 0;
        if (!faulted) {
            body();
        }
        sigaction(SIGSEGV, &previousAction, nullptr);
        sigaltstack(&previousStack, nullptr);
        ASSERT_TRUE(faulted) << "the leaf function faulted";
    }

    // The name of the function each pc lies in, up to main.
    std::vector<std::string> namesToMain(const WalkRecord& record) const {
        std::vector<std::string> names;
        for (std::size_t frame = 0; frame < record.count; ++frame) {
            std::string name = fixture.nameAt(record.pcs[frame]);
            if (name.empty()) {
                name = functions.nameAt(record.pcs[frame]);
            }
            names.push_back(name);
            if (name == "main") {
                break;
            }
        }
        return names;
    }

    MachOFixture fixture{"walk_chain_arm64.dylib"};
    const ProcessFunctions functions;
    kocrash_async_image_list list;
};

TEST_F(CrashedThread, TheStandardWalkGoesFromTheFaultingLeafBackToMain) {
    std::uint64_t callSp = 0;
    crash(&callSp);
    const std::vector<std::string> names = namesToMain(walks.standard);
    ASSERT_GE(names.size(), 6u);
    EXPECT_EQ(names[0], "_leaf_fault");
    EXPECT_EQ(names[1], "_middle_frame");
    EXPECT_EQ(names[2], "_chain_entry");
    EXPECT_EQ(names[3], "call_with_sentinels");
    EXPECT_EQ(names[4], "crash_through_the_image");
    EXPECT_EQ(names.back(), "main") << "the walk reaches main";
    for (std::size_t frame = 0; frame < names.size(); ++frame) {
        EXPECT_FALSE(names[frame].empty())
            << "frame " << frame << " at " << std::hex << walks.standard.pcs[frame]
            << " lies in no named function";
    }

    expectAddressesAboveTheReservationWhenRunWithoutIt(walks.standard);

    // The image's caller resumes right after its call, on the stack pointer it called with, and
    // with the callee-saved registers it had: restored from where the image's functions saved
    // them, or never touched.
    EXPECT_EQ(walks.standard.pcs[3], reinterpret_cast<std::uintptr_t>(call_with_sentinels_return));
    EXPECT_EQ(walks.standard.sps[3], callSp);
    for (int index = 0; index < kCalleeSaved; ++index) {
        ASSERT_TRUE(walks.standard.calleeSavedKnown[3][index]) << "x" << 19 + index;
        EXPECT_EQ(walks.standard.calleeSaved[3][index], kSentinel + 19 + index)
            << "x" << 19 + index;
    }
}

TEST_F(CrashedThread, AWalkFromACallbackGoesThroughTheCLibraryBackToMain) {
    crashIn(sort_with_a_faulting_comparison);
    const std::vector<std::string> names = namesToMain(walks.standard);
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(names[0], "fault_in_comparison");
    EXPECT_TRUE(inTheCLibrary(walks.standard.pcs[1])) << std::hex << walks.standard.pcs[1];
    const auto caller = std::find(names.begin(), names.end(), "sort_with_a_faulting_comparison");
    ASSERT_NE(caller, names.end()) << "the walk comes out of the C library";
    for (auto frame = names.begin() + 1; frame != caller; ++frame) {
        EXPECT_TRUE(inTheCLibrary(walks.standard.pcs[frame - names.begin()]));
    }
    EXPECT_EQ(names.back(), "main");
    EXPECT_EQ(namesToMain(walks.tablesOnly), names)
        << "the C library's .eh_frame leads out of it without frame records";
    expectAddressesAboveTheReservationWhenRunWithoutIt(walks.standard);
}

TEST_F(CrashedThread, UnwindTablesAloneReachMainAndCompactUnwindCoversTheImage) {
    std::uint64_t callSp = 0;
    crash(&callSp);
    const std::vector<std::string> standard = namesToMain(walks.standard);
    EXPECT_EQ(namesToMain(walks.tablesOnly), standard)
        << "the executable's and the libraries' .eh_frame lead to main without frame records";

    // Compact unwind entries exist for the image's functions only.
    ASSERT_EQ(walks.compactOnly.count, 4u);
    EXPECT_EQ(walks.compactOnly.pcs[3],
              reinterpret_cast<std::uintptr_t>(call_with_sentinels_return));
    EXPECT_EQ(walks.compactOnly.end, KOFRAME_ENOTSUP);
    for (int index = 0; index < kCalleeSaved; ++index) {
        EXPECT_EQ(walks.compactOnly.calleeSaved[3][index], kSentinel + 19 + index);
    }
}

// The walk of a forked child's crash, in memory the parent shares; the child then dies of its
// fault under the default action.
WalkRecord* sharedWalk = nullptr;

void walkThenDie(int signal, siginfo_t*, void* context) {
    ko_mcontext64 machine;
    platform::mach::machineContextFromUcontext(*static_cast<ucontext_t*>(context), machine);
    kocrash_async_thread_state crashed;
    kocrash_async_thread_state_mcontext_init(&crashed, &machine);
    walk(&crashed, nullptr, 0, sharedWalk);
    ::signal(signal, SIG_DFL);
}

TEST_F(CrashedThread, AFrameRecordThatPointsToItselfListsNoFrameTwice) {
    void* shared = mmap(nullptr, sizeof(WalkRecord), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    sharedWalk = new (shared) WalkRecord{};
    const pid_t child = fork();
    if (child == 0) {
        // A walk that loops would outlast this by far.
        alarm(20);
        struct sigaction action {};
        action.sa_sigaction = walkThenDie;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &action, nullptr);
        fault_under_self_pointing_record();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGSEGV) << "the child died of its fault, not of the time limit";
    const WalkRecord& record = *sharedWalk;
    ASSERT_GE(record.count, 1u);
    EXPECT_LT(record.count, kMaxFrames);
    EXPECT_EQ(functions.nameAt(record.pcs[0]), "fault_under_self_pointing_record");
    const std::set<kocrash_greg_t> distinct(record.pcs, record.pcs + record.count);
    EXPECT_EQ(distinct.size(), record.count) << "no frame is listed twice";
    munmap(shared, sizeof(WalkRecord));
}

} // namespace
#endif
