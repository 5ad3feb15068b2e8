// May run at crash time: everything in this file (reads through the section's memory object).
#include "unwind/KOCrashAsyncCompactUnwind.h"

#include "platform/dyld/MachOFormat.h"

namespace {

constexpr std::uint32_t kVersion = 0;
constexpr std::uint32_t kCommonEncodingsOffset = 1;
constexpr std::uint32_t kCommonEncodingsCount = 2;
constexpr std::uint32_t kIndexOffset = 5;
constexpr std::uint32_t kIndexCount = 6;
constexpr std::uint64_t kIndexEntrySize = 12;
constexpr std::uint32_t kCompressedOffsetMask = 0x00ffffff;

const std::uint8_t* sectionBytes(const kocrash_async_cfe_reader* reader, std::uint64_t offset,
                                 std::uint64_t length) {
    return static_cast<const std::uint8_t*>(kocrash_async_mobject_remap_address(
        reader->mobj, kocrash_async_mobject_base_address(reader->mobj),
        static_cast<kocrash_vm_off_t>(offset), length));
}

std::uint32_t word32(const kocrash_async_cfe_reader* reader, const std::uint8_t* local,
                     std::uint64_t offset) {
    std::uint32_t value = static_cast<std::uint32_t>(local[offset]) |
                          static_cast<std::uint32_t>(local[offset + 1]) << 8 |
                          static_cast<std::uint32_t>(local[offset + 2]) << 16 |
                          static_cast<std::uint32_t>(local[offset + 3]) << 24;
    return reader->byteorder->swap32(value);
}

std::uint16_t word16(const kocrash_async_cfe_reader* reader, const std::uint8_t* local,
                     std::uint64_t offset) {
    auto value = static_cast<std::uint16_t>(local[offset] | local[offset + 1] << 8);
    return reader->byteorder->swap16(value);
}

// The last of count ascending values that is at most pc, by the format's search rule; -1 when
// none is.
template <typename Value>
std::int64_t searchLast(std::int64_t count, std::uint64_t pc, Value value) {
    std::int64_t low = 0;
    std::int64_t high = count - 1;
    while (low <= high) {
        std::int64_t middle = (low + high) / 2;
        std::uint64_t found = value(middle);
        if (found < pc) {
            if (middle == high || value(middle + 1) > pc) {
                return middle;
            }
            low = middle + 1;
        } else if (found == pc) {
            return middle;
        } else {
            if (middle == 0) {
                return -1;
            }
            high = middle - 1;
        }
    }
    return -1;
}

kocrash_error_t findInRegularPage(const kocrash_async_cfe_reader* reader, std::uint64_t page,
                                  std::uint64_t pc, std::uint64_t* function_offset,
                                  std::uint32_t* encoding) {
    const std::uint8_t* header = sectionBytes(reader, page, 8);
    if (header == nullptr) {
        return KOCRASH_EINVAL;
    }
    // Entry offsets count from the page, not from the section.
    const std::uint64_t entries_offset = page + word16(reader, header, 4);
    const std::uint16_t count = word16(reader, header, 6);
    const std::uint8_t* entries = sectionBytes(reader, entries_offset, count * 8ull);
    if (entries == nullptr) {
        return KOCRASH_EINVAL;
    }
    std::int64_t found = searchLast(count, pc, [&](std::int64_t index) {
        return std::uint64_t{word32(reader, entries, index * 8)};
    });
    if (found < 0) {
        return KOCRASH_ENOTFOUND;
    }
    *function_offset = word32(reader, entries, found * 8);
    *encoding = word32(reader, entries, found * 8 + 4);
    return KOCRASH_ESUCCESS;
}

kocrash_error_t findInCompressedPage(const kocrash_async_cfe_reader* reader, std::uint64_t page,
                                     std::uint64_t base_offset, const std::uint8_t* common,
                                     std::uint64_t pc, std::uint64_t* function_offset,
                                     std::uint32_t* encoding) {
    const std::uint8_t* header = sectionBytes(reader, page, 12);
    if (header == nullptr) {
        return KOCRASH_EINVAL;
    }
    const std::uint64_t entries_offset = page + word16(reader, header, 4);
    const std::uint16_t count = word16(reader, header, 6);
    const std::uint64_t encodings_offset = page + word16(reader, header, 8);
    const std::uint16_t encodings_count = word16(reader, header, 10);
    const std::uint8_t* entries = sectionBytes(reader, entries_offset, count * 4ull);
    if (entries == nullptr) {
        return KOCRASH_EINVAL;
    }
    auto offsetOf = [&](std::int64_t index) {
        return (word32(reader, entries, index * 4) & kCompressedOffsetMask) + base_offset;
    };
    std::int64_t found = searchLast(count, pc, offsetOf);
    if (found < 0) {
        return KOCRASH_ENOTFOUND;
    }
    const std::uint32_t index = word32(reader, entries, found * 4) >> 24;
    const std::uint32_t common_count = reader->header[kCommonEncodingsCount];
    if (index < common_count) {
        *encoding = word32(reader, common, index * 4ull);
    } else {
        const std::uint8_t* encodings =
            sectionBytes(reader, encodings_offset, encodings_count * 4ull);
        const std::uint32_t local = (index - common_count) % 256;
        if (encodings == nullptr || local >= encodings_count) {
            return KOCRASH_EINVAL;
        }
        *encoding = word32(reader, encodings, local * 4ull);
    }
    *function_offset = offsetOf(found);
    return KOCRASH_ESUCCESS;
}

} // namespace

kocrash_error_t kocrash_async_cfe_reader_init(kocrash_async_cfe_reader* reader,
                                              const kocrash_async_mobject* mobj,
                                              cpu_type_t cpu_type) {
    if (cpu_type != CPU_TYPE_X86 && cpu_type != CPU_TYPE_X86_64 && cpu_type != CPU_TYPE_ARM64) {
        return KOCRASH_ENOTSUP;
    }
    reader->mobj = mobj;
    reader->cpu_type = cpu_type;
    reader->byteorder = kocrash_async_byteorder_little_endian();
    const std::uint8_t* header = sectionBytes(reader, 0, sizeof(reader->header));
    if (header == nullptr) {
        return KOCRASH_EINVAL;
    }
    for (std::uint32_t field = 0; field < 7; ++field) {
        reader->header[field] = word32(reader, header, field * 4ull);
    }
    if (reader->header[kVersion] != UNWIND_SECTION_VERSION) {
        return KOCRASH_ENOTSUP;
    }
    return KOCRASH_ESUCCESS;
}

kocrash_error_t kocrash_async_cfe_reader_find_pc(const kocrash_async_cfe_reader* reader,
                                                 std::uint64_t pc, std::uint64_t* function_offset,
                                                 std::uint32_t* encoding) {
    const std::uint8_t* common = sectionBytes(reader, reader->header[kCommonEncodingsOffset],
                                              reader->header[kCommonEncodingsCount] * 4ull);
    if (common == nullptr) {
        return KOCRASH_EINVAL;
    }
    const std::uint32_t index_count = reader->header[kIndexCount];
    if (index_count == 0) {
        return KOCRASH_ENOTFOUND;
    }
    // The last first-level entry only marks the end of the covered range.
    const std::uint64_t searched = index_count - 1ull;
    const std::uint8_t* index =
        sectionBytes(reader, reader->header[kIndexOffset], searched * kIndexEntrySize);
    if (index == nullptr) {
        return KOCRASH_EINVAL;
    }
    std::int64_t found = searchLast(static_cast<std::int64_t>(searched), pc, [&](std::int64_t at) {
        return std::uint64_t{word32(reader, index, at * kIndexEntrySize)};
    });
    if (found < 0) {
        return KOCRASH_ENOTFOUND;
    }
    const std::uint64_t base_offset = word32(reader, index, found * kIndexEntrySize);
    const std::uint64_t page = word32(reader, index, found * kIndexEntrySize + 4);
    const std::uint8_t* kind = sectionBytes(reader, page, 4);
    if (kind == nullptr) {
        return KOCRASH_EINVAL;
    }
    switch (word32(reader, kind, 0)) {
    case UNWIND_SECOND_LEVEL_REGULAR:
        return findInRegularPage(reader, page, pc, function_offset, encoding);
    case UNWIND_SECOND_LEVEL_COMPRESSED:
        return findInCompressedPage(reader, page, base_offset, common, pc, function_offset,
                                    encoding);
    default:
        return KOCRASH_EINVAL;
    }
}

void kocrash_async_cfe_reader_free(kocrash_async_cfe_reader*) {}
