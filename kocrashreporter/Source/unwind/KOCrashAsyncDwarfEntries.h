// The two record kinds of a call-frame section: the Common Information Entry (CIE) and the
// Frame Description Entry (FDE), in the GNU exception-handling flavour (__eh_frame, with
// augmentations and encoded pointers) and the plain DWARF flavour (__debug_frame), 32-bit and
// 64-bit DWARF. The records only locate instruction ranges; the call-frame program runs them.
// May run at crash time: everything declared here (memory-object lookups into caller storage).
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncMObject.h"
#include "unwind/KOCrashAsyncDwarfEncoding.h"

#include <cstdint>

namespace kocrash::async {

// Offsets are relative to the section's base address (the memory object's base address).
struct kocrash_async_dwarf_cie_info {
    // The CIE's content: the byte after its length field.
    std::uint64_t cie_entry_offset;
    // Bytes after the length field.
    std::uint64_t cie_entry_length;
    // As stored: 0 or all ones.
    std::uint64_t cie_id;
    // 1, 3 or 4.
    std::uint8_t version;
    // Version 4 only.
    std::uint8_t address_size;
    // Version 4 only; non-zero makes DW_CFA_set_loc unsupported.
    std::uint8_t segment_size;
    std::uint64_t code_alignment_factor;
    std::int64_t data_alignment_factor;
    std::uint64_t return_address_register;
    // The augmentation string begins with "z".
    bool has_augmentation_data;
    struct {
        bool has_lsda_encoding;
        std::uint8_t lsda_encoding;
        bool has_personality_address;
        std::uint64_t personality_address;
        bool has_pointer_encoding;
        std::uint8_t pointer_encoding;
        bool signal_frame;
    } augmentation;
    std::uint64_t initial_instructions_offset;
    std::uint64_t initial_instructions_length;
};

struct kocrash_async_dwarf_fde_info {
    // The FDE's content: its CIE pointer field.
    std::uint64_t fde_entry_offset;
    std::uint64_t fde_entry_length;
    // The length field of the CIE the FDE refers to.
    std::uint64_t cie_entry_offset;
    std::uint64_t start_pc;
    // One past the last address covered.
    std::uint64_t end_pc;
    std::uint64_t instructions_offset;
    std::uint64_t instructions_length;
};

// The length field that opens every entry: 4 bytes, or 0xFFFFFFFF followed by an 8-byte length
// in 64-bit DWARF, where the identifier or CIE pointer that follows is 8 bytes wide too.
struct kocrash_async_dwarf_entry_header {
    std::uint64_t length;
    // 4 or 12.
    std::uint64_t header_size;
    // 4 or 8.
    std::uint64_t id_size;
};

// 0, or 5 when the length field is not inside the object.
kocrash_error_t kocrash_async_dwarf_read_entry_header(const kocrash_async_mobject* mobj,
                                                      const kocrash_async_byteorder* byteorder,
                                                      kocrash_vm_address_t address,
                                                      kocrash_async_dwarf_entry_header* header);

// Parses the CIE whose length field is at address; reader decodes the personality pointer.
// 0; 4 for an unknown augmentation; 5 for truncated or inconsistent data; codes of the
// primitives pass through. The record is meaningful only after 0.
template <typename word>
kocrash_error_t kocrash_async_dwarf_cie_info_init(kocrash_async_dwarf_cie_info* info,
                                                  const kocrash_async_mobject* mobj,
                                                  const kocrash_async_byteorder* byteorder,
                                                  const gnu_ehptr_reader<word>* reader,
                                                  kocrash_vm_address_t address);

// Parses the FDE whose length field is at address, and its CIE. Same codes as above.
template <typename word>
kocrash_error_t kocrash_async_dwarf_fde_info_init(kocrash_async_dwarf_fde_info* info,
                                                  const kocrash_async_mobject* mobj,
                                                  const kocrash_async_byteorder* byteorder,
                                                  kocrash_vm_address_t address, bool debug_frame);

// The outcome of one CIE an FDE referred to, so that the FDEs that share it (which mostly follow
// each other) parse it once instead of once each. Starts with valid false.
struct kocrash_async_dwarf_cie_memo {
    bool valid;
    kocrash_vm_address_t cie_address;
    kocrash_error_t error;
    kocrash_async_dwarf_cie_info cie;
};

// The CIEs of the last FDEs parsed in one section, for an object whose FDEs refer to a few CIEs
// in turn. Belongs to one section and one word width.
struct kocrash_async_dwarf_cie_memos {
    static constexpr std::uint8_t count = 4;
    kocrash_async_dwarf_cie_memo entries[count];
    // The entry that makes room next.
    std::uint8_t next;
};

void kocrash_async_dwarf_cie_memos_init(kocrash_async_dwarf_cie_memos* memos);
// The CIE parsed without error at cie_address, or null when the memos do not hold it.
const kocrash_async_dwarf_cie_info*
kocrash_async_dwarf_cie_memos_find(const kocrash_async_dwarf_cie_memos* memos,
                                   kocrash_vm_address_t cie_address);
// kocrash_async_dwarf_fde_info_init, taking the CIE from memos when they hold it and keeping it
// there otherwise, in place of the one kept longest.
template <typename word>
kocrash_error_t kocrash_async_dwarf_fde_info_init_memos(kocrash_async_dwarf_fde_info* info,
                                                        const kocrash_async_mobject* mobj,
                                                        const kocrash_async_byteorder* byteorder,
                                                        kocrash_vm_address_t address,
                                                        bool debug_frame,
                                                        kocrash_async_dwarf_cie_memos* memos);

// Nothing to release; callers still call them once after a successful init.
inline void kocrash_async_dwarf_cie_info_free(kocrash_async_dwarf_cie_info*) {}
inline void kocrash_async_dwarf_fde_info_free(kocrash_async_dwarf_fde_info*) {}

inline std::uint64_t
kocrash_async_dwarf_cie_info_initial_instructions_offset(const kocrash_async_dwarf_cie_info* info) {
    return info->initial_instructions_offset;
}
inline std::uint64_t
kocrash_async_dwarf_cie_info_initial_instructions_length(const kocrash_async_dwarf_cie_info* info) {
    return info->initial_instructions_length;
}
inline std::uint64_t
kocrash_async_dwarf_fde_info_instructions_offset(const kocrash_async_dwarf_fde_info* info) {
    return info->instructions_offset;
}
inline std::uint64_t
kocrash_async_dwarf_fde_info_instructions_length(const kocrash_async_dwarf_fde_info* info) {
    return info->instructions_length;
}

extern template kocrash_error_t kocrash_async_dwarf_cie_info_init<std::uint32_t>(
    kocrash_async_dwarf_cie_info*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    const gnu_ehptr_reader<std::uint32_t>*, kocrash_vm_address_t);
extern template kocrash_error_t kocrash_async_dwarf_cie_info_init<std::uint64_t>(
    kocrash_async_dwarf_cie_info*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    const gnu_ehptr_reader<std::uint64_t>*, kocrash_vm_address_t);
extern template kocrash_error_t kocrash_async_dwarf_fde_info_init<std::uint32_t>(
    kocrash_async_dwarf_fde_info*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    kocrash_vm_address_t, bool);
extern template kocrash_error_t kocrash_async_dwarf_fde_info_init<std::uint64_t>(
    kocrash_async_dwarf_fde_info*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    kocrash_vm_address_t, bool);

} // namespace kocrash::async
