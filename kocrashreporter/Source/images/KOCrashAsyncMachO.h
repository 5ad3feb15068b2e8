// The Mach-O image reader: one loaded image parsed through memory objects (header, load
// commands, segments and sections). 32-bit and 64-bit images of either byte order; universal
// files are refused. May run at crash time: everything declared here except the
// kocrash_nasync_ operations, which allocate.
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncMObject.h"
#include "async/KOCrashAsyncTaskMemory.h"
#include "platform/mach/MachTypes.h"

#include <cstdint>

extern "C" {

// The first 28 bytes of a Mach-O header as stored, in the image's byte order.
struct kocrash_async_macho_header {
    std::uint32_t magic;
    std::int32_t cputype;
    std::int32_t cpusubtype;
    std::uint32_t filetype;
    std::uint32_t ncmds;
    std::uint32_t sizeofcmds;
    std::uint32_t flags;
};
static_assert(sizeof(kocrash_async_macho_header) == 28);

struct kocrash_async_macho {
    // The task that holds the image; one send-right reference is held.
    task_t task;
    // Address of the Mach-O header in the task (the load address).
    kocrash_vm_address_t header_address;
    // header_address minus the __TEXT segment's vmaddr.
    kocrash_vm_off_t load_slide;
    // The image path: a copy owned by the image for kocrash_nasync_macho_init, the caller's
    // string for kocrash_async_macho_init_borrowing.
    const char* name;
    kocrash_async_macho_header header;
    // 28 for 32-bit images, 32 for 64-bit images.
    kocrash_vm_size_t header_size;
    // Number of load commands, in host order.
    std::uint32_t ncmds;
    // All load commands (sizeofcmds bytes after the header).
    kocrash_async_mobject command_map;
    kocrash_vm_address_t text_address;
    kocrash_vm_size_t text_length;
    bool is_64_bit;
    const kocrash_async_byteorder* byteorder;
};

struct kocrash_async_macho_mapped_segment {
    kocrash_async_mobject mobj;
    std::uint64_t fileoff;
    std::uint64_t filesize;
};

// 0; 6 when the header cannot be read; 5 for a universal file, an unknown magic, a segment
// command cut short or no __TEXT segment; a mapping's code when the load commands cannot be
// mapped. On failure nothing stays allocated or referenced.
kocrash_error_t kocrash_nasync_macho_init(kocrash_async_macho* image, task_t task, const char* name,
                                          kocrash_vm_address_t header_address);
void kocrash_nasync_macho_free(kocrash_async_macho* image);
// The same without copying the name, which must outlive the image; the same error codes.
kocrash_error_t kocrash_async_macho_init_borrowing(kocrash_async_macho* image, task_t task,
                                                   const char* name,
                                                   kocrash_vm_address_t header_address);
// The same for an image whose header and load commands are read at contents_address: a view the
// own task built, whose bytes can be read in place where those at the header would be copied.
kocrash_error_t kocrash_async_macho_init_viewed(kocrash_async_macho* image, task_t task,
                                                const char* name,
                                                kocrash_vm_address_t header_address,
                                                kocrash_vm_address_t contents_address);
void kocrash_async_macho_release(kocrash_async_macho* image);

const kocrash_async_byteorder* kocrash_async_macho_byteorder(const kocrash_async_macho* image);
const struct kocrash_async_macho_header*
kocrash_async_macho_header(const kocrash_async_macho* image);
std::uint32_t kocrash_async_macho_header_size(const kocrash_async_macho* image);
cpu_type_t kocrash_async_macho_cpu_type(const kocrash_async_macho* image);
cpu_subtype_t kocrash_async_macho_cpu_subtype(const kocrash_async_macho* image);

// header_address <= address < header_address + text_length, without wrapping.
bool kocrash_async_macho_contains_address(const kocrash_async_macho* image,
                                          kocrash_vm_address_t address);

// Whether address lies in one of the image's segments (slid), the reserved zero page aside.
bool kocrash_async_macho_segments_contain_address(const kocrash_async_macho* image,
                                                  kocrash_vm_address_t address);

// Load commands as local pointers into command_map. Iteration ends at the mapping's end or at
// the first command whose cmdsize is below 8 or runs past the mapping.
void* kocrash_async_macho_next_command(const kocrash_async_macho* image, void* previous);
void* kocrash_async_macho_next_command_type(const kocrash_async_macho* image, void* previous,
                                            std::uint32_t expected_command);
void* kocrash_async_macho_find_command(const kocrash_async_macho* image,
                                       std::uint32_t expected_command);
// Whether a command's cmdsize covers the fixed size of its type: typed fields are read only
// after this check.
bool kocrash_async_macho_command_covers(const kocrash_async_macho* image, const void* command,
                                        std::uint32_t size);
// A field of a load command (or other local data of the image) in host order.
std::uint32_t kocrash_async_macho_read32(const kocrash_async_macho* image, const void* local,
                                         std::uint64_t offset);
std::uint64_t kocrash_async_macho_read64(const kocrash_async_macho* image, const void* local,
                                         std::uint64_t offset);
// The segment command of the image's width named segment_name, whole inside the mapping.
void* kocrash_async_macho_find_segment_cmd(const kocrash_async_macho* image,
                                           const char* segment_name);

// 8 when the segment is absent; else the mapping's code.
kocrash_error_t kocrash_async_macho_map_segment(const kocrash_async_macho* image,
                                                const char* segment_name,
                                                kocrash_async_macho_mapped_segment* segment);
void kocrash_async_macho_mapped_segment_free(kocrash_async_macho_mapped_segment* segment);
// 8 when the segment or section is absent; 5 for section records outside the load commands;
// else the mapping's code.
kocrash_error_t kocrash_async_macho_map_section(const kocrash_async_macho* image,
                                                const char* segment_name, const char* section_name,
                                                kocrash_async_mobject* mobj);

} // extern "C"
