#include "X86DwarfStep.h"

#include "platform/mach/MachPorts.h"
#include "unwind/KOCrashAsyncDwarfCFAState.h"
#include "unwind/KOCrashAsyncDwarfFrameReader.h"

#include <cstring>
#include <elf.h>
#include <link.h>

using platform::mach::mach_task_self;

using namespace kocrash::async;

namespace {

constexpr std::uint32_t kRbp = 6;
constexpr std::uint32_t kRsp = 7;
constexpr std::uint32_t kReturnAddress = 16;

int findExecutable(dl_phdr_info* info, std::size_t, void* data) {
    auto* section = static_cast<EhFrame*>(data);
    for (int index = 0; index < info->dlpi_phnum; ++index) {
        if (info->dlpi_phdr[index].p_type == PT_GNU_EH_FRAME) {
            // .eh_frame_hdr: version, three encodings, then the section's pc-relative address.
            const auto header = info->dlpi_addr + info->dlpi_phdr[index].p_vaddr;
            std::int32_t offset;
            std::memcpy(&offset, reinterpret_cast<const void*>(header + 4), sizeof(offset));
            section->address = header + 4 + offset;
        }
    }
    // The executable comes first; its .eh_frame runs up to the header's table at most.
    return 1;
}

std::uint64_t readWord(std::uint64_t address) {
    std::uint64_t value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof(value));
    return value;
}

} // namespace

EhFrame executableEhFrame() {
    EhFrame section{0, 0};
    dl_iterate_phdr(findExecutable, &section);
    // Scan the entries to the terminator for the size.
    std::uint64_t cursor = section.address;
    for (std::uint32_t length; (length = static_cast<std::uint32_t>(readWord(cursor))) != 0;) {
        cursor += 4 + length;
    }
    section.size = cursor + 4 - section.address;
    return section;
}

bool x86DwarfStep(const EhFrame& section, const X86Frame& current, std::uint64_t lookupRip,
                  X86Frame* caller) {
    kocrash_async_mobject mobj;
    if (kocrash_async_mobject_init(&mobj, mach_task_self(), section.address, section.size, true) !=
        KOCRASH_ESUCCESS) {
        return false;
    }
    const bool stepped = x86DwarfStepMapped(&mobj, current, lookupRip, caller);
    kocrash_async_mobject_free(&mobj);
    return stepped;
}

bool x86DwarfStepMapped(const kocrash_async_mobject* section, const X86Frame& current,
                        std::uint64_t lookupRip, X86Frame* caller) {
    const auto* little = kocrash_async_byteorder_little_endian();
    const std::uint64_t base = kocrash_async_mobject_base_address(section);
    dwarf_frame_reader reader;
    reader.init(section, little, true, false);
    kocrash_async_dwarf_fde_info fde;
    kocrash_async_dwarf_cie_info cie;
    const gnu_ehptr_reader<std::uint64_t> pointers(little);
    dwarf_cfa_state<std::uint64_t, std::int64_t> row;
    if (reader.find_fde(0, lookupRip, &fde) != KOCRASH_ESUCCESS ||
        kocrash_async_dwarf_cie_info_init(&cie, section, little, &pointers,
                                          base + fde.cie_entry_offset) != KOCRASH_ESUCCESS ||
        row.eval_program(section, lookupRip, fde.start_pc, &cie, &pointers, little, base,
                         cie.initial_instructions_offset,
                         cie.initial_instructions_length) != KOCRASH_ESUCCESS ||
        row.eval_program(section, lookupRip, fde.start_pc, &cie, &pointers, little, base,
                         fde.instructions_offset, fde.instructions_length) != KOCRASH_ESUCCESS) {
        return false;
    }
    const auto cfaRule = row.get_cfa_rule();
    const std::uint32_t cfaRegister = cfaRule.register_number();
    if (cfaRegister != kRsp && cfaRegister != kRbp) {
        return false;
    }
    const std::uint64_t cfa =
        (cfaRegister == kRsp ? current.rsp : current.rbp) + cfaRule.register_offset();
    kocrash_dwarf_cfa_reg_rule_t rule;
    std::uint64_t offset;
    caller->rsp = cfa;
    caller->rbp = row.get_register_rule(kRbp, &rule, &offset) && rule == DWARF_RULE_OFFSET
                      ? readWord(cfa + offset)
                      : current.rbp;
    if (!row.get_register_rule(kReturnAddress, &rule, &offset) || rule != DWARF_RULE_OFFSET) {
        return false;
    }
    caller->rip = readWord(cfa + offset);
    return true;
}
