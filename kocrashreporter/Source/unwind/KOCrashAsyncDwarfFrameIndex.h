// The search table of an .eh_frame_hdr section: the initial location and address of every FDE
// of the .eh_frame it indexes, sorted by location, so the FDE that covers a pc is found by a
// binary search instead of a scan of the whole section. May run at crash time: everything
// declared here (memory-object lookups into caller storage).
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncMObject.h"
#include "unwind/KOCrashAsyncDwarfEntries.h"

#include <cstdint>

namespace kocrash::async {

// header: the .eh_frame_hdr section; eh_frame: the section it indexes. word: the image's
// machine word. 0 and the FDE whose range holds pc; 8 when no FDE holds it; 4 when the header
// has no table this search can use (another version, no count or table, entries of varying
// size or read indirectly): the caller then scans .eh_frame itself; 5 for a table or an FDE
// that cannot be read. The FDE's CIE comes from memos when they hold it, and is kept there
// otherwise (memos belong to eh_frame).
template <typename word>
kocrash_error_t kocrash_async_dwarf_eh_frame_hdr_find_fde(const kocrash_async_mobject* header,
                                                          const kocrash_async_mobject* eh_frame,
                                                          const kocrash_async_byteorder* byteorder,
                                                          word pc,
                                                          kocrash_async_dwarf_cie_memos* memos,
                                                          kocrash_async_dwarf_fde_info* fde);

} // namespace kocrash::async
