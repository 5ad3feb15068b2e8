// May run at crash time: everything in this file (memory-object lookups into caller storage).
// Every field is read through a stream bounded by its entry, so a corrupt length or string
// never makes a parse wander into the next entry.
#include "unwind/KOCrashAsyncDwarfEntries.h"

#include "async/KOCrashAsyncString.h"
#include "unwind/KOCrashAsyncDwarfConstants.h"
#include "unwind/KOCrashAsyncDwarfOpStream.h"
#include "unwind/KOCrashAsyncDwarfPrimitives.h"

namespace kocrash::async {
namespace {

constexpr std::uint32_t kDwarf64Escape = 0xFFFFFFFF;

// Opens a stream over the content of the entry at address (the bytes after its length field).
kocrash_error_t openEntry(const kocrash_async_mobject* mobj,
                          const kocrash_async_byteorder* byteorder, kocrash_vm_address_t address,
                          kocrash_async_dwarf_entry_header* header, dwarf_opstream* content) {
    kocrash_error_t error = kocrash_async_dwarf_read_entry_header(mobj, byteorder, address, header);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    if (header->length > static_cast<std::uint64_t>(INT64_MAX)) {
        return KOCRASH_EINVAL;
    }
    return content->init(mobj, byteorder, address,
                         static_cast<kocrash_vm_off_t>(header->header_size),
                         static_cast<kocrash_vm_off_t>(header->length));
}

bool readId(dwarf_opstream* content, std::uint64_t id_size, std::uint64_t* id) {
    if (id_size == 8) {
        return content->read_intU(id);
    }
    std::uint32_t narrow;
    if (!content->read_intU(&narrow)) {
        return false;
    }
    *id = narrow;
    return true;
}

kocrash_error_t readUleb(const kocrash_async_mobject* mobj, dwarf_opstream* content,
                         std::uint64_t* value) {
    kocrash_vm_size_t size;
    kocrash_error_t error = kocrash_async_dwarf_read_uleb128(
        mobj, content->get_start(), static_cast<kocrash_vm_off_t>(content->get_position()), value,
        &size);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    return content->skip(static_cast<std::int64_t>(size)) ? KOCRASH_ESUCCESS : KOCRASH_EINVAL;
}

kocrash_error_t readSleb(const kocrash_async_mobject* mobj, dwarf_opstream* content,
                         std::int64_t* value) {
    kocrash_vm_size_t size;
    kocrash_error_t error = kocrash_async_dwarf_read_sleb128(
        mobj, content->get_start(), static_cast<kocrash_vm_off_t>(content->get_position()), value,
        &size);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    return content->skip(static_cast<std::int64_t>(size)) ? KOCRASH_ESUCCESS : KOCRASH_EINVAL;
}

template <typename word>
kocrash_error_t readPointer(const kocrash_async_mobject* mobj, dwarf_opstream* content,
                            const gnu_ehptr_reader<word>* reader, std::uint8_t encoding,
                            std::uint64_t* value) {
    word decoded;
    kocrash_vm_size_t size;
    kocrash_error_t error = reader->read(mobj, content->get_start(),
                                         static_cast<kocrash_vm_off_t>(content->get_position()),
                                         encoding, &decoded, &size);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    if (!content->skip(static_cast<std::int64_t>(size))) {
        return KOCRASH_EINVAL;
    }
    *value = decoded;
    return KOCRASH_ESUCCESS;
}

// Consumes the augmentation data of a "z" CIE: each letter of the string after the "z" takes
// its data in order, and none may take more than the declared length holds.
template <typename word>
kocrash_error_t walkAugmentation(kocrash_async_dwarf_cie_info* info,
                                 const kocrash_async_mobject* mobj, dwarf_opstream* content,
                                 const gnu_ehptr_reader<word>* reader,
                                 kocrash_vm_size_t letters_position, std::uint64_t data_length) {
    if (data_length > content->remaining()) {
        return KOCRASH_EINVAL;
    }
    const kocrash_vm_size_t data_end = content->get_position() + data_length;
    auto withinData = [&] { return content->get_position() <= data_end; };
    for (kocrash_vm_size_t index = 1;; ++index) {
        const auto* letter = static_cast<const char*>(kocrash_async_mobject_remap_address(
            mobj, content->get_start(), static_cast<kocrash_vm_off_t>(letters_position + index),
            1));
        if (letter == nullptr || *letter == '\0') {
            break;
        }
        if (*letter == 'L') {
            if (!content->read_intU(&info->augmentation.lsda_encoding) || !withinData()) {
                return KOCRASH_EINVAL;
            }
            info->augmentation.has_lsda_encoding = true;
        } else if (*letter == 'P') {
            std::uint8_t encoding;
            if (!content->read_intU(&encoding) || !withinData()) {
                return KOCRASH_EINVAL;
            }
            kocrash_error_t error = readPointer(mobj, content, reader, encoding,
                                                &info->augmentation.personality_address);
            if (error != KOCRASH_ESUCCESS) {
                return error;
            }
            if (!withinData()) {
                return KOCRASH_EINVAL;
            }
            info->augmentation.has_personality_address = true;
        } else if (*letter == 'R') {
            if (!content->read_intU(&info->augmentation.pointer_encoding) || !withinData()) {
                return KOCRASH_EINVAL;
            }
            info->augmentation.has_pointer_encoding = true;
        } else if (*letter == 'S') {
            info->augmentation.signal_frame = true;
        } else {
            // Data of letters not known here is skipped by the length.
            break;
        }
    }
    // The instructions begin after the data, whatever the walk consumed.
    return content->skip(static_cast<std::int64_t>(data_end - content->get_position()))
               ? KOCRASH_ESUCCESS
               : KOCRASH_EINVAL;
}

} // namespace

kocrash_error_t kocrash_async_dwarf_read_entry_header(const kocrash_async_mobject* mobj,
                                                      const kocrash_async_byteorder* byteorder,
                                                      kocrash_vm_address_t address,
                                                      kocrash_async_dwarf_entry_header* header) {
    std::uint32_t length32;
    kocrash_error_t error =
        kocrash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    if (length32 != kDwarf64Escape) {
        *header = {length32, 4, 4};
        return KOCRASH_ESUCCESS;
    }
    std::uint64_t length64;
    error = kocrash_async_mobject_read_uint64(mobj, byteorder, address, 4, &length64);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    *header = {length64, 12, 8};
    return KOCRASH_ESUCCESS;
}

template <typename word>
kocrash_error_t kocrash_async_dwarf_cie_info_init(kocrash_async_dwarf_cie_info* info,
                                                  const kocrash_async_mobject* mobj,
                                                  const kocrash_async_byteorder* byteorder,
                                                  const gnu_ehptr_reader<word>* reader,
                                                  kocrash_vm_address_t address) {
    kocrash_async_memset(info, 0, sizeof(*info));
    const kocrash_vm_address_t base = kocrash_async_mobject_base_address(mobj);
    if (address < base) {
        return KOCRASH_EINVAL;
    }
    kocrash_async_dwarf_entry_header header;
    dwarf_opstream content;
    kocrash_error_t error = openEntry(mobj, byteorder, address, &header, &content);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    info->cie_entry_offset = address - base + header.header_size;
    info->cie_entry_length = header.length;

    if (!readId(&content, header.id_size, &info->cie_id)) {
        return KOCRASH_EINVAL;
    }
    const std::uint64_t all_ones = header.id_size == 8 ? ~std::uint64_t{0} : kDwarf64Escape;
    if (info->cie_id != 0 && info->cie_id != all_ones) {
        return KOCRASH_EINVAL;
    }
    if (!content.read_intU(&info->version)) {
        return KOCRASH_EINVAL;
    }
    if (info->version != 1 && info->version != 3 && info->version != 4) {
        return KOCRASH_EINVAL;
    }

    const kocrash_vm_size_t letters_position = content.get_position();
    std::uint8_t letter;
    if (!content.read_intU(&letter)) {
        return KOCRASH_EINVAL;
    }
    if (letter == 'z') {
        info->has_augmentation_data = true;
    } else if (letter != '\0') {
        return KOCRASH_ENOTSUP;
    }
    while (letter != '\0') {
        if (!content.read_intU(&letter)) {
            return KOCRASH_EINVAL;
        }
    }

    if (info->version == 4 &&
        (!content.read_intU(&info->address_size) || !content.read_intU(&info->segment_size))) {
        return KOCRASH_EINVAL;
    }
    if ((error = readUleb(mobj, &content, &info->code_alignment_factor)) != KOCRASH_ESUCCESS ||
        (error = readSleb(mobj, &content, &info->data_alignment_factor)) != KOCRASH_ESUCCESS ||
        (error = readUleb(mobj, &content, &info->return_address_register)) != KOCRASH_ESUCCESS) {
        return error;
    }

    if (info->has_augmentation_data) {
        std::uint64_t data_length;
        if ((error = readUleb(mobj, &content, &data_length)) != KOCRASH_ESUCCESS ||
            (error = walkAugmentation(info, mobj, &content, reader, letters_position,
                                      data_length)) != KOCRASH_ESUCCESS) {
            return error;
        }
    }

    // The content stream ends with the entry, so what is left are the instructions.
    info->initial_instructions_offset = info->cie_entry_offset + content.get_position();
    info->initial_instructions_length = content.remaining();
    return KOCRASH_ESUCCESS;
}

namespace {

// memo_for(cie_address) names the memo that holds, or is to hold, the FDE's CIE.
template <typename word, typename MemoFor>
kocrash_error_t fdeInfoInit(kocrash_async_dwarf_fde_info* info, const kocrash_async_mobject* mobj,
                            const kocrash_async_byteorder* byteorder, kocrash_vm_address_t address,
                            bool debug_frame, MemoFor memo_for) {
    const kocrash_vm_address_t base = kocrash_async_mobject_base_address(mobj);
    if (address < base) {
        return KOCRASH_EINVAL;
    }
    kocrash_async_dwarf_entry_header header;
    dwarf_opstream content;
    kocrash_error_t error = openEntry(mobj, byteorder, address, &header, &content);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    info->fde_entry_offset = address - base + header.header_size;
    info->fde_entry_length = header.length;

    std::uint64_t cie_pointer;
    if (!readId(&content, header.id_size, &cie_pointer)) {
        return KOCRASH_EINVAL;
    }
    kocrash_vm_address_t cie_address;
    if (debug_frame) {
        if (static_cast<std::int64_t>(cie_pointer) < 0 ||
            !kocrash_async_address_apply_offset(base, static_cast<kocrash_vm_off_t>(cie_pointer),
                                                &cie_address)) {
            return KOCRASH_EINVAL;
        }
    } else {
        // Counted backwards from the pointer field itself.
        const kocrash_vm_address_t field = address + header.header_size;
        if (cie_pointer > field || field - cie_pointer < base) {
            return KOCRASH_EINVAL;
        }
        cie_address = field - cie_pointer;
    }
    info->cie_entry_offset = cie_address - base;

    const gnu_ehptr_reader<word> reader(byteorder);
    kocrash_async_dwarf_cie_memo* memo = memo_for(cie_address);
    if (!memo->valid || memo->cie_address != cie_address) {
        memo->error = kocrash_async_dwarf_cie_info_init<word>(&memo->cie, mobj, byteorder, &reader,
                                                              cie_address);
        memo->cie_address = cie_address;
        memo->valid = true;
    }
    if (memo->error != KOCRASH_ESUCCESS) {
        return memo->error;
    }
    const kocrash_async_dwarf_cie_info& cie = memo->cie;
    const std::uint8_t encoding = cie.has_augmentation_data && cie.augmentation.has_pointer_encoding
                                      ? cie.augmentation.pointer_encoding
                                      : static_cast<std::uint8_t>(DW_EH_PE_absptr);

    std::uint64_t address_range;
    if ((error = readPointer(mobj, &content, &reader, encoding, &info->start_pc)) !=
            KOCRASH_ESUCCESS ||
        (error = readPointer(mobj, &content, &reader,
                             static_cast<std::uint8_t>(encoding & DW_EH_PE_format_mask),
                             &address_range)) != KOCRASH_ESUCCESS) {
        return error;
    }
    if (info->start_pc + address_range < info->start_pc) {
        return KOCRASH_EINVAL;
    }
    info->end_pc = info->start_pc + address_range;

    if (cie.has_augmentation_data) {
        std::uint64_t data_length;
        if ((error = readUleb(mobj, &content, &data_length)) != KOCRASH_ESUCCESS) {
            return error;
        }
        if (data_length > content.remaining()) {
            return KOCRASH_EINVAL;
        }
        content.skip(static_cast<std::int64_t>(data_length));
    }
    info->instructions_offset = info->fde_entry_offset + content.get_position();
    info->instructions_length = content.remaining();
    return KOCRASH_ESUCCESS;
}

} // namespace

void kocrash_async_dwarf_cie_memos_init(kocrash_async_dwarf_cie_memos* memos) {
    for (kocrash_async_dwarf_cie_memo& memo : memos->entries) {
        memo.valid = false;
    }
    memos->next = 0;
}

const kocrash_async_dwarf_cie_info*
kocrash_async_dwarf_cie_memos_find(const kocrash_async_dwarf_cie_memos* memos,
                                   kocrash_vm_address_t cie_address) {
    for (const kocrash_async_dwarf_cie_memo& memo : memos->entries) {
        if (memo.valid && memo.cie_address == cie_address && memo.error == KOCRASH_ESUCCESS) {
            return &memo.cie;
        }
    }
    return nullptr;
}

template <typename word>
kocrash_error_t kocrash_async_dwarf_fde_info_init_memos(kocrash_async_dwarf_fde_info* info,
                                                        const kocrash_async_mobject* mobj,
                                                        const kocrash_async_byteorder* byteorder,
                                                        kocrash_vm_address_t address,
                                                        bool debug_frame,
                                                        kocrash_async_dwarf_cie_memos* memos) {
    return fdeInfoInit<word>(
        info, mobj, byteorder, address, debug_frame, [memos](kocrash_vm_address_t cie_address) {
            for (kocrash_async_dwarf_cie_memo& memo : memos->entries) {
                if (memo.valid && memo.cie_address == cie_address) {
                    return &memo;
                }
            }
            // The one kept longest makes room.
            kocrash_async_dwarf_cie_memo* replaced = &memos->entries[memos->next];
            memos->next = (memos->next + 1) % kocrash_async_dwarf_cie_memos::count;
            replaced->valid = false;
            return replaced;
        });
}

template <typename word>
kocrash_error_t kocrash_async_dwarf_fde_info_init(kocrash_async_dwarf_fde_info* info,
                                                  const kocrash_async_mobject* mobj,
                                                  const kocrash_async_byteorder* byteorder,
                                                  kocrash_vm_address_t address, bool debug_frame) {
    kocrash_async_dwarf_cie_memos memos;
    kocrash_async_dwarf_cie_memos_init(&memos);
    return kocrash_async_dwarf_fde_info_init_memos<word>(info, mobj, byteorder, address,
                                                         debug_frame, &memos);
}

template kocrash_error_t kocrash_async_dwarf_cie_info_init<std::uint32_t>(
    kocrash_async_dwarf_cie_info*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    const gnu_ehptr_reader<std::uint32_t>*, kocrash_vm_address_t);
template kocrash_error_t kocrash_async_dwarf_cie_info_init<std::uint64_t>(
    kocrash_async_dwarf_cie_info*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    const gnu_ehptr_reader<std::uint64_t>*, kocrash_vm_address_t);
template kocrash_error_t kocrash_async_dwarf_fde_info_init<std::uint32_t>(
    kocrash_async_dwarf_fde_info*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    kocrash_vm_address_t, bool);
template kocrash_error_t kocrash_async_dwarf_fde_info_init<std::uint64_t>(
    kocrash_async_dwarf_fde_info*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    kocrash_vm_address_t, bool);
template kocrash_error_t kocrash_async_dwarf_fde_info_init_memos<std::uint32_t>(
    kocrash_async_dwarf_fde_info*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    kocrash_vm_address_t, bool, kocrash_async_dwarf_cie_memos*);
template kocrash_error_t kocrash_async_dwarf_fde_info_init_memos<std::uint64_t>(
    kocrash_async_dwarf_fde_info*, const kocrash_async_mobject*, const kocrash_async_byteorder*,
    kocrash_vm_address_t, bool, kocrash_async_dwarf_cie_memos*);
} // namespace kocrash::async
