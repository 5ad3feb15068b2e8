// May run at crash time: everything in this file (memory objects and byte copies only).
#include "images/KOCrashAsyncMachO.h"

#include "async/KOCrashAsyncString.h"
#include "platform/dyld/MachOFormat.h"

namespace {

constexpr std::uint32_t kCommandHeaderSize = sizeof(load_command);

std::uint32_t segmentCommandType(const kocrash_async_macho* image) {
    return image->is_64_bit ? LC_SEGMENT_64 : LC_SEGMENT;
}

std::uint32_t segmentCommandSize(const kocrash_async_macho* image) {
    return image->is_64_bit ? sizeof(segment_command_64) : sizeof(segment_command);
}

std::uint32_t sectionRecordSize(const kocrash_async_macho* image) {
    return image->is_64_bit ? sizeof(section_64) : sizeof(section);
}

// The task address that a local pointer into the load-command mapping mirrors.
kocrash_vm_address_t taskAddressOf(const kocrash_async_macho* image, const void* local) {
    return reinterpret_cast<std::uintptr_t>(local) +
           static_cast<kocrash_vm_address_t>(image->command_map.address_delta);
}

bool insideCommands(const kocrash_async_macho* image, const void* local, kocrash_vm_off_t offset,
                    kocrash_vm_size_t length) {
    return kocrash_async_mobject_verify_local_pointer(
        &image->command_map, reinterpret_cast<std::uintptr_t>(local), offset, length);
}

// A command is usable only when its header and all of its cmdsize lie in the mapping.
void* wholeCommandAt(const kocrash_async_macho* image, kocrash_vm_address_t address) {
    void* command =
        kocrash_async_mobject_remap_address(&image->command_map, address, 0, kCommandHeaderSize);
    if (command == nullptr) {
        return nullptr;
    }
    std::uint32_t size = kocrash_async_macho_read32(image, command, 4);
    if (size < kCommandHeaderSize || !insideCommands(image, command, 0, size)) {
        return nullptr;
    }
    return command;
}

bool sameName(const void* field, const char* name) {
    return kocrash_async_strncmp(static_cast<const char*>(field), name, 16) == 0;
}

} // namespace

std::uint32_t kocrash_async_macho_read32(const kocrash_async_macho* image, const void* local,
                                         std::uint64_t offset) {
    std::uint32_t value;
    kocrash_async_memcpy(&value, static_cast<const std::uint8_t*>(local) + offset, sizeof(value));
    return image->byteorder->swap32(value);
}

std::uint64_t kocrash_async_macho_read64(const kocrash_async_macho* image, const void* local,
                                         std::uint64_t offset) {
    std::uint64_t value;
    kocrash_async_memcpy(&value, static_cast<const std::uint8_t*>(local) + offset, sizeof(value));
    return image->byteorder->swap64(value);
}

const kocrash_async_byteorder* kocrash_async_macho_byteorder(const kocrash_async_macho* image) {
    return image->byteorder;
}

const struct kocrash_async_macho_header*
kocrash_async_macho_header(const kocrash_async_macho* image) {
    return &image->header;
}

std::uint32_t kocrash_async_macho_header_size(const kocrash_async_macho* image) {
    return static_cast<std::uint32_t>(image->header_size);
}

cpu_type_t kocrash_async_macho_cpu_type(const kocrash_async_macho* image) {
    return static_cast<cpu_type_t>(
        image->byteorder->swap32(static_cast<std::uint32_t>(image->header.cputype)));
}

cpu_subtype_t kocrash_async_macho_cpu_subtype(const kocrash_async_macho* image) {
    return static_cast<cpu_subtype_t>(
        image->byteorder->swap32(static_cast<std::uint32_t>(image->header.cpusubtype)));
}

bool kocrash_async_macho_contains_address(const kocrash_async_macho* image,
                                          kocrash_vm_address_t address) {
    return address >= image->header_address && address - image->header_address < image->text_length;
}

bool kocrash_async_macho_command_covers(const kocrash_async_macho* image, const void* command,
                                        std::uint32_t size) {
    return kocrash_async_macho_read32(image, command, 4) >= size &&
           insideCommands(image, command, 0, size);
}

void* kocrash_async_macho_next_command(const kocrash_async_macho* image, void* previous) {
    if (previous == nullptr) {
        if (image->byteorder->swap32(image->header.sizeofcmds) < kCommandHeaderSize) {
            return nullptr;
        }
        return wholeCommandAt(image, image->command_map.source_address);
    }
    if (!insideCommands(image, previous, 0, kCommandHeaderSize)) {
        return nullptr;
    }
    std::uint32_t size = kocrash_async_macho_read32(image, previous, 4);
    if (size < kCommandHeaderSize) {
        return nullptr;
    }
    kocrash_vm_address_t next;
    if (!kocrash_async_address_apply_offset(taskAddressOf(image, previous), size, &next)) {
        return nullptr;
    }
    return wholeCommandAt(image, next);
}

void* kocrash_async_macho_next_command_type(const kocrash_async_macho* image, void* previous,
                                            std::uint32_t expected_command) {
    void* command = previous;
    while ((command = kocrash_async_macho_next_command(image, command)) != nullptr) {
        if (kocrash_async_macho_read32(image, command, 0) == expected_command) {
            return command;
        }
    }
    return nullptr;
}

void* kocrash_async_macho_find_command(const kocrash_async_macho* image,
                                       std::uint32_t expected_command) {
    return kocrash_async_macho_next_command_type(image, nullptr, expected_command);
}

void* kocrash_async_macho_find_segment_cmd(const kocrash_async_macho* image,
                                           const char* segment_name) {
    void* segment = nullptr;
    while ((segment = kocrash_async_macho_next_command_type(
                image, segment, segmentCommandType(image))) != nullptr) {
        if (!kocrash_async_macho_command_covers(image, segment, segmentCommandSize(image))) {
            return nullptr;
        }
        if (sameName(static_cast<const std::uint8_t*>(segment) + 8, segment_name)) {
            return segment;
        }
    }
    return nullptr;
}

bool kocrash_async_macho_segments_contain_address(const kocrash_async_macho* image,
                                                  kocrash_vm_address_t address) {
    void* segment = nullptr;
    while ((segment = kocrash_async_macho_next_command_type(
                image, segment, segmentCommandType(image))) != nullptr) {
        if (!kocrash_async_macho_command_covers(image, segment, segmentCommandSize(image))) {
            return false;
        }
        const bool wide = image->is_64_bit;
        const std::uint32_t max_protection =
            kocrash_async_macho_read32(image, segment, wide ? 56 : 40);
        const kocrash_vm_address_t start = (wide ? kocrash_async_macho_read64(image, segment, 24)
                                                 : kocrash_async_macho_read32(image, segment, 24)) +
                                           static_cast<kocrash_vm_address_t>(image->load_slide);
        const kocrash_vm_size_t size = wide ? kocrash_async_macho_read64(image, segment, 32)
                                            : kocrash_async_macho_read32(image, segment, 28);
        if (max_protection != 0 && address - start < size) {
            return true;
        }
    }
    return false;
}

kocrash_error_t kocrash_async_macho_map_segment(const kocrash_async_macho* image,
                                                const char* segment_name,
                                                kocrash_async_macho_mapped_segment* segment) {
    void* command = kocrash_async_macho_find_segment_cmd(image, segment_name);
    if (command == nullptr) {
        return KOCRASH_ENOTFOUND;
    }
    kocrash_vm_address_t vmaddr;
    kocrash_vm_size_t vmsize;
    if (image->is_64_bit) {
        vmaddr = kocrash_async_macho_read64(image, command, 24);
        vmsize = kocrash_async_macho_read64(image, command, 32);
        segment->fileoff = kocrash_async_macho_read64(image, command, 40);
        segment->filesize = kocrash_async_macho_read64(image, command, 48);
    } else {
        vmaddr = kocrash_async_macho_read32(image, command, 24);
        vmsize = kocrash_async_macho_read32(image, command, 28);
        segment->fileoff = kocrash_async_macho_read32(image, command, 32);
        segment->filesize = kocrash_async_macho_read32(image, command, 36);
    }
    // Slid addresses are taken modulo 2^64, as the loader computes them.
    return kocrash_async_mobject_init(&segment->mobj, image->task,
                                      vmaddr + static_cast<kocrash_vm_address_t>(image->load_slide),
                                      vmsize, false);
}

void kocrash_async_macho_mapped_segment_free(kocrash_async_macho_mapped_segment* segment) {
    kocrash_async_mobject_free(&segment->mobj);
}

kocrash_error_t kocrash_async_macho_map_section(const kocrash_async_macho* image,
                                                const char* segment_name, const char* section_name,
                                                kocrash_async_mobject* mobj) {
    void* command = kocrash_async_macho_find_segment_cmd(image, segment_name);
    if (command == nullptr) {
        return KOCRASH_ENOTFOUND;
    }
    const std::uint32_t count =
        kocrash_async_macho_read32(image, command, image->is_64_bit ? 64 : 48);
    if (count == 0) {
        return KOCRASH_ENOTFOUND;
    }
    const std::uint32_t commandSize = kocrash_async_macho_read32(image, command, 4);
    const std::uint64_t recordSize = sectionRecordSize(image);
    for (std::uint32_t index = 0; index < count; ++index) {
        const std::uint64_t offset = segmentCommandSize(image) + index * recordSize;
        // A record must lie inside its own command as well as inside the mapping.
        if (offset + recordSize > commandSize ||
            !insideCommands(image, command, static_cast<kocrash_vm_off_t>(offset), recordSize)) {
            return KOCRASH_EINVAL;
        }
        const auto* record = static_cast<const std::uint8_t*>(command) + offset;
        if (!sameName(record, section_name)) {
            continue;
        }
        kocrash_vm_address_t address;
        kocrash_vm_size_t size;
        if (image->is_64_bit) {
            address = kocrash_async_macho_read64(image, record, 32);
            size = kocrash_async_macho_read64(image, record, 40);
        } else {
            address = kocrash_async_macho_read32(image, record, 32);
            size = kocrash_async_macho_read32(image, record, 36);
        }
        return kocrash_async_mobject_init(
            mobj, image->task, address + static_cast<kocrash_vm_address_t>(image->load_slide), size,
            true);
    }
    return KOCRASH_ENOTFOUND;
}
