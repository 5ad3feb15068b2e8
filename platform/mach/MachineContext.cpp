// May run at crash time: everything in this file (copies between a signal frame and caller
// storage).
#include "platform/mach/MachThreadState.h"

#if defined(__aarch64__)
#include <asm/sigcontext.h>

namespace platform::mach {
namespace {

void zero(void* bytes, std::size_t length) {
    auto* out = static_cast<std::uint8_t*>(bytes);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = 0;
    }
}

// The signal frame's reserved area holds records (magic, size) after each other; a zero magic
// ends them.
const _aarch64_ctx* findRecord(const mcontext_t& mcontext, std::uint32_t magic) {
    const auto* area = reinterpret_cast<const std::uint8_t*>(mcontext.__reserved);
    std::size_t offset = 0;
    while (offset + sizeof(_aarch64_ctx) <= sizeof(mcontext.__reserved)) {
        const auto* record = reinterpret_cast<const _aarch64_ctx*>(area + offset);
        if (record->magic == 0 || record->size < sizeof(_aarch64_ctx) ||
            record->size > sizeof(mcontext.__reserved) - offset) {
            return nullptr;
        }
        if (record->magic == magic) {
            return record;
        }
        offset += record->size;
    }
    return nullptr;
}

} // namespace

void machineContextFromUcontext(const ucontext_t& context, ko_mcontext64& machineContext) {
    const mcontext_t& mcontext = context.uc_mcontext;
    zero(&machineContext, sizeof machineContext);

    machineContext.es.far = mcontext.fault_address;
    if (const auto* esr = findRecord(mcontext, ESR_MAGIC)) {
        machineContext.es.esr =
            static_cast<std::uint32_t>(reinterpret_cast<const esr_context*>(esr)->esr);
    }

    arm_thread_state64_t& registers = machineContext.ss;
    for (int i = 0; i < 29; ++i) {
        registers.x[i] = mcontext.regs[i];
    }
    registers.fp = mcontext.regs[29];
    registers.lr = mcontext.regs[30];
    registers.sp = mcontext.sp;
    registers.pc = mcontext.pc;
    registers.cpsr = static_cast<std::uint32_t>(mcontext.pstate);

    if (const auto* fpsimd = findRecord(mcontext, FPSIMD_MAGIC)) {
        const auto* state = reinterpret_cast<const fpsimd_context*>(fpsimd);
        for (int i = 0; i < 32; ++i) {
            machineContext.ns.v[i] = state->vregs[i];
        }
        machineContext.ns.fpsr = state->fpsr;
        machineContext.ns.fpcr = state->fpcr;
    }
}

} // namespace platform::mach
#endif
