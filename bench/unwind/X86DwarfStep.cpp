#include "X86DwarfStep.h"

#include "unwind/KOCrashAsyncDwarfCFAState.h"
#include "unwind/KOCrashAsyncDwarfFrameIndex.h"
#include "unwind/KOCrashAsyncDwarfFrameReader.h"
#include "unwind/KOCrashFrameImageSections.h"

#include <cstring>

using namespace kocrash::async;

namespace {

constexpr std::uint32_t kRbp = 6;
constexpr std::uint32_t kRsp = 7;
constexpr std::uint32_t kReturnAddress = 16;

std::uint64_t readWord(std::uint64_t address) {
    std::uint64_t value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof(value));
    return value;
}

bool findFde(koframe_image_sections& sections, X86StepKind kind, std::uint64_t lookupRip,
             kocrash_async_dwarf_fde_info* fde) {
    const auto* little = kocrash_async_byteorder_little_endian();
    if (kind == X86StepKind::CachedTable && sections.has_index) {
        return kocrash_async_dwarf_eh_frame_hdr_find_fde<std::uint64_t>(
                   &sections.index, &sections.frame_section, little, lookupRip, &sections.cie_memos,
                   fde) == KOCRASH_ESUCCESS;
    }
    dwarf_frame_reader reader;
    reader.init(&sections.frame_section, little, true, sections.debug_frame);
    return reader.find_fde(0, lookupRip, fde) == KOCRASH_ESUCCESS;
}

bool stepInSections(koframe_image_sections& sections, X86StepKind kind, const X86Frame& current,
                    std::uint64_t lookupRip, X86Frame* caller) {
    const kocrash_async_mobject* section = &sections.frame_section;
    const auto* little = kocrash_async_byteorder_little_endian();
    const std::uint64_t base = kocrash_async_mobject_base_address(section);
    kocrash_async_dwarf_fde_info fde;
    kocrash_async_dwarf_cie_info cie;
    const gnu_ehptr_reader<std::uint64_t> pointers(little);
    dwarf_cfa_state<std::uint64_t, std::int64_t> row;
    const auto cieOf = [&] {
        const kocrash_vm_address_t address = base + fde.cie_entry_offset;
        if (const auto* kept = kocrash_async_dwarf_cie_memos_find(&sections.cie_memos, address)) {
            cie = *kept;
            return true;
        }
        return kocrash_async_dwarf_cie_info_init(&cie, section, little, &pointers, address) ==
               KOCRASH_ESUCCESS;
    };
    if (!findFde(sections, kind, lookupRip, &fde) || !cieOf() ||
        row.eval_program(section, lookupRip, fde.start_pc, &cie, &pointers, little, base,
                         cie.initial_instructions_offset,
                         cie.initial_instructions_length) != KOCRASH_ESUCCESS ||
        row.eval_program(section, lookupRip, fde.start_pc, &cie, &pointers, little, base,
                         fde.instructions_offset, fde.instructions_length) != KOCRASH_ESUCCESS) {
        return false;
    }
    const auto cfaRule = row.get_cfa_rule();
    const std::uint32_t cfaRegister = cfaRule.register_number();
    using CfaRule = dwarf_cfa_rule<std::uint64_t, std::int64_t>;
    if ((cfaRule.type() != CfaRule::CFA_RULE_TYPE_REGISTER &&
         cfaRule.type() != CfaRule::CFA_RULE_TYPE_REGISTER_SIGNED) ||
        (cfaRegister != kRsp && cfaRegister != kRbp)) {
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

} // namespace

bool x86DwarfStep(kocrash_async_image_list* images, const void* walk, X86StepKind kind,
                  const X86Frame& current, std::uint64_t lookupRip, X86Frame* caller) {
    kocrash_async_image_list_set_reading(images, true);
    bool stepped = false;
    if (const kocrash_async_image* image =
            kocrash_async_image_containing_address(images, lookupRip)) {
        koframe_image_sections* cached = nullptr;
        if (kind == X86StepKind::CachedTable &&
            koframe_section_cache_find(walk, &image->macho_image, &cached)) {
            stepped =
                cached != nullptr && stepInSections(*cached, kind, current, lookupRip, caller);
        } else {
            koframe_image_sections sections;
            if (koframe_image_sections_map(&image->macho_image, &sections) == 0) {
                stepped = stepInSections(sections, kind, current, lookupRip, caller);
                koframe_image_sections_unmap(&sections);
            }
        }
    }
    kocrash_async_image_list_set_reading(images, false);
    return stepped;
}
