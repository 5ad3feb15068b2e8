// May run at crash time: everything in this file (memory objects and byte copies only).
#include "images/KOCrashAsyncMachOSymtab.h"

#include "async/KOCrashAsyncString.h"
#include "platform/dyld/MachOFormat.h"

namespace {

std::uint64_t entrySize(const kocrash_async_macho* image) {
    return image->is_64_bit ? sizeof(nlist_64) : sizeof(nlist);
}

const void* tableAt(const kocrash_async_macho_symtab_reader* reader, std::uint32_t first) {
    return static_cast<const std::uint8_t*>(reader->symtab) + first * entrySize(reader->image);
}

const void* linkeditRange(const kocrash_async_macho_symtab_reader* reader, std::uint32_t fileoff,
                          std::uint64_t length) {
    // A table before the segment's file offset, or one a hostile fileoff puts out of reach of
    // a signed offset, is not inside the mapping.
    if (fileoff < reader->linkedit_map.fileoff) {
        return nullptr;
    }
    const std::uint64_t offset = fileoff - reader->linkedit_map.fileoff;
    if (offset > kocrash_async_mobject_length(&reader->linkedit_map.mobj)) {
        return nullptr;
    }
    return kocrash_async_mobject_remap_address(
        &reader->linkedit_map.mobj, kocrash_async_mobject_base_address(&reader->linkedit_map.mobj),
        static_cast<kocrash_vm_off_t>(offset), length);
}

bool isSectionSymbol(const kocrash_async_macho_symtab_entry& entry) {
    return (entry.n_type & N_TYPE) == N_SECT && entry.n_type <= (N_PEXT | N_TYPE | N_EXT);
}

struct BestSymbol {
    bool found;
    kocrash_async_macho_symtab_entry entry;
};

// Ties keep the earlier entry, so a later table wins only with a strictly greater value.
void searchTable(const kocrash_async_macho_symtab_reader* reader, const void* table,
                 std::uint32_t count, std::uint64_t relative_pc, BestSymbol* best) {
    for (std::uint32_t index = 0; index < count; ++index) {
        auto entry = kocrash_async_macho_symtab_reader_read(reader, table, index);
        if (!isSectionSymbol(entry) || entry.n_value > relative_pc) {
            continue;
        }
        if (best->found && entry.n_value <= best->entry.n_value) {
            continue;
        }
        best->found = true;
        best->entry = entry;
    }
}

} // namespace

kocrash_error_t kocrash_async_macho_symtab_reader_init(kocrash_async_macho_symtab_reader* reader,
                                                       const kocrash_async_macho* image) {
    const void* symtab = kocrash_async_macho_find_command(image, LC_SYMTAB);
    if (symtab == nullptr) {
        return KOCRASH_ENOTFOUND;
    }
    if (!kocrash_async_macho_command_covers(image, symtab, sizeof(symtab_command))) {
        return KOCRASH_EINVAL;
    }
    const void* dysymtab = kocrash_async_macho_find_command(image, LC_DYSYMTAB);
    if (dysymtab != nullptr &&
        !kocrash_async_macho_command_covers(image, dysymtab, sizeof(dysymtab_command))) {
        return KOCRASH_EINVAL;
    }
    reader->image = image;
    if (kocrash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit_map) !=
        KOCRASH_ESUCCESS) {
        return KOCRASH_EINTERNAL;
    }
    const std::uint32_t symoff = kocrash_async_macho_read32(image, symtab, 8);
    reader->nsyms = kocrash_async_macho_read32(image, symtab, 12);
    const std::uint32_t stroff = kocrash_async_macho_read32(image, symtab, 16);
    reader->string_table_size = kocrash_async_macho_read32(image, symtab, 20);
    reader->symtab = linkeditRange(reader, symoff, reader->nsyms * entrySize(image));
    reader->string_table =
        static_cast<const char*>(linkeditRange(reader, stroff, reader->string_table_size));
    if (reader->symtab == nullptr || reader->string_table == nullptr) {
        kocrash_async_macho_mapped_segment_free(&reader->linkedit_map);
        return KOCRASH_EINTERNAL;
    }
    reader->global_symbols = nullptr;
    reader->global_symbol_count = 0;
    reader->local_symbols = nullptr;
    reader->local_symbol_count = 0;
    if (dysymtab == nullptr) {
        return KOCRASH_ESUCCESS;
    }
    const std::uint64_t ilocalsym = kocrash_async_macho_read32(image, dysymtab, 8);
    const std::uint64_t nlocalsym = kocrash_async_macho_read32(image, dysymtab, 12);
    const std::uint64_t iextdefsym = kocrash_async_macho_read32(image, dysymtab, 16);
    const std::uint64_t nextdefsym = kocrash_async_macho_read32(image, dysymtab, 20);
    // 32-bit values summed in 64 bits cannot wrap.
    if (ilocalsym + nlocalsym > reader->nsyms || iextdefsym + nextdefsym > reader->nsyms) {
        kocrash_async_macho_mapped_segment_free(&reader->linkedit_map);
        return KOCRASH_EINVAL;
    }
    reader->local_symbols = tableAt(reader, static_cast<std::uint32_t>(ilocalsym));
    reader->local_symbol_count = static_cast<std::uint32_t>(nlocalsym);
    reader->global_symbols = tableAt(reader, static_cast<std::uint32_t>(iextdefsym));
    reader->global_symbol_count = static_cast<std::uint32_t>(nextdefsym);
    return KOCRASH_ESUCCESS;
}

kocrash_async_macho_symtab_entry
kocrash_async_macho_symtab_reader_read(const kocrash_async_macho_symtab_reader* reader,
                                       const void* table, std::uint32_t index) {
    const kocrash_async_macho* image = reader->image;
    const auto* record = static_cast<const std::uint8_t*>(table) + index * entrySize(image);
    kocrash_async_macho_symtab_entry entry;
    entry.n_strx = kocrash_async_macho_read32(image, record, 0);
    entry.n_type = record[4];
    entry.n_sect = record[5];
    std::uint16_t desc;
    kocrash_async_memcpy(&desc, record + 6, sizeof(desc));
    entry.n_desc = image->byteorder->swap16(desc);
    entry.n_value = image->is_64_bit ? kocrash_async_macho_read64(image, record, 8)
                                     : kocrash_async_macho_read32(image, record, 8);
    entry.adjusted_value = entry.n_value;
    if ((entry.n_desc & N_ARM_THUMB_DEF) != 0) {
        entry.adjusted_value |= 1;
    }
    return entry;
}

const char*
kocrash_async_macho_symtab_reader_symbol_name(const kocrash_async_macho_symtab_reader* reader,
                                              std::uint32_t n_strx) {
    for (std::uint64_t at = n_strx; at < reader->string_table_size; ++at) {
        if (reader->string_table[at] == '\0') {
            return reader->string_table + n_strx;
        }
    }
    return nullptr;
}

void kocrash_async_macho_symtab_reader_free(kocrash_async_macho_symtab_reader* reader) {
    kocrash_async_macho_mapped_segment_free(&reader->linkedit_map);
}

kocrash_error_t kocrash_async_macho_find_symbol_by_name(const kocrash_async_macho* image,
                                                        const char* name,
                                                        kocrash_vm_address_t* pc) {
    kocrash_async_macho_symtab_reader reader;
    kocrash_error_t error = kocrash_async_macho_symtab_reader_init(&reader, image);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    error = KOCRASH_ENOTFOUND;
    for (std::uint32_t index = 0; index < reader.nsyms; ++index) {
        auto entry = kocrash_async_macho_symtab_reader_read(&reader, reader.symtab, index);
        if (!isSectionSymbol(entry)) {
            continue;
        }
        const char* candidate =
            kocrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx);
        if (candidate != nullptr && kocrash_async_strcmp(candidate, name) == 0) {
            *pc = static_cast<kocrash_vm_address_t>(image->load_slide) + entry.adjusted_value;
            error = KOCRASH_ESUCCESS;
            break;
        }
    }
    kocrash_async_macho_symtab_reader_free(&reader);
    return error;
}

kocrash_error_t kocrash_async_macho_find_symbol_by_pc(const kocrash_async_macho* image,
                                                      kocrash_vm_address_t pc,
                                                      kocrash_async_macho_found_symbol_cb callback,
                                                      void* context) {
    kocrash_async_macho_symtab_reader reader;
    kocrash_error_t error = kocrash_async_macho_symtab_reader_init(&reader, image);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    const std::uint64_t relative_pc = pc - static_cast<kocrash_vm_address_t>(image->load_slide);
    BestSymbol best;
    best.found = false;
    if (reader.global_symbols != nullptr && reader.local_symbols != nullptr) {
        searchTable(&reader, reader.global_symbols, reader.global_symbol_count, relative_pc, &best);
        searchTable(&reader, reader.local_symbols, reader.local_symbol_count, relative_pc, &best);
    } else {
        searchTable(&reader, reader.symtab, reader.nsyms, relative_pc, &best);
    }
    if (!best.found) {
        error = KOCRASH_ENOTFOUND;
    } else if (const char* name =
                   kocrash_async_macho_symtab_reader_symbol_name(&reader, best.entry.n_strx)) {
        callback(static_cast<kocrash_vm_address_t>(image->load_slide) + best.entry.adjusted_value,
                 name, context);
    } else {
        error = KOCRASH_EINVAL;
    }
    kocrash_async_macho_symtab_reader_free(&reader);
    return error;
}
