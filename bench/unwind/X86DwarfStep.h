// One DWARF-driven step over an x86-64 frame with the crash reporter's DWARF machinery: the
// section mapped as the walker's reader maps it, the FDE search, the CIE, both call-frame
// programs. Only the row's application is done here, for the three registers a walk needs:
// the reporter's thread state holds ARM layouts only.
#pragma once

#include "async/KOCrashAsyncMObject.h"

#include <cstdint>

struct X86Frame {
    std::uint64_t rip;
    std::uint64_t rsp;
    std::uint64_t rbp;
};

// The .eh_frame section of the code the frames run in.
struct EhFrame {
    std::uint64_t address;
    std::uint64_t size;
};

EhFrame executableEhFrame();

// lookup_rip: the pc for the FDE and row (for callers, the byte before the return address).
// False when the frame cannot be stepped. Maps the section for the step, as the walker's reader
// does.
bool x86DwarfStep(const EhFrame& section, const X86Frame& current, std::uint64_t lookupRip,
                  X86Frame* caller);
// The same over a section mapped by the caller.
bool x86DwarfStepMapped(const kocrash_async_mobject* section, const X86Frame& current,
                        std::uint64_t lookupRip, X86Frame* caller);
