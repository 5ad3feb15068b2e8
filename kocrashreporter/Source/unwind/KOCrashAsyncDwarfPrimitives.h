// Reading primitives of the DWARF unwinder: LEB128 values and fixed-width values of 1, 2, 4 or
// 8 bytes, from a memory object or straight from a task. May run at crash time: everything
// declared here (memory-object lookups, task reads and one-page mappings; no heap, no lock).
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncMObject.h"
#include "async/KOCrashAsyncTaskMemory.h"

#include <cstdint>

namespace kocrash::async {

// A LEB128 value longer than this cannot fit 64 bits.
inline constexpr kocrash_vm_size_t kDwarfLeb128MaxBytes = 10;

// Decodes the value at location + offset byte by byte, each byte bounds-checked against the
// object, so a value cut by the end of the mapping fails exactly there. 0; 5 for a byte outside
// the object or an overflowing address; 4 when ten bytes do not end the value. size receives
// the bytes consumed.
kocrash_error_t kocrash_async_dwarf_read_uleb128(const kocrash_async_mobject* mobj,
                                                 kocrash_vm_address_t location,
                                                 kocrash_vm_off_t offset, std::uint64_t* result,
                                                 kocrash_vm_size_t* size);
kocrash_error_t kocrash_async_dwarf_read_sleb128(const kocrash_async_mobject* mobj,
                                                 kocrash_vm_address_t location,
                                                 kocrash_vm_off_t offset, std::int64_t* result,
                                                 kocrash_vm_size_t* size);

// The same over a task: one page from location + offset is mapped for the decoder. A mapping
// failure returns its code.
kocrash_error_t kocrash_async_dwarf_read_task_uleb128(task_t task, kocrash_vm_address_t location,
                                                      kocrash_vm_off_t offset,
                                                      std::uint64_t* result,
                                                      kocrash_vm_size_t* size);
kocrash_error_t kocrash_async_dwarf_read_task_sleb128(task_t task, kocrash_vm_address_t location,
                                                      kocrash_vm_off_t offset, std::int64_t* result,
                                                      kocrash_vm_size_t* size);

// data_size bytes (1, 2, 4 or 8) at location + offset, converted with the byte order and
// zero-extended into T (or cut, when T is narrower). 0, or 5 for another size or bytes outside
// the object.
template <typename T>
kocrash_error_t kocrash_async_dwarf_read_uintmax64(const kocrash_async_mobject* mobj,
                                                   const kocrash_async_byteorder* byteorder,
                                                   kocrash_vm_address_t location,
                                                   kocrash_vm_off_t offset,
                                                   kocrash_vm_size_t data_size, T* result);
// The same through task reads, whose codes are returned; 5 for an unknown size.
template <typename T>
kocrash_error_t
kocrash_async_dwarf_read_task_uintmax64(task_t task, const kocrash_async_byteorder* byteorder,
                                        kocrash_vm_address_t location, kocrash_vm_off_t offset,
                                        kocrash_vm_size_t data_size, T* result);

extern template kocrash_error_t kocrash_async_dwarf_read_uintmax64<std::uint32_t>(
    const kocrash_async_mobject*, const kocrash_async_byteorder*, kocrash_vm_address_t,
    kocrash_vm_off_t, kocrash_vm_size_t, std::uint32_t*);
extern template kocrash_error_t kocrash_async_dwarf_read_uintmax64<std::uint64_t>(
    const kocrash_async_mobject*, const kocrash_async_byteorder*, kocrash_vm_address_t,
    kocrash_vm_off_t, kocrash_vm_size_t, std::uint64_t*);
extern template kocrash_error_t
kocrash_async_dwarf_read_task_uintmax64<std::uint32_t>(task_t, const kocrash_async_byteorder*,
                                                       kocrash_vm_address_t, kocrash_vm_off_t,
                                                       kocrash_vm_size_t, std::uint32_t*);
extern template kocrash_error_t
kocrash_async_dwarf_read_task_uintmax64<std::uint64_t>(task_t, const kocrash_async_byteorder*,
                                                       kocrash_vm_address_t, kocrash_vm_off_t,
                                                       kocrash_vm_size_t, std::uint64_t*);

} // namespace kocrash::async
