// May run at crash time: everything in this file (memory-object lookups, task reads and
// one-page mappings of the task).
#include "unwind/KOCrashAsyncDwarfPrimitives.h"

#include "platform/mach/MachVirtualMemory.h"

using platform::mach::vm_page_size;

namespace kocrash::async {
namespace {

// Both LEB128 forms share the loop; fetch(index, out byte) reads the index-th byte.
template <typename FetchByte>
kocrash_error_t decodeLeb128(FetchByte fetch, bool isSigned, std::uint64_t* result,
                             kocrash_vm_size_t* size) {
    std::uint64_t value = 0;
    unsigned shift = 0;
    for (kocrash_vm_size_t index = 0; index < kDwarfLeb128MaxBytes; ++index) {
        std::uint8_t byte;
        if (!fetch(index, &byte)) {
            return KOCRASH_EINVAL;
        }
        // shift stays at most 63 here: of the tenth byte only the lowest payload bit counts.
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        shift += 7;
        if ((byte & 0x80) == 0) {
            if (isSigned && shift < 64 && (byte & 0x40) != 0) {
                value |= ~std::uint64_t{0} << shift;
            }
            *result = value;
            *size = index + 1;
            return KOCRASH_ESUCCESS;
        }
    }
    return KOCRASH_ENOTSUP;
}

kocrash_error_t readMobjectLeb128(const kocrash_async_mobject* mobj, kocrash_vm_address_t location,
                                  kocrash_vm_off_t offset, bool isSigned, std::uint64_t* result,
                                  kocrash_vm_size_t* size) {
    kocrash_vm_address_t start;
    if (!kocrash_async_address_apply_offset(location, offset, &start)) {
        return KOCRASH_EINVAL;
    }
    auto fetch = [mobj, start](kocrash_vm_size_t index, std::uint8_t* byte) {
        const auto* local = static_cast<const std::uint8_t*>(kocrash_async_mobject_remap_address(
            mobj, start, static_cast<kocrash_vm_off_t>(index), 1));
        if (local == nullptr) {
            return false;
        }
        *byte = *local;
        return true;
    };
    return decodeLeb128(fetch, isSigned, result, size);
}

kocrash_error_t readTaskLeb128(task_t task, kocrash_vm_address_t location, kocrash_vm_off_t offset,
                               bool isSigned, std::uint64_t* result, kocrash_vm_size_t* size) {
    kocrash_vm_address_t start;
    if (!kocrash_async_address_apply_offset(location, offset, &start)) {
        return KOCRASH_EINVAL;
    }
    kocrash_async_mobject page;
    kocrash_error_t error = kocrash_async_mobject_init(&page, task, start, vm_page_size, false);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    error = readMobjectLeb128(&page, start, 0, isSigned, result, size);
    kocrash_async_mobject_free(&page);
    return error;
}

// Reads a Value with read and widens (or cuts) it into the result only on success.
template <typename Value, typename T, typename Read> kocrash_error_t readAs(T* result, Read read) {
    Value value;
    kocrash_error_t error = read(&value);
    if (error == KOCRASH_ESUCCESS) {
        *result = static_cast<T>(value);
    }
    return error;
}

} // namespace

kocrash_error_t kocrash_async_dwarf_read_uleb128(const kocrash_async_mobject* mobj,
                                                 kocrash_vm_address_t location,
                                                 kocrash_vm_off_t offset, std::uint64_t* result,
                                                 kocrash_vm_size_t* size) {
    return readMobjectLeb128(mobj, location, offset, false, result, size);
}

kocrash_error_t kocrash_async_dwarf_read_sleb128(const kocrash_async_mobject* mobj,
                                                 kocrash_vm_address_t location,
                                                 kocrash_vm_off_t offset, std::int64_t* result,
                                                 kocrash_vm_size_t* size) {
    std::uint64_t bits;
    kocrash_error_t error = readMobjectLeb128(mobj, location, offset, true, &bits, size);
    if (error == KOCRASH_ESUCCESS) {
        *result = static_cast<std::int64_t>(bits);
    }
    return error;
}

kocrash_error_t kocrash_async_dwarf_read_task_uleb128(task_t task, kocrash_vm_address_t location,
                                                      kocrash_vm_off_t offset,
                                                      std::uint64_t* result,
                                                      kocrash_vm_size_t* size) {
    return readTaskLeb128(task, location, offset, false, result, size);
}

kocrash_error_t kocrash_async_dwarf_read_task_sleb128(task_t task, kocrash_vm_address_t location,
                                                      kocrash_vm_off_t offset, std::int64_t* result,
                                                      kocrash_vm_size_t* size) {
    std::uint64_t bits;
    kocrash_error_t error = readTaskLeb128(task, location, offset, true, &bits, size);
    if (error == KOCRASH_ESUCCESS) {
        *result = static_cast<std::int64_t>(bits);
    }
    return error;
}

template <typename T>
kocrash_error_t kocrash_async_dwarf_read_uintmax64(const kocrash_async_mobject* mobj,
                                                   const kocrash_async_byteorder* byteorder,
                                                   kocrash_vm_address_t location,
                                                   kocrash_vm_off_t offset,
                                                   kocrash_vm_size_t data_size, T* result) {
    switch (data_size) {
    case 1:
        return readAs<std::uint8_t>(result, [&](std::uint8_t* value) {
            return kocrash_async_mobject_read_uint8(mobj, location, offset, value);
        });
    case 2:
        return readAs<std::uint16_t>(result, [&](std::uint16_t* value) {
            return kocrash_async_mobject_read_uint16(mobj, byteorder, location, offset, value);
        });
    case 4:
        return readAs<std::uint32_t>(result, [&](std::uint32_t* value) {
            return kocrash_async_mobject_read_uint32(mobj, byteorder, location, offset, value);
        });
    case 8:
        return readAs<std::uint64_t>(result, [&](std::uint64_t* value) {
            return kocrash_async_mobject_read_uint64(mobj, byteorder, location, offset, value);
        });
    default:
        return KOCRASH_EINVAL;
    }
}

template <typename T>
kocrash_error_t
kocrash_async_dwarf_read_task_uintmax64(task_t task, const kocrash_async_byteorder* byteorder,
                                        kocrash_vm_address_t location, kocrash_vm_off_t offset,
                                        kocrash_vm_size_t data_size, T* result) {
    switch (data_size) {
    case 1:
        return readAs<std::uint8_t>(result, [&](std::uint8_t* value) {
            return kocrash_async_task_read_uint8(task, location, offset, value);
        });
    case 2:
        return readAs<std::uint16_t>(result, [&](std::uint16_t* value) {
            return kocrash_async_task_read_uint16(task, byteorder, location, offset, value);
        });
    case 4:
        return readAs<std::uint32_t>(result, [&](std::uint32_t* value) {
            return kocrash_async_task_read_uint32(task, byteorder, location, offset, value);
        });
    case 8:
        return readAs<std::uint64_t>(result, [&](std::uint64_t* value) {
            return kocrash_async_task_read_uint64(task, byteorder, location, offset, value);
        });
    default:
        return KOCRASH_EINVAL;
    }
}

template kocrash_error_t kocrash_async_dwarf_read_uintmax64<std::uint32_t>(
    const kocrash_async_mobject*, const kocrash_async_byteorder*, kocrash_vm_address_t,
    kocrash_vm_off_t, kocrash_vm_size_t, std::uint32_t*);
template kocrash_error_t kocrash_async_dwarf_read_uintmax64<std::uint64_t>(
    const kocrash_async_mobject*, const kocrash_async_byteorder*, kocrash_vm_address_t,
    kocrash_vm_off_t, kocrash_vm_size_t, std::uint64_t*);
template kocrash_error_t
kocrash_async_dwarf_read_task_uintmax64<std::uint32_t>(task_t, const kocrash_async_byteorder*,
                                                       kocrash_vm_address_t, kocrash_vm_off_t,
                                                       kocrash_vm_size_t, std::uint32_t*);
template kocrash_error_t
kocrash_async_dwarf_read_task_uintmax64<std::uint64_t>(task_t, const kocrash_async_byteorder*,
                                                       kocrash_vm_address_t, kocrash_vm_off_t,
                                                       kocrash_vm_size_t, std::uint64_t*);

} // namespace kocrash::async
