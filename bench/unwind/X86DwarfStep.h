// One DWARF-driven step over an x86-64 frame with the crash reporter's DWARF machinery, the way
// the walker's DWARF reader takes it: the image that holds the pc from the image list, its
// call-frame sections from the walk's section cache, the FDE by the search table, the CIE, both
// call-frame programs. Only the row's application is done here, for the three registers a walk
// needs: the reporter's thread state holds ARM layouts only.
#pragma once

#include "images/KOCrashAsyncImageList.h"

#include <cstdint>

struct X86Frame {
    std::uint64_t rip;
    std::uint64_t rsp;
    std::uint64_t rbp;
};

// How the FDE is found and how long the sections stay mapped.
enum class X86StepKind {
    // As the walker does: the walk named by `walk` holds the section cache (claimed by the
    // caller), and the FDE comes from the .eh_frame_hdr table.
    CachedTable,
    // Sections mapped for each step and .eh_frame scanned from its start.
    MappedScan,
};

// lookup_rip: the pc for the image, FDE and row (for callers, the byte before the return
// address). False when the frame cannot be stepped.
bool x86DwarfStep(kocrash_async_image_list* images, const void* walk, X86StepKind kind,
                  const X86Frame& current, std::uint64_t lookupRip, X86Frame* caller);
