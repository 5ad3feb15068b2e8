// May run at crash time: everything in this file (memory-object lookups into caller storage).
#include "unwind/KOCrashAsyncDwarfFrameIndex.h"

#include "unwind/KOCrashAsyncDwarfConstants.h"

namespace kocrash::async {
namespace {

constexpr std::uint8_t kHeaderVersion = 1;
// Version, then the encodings of the .eh_frame pointer, the entry count and the table.
constexpr kocrash_vm_off_t kEncodingsSize = 4;

// Bytes of one value in a table encoding; 0 for a format of varying size.
template <typename word> std::uint64_t fixedSize(std::uint8_t encoding) {
    switch (encoding & DW_EH_PE_format_mask) {
    case DW_EH_PE_absptr:
        return sizeof(word);
    case DW_EH_PE_udata2:
    case DW_EH_PE_sdata2:
        return 2;
    case DW_EH_PE_udata4:
    case DW_EH_PE_sdata4:
        return 4;
    case DW_EH_PE_udata8:
    case DW_EH_PE_sdata8:
        return 8;
    default:
        return 0;
    }
}

template <typename word> struct search_table {
    kocrash_vm_address_t address;
    word count;
    std::uint8_t encoding;
    std::uint64_t entry_size;
};

template <typename word>
kocrash_error_t readTable(const kocrash_async_mobject* header, const gnu_ehptr_reader<word>& reader,
                          search_table<word>* table) {
    const kocrash_vm_address_t base = kocrash_async_mobject_base_address(header);
    std::uint8_t version;
    std::uint8_t eh_frame_encoding;
    std::uint8_t count_encoding;
    if (kocrash_async_mobject_read_uint8(header, base, 0, &version) != KOCRASH_ESUCCESS ||
        kocrash_async_mobject_read_uint8(header, base, 1, &eh_frame_encoding) != KOCRASH_ESUCCESS ||
        kocrash_async_mobject_read_uint8(header, base, 2, &count_encoding) != KOCRASH_ESUCCESS ||
        kocrash_async_mobject_read_uint8(header, base, 3, &table->encoding) != KOCRASH_ESUCCESS) {
        return KOCRASH_EINVAL;
    }
    table->entry_size = 2 * fixedSize<word>(table->encoding);
    if (version != kHeaderVersion || count_encoding == DW_EH_PE_omit ||
        table->encoding == DW_EH_PE_omit || (table->encoding & DW_EH_PE_indirect) != 0 ||
        table->entry_size == 0) {
        return KOCRASH_ENOTSUP;
    }
    // The .eh_frame pointer is skipped: the caller maps .eh_frame itself.
    word ignored;
    kocrash_vm_size_t size;
    kocrash_vm_off_t at = kEncodingsSize;
    kocrash_error_t error = reader.read(header, base, at, eh_frame_encoding, &ignored, &size);
    if (error != KOCRASH_ESUCCESS) {
        return error == KOCRASH_ENOTSUP ? KOCRASH_ENOTSUP : KOCRASH_EINVAL;
    }
    at += static_cast<kocrash_vm_off_t>(size);
    error = reader.read(header, base, at, count_encoding, &table->count, &size);
    if (error != KOCRASH_ESUCCESS) {
        return error == KOCRASH_ENOTSUP ? KOCRASH_ENOTSUP : KOCRASH_EINVAL;
    }
    at += static_cast<kocrash_vm_off_t>(size);
    table->address = base + static_cast<kocrash_vm_address_t>(at);
    // A count that runs past the section is a damaged header, not a longer table.
    const kocrash_vm_size_t room =
        kocrash_async_mobject_length(header) - static_cast<std::uint64_t>(at);
    if (static_cast<kocrash_vm_size_t>(at) > kocrash_async_mobject_length(header) ||
        table->count > room / table->entry_size) {
        return KOCRASH_EINVAL;
    }
    return KOCRASH_ESUCCESS;
}

template <typename word>
kocrash_error_t
readEntryField(const kocrash_async_mobject* header, const gnu_ehptr_reader<word>& reader,
               const search_table<word>& table, word index, bool second, word* value) {
    const std::uint64_t offset = index * table.entry_size + (second ? table.entry_size / 2 : 0);
    kocrash_vm_size_t size;
    return reader.read(header, table.address, static_cast<kocrash_vm_off_t>(offset), table.encoding,
                       value, &size) == KOCRASH_ESUCCESS
               ? KOCRASH_ESUCCESS
               : KOCRASH_EINVAL;
}

} // namespace

template <typename word>
kocrash_error_t kocrash_async_dwarf_eh_frame_hdr_find_fde(const kocrash_async_mobject* header,
                                                          const kocrash_async_mobject* eh_frame,
                                                          const kocrash_async_byteorder* byteorder,
                                                          word pc,
                                                          kocrash_async_dwarf_cie_memos* memos,
                                                          kocrash_async_dwarf_fde_info* fde) {
    // Table values are relative to the header's own start.
    gnu_ehptr_reader<word> reader(byteorder);
    reader.set_data_base(static_cast<word>(kocrash_async_mobject_base_address(header)));
    search_table<word> table;
    kocrash_error_t error = readTable(header, reader, &table);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    // The last entry whose initial location is at or below pc.
    word low = 0;
    word high = table.count;
    while (low < high) {
        const word middle = low + (high - low) / 2;
        word location;
        if (readEntryField(header, reader, table, middle, false, &location) != KOCRASH_ESUCCESS) {
            return KOCRASH_EINVAL;
        }
        if (location <= pc) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == 0) {
        return KOCRASH_ENOTFOUND;
    }
    word fde_address;
    if (readEntryField(header, reader, table, low - 1, true, &fde_address) != KOCRASH_ESUCCESS) {
        return KOCRASH_EINVAL;
    }
    error = kocrash_async_dwarf_fde_info_init_memos<word>(fde, eh_frame, byteorder, fde_address,
                                                          false, memos);
    if (error != KOCRASH_ESUCCESS) {
        return KOCRASH_EINVAL;
    }
    return fde->start_pc <= pc && pc < fde->end_pc ? KOCRASH_ESUCCESS : KOCRASH_ENOTFOUND;
}

template kocrash_error_t kocrash_async_dwarf_eh_frame_hdr_find_fde<std::uint32_t>(
    const kocrash_async_mobject*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    std::uint32_t, kocrash_async_dwarf_cie_memos*, kocrash_async_dwarf_fde_info*);
template kocrash_error_t kocrash_async_dwarf_eh_frame_hdr_find_fde<std::uint64_t>(
    const kocrash_async_mobject*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    std::uint64_t, kocrash_async_dwarf_cie_memos*, kocrash_async_dwarf_fde_info*);

} // namespace kocrash::async
