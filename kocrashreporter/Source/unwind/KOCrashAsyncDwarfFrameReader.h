// Finds the FDE that covers a program counter by a linear scan of a call-frame section
// (__eh_frame or __debug_frame). May run at crash time: everything declared here.
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncMObject.h"
#include "unwind/KOCrashAsyncDwarfEntries.h"

#include <cstdint>

namespace kocrash::async {

class dwarf_frame_reader {
public:
    // is_64_bit: the section belongs to a 64-bit image, whose pointers are 64-bit words.
    // debug_frame: the section is __debug_frame. Returns 0.
    kocrash_error_t init(const kocrash_async_mobject* mobj,
                         const kocrash_async_byteorder* byteorder, bool is_64_bit,
                         bool debug_frame);

    // Scans from offset (relative to the section base) for the FDE with start_pc <= pc <
    // end_pc. 0; 8 when the scan ends without one; 5 for an offset outside the section or a
    // malformed entry header; an FDE that fails to parse stops the scan with its code.
    kocrash_error_t find_fde(std::int64_t offset, std::uint64_t pc,
                             kocrash_async_dwarf_fde_info* fde) const;

    const kocrash_async_mobject* mobj() const { return mobj_; }
    const kocrash_async_byteorder* byteorder() const { return byteorder_; }
    bool is_64_bit() const { return is_64_bit_; }
    bool debug_frame() const { return debug_frame_; }

private:
    const kocrash_async_mobject* mobj_;
    const kocrash_async_byteorder* byteorder_;
    bool is_64_bit_;
    bool debug_frame_;
};

} // namespace kocrash::async
