// May run at crash time: everything in this file (one memory object for the module records,
// task reads into stack buffers and mapped strings).
//
// Legacy records hold 32-bit fields whatever the image's width. Everything but the module
// records is read from the task: the records point anywhere in the image, and a pointer into
// unmapped memory ends the walk with the read's code instead of faulting.
#include "images/KOCrashAsyncObjCLegacy.h"

namespace {

constexpr std::uint64_t kModuleSize = 16;
constexpr std::uint64_t kModuleSymtab = 12;
constexpr std::uint64_t kSymtabHeaderSize = 12;
constexpr std::uint64_t kSymtabClassCount = 8;
constexpr std::uint64_t kClassSize = 40;
constexpr std::uint64_t kClassName = 8;
constexpr std::uint64_t kClassInfo = 16;
constexpr std::uint64_t kClassMethodLists = 28;
constexpr std::uint32_t kSingleMethodListFlag = 1u << 14;
constexpr std::uint32_t kMethodListsEnd = 0xffffffff;
constexpr std::uint64_t kMethodListHeaderSize = 8;
constexpr std::uint64_t kMethodListCount = 4;
constexpr std::uint64_t kMethodSize = 12;
constexpr std::uint64_t kMethodImplementation = 8;
// Entries are copied a batch at a time: one kernel read for many small records.
constexpr std::uint64_t kMethodBatch = 32;

struct LegacyWalk {
    const kocrash_async_macho* image;
    kocrash_async_objc_method_cb callback;
    void* context;
};

kocrash_error_t readWord(const LegacyWalk& walk, std::uint64_t address, std::uint64_t offset,
                         std::uint32_t* value) {
    return kocrash_async_task_read_uint32(walk.image->task, walk.image->byteorder, address,
                                          static_cast<kocrash_vm_off_t>(offset), value);
}

kocrash_error_t reportList(const LegacyWalk& walk, std::uint32_t list, bool is_class_method,
                           kocrash_async_macho_string* class_name) {
    std::uint32_t count;
    kocrash_error_t error = readWord(walk, list, kMethodListCount, &count);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    std::uint8_t batch[kMethodBatch * kMethodSize];
    for (std::uint64_t first = 0; first < count; first += kMethodBatch) {
        const std::uint64_t entries = count - first < kMethodBatch ? count - first : kMethodBatch;
        error = kocrash_async_task_memcpy(
            walk.image->task, list,
            static_cast<kocrash_vm_off_t>(kMethodListHeaderSize + first * kMethodSize), batch,
            entries * kMethodSize);
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
        for (std::uint64_t index = 0; index < entries; ++index) {
            const std::uint8_t* entry = batch + index * kMethodSize;
            kocrash_async_macho_string method_name;
            kocrash_async_macho_string_init(&method_name, walk.image,
                                            kocrash_async_macho_read32(walk.image, entry, 0));
            walk.callback(is_class_method, class_name, &method_name,
                          kocrash_async_macho_read32(walk.image, entry, kMethodImplementation),
                          walk.context);
            kocrash_async_macho_string_free(&method_name);
        }
    }
    return KOCRASH_ESUCCESS;
}

kocrash_error_t reportClass(const LegacyWalk& walk, const std::uint8_t* record,
                            bool is_class_method) {
    const std::uint32_t lists = kocrash_async_macho_read32(walk.image, record, kClassMethodLists);
    if (lists == 0) {
        return KOCRASH_ESUCCESS;
    }
    kocrash_async_macho_string name;
    kocrash_async_macho_string_init(&name, walk.image,
                                    kocrash_async_macho_read32(walk.image, record, kClassName));
    kocrash_error_t error;
    if ((kocrash_async_macho_read32(walk.image, record, kClassInfo) & kSingleMethodListFlag) != 0) {
        error = reportList(walk, lists, is_class_method, &name);
    } else {
        std::uint32_t list;
        for (std::uint64_t offset = 0;
             (error = readWord(walk, lists, offset, &list)) == KOCRASH_ESUCCESS && list != 0 &&
             list != kMethodListsEnd;
             offset += 4) {
            if ((error = reportList(walk, list, is_class_method, &name)) != KOCRASH_ESUCCESS) {
                break;
            }
        }
    }
    kocrash_async_macho_string_free(&name);
    return error;
}

kocrash_error_t walkClass(const LegacyWalk& walk, std::uint32_t address) {
    std::uint8_t record[kClassSize];
    kocrash_error_t error =
        kocrash_async_task_memcpy(walk.image->task, address, 0, record, kClassSize);
    if (error != KOCRASH_ESUCCESS ||
        (error = reportClass(walk, record, false)) != KOCRASH_ESUCCESS) {
        return error;
    }
    std::uint32_t isa = kocrash_async_macho_read32(walk.image, record, 0);
    if ((isa & 1) != 0) {
        isa &= ~std::uint32_t{7};
    }
    if ((error = kocrash_async_task_memcpy(walk.image->task, isa, 0, record, kClassSize)) !=
        KOCRASH_ESUCCESS) {
        return error;
    }
    return reportClass(walk, record, true);
}

kocrash_error_t walkSymtab(const LegacyWalk& walk, std::uint32_t symtab) {
    std::uint16_t classes;
    kocrash_error_t error = kocrash_async_task_read_uint16(walk.image->task, walk.image->byteorder,
                                                           symtab, kSymtabClassCount, &classes);
    for (std::uint64_t index = 0; error == KOCRASH_ESUCCESS && index < classes; ++index) {
        std::uint32_t address;
        if ((error = readWord(walk, symtab, kSymtabHeaderSize + index * 4, &address)) ==
            KOCRASH_ESUCCESS) {
            error = walkClass(walk, address);
        }
    }
    return error;
}

} // namespace

kocrash_error_t kocrash_async_objc_parse_legacy(const kocrash_async_macho* image,
                                                kocrash_async_objc_method_cb callback,
                                                void* context) {
    kocrash_async_mobject modules;
    kocrash_error_t error =
        kocrash_async_macho_map_section(image, "__OBJC", "__module_info", &modules);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    const LegacyWalk walk{image, callback, context};
    const kocrash_vm_address_t base = kocrash_async_mobject_base_address(&modules);
    const kocrash_vm_size_t length = kocrash_async_mobject_length(&modules);
    for (std::uint64_t at = 0; error == KOCRASH_ESUCCESS && at + kModuleSize <= length;
         at += kModuleSize) {
        std::uint32_t symtab;
        error = kocrash_async_mobject_read_uint32(&modules, image->byteorder, base,
                                                  static_cast<kocrash_vm_off_t>(at + kModuleSymtab),
                                                  &symtab);
        if (error == KOCRASH_ESUCCESS && symtab != 0) {
            error = walkSymtab(walk, symtab);
        }
    }
    kocrash_async_mobject_free(&modules);
    return error;
}
