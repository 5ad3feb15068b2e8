// May run at crash time: everything in this file (a lock-free image lookup, a mapping of the
// image's call-frame section, memory-object lookups, task reads, a CFA state on the stack).
#include "unwind/KOCrashFrameReaderDwarf.h"

#include "images/KOCrashAsyncImageList.h"
#include "unwind/KOCrashAsyncDwarfCFAState.h"
#include "unwind/KOCrashAsyncDwarfFrameReader.h"

namespace {

using namespace kocrash::async;

template <typename word, typename signed_word>
koframe_error_t readSection(task_t task, const kocrash_async_mobject* section,
                            const kocrash_async_byteorder* byteorder, bool debug_frame,
                            word lookup_pc, const kocrash_async_thread_state* current_frame,
                            kocrash_async_thread_state* next_frame) {
    dwarf_frame_reader reader;
    if (reader.init(section, byteorder, sizeof(word) == 8, debug_frame) != KOCRASH_ESUCCESS) {
        return KOFRAME_EINVAL;
    }
    kocrash_async_dwarf_fde_info fde;
    if (reader.find_fde(0, lookup_pc, &fde) != KOCRASH_ESUCCESS) {
        return KOFRAME_ENOTSUP;
    }
    const kocrash_vm_address_t base = kocrash_async_mobject_base_address(section);
    const gnu_ehptr_reader<word> pointers(byteorder);
    kocrash_async_dwarf_cie_info cie;
    if (kocrash_async_dwarf_cie_info_init<word>(&cie, section, byteorder, &pointers,
                                                base + fde.cie_entry_offset) != KOCRASH_ESUCCESS) {
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

// The image's __eh_frame, else its __debug_frame.
koframe_error_t readImage(task_t task, const kocrash_async_macho* image,
                          kocrash_vm_address_t lookup_pc,
                          const kocrash_async_thread_state* current_frame,
                          kocrash_async_thread_state* next_frame) {
    kocrash_async_mobject section;
    bool debug_frame = false;
    if (kocrash_async_macho_map_section(image, "__TEXT", "__eh_frame", &section) !=
        KOCRASH_ESUCCESS) {
        if (kocrash_async_macho_map_section(image, "__DWARF", "__debug_frame", &section) !=
            KOCRASH_ESUCCESS) {
            return KOFRAME_ENOFRAME;
        }
        debug_frame = true;
    }
    const koframe_error_t result = koframe_read_dwarf_section(
        task, &section, kocrash_async_macho_byteorder(image), image->is_64_bit, debug_frame,
        lookup_pc, current_frame, next_frame);
    kocrash_async_mobject_free(&section);
    return result;
}

} // namespace

koframe_error_t koframe_read_dwarf_section(task_t task, const kocrash_async_mobject* section,
                                           const kocrash_async_byteorder* byteorder, bool is_64_bit,
                                           bool debug_frame, std::uint64_t lookup_pc,
                                           const kocrash_async_thread_state* current_frame,
                                           kocrash_async_thread_state* next_frame) {
    if (is_64_bit) {
        return readSection<std::uint64_t, std::int64_t>(task, section, byteorder, debug_frame,
                                                        lookup_pc, current_frame, next_frame);
    }
    return readSection<std::uint32_t, std::int32_t>(task, section, byteorder, debug_frame,
                                                    static_cast<std::uint32_t>(lookup_pc),
                                                    current_frame, next_frame);
}

koframe_error_t koframe_cursor_read_dwarf_unwind(task_t task, kocrash_async_image_list* image_list,
                                                 const kocrash_async_thread_state* current_frame,
                                                 const kocrash_async_thread_state* previous_frame,
                                                 kocrash_async_thread_state* next_frame) {
    return koframe_cursor_read_image_at_pc(task, image_list, current_frame, previous_frame,
                                           next_frame, readImage);
}
