// The frame walker: turns one thread's registers into its call stack, a frame at a time. Each
// step asks a fixed list of frame readers, in order, to derive the caller's registers from the
// current frame; the first that succeeds supplies the next frame. The standard list is the
// compact unwind reader (the image's __unwind_info), then the DWARF reader (__eh_frame or
// __debug_frame), then the link-register reader (a first frame whose pc lies in no image), then
// the frame-pointer reader: cheapest and most precise first, the frame chain as the last resort.
// May run at crash time: everything declared here (no heap, no lock; all state lives in the cursor,
// which the caller keeps).
#pragma once

#include "async/KOCrashAsyncTaskMemory.h"
#include "images/KOCrashAsyncMachO.h"
#include "platform/mach/MachTypes.h"
#include "unwind/KOCrashAsyncThreadState.h"

#include <cstddef>
#include <cstdint>

extern "C" {

struct kocrash_async_image_list;

typedef std::uint32_t koframe_error_t;

enum : koframe_error_t {
    KOFRAME_ESUCCESS = 0,
    KOFRAME_EUNKNOWN = 1,
    // End of the stack, or a reader could not derive a frame.
    KOFRAME_ENOFRAME = 2,
    // A required register is missing, or the frame chain is inconsistent or unreadable.
    KOFRAME_EBADFRAME = 3,
    // The reader does not cover this pc; a register is not available.
    KOFRAME_ENOTSUP = 4,
    // No readers given; a reader's input could not be set up.
    KOFRAME_EINVAL = 5,
    // The kernel failed to read a thread.
    KOFRAME_EINTERNAL = 6,
    KOFRAME_EBADREG = 7,
};

struct koframe_cursor {
    // The task whose memory is read; the cursor holds one extra send-right reference.
    task_t task;
    // Finds the image that holds a pc; not owned.
    kocrash_async_image_list* image_list;
    // Frames produced so far.
    std::uint32_t depth;
    // The frame produced before the current one, valid from depth 2 on.
    kocrash_async_thread_state previous_frame;
    kocrash_async_thread_state frame;
};

// Derives next_frame, the caller of current_frame. previous_frame is the frame current_frame
// was derived from, or null for the first frame (whose pc is not a return address).
typedef koframe_error_t (*koframe_cursor_frame_reader_t)(
    task_t task, kocrash_async_image_list* image_list,
    const kocrash_async_thread_state* current_frame,
    const kocrash_async_thread_state* previous_frame, kocrash_async_thread_state* next_frame);

// Returns 0. Until free, the cursor's walk holds the DWARF reader's section cache
// (KOCrashFrameImageSections.h) when no other walk does.
koframe_error_t koframe_cursor_init(koframe_cursor* cursor, task_t task,
                                    const kocrash_async_thread_state* initial_state,
                                    kocrash_async_image_list* image_list);
// The thread must be suspended. 0, or 6 when the kernel cannot read it.
koframe_error_t koframe_cursor_thread_init(koframe_cursor* cursor, task_t task, thread_t thread,
                                           kocrash_async_image_list* image_list);
// One step with the standard readers.
koframe_error_t koframe_cursor_next(koframe_cursor* cursor);
// The first call produces the initial state itself. Later calls: 5 for an empty reader list,
// the last reader's code when none succeeds, 2 when the derived pc is unknown or lies in the
// first page. A failed step leaves the cursor as it was.
koframe_error_t koframe_cursor_next_with_readers(koframe_cursor* cursor,
                                                 const koframe_cursor_frame_reader_t* readers,
                                                 std::size_t count);
// 0 and the current frame's value when the register is known; 4 otherwise.
koframe_error_t koframe_cursor_get_reg(const koframe_cursor* cursor, kocrash_regnum_t regnum,
                                       kocrash_greg_t* value);
// Null for a number outside the current frame's layout.
const char* koframe_cursor_get_regname(const koframe_cursor* cursor, kocrash_regnum_t regnum);
std::uint64_t koframe_cursor_get_regcount(const koframe_cursor* cursor);
void koframe_cursor_free(koframe_cursor* cursor);

// Never fails: unknown codes have a text of their own.
const char* koframe_strerror(koframe_error_t error);

// The standard readers, in the walker's order.
koframe_error_t koframe_cursor_read_compact_unwind(task_t task,
                                                   kocrash_async_image_list* image_list,
                                                   const kocrash_async_thread_state* current_frame,
                                                   const kocrash_async_thread_state* previous_frame,
                                                   kocrash_async_thread_state* next_frame);
koframe_error_t koframe_cursor_read_dwarf_unwind(task_t task, kocrash_async_image_list* image_list,
                                                 const kocrash_async_thread_state* current_frame,
                                                 const kocrash_async_thread_state* previous_frame,
                                                 kocrash_async_thread_state* next_frame);
// What the two table readers share: finds the image that holds the current frame's pc (for a
// caller frame, the byte before its return address, since after a call that never returns the
// return address already belongs to the next function) and hands it to `read_image`. The frame
// keeps its unchanged pc.
using koframe_image_reader = koframe_error_t (*)(task_t task, const kocrash_async_macho* image,
                                                 kocrash_vm_address_t lookup_pc,
                                                 const kocrash_async_thread_state* current_frame,
                                                 kocrash_async_thread_state* next_frame);
koframe_error_t koframe_cursor_read_image_at_pc(task_t task, kocrash_async_image_list* image_list,
                                                const kocrash_async_thread_state* current_frame,
                                                const kocrash_async_thread_state* previous_frame,
                                                kocrash_async_thread_state* next_frame,
                                                koframe_image_reader read_image);
// Only for the first frame, when its pc lies in no image (a call through a bad pointer): the
// caller is at the link register, with every other register as it is. 4 otherwise.
koframe_error_t koframe_cursor_read_link_register(task_t task, kocrash_async_image_list* image_list,
                                                  const kocrash_async_thread_state* current_frame,
                                                  const kocrash_async_thread_state* previous_frame,
                                                  kocrash_async_thread_state* next_frame);
// Follows the frame record at fp: the caller's fp and the return address. Only those two
// registers are known in the frame it derives. Records lie further up the stack from frame to
// frame, never below the nearest known stack pointer: 3 otherwise; a record that names itself
// or one further down as its caller's ends the walk (2).
koframe_error_t koframe_cursor_read_frame_ptr(task_t task, kocrash_async_image_list* image_list,
                                              const kocrash_async_thread_state* current_frame,
                                              const kocrash_async_thread_state* previous_frame,
                                              kocrash_async_thread_state* next_frame);

} // extern "C"
