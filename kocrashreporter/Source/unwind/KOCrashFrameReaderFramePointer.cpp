// May run at crash time: everything in this file (task reads into the caller's frame).
#include "unwind/KOCrashFrameWalker.h"

#include "async/KOCrashAsyncTaskMemory.h"

namespace {

// Whether later lies at or beyond earlier in the direction the callers' frames lie.
bool notBeyond(std::uint32_t direction, kocrash_greg_t earlier, kocrash_greg_t later) {
    return direction == KOCRASH_ASYNC_STACK_DIRECTION_UP ? later <= earlier : later >= earlier;
}

bool strictlyBeyond(std::uint32_t direction, kocrash_greg_t earlier, kocrash_greg_t later) {
    return later != earlier && notBeyond(direction, earlier, later);
}

// The nearest known stack pointer: the current frame's, else the one of the frame it came from.
bool belowStackPointer(std::uint32_t direction, const kocrash_async_thread_state* current_frame,
                       const kocrash_async_thread_state* previous_frame, kocrash_greg_t fp) {
    const kocrash_async_thread_state* known = nullptr;
    if (kocrash_async_thread_state_has_reg(current_frame, KOCRASH_REG_SP)) {
        known = current_frame;
    } else if (previous_frame != nullptr &&
               kocrash_async_thread_state_has_reg(previous_frame, KOCRASH_REG_SP)) {
        known = previous_frame;
    }
    return known != nullptr &&
           !notBeyond(direction, kocrash_async_thread_state_get_reg(known, KOCRASH_REG_SP), fp);
}

} // namespace

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
    // or garbage. The same address may come twice in a row: a frameless callee leaves its
    // caller's frame pointer as it found it.
    const std::uint32_t direction = kocrash_async_thread_state_get_stack_direction(current_frame);
    if (previous_frame != nullptr &&
        kocrash_async_thread_state_has_reg(previous_frame, KOCRASH_REG_FP) &&
        !notBeyond(direction, kocrash_async_thread_state_get_reg(previous_frame, KOCRASH_REG_FP),
                   fp)) {
        return KOFRAME_EBADFRAME;
    }
    // A record lies in its own frame, never below the stack pointer (above it on a stack that
    // grows upwards).
    if (belowStackPointer(direction, current_frame, previous_frame, fp)) {
        return KOFRAME_EBADFRAME;
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
    // A record that names itself or a record further down as its caller's would lead the walk
    // round in a loop: the walk ends with it.
    if (caller_fp != 0 && !strictlyBeyond(direction, fp, caller_fp)) {
        return KOFRAME_ENOFRAME;
    }
    kocrash_async_thread_state_copy(next_frame, current_frame);
    kocrash_async_thread_state_clear_all_regs(next_frame);
    kocrash_async_thread_state_set_reg(next_frame, KOCRASH_REG_FP, caller_fp);
    kocrash_async_thread_state_set_reg(next_frame, KOCRASH_REG_IP, return_address);
    return KOFRAME_ESUCCESS;
}
