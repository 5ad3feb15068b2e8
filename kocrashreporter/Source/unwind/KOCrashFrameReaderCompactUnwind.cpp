// May run at crash time: everything in this file (a lock-free image lookup, a mapping of the
// image's __unwind_info, reads of the task).
#include "images/KOCrashAsyncImageList.h"
#include "unwind/KOCrashAsyncCompactUnwind.h"
#include "unwind/KOCrashFrameWalker.h"

namespace {

koframe_error_t readImage(task_t task, const kocrash_async_macho* image,
                          kocrash_vm_address_t lookup_pc,
                          const kocrash_async_thread_state* current_frame,
                          kocrash_async_thread_state* next_frame) {
    kocrash_async_mobject section;
    if (kocrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section) !=
        KOCRASH_ESUCCESS) {
        return KOFRAME_ENOTSUP;
    }
    const cpu_type_t cpu_type = kocrash_async_macho_cpu_type(image);
    koframe_error_t result = KOFRAME_ESUCCESS;
    kocrash_async_cfe_reader reader;
    std::uint64_t function_offset = 0;
    std::uint32_t encoding = 0;
    kocrash_async_cfe_entry entry;
    kocrash_vm_address_t function_address = 0;
    if (kocrash_async_cfe_reader_init(&reader, &section, cpu_type) != KOCRASH_ESUCCESS) {
        result = KOFRAME_EINVAL;
    } else {
        const kocrash_error_t found = kocrash_async_cfe_reader_find_pc(
            &reader, lookup_pc - image->header_address, &function_offset, &encoding);
        kocrash_async_cfe_reader_free(&reader);
        if (found != KOCRASH_ESUCCESS ||
            kocrash_async_cfe_entry_init(&entry, cpu_type, encoding) != KOCRASH_ESUCCESS) {
            result = KOFRAME_ENOTSUP;
        } else {
            if (kocrash_async_cfe_entry_type(&entry) == KOCRASH_ASYNC_CFE_TYPE_NONE) {
                result = KOFRAME_ENOFRAME;
            } else if (!kocrash_async_address_apply_offset(
                           image->header_address, static_cast<kocrash_vm_off_t>(function_offset),
                           &function_address)) {
                result = KOFRAME_EINVAL;
            } else if (kocrash_async_cfe_entry_apply(task, function_address, current_frame, &entry,
                                                     next_frame) != KOCRASH_ESUCCESS) {
                result = KOFRAME_ENOFRAME;
            }
            kocrash_async_cfe_entry_free(&entry);
        }
    }
    kocrash_async_mobject_free(&section);
    return result;
}

} // namespace

koframe_error_t koframe_cursor_read_compact_unwind(task_t task,
                                                   kocrash_async_image_list* image_list,
                                                   const kocrash_async_thread_state* current_frame,
                                                   const kocrash_async_thread_state* previous_frame,
                                                   kocrash_async_thread_state* next_frame) {
    return koframe_cursor_read_image_at_pc(task, image_list, current_frame, previous_frame,
                                           next_frame, readImage);
}
