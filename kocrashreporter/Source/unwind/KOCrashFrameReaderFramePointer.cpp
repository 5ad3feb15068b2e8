// May run at crash time: everything in this file (task reads into the caller's frame).
#include "unwind/KOCrashFrameWalker.h"

#include "async/KOCrashAsyncTaskMemory.h"

koframe_error_t koframe_cursor_read_frame_ptr(task_t task, kocrash_async_image_list*,
                                              const kocrash_async_thread_state* current_frame,
                                              const kocrash_async_thread_state* previous_frame,
                                              kocrash_async_thread_state* next_frame) {
    const bool wide = kocrash_async_thread_state_get_greg_size(current_frame) == 8;
    if (!kocrash_async_thread_state_has_reg(current_frame, KOCRASH_REG_FP)) {
        return KOFRAME_EBADFRAME;
    }
    const kocrash_greg_t fp = kocrash_async_thread_state_get_reg(current_frame, KOCRASH_REG_FP);
    if (fp == 0) {
        return KOFRAME_ENOFRAME;
    }
    // Callers' records lie further up the stack; a record that goes the other way is a loop
    // or garbage.
    if (previous_frame != nullptr &&
        kocrash_async_thread_state_has_reg(previous_frame, KOCRASH_REG_FP)) {
        const kocrash_greg_t previous_fp =
            kocrash_async_thread_state_get_reg(previous_frame, KOCRASH_REG_FP);
        const std::uint32_t direction =
            kocrash_async_thread_state_get_stack_direction(current_frame);
        if ((direction == KOCRASH_ASYNC_STACK_DIRECTION_DOWN && fp < previous_fp) ||
            (direction == KOCRASH_ASYNC_STACK_DIRECTION_UP && fp > previous_fp)) {
            return KOFRAME_EBADFRAME;
        }
    }

    kocrash_greg_t caller_fp;
    kocrash_greg_t return_address;
    if (wide) {
        std::uint64_t record[2];
        if (kocrash_async_task_memcpy(task, fp, 0, record, sizeof(record)) != KOCRASH_ESUCCESS) {
            return KOFRAME_EBADFRAME;
        }
        caller_fp = record[0];
        return_address = record[1];
    } else {
        std::uint32_t record[2];
        if (kocrash_async_task_memcpy(task, fp, 0, record, sizeof(record)) != KOCRASH_ESUCCESS) {
            return KOFRAME_EBADFRAME;
        }
        caller_fp = record[0];
        return_address = record[1];
    }
    kocrash_async_thread_state_copy(next_frame, current_frame);
    kocrash_async_thread_state_clear_all_regs(next_frame);
    kocrash_async_thread_state_set_reg(next_frame, KOCRASH_REG_FP, caller_fp);
    kocrash_async_thread_state_set_reg(next_frame, KOCRASH_REG_IP, return_address);
    return KOFRAME_ESUCCESS;
}
