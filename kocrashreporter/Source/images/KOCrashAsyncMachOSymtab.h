// The LC_SYMTAB symbol table of a loaded image, read through a mapping of __LINKEDIT: records
// by index, names bounded by the string table, lookup by name and the best symbol for a pc.
// May run at crash time: everything declared here.
#pragma once

#include "images/KOCrashAsyncMachO.h"

#include <cstdint>

extern "C" {

struct kocrash_async_macho_symtab_reader {
    const kocrash_async_macho* image;
    kocrash_async_macho_mapped_segment linkedit_map;
    // Local pointer to the nlist array.
    const void* symtab;
    std::uint32_t nsyms;
    const void* global_symbols;
    std::uint32_t global_symbol_count;
    const void* local_symbols;
    std::uint32_t local_symbol_count;
    const char* string_table;
    std::uint64_t string_table_size;
};

struct kocrash_async_macho_symtab_entry {
    std::uint32_t n_strx;
    std::uint8_t n_type;
    std::uint8_t n_sect;
    std::uint16_t n_desc;
    std::uint64_t n_value;
    // n_value with bit 0 set for Thumb code.
    std::uint64_t adjusted_value;
};

// 0; 8 without LC_SYMTAB; 5 for a symbol or dynamic symbol command cut short or a dynamic
// symbol table inconsistent with the symbol count; 6 when __LINKEDIT or a table in it cannot be
// mapped. On failure nothing stays mapped.
kocrash_error_t kocrash_async_macho_symtab_reader_init(kocrash_async_macho_symtab_reader* reader,
                                                       const kocrash_async_macho* image);
// index must be below the table's count.
kocrash_async_macho_symtab_entry
kocrash_async_macho_symtab_reader_read(const kocrash_async_macho_symtab_reader* reader,
                                       const void* table, std::uint32_t index);
// None when the name does not end inside the string table.
const char*
kocrash_async_macho_symtab_reader_symbol_name(const kocrash_async_macho_symtab_reader* reader,
                                              std::uint32_t n_strx);
void kocrash_async_macho_symtab_reader_free(kocrash_async_macho_symtab_reader* reader);

// 0 and the slid address of the first section symbol of that exact name; 8 when none matches;
// the reader's code when the table cannot be read.
kocrash_error_t kocrash_async_macho_find_symbol_by_name(const kocrash_async_macho* image,
                                                        const char* name, kocrash_vm_address_t* pc);

typedef void (*kocrash_async_macho_found_symbol_cb)(kocrash_vm_address_t address, const char* name,
                                                    void* context);

// The section symbol with the greatest address at or below pc; callback(address, name,
// context) once, with a name valid only during the call. 8 when none, 5 when its name cannot be
// read, the reader's code when the table cannot be read.
kocrash_error_t kocrash_async_macho_find_symbol_by_pc(const kocrash_async_macho* image,
                                                      kocrash_vm_address_t pc,
                                                      kocrash_async_macho_found_symbol_cb callback,
                                                      void* context);

} // extern "C"
