// The call-frame sections of one image as the DWARF reader reads them: __eh_frame with its
// search table (__eh_frame_hdr) where the image has one, else __debug_frame. A walk that holds
// the section cache maps each image's sections once, at its first frame there, and keeps them
// until the walk ends; within a report, whose images cannot change (the other threads are
// parked while the image list is compared with the loader), the walks of all its threads share
// them. Any other caller maps them for one step. The cache is fixed static storage: nothing is
// allocated. May run at crash time: everything declared here.
#pragma once

#include "async/KOCrashAsyncMObject.h"
#include "images/KOCrashAsyncImageList.h"
#include "images/KOCrashAsyncMachO.h"
#include "unwind/KOCrashAsyncDwarfEntries.h"

extern "C" {

struct koframe_image_sections {
    kocrash_vm_address_t header_address;
    kocrash_async_mobject frame_section;
    // The frame section is __debug_frame rather than __eh_frame.
    bool debug_frame;
    // __eh_frame_hdr, mapped only beside an __eh_frame.
    bool has_index;
    kocrash_async_mobject index;
    // The CIEs of the last FDEs found: an image's FDEs share a few CIEs.
    kocrash::async::kocrash_async_dwarf_cie_memos cie_memos;
};

// 0; 2 when the image has neither frame section.
std::uint32_t koframe_image_sections_map(const kocrash_async_macho* image,
                                         koframe_image_sections* sections);
void koframe_image_sections_unmap(koframe_image_sections* sections);

// The walk that owns `owner` (a storage address of its own, unique while it runs) over
// image_list (may be null) takes the cache when no other walk holds it; false otherwise, and that
// walk goes without. What an earlier walk of the same report mapped is kept; anything else is
// unmapped first.
bool koframe_section_cache_claim(const void* owner, kocrash_async_image_list* image_list);
// Lets the cache go, and unmaps what it holds unless the walk's report goes on; nothing for a
// walk that does not hold it.
void koframe_section_cache_release(const void* owner);
// For the walk that holds the cache: true, and the image's sections, mapped at the walk's first
// call for the image, or null for an image without a frame section. False for any other caller
// and when every slot is taken: the caller maps the sections itself.
bool koframe_section_cache_find(const void* owner, const kocrash_async_macho* image,
                                koframe_image_sections** sections);

} // extern "C"
