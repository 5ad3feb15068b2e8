// May run at crash time: everything in this file (image list lookups and copies of the caller's
// frame).
//
// A call through a bad pointer (null, unmapped, not executable) faults on its very first
// instruction: the callee never stored a frame record, so the frame chain skips the caller, whose
// return address only the link register holds. An unwinder treats such a pc as a leaf that has
// not set up its frame yet: the caller is at the link register, with the same stack and frame
// pointer. Only the first frame can be such a leaf; a pc that an image holds is left to the
// readers of that image and to the frame chain.
#include "unwind/KOCrashFrameWalker.h"

#include "images/KOCrashAsyncImageList.h"

namespace {

kocrash_regnum_t linkRegister(const kocrash_async_thread_state* state) {
    return kocrash_async_thread_state_get_greg_size(state) == 8 ? KOCRASH_ARM64_LR : KOCRASH_ARM_LR;
}

bool inSomeImage(kocrash_async_image_list* image_list, kocrash_greg_t pc) {
    kocrash_async_image_list_set_reading(image_list, true);
    const bool found = kocrash_async_image_containing_address(image_list, pc) != nullptr;
    kocrash_async_image_list_set_reading(image_list, false);
    return found;
}

} // namespace

koframe_error_t koframe_cursor_read_link_register(task_t, kocrash_async_image_list* image_list,
                                                  const kocrash_async_thread_state* current_frame,
                                                  const kocrash_async_thread_state* previous_frame,
                                                  kocrash_async_thread_state* next_frame) {
    if (previous_frame != nullptr ||
        !kocrash_async_thread_state_has_reg(current_frame, KOCRASH_REG_IP)) {
        return KOFRAME_ENOTSUP;
    }
    const kocrash_regnum_t lr = linkRegister(current_frame);
    if (lr >= kocrash_async_thread_state_get_reg_count(current_frame) ||
        !kocrash_async_thread_state_has_reg(current_frame, lr) ||
        inSomeImage(image_list,
                    kocrash_async_thread_state_get_reg(current_frame, KOCRASH_REG_IP))) {
        return KOFRAME_ENOTSUP;
    }
    kocrash_async_thread_state_copy(next_frame, current_frame);
    kocrash_async_thread_state_set_reg(next_frame, KOCRASH_REG_IP,
                                       kocrash_async_thread_state_get_reg(current_frame, lr));
    // The call overwrote what the caller had there.
    kocrash_async_thread_state_clear_reg(next_frame, lr);
    return KOFRAME_ESUCCESS;
}
