// May run at crash time: everything in this file (memory-object lookups and byte copies).
#include "unwind/KOCrashAsyncDwarfOpStream.h"

#include "async/KOCrashAsyncString.h"
#include "unwind/KOCrashAsyncDwarfPrimitives.h"

#include <type_traits>

namespace kocrash::async {

kocrash_error_t dwarf_opstream::init(const kocrash_async_mobject* mobj,
                                     const kocrash_async_byteorder* byteorder,
                                     kocrash_vm_address_t address, kocrash_vm_off_t offset,
                                     kocrash_vm_off_t length) {
    if (length < 0) {
        return KOCRASH_EINVAL;
    }
    kocrash_vm_address_t start;
    kocrash_vm_address_t end;
    if (!kocrash_async_address_apply_offset(address, offset, &start) ||
        !kocrash_async_address_apply_offset(start, length, &end)) {
        return KOCRASH_EINVAL;
    }
    // An empty block has no bytes to find: an empty memory object maps none, and the block
    // still evaluates (to its initial stack).
    const auto* local = static_cast<const std::uint8_t*>(
        end == start ? nullptr : kocrash_async_mobject_remap_address(mobj, start, 0, end - start));
    if (local == nullptr && end != start) {
        return KOCRASH_EINVAL;
    }
    mobj_ = mobj;
    byteorder_ = byteorder;
    start_ = start;
    range_start_ = local;
    range_end_ = local + (end - start);
    p_ = local;
    return KOCRASH_ESUCCESS;
}

template <typename T> bool dwarf_opstream::read_intU(T* value) {
    if (p_ < range_start_ || remaining() < sizeof(T)) {
        return false;
    }
    using Unsigned = std::make_unsigned_t<T>;
    Unsigned raw;
    kocrash_async_memcpy(&raw, p_, sizeof(raw));
    if constexpr (sizeof(T) == 2) {
        raw = byteorder_->swap16(raw);
    } else if constexpr (sizeof(T) == 4) {
        raw = byteorder_->swap32(raw);
    } else if constexpr (sizeof(T) == 8) {
        raw = byteorder_->swap64(raw);
    }
    *value = static_cast<T>(raw);
    p_ += sizeof(T);
    return true;
}

bool dwarf_opstream::read_uleb128(std::uint64_t* value) {
    kocrash_vm_size_t size;
    if (kocrash_async_dwarf_read_uleb128(mobj_, start_,
                                         static_cast<kocrash_vm_off_t>(get_position()), value,
                                         &size) != KOCRASH_ESUCCESS) {
        return false;
    }
    return skip(static_cast<std::int64_t>(size));
}

bool dwarf_opstream::read_sleb128(std::int64_t* value) {
    kocrash_vm_size_t size;
    if (kocrash_async_dwarf_read_sleb128(mobj_, start_,
                                         static_cast<kocrash_vm_off_t>(get_position()), value,
                                         &size) != KOCRASH_ESUCCESS) {
        return false;
    }
    return skip(static_cast<std::int64_t>(size));
}

template <typename word>
bool dwarf_opstream::read_gnueh_ptr(const gnu_ehptr_reader<word>* reader, std::uint8_t encoding,
                                    word* value) {
    kocrash_vm_size_t size;
    word decoded;
    if (reader->read(mobj_, start_, static_cast<kocrash_vm_off_t>(get_position()), encoding,
                     &decoded, &size) != KOCRASH_ESUCCESS) {
        return false;
    }
    if (!skip(static_cast<std::int64_t>(size))) {
        return false;
    }
    *value = decoded;
    return true;
}

bool dwarf_opstream::skip(std::int64_t count) {
    // Compared as distances, so that no pointer outside the range is ever formed.
    if (count >= 0
            ? static_cast<std::uint64_t>(count) > remaining()
            : static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(count) > get_position()) {
        return false;
    }
    p_ += count;
    return true;
}

template bool dwarf_opstream::read_intU<std::uint8_t>(std::uint8_t*);
template bool dwarf_opstream::read_intU<std::int8_t>(std::int8_t*);
template bool dwarf_opstream::read_intU<std::uint16_t>(std::uint16_t*);
template bool dwarf_opstream::read_intU<std::int16_t>(std::int16_t*);
template bool dwarf_opstream::read_intU<std::uint32_t>(std::uint32_t*);
template bool dwarf_opstream::read_intU<std::int32_t>(std::int32_t*);
template bool dwarf_opstream::read_intU<std::uint64_t>(std::uint64_t*);
template bool dwarf_opstream::read_intU<std::int64_t>(std::int64_t*);
template bool dwarf_opstream::read_gnueh_ptr<std::uint32_t>(const gnu_ehptr_reader<std::uint32_t>*,
                                                            std::uint8_t, std::uint32_t*);
template bool dwarf_opstream::read_gnueh_ptr<std::uint64_t>(const gnu_ehptr_reader<std::uint64_t>*,
                                                            std::uint8_t, std::uint64_t*);

} // namespace kocrash::async
