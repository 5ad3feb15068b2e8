// May run at crash time: everything in this file (memory-object lookups into caller storage).
#include "unwind/KOCrashAsyncDwarfFrameReader.h"

namespace kocrash::async {
namespace {

// A CIE is told from an FDE by its identifier field: all ones of its width in __debug_frame,
// 0 in __eh_frame (where the field of an FDE is a backwards offset, never 0).
bool isCie(std::uint64_t id, std::uint64_t id_size, bool debug_frame) {
    if (!debug_frame) {
        return id == 0;
    }
    return id_size == 8 ? id == ~std::uint64_t{0} : id == 0xFFFFFFFFu;
}

} // namespace

kocrash_error_t dwarf_frame_reader::init(const kocrash_async_mobject* mobj,
                                         const kocrash_async_byteorder* byteorder, bool is_64_bit,
                                         bool debug_frame) {
    mobj_ = mobj;
    byteorder_ = byteorder;
    is_64_bit_ = is_64_bit;
    debug_frame_ = debug_frame;
    return KOCRASH_ESUCCESS;
}

kocrash_error_t dwarf_frame_reader::find_fde(std::int64_t offset, std::uint64_t pc,
                                             kocrash_async_dwarf_fde_info* fde) const {
    const kocrash_vm_address_t base = kocrash_async_mobject_base_address(mobj_);
    const kocrash_vm_address_t end = base + kocrash_async_mobject_length(mobj_);
    kocrash_vm_address_t cursor;
    if (!kocrash_async_address_apply_offset(base, offset, &cursor) || cursor < base ||
        cursor >= end) {
        return KOCRASH_EINVAL;
    }
    kocrash_async_dwarf_cie_memos memos;
    kocrash_async_dwarf_cie_memos_init(&memos);
    for (;;) {
        kocrash_async_dwarf_entry_header header;
        kocrash_error_t error =
            kocrash_async_dwarf_read_entry_header(mobj_, byteorder_, cursor, &header);
        if (error != KOCRASH_ESUCCESS) {
            return KOCRASH_EINVAL;
        }
        if (header.length == 0) {
            return KOCRASH_ENOTFOUND;
        }
        // A length that wraps the address space could lead the scan back to where it was.
        if (header.length > ~kocrash_vm_address_t{0} - cursor - header.header_size) {
            return KOCRASH_EINVAL;
        }
        const kocrash_vm_address_t next = cursor + header.header_size + header.length;
        std::uint64_t id;
        if (header.id_size == 8) {
            error = kocrash_async_mobject_read_uint64(
                mobj_, byteorder_, cursor, static_cast<kocrash_vm_off_t>(header.header_size), &id);
        } else {
            std::uint32_t narrow = 0;
            error = kocrash_async_mobject_read_uint32(
                mobj_, byteorder_, cursor, static_cast<kocrash_vm_off_t>(header.header_size),
                &narrow);
            id = narrow;
        }
        if (error != KOCRASH_ESUCCESS) {
            return KOCRASH_EINVAL;
        }
        if (!isCie(id, header.id_size, debug_frame_)) {
            error = is_64_bit_ ? kocrash_async_dwarf_fde_info_init_memos<std::uint64_t>(
                                     fde, mobj_, byteorder_, cursor, debug_frame_, &memos)
                               : kocrash_async_dwarf_fde_info_init_memos<std::uint32_t>(
                                     fde, mobj_, byteorder_, cursor, debug_frame_, &memos);
            if (error != KOCRASH_ESUCCESS) {
                return error;
            }
            if (fde->start_pc <= pc && pc < fde->end_pc) {
                return KOCRASH_ESUCCESS;
            }
        }
        cursor = next;
        if (cursor >= end) {
            return KOCRASH_ENOTFOUND;
        }
    }
}

} // namespace kocrash::async
