// May run at crash time: everything in this file (reads of the image's parsed header and
// mapped load commands, and field packing).
#include "log/KOCrashLogWriterSections.h"

#include "platform/dyld/MachOFormat.h"

#include <cstddef>

std::size_t kocrash_writer_write_binary_image(kocrash_async_file* file,
                                              const kocrash_async_macho* image) {
    const std::uint64_t text_size = image->text_length;
    const std::uint64_t base_address = image->header_address;
    std::size_t size = kocrash_writer_pack(file, 2, KOCRASH_WRITER_TYPE_UINT64, &text_size);
    size += kocrash_writer_pack(file, 1, KOCRASH_WRITER_TYPE_UINT64, &base_address);
    size += kocrash_writer_pack(file, 3, KOCRASH_WRITER_TYPE_STRING, image->name);

    const void* uuid_command = kocrash_async_macho_find_command(image, LC_UUID);
    if (uuid_command != nullptr &&
        kocrash_async_macho_command_covers(image, uuid_command, sizeof(struct uuid_command))) {
        const kocrash_writer_bytes uuid{sizeof(uuid_command::uuid),
                                        static_cast<const std::uint8_t*>(uuid_command) +
                                            offsetof(struct uuid_command, uuid)};
        size += kocrash_writer_pack(file, 4, KOCRASH_WRITER_TYPE_BYTES, &uuid);
    }

    // Taken as unsigned 32-bit, so a negative subtype does not become a ten-byte varint.
    const auto type = static_cast<std::uint32_t>(kocrash_async_macho_cpu_type(image));
    const auto subtype = static_cast<std::uint32_t>(kocrash_async_macho_cpu_subtype(image));
    size += kocrash_writer_pack_message(file, 5, [type, subtype](kocrash_async_file* out) {
        return kocrash_writer_write_processor_info(out, type, subtype);
    });
    return size;
}
