// May run at crash time: everything in this file (memory-object lookups and task reads).
#include "unwind/KOCrashAsyncDwarfEncoding.h"

#include "unwind/KOCrashAsyncDwarfConstants.h"
#include "unwind/KOCrashAsyncDwarfPrimitives.h"

namespace kocrash::async {
namespace {

enum Application : std::uint8_t {
    kAbsolute = 0,
    kPcRelative = 1,
    kTextRelative = 2,
    kDataRelative = 3,
    kFunctionRelative = 4,
    kAligned = 5,
};

// Reads a fixed-width field of Stored bytes and converts it through Wide (signed types
// sign-extend) into the word.
template <typename word, typename Stored, typename Wide>
kocrash_error_t readFixed(const kocrash_async_mobject* mobj,
                          const kocrash_async_byteorder* byteorder, kocrash_vm_address_t location,
                          kocrash_vm_off_t offset, word* value, kocrash_vm_size_t* size) {
    std::uint64_t raw;
    kocrash_error_t error =
        kocrash_async_dwarf_read_uintmax64(mobj, byteorder, location, offset, sizeof(Stored), &raw);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    *value = static_cast<word>(static_cast<Wide>(static_cast<Stored>(raw)));
    *size += sizeof(Stored);
    return KOCRASH_ESUCCESS;
}

template <typename word>
kocrash_error_t readValue(const kocrash_async_mobject* mobj,
                          const kocrash_async_byteorder* byteorder, kocrash_vm_address_t location,
                          kocrash_vm_off_t offset, std::uint8_t format, word* value,
                          kocrash_vm_size_t* size) {
    switch (format) {
    case DW_EH_PE_absptr:
        if constexpr (sizeof(word) == 8) {
            return readFixed<word, std::uint64_t, std::uint64_t>(mobj, byteorder, location, offset,
                                                                 value, size);
        } else {
            return readFixed<word, std::uint32_t, std::uint32_t>(mobj, byteorder, location, offset,
                                                                 value, size);
        }
    case DW_EH_PE_uleb128: {
        std::uint64_t decoded;
        kocrash_vm_size_t consumed;
        kocrash_error_t error =
            kocrash_async_dwarf_read_uleb128(mobj, location, offset, &decoded, &consumed);
        if (error == KOCRASH_ESUCCESS) {
            *value = static_cast<word>(decoded);
            *size += consumed;
        }
        return error;
    }
    case DW_EH_PE_sleb128: {
        std::int64_t decoded;
        kocrash_vm_size_t consumed;
        kocrash_error_t error =
            kocrash_async_dwarf_read_sleb128(mobj, location, offset, &decoded, &consumed);
        if (error == KOCRASH_ESUCCESS) {
            *value = static_cast<word>(static_cast<std::uint64_t>(decoded));
            *size += consumed;
        }
        return error;
    }
    case DW_EH_PE_udata2:
        return readFixed<word, std::uint16_t, std::uint64_t>(mobj, byteorder, location, offset,
                                                             value, size);
    case DW_EH_PE_udata4:
        return readFixed<word, std::uint32_t, std::uint64_t>(mobj, byteorder, location, offset,
                                                             value, size);
    case DW_EH_PE_udata8:
        return readFixed<word, std::uint64_t, std::uint64_t>(mobj, byteorder, location, offset,
                                                             value, size);
    case DW_EH_PE_sdata2:
        return readFixed<word, std::int16_t, std::int64_t>(mobj, byteorder, location, offset, value,
                                                           size);
    case DW_EH_PE_sdata4:
        return readFixed<word, std::int32_t, std::int64_t>(mobj, byteorder, location, offset, value,
                                                           size);
    case DW_EH_PE_sdata8:
        return readFixed<word, std::int64_t, std::int64_t>(mobj, byteorder, location, offset, value,
                                                           size);
    default:
        // Includes the plain signed-word format, which no producer emits.
        return KOCRASH_ENOTSUP;
    }
}

} // namespace

template <typename word>
gnu_ehptr_reader<word>::gnu_ehptr_reader(const kocrash_async_byteorder* byteorder)
    : byteorder_(byteorder), frame_section_{false, 0, 0}, text_base_{false, 0},
      data_base_{false, 0}, func_base_{false, 0} {}

template <typename word>
void gnu_ehptr_reader<word>::set_frame_section_base(word base, word image_address) {
    frame_section_ = {true, base, image_address};
}

template <typename word> void gnu_ehptr_reader<word>::set_text_base(word value) {
    text_base_ = {true, value};
}

template <typename word> void gnu_ehptr_reader<word>::set_data_base(word value) {
    data_base_ = {true, value};
}

template <typename word> void gnu_ehptr_reader<word>::set_func_base(word value) {
    func_base_ = {true, value};
}

template <typename word>
kocrash_error_t gnu_ehptr_reader<word>::read(const kocrash_async_mobject* mobj,
                                             kocrash_vm_address_t location, kocrash_vm_off_t offset,
                                             std::uint8_t encoding, word* result,
                                             kocrash_vm_size_t* size) const {
    *size = 0;
    if (encoding == DW_EH_PE_omit) {
        return KOCRASH_ENOTFOUND;
    }
    kocrash_vm_address_t valueAddress;
    if (!kocrash_async_address_apply_offset(location, offset, &valueAddress)) {
        return KOCRASH_EINVAL;
    }

    word base = 0;
    switch ((encoding & DW_EH_PE_application_mask) >> 4) {
    case kAbsolute:
        break;
    case kPcRelative:
        base = static_cast<word>(valueAddress);
        break;
    case kTextRelative:
        if (!text_base_.valid) {
            return KOCRASH_ENOTSUP;
        }
        base = text_base_.value;
        break;
    case kDataRelative:
        if (!data_base_.valid) {
            return KOCRASH_ENOTSUP;
        }
        base = data_base_.value;
        break;
    case kFunctionRelative:
        if (!func_base_.valid) {
            return KOCRASH_ENOTSUP;
        }
        base = func_base_.value;
        break;
    case kAligned: {
        if (!frame_section_.valid) {
            return KOCRASH_ENOTSUP;
        }
        // Alignment is a property of the value's address in the image, not of where the
        // section happens to be read from.
        word target = static_cast<word>(frame_section_.image_address +
                                        (static_cast<word>(valueAddress) - frame_section_.base));
        word padding = static_cast<word>(0 - target) & static_cast<word>(sizeof(word) - 1);
        if (!kocrash_async_address_apply_offset(location, static_cast<kocrash_vm_off_t>(padding),
                                                &location)) {
            return KOCRASH_EINVAL;
        }
        *size = padding;
        break;
    }
    default:
        return KOCRASH_ENOTSUP;
    }

    word value = 0;
    kocrash_error_t error = readValue<word>(mobj, byteorder_, location, offset,
                                            encoding & DW_EH_PE_format_mask, &value, size);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    word pointer = static_cast<word>(base + value);
    if ((encoding & DW_EH_PE_indirect) != 0) {
        error = kocrash_async_dwarf_read_task_uintmax64<word>(
            kocrash_async_mobject_task(mobj), byteorder_, pointer, 0, sizeof(word), &pointer);
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
    }
    *result = pointer;
    return KOCRASH_ESUCCESS;
}

template class gnu_ehptr_reader<std::uint32_t>;
template class gnu_ehptr_reader<std::uint64_t>;

} // namespace kocrash::async
