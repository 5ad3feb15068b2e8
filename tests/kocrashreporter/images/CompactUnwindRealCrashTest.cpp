// A real fault inside a real Mach-O image, unwound by its compact unwind entry: the image's
// code runs from memory, faults, and the entry found for the faulting pc must give back the
// caller's pc, stack pointer and every callee-saved register the caller had set. Needs the
// 64-bit ARM thread state, so it runs in the arm64 build (under the emulator).
#include "FixtureImages.h"
#include "MachOOracle.h"
#include "images/KOCrashAsyncImageList.h"
#include "platform/mach/MachPorts.h"
#include "unwind/KOCrashAsyncCompactUnwind.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <csignal>

#if defined(__aarch64__)
#include "platform/mach/MachThreadState.h"

using platform::mach::mach_task_self;

extern "C" void call_with_known_registers(void* function, void* argument,
                                          const std::uint64_t* values, std::uint64_t* sp_out);
extern "C" char call_with_known_registers_return[];

namespace {

// What the fault handler found. It unwinds at once, as a crash reporter does, while the
// faulting frames are still intact on the stack below it.
struct FaultUnwind {
    kocrash_async_image_list* list;
    kocrash_async_thread_state fault;
    std::uint64_t function_start;
    std::uint32_t encoding;
    kocrash_error_t error;
    kocrash_async_thread_state caller;
};

sigjmp_buf faultJump;
FaultUnwind unwound;

kocrash_error_t unwindFault() {
    const std::uint64_t pc = kocrash_async_thread_state_get_reg(&unwound.fault, KOCRASH_REG_IP);
    kocrash_async_image_list_set_reading(unwound.list, true);
    kocrash_async_image* image = kocrash_async_image_containing_address(unwound.list, pc);
    kocrash_error_t error = KOCRASH_ENOTFOUND;
    kocrash_async_mobject section;
    if (image != nullptr &&
        (error = kocrash_async_macho_map_section(&image->macho_image, "__TEXT", "__unwind_info",
                                                 &section)) == KOCRASH_ESUCCESS) {
        kocrash_async_cfe_reader reader;
        std::uint64_t offset = 0;
        kocrash_async_cfe_entry entry;
        const std::uint64_t header = image->macho_image.header_address;
        if ((error = kocrash_async_cfe_reader_init(&reader, &section, CPU_TYPE_ARM64)) == 0 &&
            (error = kocrash_async_cfe_reader_find_pc(&reader, pc - header, &offset,
                                                      &unwound.encoding)) == 0 &&
            (error = kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, unwound.encoding)) == 0) {
            unwound.function_start = header + offset;
            error = kocrash_async_cfe_entry_apply(mach_task_self(), unwound.function_start,
                                                  &unwound.fault, &entry, &unwound.caller);
        }
        kocrash_async_mobject_free(&section);
    }
    kocrash_async_image_list_set_reading(unwound.list, false);
    return error;
}

void unwindFaultAndLeave(int, siginfo_t*, void* context) {
    ko_mcontext64 machine;
    platform::mach::machineContextFromUcontext(*static_cast<ucontext_t*>(context), machine);
    kocrash_async_thread_state_mcontext_init(&unwound.fault, &machine);
    unwound.error = unwindFault();
    siglongjmp(faultJump, 1);
}

class RealFault : public testing::TestWithParam<const char*> {};

TEST_P(RealFault, TheEntryOfTheFaultingFunctionRestoresTheCaller) {
    MappedFixture fixture("prologues_arm64.dylib");
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    std::uint64_t start = 0;
    for (const auto& symbol : oracle::readSymbols(fixture.path())) {
        if (symbol.name == GetParam()) {
            start = fixture.slid(symbol.address);
        }
    }
    ASSERT_NE(start, 0u);
    kocrash_async_image_list list;
    kocrash_nasync_image_list_init(&list, mach_task_self());
    kocrash_nasync_image_list_append(&list, fixture.mapping().address(), fixture.path().c_str());
    unwound = FaultUnwind{};
    unwound.list = &list;
    unwound.error = KOCRASH_EUNKNOWN;

    std::uint64_t values[10];
    for (int index = 0; index < 10; ++index) {
        values[index] = 0x1900000000000000ull + (static_cast<std::uint64_t>(19 + index) << 8);
    }
    static std::uint64_t callerSp;
    callerSp = 0;
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_sigaction = unwindFaultAndLeave;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGSEGV, &action, &previous), 0);
    if (sigsetjmp(faultJump, 1) == 0) {
        call_with_known_registers(reinterpret_cast<void*>(start), nullptr, values, &callerSp);
    }
    sigaction(SIGSEGV, &previous, nullptr);
    kocrash_nasync_image_list_free(&list);

    ASSERT_EQ(unwound.error, KOCRASH_ESUCCESS) << "the fixture faulted and was unwound";
    EXPECT_EQ(unwound.function_start, start);
    const auto* caller = &unwound.caller;
    EXPECT_EQ(kocrash_async_thread_state_get_reg(caller, KOCRASH_REG_IP),
              reinterpret_cast<std::uintptr_t>(call_with_known_registers_return));
    EXPECT_EQ(kocrash_async_thread_state_get_reg(caller, KOCRASH_REG_SP), callerSp);
    for (int index = 0; index < 10; ++index) {
        const kocrash_regnum_t regnum = KOCRASH_ARM64_X0 + 19 + index;
        // Registers the function saved come from its stack; the others it never touched.
        ASSERT_TRUE(kocrash_async_thread_state_has_reg(caller, regnum)) << "x" << 19 + index;
        EXPECT_EQ(kocrash_async_thread_state_get_reg(caller, regnum), values[index])
            << "x" << 19 + index;
    }
}

INSTANTIATE_TEST_SUITE_P(Prologues, RealFault,
                         testing::Values("_saves_all_pairs", "_saves_two_pairs"),
                         [](const auto& info) { return std::string(info.param + 1); });

} // namespace
#endif
