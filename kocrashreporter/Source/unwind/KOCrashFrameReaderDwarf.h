// The DWARF reader's work once the image's call-frame section is mapped: find the FDE, parse
// its CIE, run both call-frame programs for the pc and apply the row to the current frame.
// May run at crash time: everything declared here.
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncMObject.h"
#include "unwind/KOCrashAsyncDwarfEntries.h"
#include "unwind/KOCrashAsyncThreadState.h"
#include "unwind/KOCrashFrameWalker.h"

#include <cstdint>

extern "C" {

// lookup_pc selects the FDE and the row (for caller frames, one below the return address).
// is_64_bit selects the 64-bit machinery, else the 32-bit one with lookup_pc cut to 32 bits.
// 0; 5 when the section cannot be read; 4 when no FDE covers the pc or its CIE or programs are
// refused; 2 when the row cannot be applied to the current frame.
koframe_error_t koframe_read_dwarf_section(task_t task, const kocrash_async_mobject* section,
                                           const kocrash_async_byteorder* byteorder, bool is_64_bit,
                                           bool debug_frame, std::uint64_t lookup_pc,
                                           const kocrash_async_thread_state* current_frame,
                                           kocrash_async_thread_state* next_frame);

// The same with the section's search table (__eh_frame_hdr) where index is not null: the FDE
// is found by a binary search, and by a scan only when the table cannot be used. The CIEs of the
// last FDEs the table led to stay in cie_memos, which belong to the section and its word width.
koframe_error_t koframe_read_dwarf_sections(
    task_t task, const kocrash_async_mobject* section, const kocrash_async_mobject* index,
    kocrash::async::kocrash_async_dwarf_cie_memos* cie_memos,
    const kocrash_async_byteorder* byteorder, bool is_64_bit, bool debug_frame,
    std::uint64_t lookup_pc, const kocrash_async_thread_state* current_frame,
    kocrash_async_thread_state* next_frame);

} // extern "C"
