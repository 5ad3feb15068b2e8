// May run at crash time: everything in this file (cursor storage of the caller, port
// reference counts, thread-state accessors).
#include "unwind/KOCrashFrameWalker.h"

#include "images/KOCrashAsyncImageList.h"
#include "unwind/KOCrashFrameImageSections.h"

#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"

using platform::mach::mach_port_mod_refs;
using platform::mach::mach_task_self;
using platform::mach::vm_page_size;

namespace {

bool sameRegister(const kocrash_async_thread_state* a, const kocrash_async_thread_state* b,
                  kocrash_regnum_t regnum) {
    return kocrash_async_thread_state_has_reg(a, regnum) &&
           kocrash_async_thread_state_has_reg(b, regnum) &&
           kocrash_async_thread_state_get_reg(a, regnum) ==
               kocrash_async_thread_state_get_reg(b, regnum);
}

bool madeNoProgress(const kocrash_async_thread_state* frame,
                    const kocrash_async_thread_state* next) {
    return sameRegister(frame, next, KOCRASH_REG_IP) && sameRegister(frame, next, KOCRASH_REG_SP);
}

} // namespace

koframe_error_t koframe_cursor_init(koframe_cursor* cursor, task_t task,
                                    const kocrash_async_thread_state* initial_state,
                                    kocrash_async_image_list* image_list) {
    cursor->task = task;
    cursor->image_list = image_list;
    cursor->depth = 0;
    mach_port_mod_refs(mach_task_self(), task, MACH_PORT_RIGHT_SEND, 1);
    kocrash_async_thread_state_copy(&cursor->frame, initial_state);
    // The readers are handed the cursor's own frame, which names the walk to the cache.
    koframe_section_cache_claim(&cursor->frame, image_list);
    return KOFRAME_ESUCCESS;
}

koframe_error_t koframe_cursor_thread_init(koframe_cursor* cursor, task_t task, thread_t thread,
                                           kocrash_async_image_list* image_list) {
    kocrash_async_thread_state state;
    kocrash_error_t error = kocrash_async_thread_state_mach_thread_init(&state, thread);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    return koframe_cursor_init(cursor, task, &state, image_list);
}

koframe_error_t koframe_cursor_next(koframe_cursor* cursor) {
    // Cheapest and most precise first; a first pc in no image returns to the link register (a
    // call through a bad pointer); frame records only when nothing else describes the pc.
    static constexpr koframe_cursor_frame_reader_t readers[] = {
        koframe_cursor_read_compact_unwind,
        koframe_cursor_read_dwarf_unwind,
        koframe_cursor_read_link_register,
        koframe_cursor_read_frame_ptr,
    };
    return koframe_cursor_next_with_readers(cursor, readers, sizeof(readers) / sizeof(readers[0]));
}

koframe_error_t koframe_cursor_next_with_readers(koframe_cursor* cursor,
                                                 const koframe_cursor_frame_reader_t* readers,
                                                 std::size_t count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return KOFRAME_ESUCCESS;
    }
    const kocrash_async_thread_state* previous =
        cursor->depth == 1 ? nullptr : &cursor->previous_frame;
    if (count == 0) {
        return KOFRAME_EINVAL;
    }
    kocrash_async_thread_state next;
    koframe_error_t result = KOFRAME_EUNKNOWN;
    for (std::size_t index = 0; index < count; ++index) {
        result = readers[index](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
        if (result == KOFRAME_ESUCCESS) {
            break;
        }
    }
    if (result != KOFRAME_ESUCCESS) {
        return result;
    }
    // A pc in the first page is how the outermost frame ends the chain.
    if (!kocrash_async_thread_state_has_reg(&next, KOCRASH_REG_IP) ||
        kocrash_async_thread_state_get_reg(&next, KOCRASH_REG_IP) <= vm_page_size) {
        return KOFRAME_ENOFRAME;
    }
    // A caller at the callee's own pc and stack is no caller: the outermost frame of a thread
    // marks its return address undefined, which reads as "the link register still holds it",
    // and repeating that step would list the same frame until the frame limit.
    if (madeNoProgress(&cursor->frame, &next)) {
        return KOFRAME_ENOFRAME;
    }
    kocrash_async_thread_state_copy(&cursor->previous_frame, &cursor->frame);
    kocrash_async_thread_state_copy(&cursor->frame, &next);
    ++cursor->depth;
    return KOFRAME_ESUCCESS;
}

koframe_error_t koframe_cursor_get_reg(const koframe_cursor* cursor, kocrash_regnum_t regnum,
                                       kocrash_greg_t* value) {
    if (regnum >= kocrash_async_thread_state_get_reg_count(&cursor->frame) ||
        !kocrash_async_thread_state_has_reg(&cursor->frame, regnum)) {
        return KOFRAME_ENOTSUP;
    }
    *value = kocrash_async_thread_state_get_reg(&cursor->frame, regnum);
    return KOFRAME_ESUCCESS;
}

const char* koframe_cursor_get_regname(const koframe_cursor* cursor, kocrash_regnum_t regnum) {
    if (regnum >= kocrash_async_thread_state_get_reg_count(&cursor->frame)) {
        return nullptr;
    }
    return kocrash_async_thread_state_get_reg_name(&cursor->frame, regnum);
}

std::uint64_t koframe_cursor_get_regcount(const koframe_cursor* cursor) {
    return kocrash_async_thread_state_get_reg_count(&cursor->frame);
}

void koframe_cursor_free(koframe_cursor* cursor) {
    koframe_section_cache_release(&cursor->frame);
    if (cursor->task != MACH_PORT_NULL) {
        mach_port_mod_refs(mach_task_self(), cursor->task, MACH_PORT_RIGHT_SEND, -1);
    }
}

const char* koframe_strerror(koframe_error_t error) {
    switch (error) {
    case KOFRAME_ESUCCESS:
        return "No error";
    case KOFRAME_EUNKNOWN:
        return "Unknown error";
    case KOFRAME_ENOFRAME:
        return "No frames are available";
    case KOFRAME_EBADFRAME:
        return "Corrupted frame";
    case KOFRAME_ENOTSUP:
        return "Operation not supported";
    case KOFRAME_EINVAL:
        return "Invalid argument";
    case KOFRAME_EINTERNAL:
        return "Internal error";
    case KOFRAME_EBADREG:
        return "Invalid register";
    default:
        return "Unhandled error code";
    }
}

koframe_error_t koframe_cursor_read_image_at_pc(task_t task, kocrash_async_image_list* image_list,
                                                const kocrash_async_thread_state* current_frame,
                                                const kocrash_async_thread_state* previous_frame,
                                                kocrash_async_thread_state* next_frame,
                                                koframe_image_reader read_image) {
    if (!kocrash_async_thread_state_has_reg(current_frame, KOCRASH_REG_IP)) {
        return KOFRAME_EBADFRAME;
    }
    const kocrash_greg_t pc = kocrash_async_thread_state_get_reg(current_frame, KOCRASH_REG_IP);
    if (pc == 0) {
        return KOFRAME_ENOTSUP;
    }
    const kocrash_vm_address_t lookup_pc = previous_frame != nullptr ? pc - 1 : pc;
    kocrash_async_image_list_set_reading(image_list, true);
    koframe_error_t result = KOFRAME_ENOTSUP;
    if (kocrash_async_image* image =
            kocrash_async_image_containing_address(image_list, lookup_pc)) {
        result = read_image(task, &image->macho_image, lookup_pc, current_frame, next_frame);
    }
    kocrash_async_image_list_set_reading(image_list, false);
    return result;
}
