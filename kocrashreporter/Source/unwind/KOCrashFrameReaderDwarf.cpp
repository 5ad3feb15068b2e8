// May run at crash time: everything in this file (a lock-free image lookup, the image's
// call-frame sections from the walk's cache or mapped for the step, memory-object lookups, task
// reads, a CFA state on the stack).
#include "unwind/KOCrashFrameReaderDwarf.h"

#include "images/KOCrashAsyncImageList.h"
#include "unwind/KOCrashAsyncDwarfCFAState.h"
#include "unwind/KOCrashAsyncDwarfFrameIndex.h"
#include "unwind/KOCrashAsyncDwarfFrameReader.h"
#include "unwind/KOCrashFrameImageSections.h"

namespace {

using namespace kocrash::async;

// By the search table where there is one, else by a scan of the whole section.
template <typename word>
koframe_error_t findFde(const kocrash_async_mobject* section, const kocrash_async_mobject* index,
                        const kocrash_async_byteorder* byteorder, bool debug_frame, word lookup_pc,
                        kocrash_async_dwarf_cie_memos* memos, kocrash_async_dwarf_fde_info* fde) {
    if (index != nullptr && !debug_frame) {
        const kocrash_error_t found = kocrash_async_dwarf_eh_frame_hdr_find_fde<word>(
            index, section, byteorder, lookup_pc, memos, fde);
        if (found != KOCRASH_ENOTSUP) {
            return found == KOCRASH_ESUCCESS ? KOFRAME_ESUCCESS : KOFRAME_ENOTSUP;
        }
    }
    dwarf_frame_reader reader;
    if (reader.init(section, byteorder, sizeof(word) == 8, debug_frame) != KOCRASH_ESUCCESS) {
        return KOFRAME_EINVAL;
    }
    return reader.find_fde(0, lookup_pc, fde) == KOCRASH_ESUCCESS ? KOFRAME_ESUCCESS
                                                                  : KOFRAME_ENOTSUP;
}

// The FDE's CIE: the one the FDE search parsed when the memos hold it (the same parse with the
// same plain pointer reader), else parsed here.
template <typename word>
kocrash_error_t
cieOf(const kocrash_async_mobject* section, const kocrash_async_byteorder* byteorder,
      const gnu_ehptr_reader<word>* pointers, const kocrash_async_dwarf_cie_memos& memos,
      kocrash_vm_address_t address, kocrash_async_dwarf_cie_info* cie) {
    if (const kocrash_async_dwarf_cie_info* kept =
            kocrash_async_dwarf_cie_memos_find(&memos, address)) {
        *cie = *kept;
        return KOCRASH_ESUCCESS;
    }
    return kocrash_async_dwarf_cie_info_init<word>(cie, section, byteorder, pointers, address);
}

template <typename word, typename signed_word>
koframe_error_t
readSection(task_t task, const kocrash_async_mobject* section, const kocrash_async_mobject* index,
            kocrash_async_dwarf_cie_memos* memos, const kocrash_async_byteorder* byteorder,
            bool debug_frame, word lookup_pc, const kocrash_async_thread_state* current_frame,
            kocrash_async_thread_state* next_frame) {
    kocrash_async_dwarf_fde_info fde;
    const koframe_error_t found =
        findFde<word>(section, index, byteorder, debug_frame, lookup_pc, memos, &fde);
    if (found != KOFRAME_ESUCCESS) {
        return found;
    }
    const kocrash_vm_address_t base = kocrash_async_mobject_base_address(section);
    const gnu_ehptr_reader<word> pointers(byteorder);
    kocrash_async_dwarf_cie_info cie;
    if (cieOf<word>(section, byteorder, &pointers, *memos, base + fde.cie_entry_offset, &cie) !=
        KOCRASH_ESUCCESS) {
        kocrash_async_dwarf_fde_info_free(&fde);
        return KOFRAME_ENOTSUP;
    }

    // The programs start from the FDE's whole start address: cut to 32 bits, every image
    // above 4 GiB would get the wrong row.
    const word initial_pc = static_cast<word>(fde.start_pc);
    dwarf_cfa_state<word, signed_word> state;
    koframe_error_t result = KOFRAME_ESUCCESS;
    if (state.eval_program(section, lookup_pc, initial_pc, &cie, &pointers, byteorder, base,
                           static_cast<kocrash_vm_off_t>(cie.initial_instructions_offset),
                           cie.initial_instructions_length) != KOCRASH_ESUCCESS ||
        state.eval_program(section, lookup_pc, initial_pc, &cie, &pointers, byteorder, base,
                           static_cast<kocrash_vm_off_t>(fde.instructions_offset),
                           fde.instructions_length) != KOCRASH_ESUCCESS) {
        result = KOFRAME_ENOTSUP;
    } else if (state.apply_state(task, &cie, current_frame, byteorder, next_frame) !=
               KOCRASH_ESUCCESS) {
        result = KOFRAME_ENOFRAME;
    }
    kocrash_async_dwarf_cie_info_free(&cie);
    kocrash_async_dwarf_fde_info_free(&fde);
    return result;
}

koframe_error_t readSections(task_t task, const kocrash_async_macho* image,
                             koframe_image_sections* sections, kocrash_vm_address_t lookup_pc,
                             const kocrash_async_thread_state* current_frame,
                             kocrash_async_thread_state* next_frame) {
    return koframe_read_dwarf_sections(
        task, &sections->frame_section, sections->has_index ? &sections->index : nullptr,
        &sections->cie_memos, kocrash_async_macho_byteorder(image), image->is_64_bit,
        sections->debug_frame, lookup_pc, current_frame, next_frame);
}

// The image's sections from the walk's cache; for a caller outside a walk that holds it, mapped
// for this step.
koframe_error_t readImage(task_t task, const kocrash_async_macho* image,
                          kocrash_vm_address_t lookup_pc,
                          const kocrash_async_thread_state* current_frame,
                          kocrash_async_thread_state* next_frame) {
    koframe_image_sections* cached = nullptr;
    if (koframe_section_cache_find(current_frame, image, &cached)) {
        return cached == nullptr
                   ? KOFRAME_ENOFRAME
                   : readSections(task, image, cached, lookup_pc, current_frame, next_frame);
    }
    koframe_image_sections sections;
    const koframe_error_t mapped = koframe_image_sections_map(image, &sections);
    if (mapped != KOFRAME_ESUCCESS) {
        return mapped;
    }
    const koframe_error_t result =
        readSections(task, image, &sections, lookup_pc, current_frame, next_frame);
    koframe_image_sections_unmap(&sections);
    return result;
}

} // namespace

koframe_error_t koframe_read_dwarf_section(task_t task, const kocrash_async_mobject* section,
                                           const kocrash_async_byteorder* byteorder, bool is_64_bit,
                                           bool debug_frame, std::uint64_t lookup_pc,
                                           const kocrash_async_thread_state* current_frame,
                                           kocrash_async_thread_state* next_frame) {
    kocrash_async_dwarf_cie_memos memos;
    kocrash_async_dwarf_cie_memos_init(&memos);
    return koframe_read_dwarf_sections(task, section, nullptr, &memos, byteorder, is_64_bit,
                                       debug_frame, lookup_pc, current_frame, next_frame);
}

koframe_error_t koframe_read_dwarf_sections(
    task_t task, const kocrash_async_mobject* section, const kocrash_async_mobject* index,
    kocrash_async_dwarf_cie_memos* cie_memos, const kocrash_async_byteorder* byteorder,
    bool is_64_bit, bool debug_frame, std::uint64_t lookup_pc,
    const kocrash_async_thread_state* current_frame, kocrash_async_thread_state* next_frame) {
    if (is_64_bit) {
        return readSection<std::uint64_t, std::int64_t>(task, section, index, cie_memos, byteorder,
                                                        debug_frame, lookup_pc, current_frame,
                                                        next_frame);
    }
    return readSection<std::uint32_t, std::int32_t>(
        task, section, index, cie_memos, byteorder, debug_frame,
        static_cast<std::uint32_t>(lookup_pc), current_frame, next_frame);
}

koframe_error_t koframe_cursor_read_dwarf_unwind(task_t task, kocrash_async_image_list* image_list,
                                                 const kocrash_async_thread_state* current_frame,
                                                 const kocrash_async_thread_state* previous_frame,
                                                 kocrash_async_thread_state* next_frame) {
    return koframe_cursor_read_image_at_pc(task, image_list, current_frame, previous_frame,
                                           next_frame, readImage);
}
