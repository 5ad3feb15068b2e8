// May run at crash time: everything in this file (memory objects, task reads and one kernel
// allocation per cache).
#include "images/KOCrashAsyncObjC.h"

#include "async/KOCrashAsyncString.h"
#include "images/KOCrashAsyncObjCLegacy.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"

using platform::mach::mach_task_self;
using platform::mach::mach_vm_allocate;
using platform::mach::mach_vm_deallocate;

namespace {

constexpr std::uint64_t kClassCacheSlots = 1024;
constexpr std::uint32_t kRealizedFlag = 1u << 31;
constexpr std::uint32_t kCopiedReadOnlyFlag = 1u << 27;
constexpr std::uint32_t kRelativeMethodListFlag = 1u << 31;
constexpr std::uint32_t kMethodListEntrySizeMask = 0xfffc;
constexpr std::uint64_t kRelativeMethodEntrySize = 12;
constexpr std::uint64_t kMaxRecordSize = 72;

// Field positions of the metadata records for one pointer width.
struct Layout {
    std::uint64_t pointer;
    std::uint64_t class_size;
    std::uint64_t class_data;
    std::uint64_t category_size;
    std::uint64_t category_class;
    std::uint64_t category_instance_methods;
    std::uint64_t category_class_methods;
    std::uint64_t data_mask;
    std::uint64_t isa_mask;
    std::uint64_t read_only_size;
    std::uint64_t read_only_name;
    std::uint64_t read_only_methods;
    std::uint64_t method_size;
    std::uint64_t method_implementation;
    bool relative_lists;
};

constexpr Layout kLayout64{8,           40, 32, 48, 8,  16, 24,  0x7ffffffffff8,
                           0xffffffff8, 72, 24, 32, 24, 16, true};
constexpr Layout kLayout32{4,  20, 16, 24, 4, 8,    12, ~std::uint64_t{7}, ~std::uint64_t{7},
                           40, 16, 20, 12, 8, false};

struct Walk {
    const kocrash_async_macho* image;
    kocrash_async_objc_cache* cache;
    const Layout* layout;
    kocrash_async_objc_method_cb callback;
    void* context;
};

std::uint64_t readWord(const Walk& walk, const void* local, std::uint64_t offset) {
    return walk.layout->pointer == 8 ? kocrash_async_macho_read64(walk.image, local, offset)
                                     : kocrash_async_macho_read32(walk.image, local, offset);
}

const std::uint8_t* inSection(const Walk& walk, std::uint32_t slot, kocrash_vm_address_t address,
                              kocrash_vm_size_t length) {
    const kocrash_async_objc_section_slot& section = walk.cache->sections[slot];
    if (!section.mapped) {
        return nullptr;
    }
    return static_cast<const std::uint8_t*>(
        kocrash_async_mobject_remap_address(&section.mobj, address, 0, length));
}

bool classCacheLookup(const kocrash_async_objc_cache* cache, std::uint64_t key,
                      std::uint64_t* value) {
    if (cache->class_cache_size == 0) {
        return false;
    }
    std::uint64_t slot = (key / 4) % cache->class_cache_size;
    if (cache->class_cache_keys[slot] != key) {
        return false;
    }
    *value = cache->class_cache_values[slot];
    return true;
}

void classCacheSet(kocrash_async_objc_cache* cache, std::uint64_t key, std::uint64_t value) {
    if (cache->class_cache_size == 0) {
        mach_vm_address_t memory = 0;
        if (mach_vm_allocate(mach_task_self(), &memory, kClassCacheSlots * 16, VM_FLAGS_ANYWHERE) !=
            KERN_SUCCESS) {
            return;
        }
        cache->class_cache_size = kClassCacheSlots;
        cache->class_cache_keys = reinterpret_cast<std::uint64_t*>(memory);
        cache->class_cache_values = cache->class_cache_keys + kClassCacheSlots;
    }
    std::uint64_t slot = (key / 4) % cache->class_cache_size;
    if (cache->class_cache_keys[slot] == 0) {
        cache->class_cache_keys[slot] = key;
        cache->class_cache_values[slot] = value;
    }
}

// The read-only record. The compiler places those of the image in its constant section, so
// one elsewhere in the image is damaged metadata; one outside the image, or one the runtime
// points to through an extension or marks as copied, was made by the runtime and is read from
// the task.
kocrash_error_t copyReadOnly(const Walk& walk, std::uint64_t address, bool from_task,
                             std::uint8_t* record) {
    const std::uint64_t size = walk.layout->read_only_size;
    if (!from_task && kocrash_async_macho_segments_contain_address(walk.image, address)) {
        const std::uint8_t* local = inSection(walk, KOCRASH_OBJC_CONST, address, size);
        if (local == nullptr) {
            return KOCRASH_EINVALID_DATA;
        }
        kocrash_async_memcpy(record, local, size);
        return KOCRASH_ESUCCESS;
    }
    return kocrash_async_task_memcpy(walk.image->task, address, 0, record, size) == KOCRASH_ESUCCESS
               ? KOCRASH_ESUCCESS
               : KOCRASH_EINVALID_DATA;
}

// The class's name and base method list, from its read-only record.
kocrash_error_t readClass(const Walk& walk, const std::uint8_t* class_record,
                          kocrash_async_macho_string* name, std::uint64_t* methods) {
    const std::uint64_t data =
        readWord(walk, class_record, walk.layout->class_data) & walk.layout->data_mask;
    std::uint8_t read_only[kMaxRecordSize];
    std::uint64_t read_only_address;
    kocrash_error_t error;
    if (classCacheLookup(walk.cache, data, &read_only_address)) {
        error = copyReadOnly(walk, read_only_address,
                             inSection(walk, KOCRASH_OBJC_CONST, read_only_address,
                                       walk.layout->read_only_size) == nullptr,
                             read_only);
    } else {
        std::uint8_t head[16];
        if (kocrash_async_task_memcpy(walk.image->task, data, 0, head, 8 + walk.layout->pointer) !=
            KOCRASH_ESUCCESS) {
            return KOCRASH_EINVALID_DATA;
        }
        const std::uint32_t flags = kocrash_async_macho_read32(walk.image, head, 0);
        bool from_task = false;
        read_only_address = data;
        if ((flags & kRealizedFlag) != 0) {
            read_only_address = readWord(walk, head, 8);
            if ((read_only_address & 1) != 0) {
                std::uint8_t word[8];
                if (kocrash_async_task_memcpy(walk.image->task,
                                              read_only_address & ~std::uint64_t{1}, 0, word,
                                              walk.layout->pointer) != KOCRASH_ESUCCESS) {
                    return KOCRASH_EINVALID_DATA;
                }
                read_only_address = readWord(walk, word, 0);
                from_task = true;
            }
            from_task = from_task || (flags & kCopiedReadOnlyFlag) != 0;
        }
        error = copyReadOnly(walk, read_only_address, from_task, read_only);
        if (error == KOCRASH_ESUCCESS) {
            classCacheSet(walk.cache, data, read_only_address);
        }
    }
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    kocrash_async_macho_string_init(name, walk.image,
                                    readWord(walk, read_only, walk.layout->read_only_name));
    *methods = readWord(walk, read_only, walk.layout->read_only_methods);
    return KOCRASH_ESUCCESS;
}

kocrash_error_t walkMethods(const Walk& walk, std::uint64_t list, bool is_class_method,
                            kocrash_async_macho_string* class_name) {
    static constexpr std::uint32_t kListSections[] = {KOCRASH_OBJC_CONST, KOCRASH_OBJC_CONST_AX,
                                                      KOCRASH_OBJC_METHLIST};
    std::uint32_t holder = KOCRASH_OBJC_SECTION_COUNT;
    const std::uint8_t* header = nullptr;
    for (std::uint32_t slot : kListSections) {
        if ((header = inSection(walk, slot, list, 8)) != nullptr) {
            holder = slot;
            break;
        }
    }
    if (header == nullptr) {
        return KOCRASH_EINVALID_DATA;
    }
    const std::uint32_t flags = kocrash_async_macho_read32(walk.image, header, 0);
    const std::uint64_t count = kocrash_async_macho_read32(walk.image, header, 4);
    const std::uint64_t entry_size = flags & kMethodListEntrySizeMask;
    const bool relative = walk.layout->relative_lists && (flags & kRelativeMethodListFlag) != 0;
    if (count == 0) {
        return KOCRASH_ESUCCESS;
    }
    // A smaller entry size would read entries over each other and, at 0, loop 2^32 times over
    // the same bytes.
    if (entry_size < (relative ? kRelativeMethodEntrySize : walk.layout->method_size)) {
        return KOCRASH_EINVALID_DATA;
    }
    const std::uint8_t* entries = inSection(walk, holder, list + 8, count * entry_size);
    if (entries == nullptr) {
        return KOCRASH_EINVALID_DATA;
    }
    for (std::uint64_t index = 0; index < count; ++index) {
        const std::uint8_t* entry = entries + index * entry_size;
        const std::uint64_t entry_address = list + 8 + index * entry_size;
        std::uint64_t name;
        std::uint64_t implementation;
        if (relative) {
            auto name_offset =
                static_cast<std::int32_t>(kocrash_async_macho_read32(walk.image, entry, 0));
            auto implementation_offset =
                static_cast<std::int32_t>(kocrash_async_macho_read32(walk.image, entry, 8));
            name = entry_address + static_cast<std::uint64_t>(std::int64_t{name_offset});
            implementation =
                entry_address + 8 + static_cast<std::uint64_t>(std::int64_t{implementation_offset});
        } else {
            name = readWord(walk, entry, 0);
            implementation = readWord(walk, entry, walk.layout->method_implementation);
        }
        if (const std::uint8_t* selector =
                inSection(walk, KOCRASH_OBJC_SELREFS, name, walk.layout->pointer)) {
            name = readWord(walk, selector, 0);
        }
        kocrash_async_macho_string method_name;
        kocrash_async_macho_string_init(&method_name, walk.image, name);
        walk.callback(is_class_method, class_name, &method_name, implementation, walk.context);
        kocrash_async_macho_string_free(&method_name);
    }
    return KOCRASH_ESUCCESS;
}

kocrash_error_t reportClass(const Walk& walk, const std::uint8_t* class_record,
                            bool is_class_method) {
    kocrash_async_macho_string name;
    std::uint64_t methods;
    kocrash_error_t error = readClass(walk, class_record, &name, &methods);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    if (methods != 0) {
        error = walkMethods(walk, methods, is_class_method, &name);
    }
    kocrash_async_macho_string_free(&name);
    return error;
}

const std::uint8_t* classRecordAt(const Walk& walk, std::uint64_t address) {
    const std::uint8_t* record =
        inSection(walk, KOCRASH_OBJC_DATA, address, walk.layout->class_size);
    return record != nullptr
               ? record
               : inSection(walk, KOCRASH_OBJC_DATA_SECTION, address, walk.layout->class_size);
}

const std::uint8_t* wholeSection(const Walk& walk, std::uint32_t slot, std::uint64_t* length) {
    const kocrash_async_mobject& mobj = walk.cache->sections[slot].mobj;
    *length = kocrash_async_mobject_length(&mobj);
    return inSection(walk, slot, kocrash_async_mobject_base_address(&mobj), *length);
}

kocrash_error_t walkClasses(const Walk& walk) {
    std::uint64_t length;
    const std::uint8_t* list = wholeSection(walk, KOCRASH_OBJC_CLASSLIST, &length);
    if (list == nullptr) {
        return KOCRASH_EINVALID_DATA;
    }
    for (std::uint64_t at = 0; at + walk.layout->pointer <= length; at += walk.layout->pointer) {
        const std::uint8_t* record = classRecordAt(walk, readWord(walk, list, at));
        if (record == nullptr) {
            return KOCRASH_EINVALID_DATA;
        }
        kocrash_error_t error = reportClass(walk, record, false);
        if (error == KOCRASH_ENOTFOUND) {
            continue;
        }
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
        std::uint64_t isa = readWord(walk, record, 0);
        if ((isa & 1) != 0) {
            isa &= walk.layout->isa_mask;
        }
        const std::uint8_t* metaclass = classRecordAt(walk, isa);
        if (metaclass == nullptr) {
            return KOCRASH_EINVALID_DATA;
        }
        error = reportClass(walk, metaclass, true);
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
    }
    return KOCRASH_ESUCCESS;
}

kocrash_error_t walkCategory(const Walk& walk, std::uint64_t address) {
    const std::uint8_t* category =
        inSection(walk, KOCRASH_OBJC_CONST, address, walk.layout->category_size);
    if (category == nullptr) {
        return KOCRASH_EINVALID_DATA;
    }
    const std::uint64_t class_address = readWord(walk, category, walk.layout->category_class);
    std::uint8_t copied_class[kMaxRecordSize];
    const std::uint8_t* class_record =
        inSection(walk, KOCRASH_OBJC_DATA, class_address, walk.layout->class_size);
    if (class_record == nullptr) {
        if (kocrash_async_task_memcpy(walk.image->task, class_address, 0, copied_class,
                                      walk.layout->class_size) != KOCRASH_ESUCCESS) {
            return KOCRASH_EINVALID_DATA;
        }
        class_record = copied_class;
    }
    kocrash_async_macho_string name;
    std::uint64_t class_methods_ignored;
    kocrash_error_t error = readClass(walk, class_record, &name, &class_methods_ignored);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    const std::uint64_t instance_methods =
        readWord(walk, category, walk.layout->category_instance_methods);
    const std::uint64_t class_methods =
        readWord(walk, category, walk.layout->category_class_methods);
    if (instance_methods != 0) {
        error = walkMethods(walk, instance_methods, false, &name);
    }
    if (error == KOCRASH_ESUCCESS && class_methods != 0) {
        error = walkMethods(walk, class_methods, true, &name);
    }
    kocrash_async_macho_string_free(&name);
    return error;
}

kocrash_error_t walkCategories(const Walk& walk) {
    std::uint64_t length;
    const std::uint8_t* list = wholeSection(walk, KOCRASH_OBJC_CATLIST, &length);
    if (list == nullptr) {
        return KOCRASH_EINVALID_DATA;
    }
    kocrash_error_t last = KOCRASH_ESUCCESS;
    for (std::uint64_t at = 0; at + walk.layout->pointer <= length; at += walk.layout->pointer) {
        last = walkCategory(walk, readWord(walk, list, at));
        if (last != KOCRASH_ESUCCESS && last != KOCRASH_ENOTFOUND) {
            return last;
        }
    }
    if (last != KOCRASH_ESUCCESS) {
        return last;
    }
    walk.cache->modern_metadata_seen = true;
    return KOCRASH_ESUCCESS;
}

void releaseSections(kocrash_async_objc_cache* cache) {
    for (auto& section : cache->sections) {
        if (section.mapped) {
            kocrash_async_mobject_free(&section.mobj);
            section.mapped = false;
        }
    }
    cache->last_image = nullptr;
}

kocrash_error_t mapSection(const kocrash_async_macho* image, kocrash_async_objc_cache* cache,
                           std::uint32_t slot, const char* segment, const char* section) {
    kocrash_error_t error =
        kocrash_async_macho_map_section(image, segment, section, &cache->sections[slot].mobj);
    cache->sections[slot].mapped = error == KOCRASH_ESUCCESS;
    return error;
}

// Lists and constants may sit in any of the data segments; only an absent section moves on.
kocrash_error_t mapDataSection(const kocrash_async_macho* image, kocrash_async_objc_cache* cache,
                               std::uint32_t slot, const char* section) {
    static const char* const kSegments[] = {"__DATA", "__DATA_CONST", "__DATA_DIRTY"};
    kocrash_error_t error = KOCRASH_ENOTFOUND;
    for (const char* segment : kSegments) {
        error = mapSection(image, cache, slot, segment, section);
        if (error != KOCRASH_ENOTFOUND) {
            break;
        }
    }
    return error;
}

kocrash_error_t mapSections(const kocrash_async_macho* image, kocrash_async_objc_cache* cache) {
    if (cache->last_image == image) {
        return KOCRASH_ESUCCESS;
    }
    releaseSections(cache);
    kocrash_error_t error = mapDataSection(image, cache, KOCRASH_OBJC_CONST, "__objc_const");
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    mapSection(image, cache, KOCRASH_OBJC_CONST_AX, "__DATA", "__objc_const_ax");
    mapSection(image, cache, KOCRASH_OBJC_METHLIST, "__TEXT", "__objc_methlist");
    mapSection(image, cache, KOCRASH_OBJC_SELREFS, "__DATA", "__objc_selrefs");
    if ((error = mapDataSection(image, cache, KOCRASH_OBJC_CLASSLIST, "__objc_classlist")) !=
            KOCRASH_ESUCCESS ||
        (error = mapDataSection(image, cache, KOCRASH_OBJC_CATLIST, "__objc_catlist")) !=
            KOCRASH_ESUCCESS ||
        (error = mapSection(image, cache, KOCRASH_OBJC_DATA, "__DATA", "__objc_data")) !=
            KOCRASH_ESUCCESS) {
        return error;
    }
    mapSection(image, cache, KOCRASH_OBJC_DATA_SECTION, "__DATA", "__data");
    cache->last_image = image;
    return KOCRASH_ESUCCESS;
}

struct ClosestSearch {
    kocrash_vm_address_t pc;
    kocrash_vm_address_t best;
};

void keepClosest(bool, kocrash_async_macho_string*, kocrash_async_macho_string*,
                 kocrash_vm_address_t implementation, void* context) {
    auto* search = static_cast<ClosestSearch*>(context);
    if (implementation >= search->best && implementation <= search->pc) {
        search->best = implementation;
    }
}

struct ExactReport {
    kocrash_vm_address_t implementation;
    bool reported;
    kocrash_async_objc_method_cb callback;
    void* context;
};

void reportExact(bool is_class_method, kocrash_async_macho_string* class_name,
                 kocrash_async_macho_string* method_name, kocrash_vm_address_t implementation,
                 void* context) {
    auto* report = static_cast<ExactReport*>(context);
    if (report->reported || implementation != report->implementation) {
        return;
    }
    report->reported = true;
    report->callback(is_class_method, class_name, method_name, implementation, report->context);
}

} // namespace

kocrash_error_t kocrash_async_objc_cache_init(kocrash_async_objc_cache* cache) {
    kocrash_async_memset(cache, 0, sizeof(*cache));
    return KOCRASH_ESUCCESS;
}

void kocrash_async_objc_cache_free(kocrash_async_objc_cache* cache) {
    releaseSections(cache);
    if (cache->class_cache_size != 0) {
        mach_vm_deallocate(mach_task_self(),
                           reinterpret_cast<std::uintptr_t>(cache->class_cache_keys),
                           cache->class_cache_size * 16);
        cache->class_cache_size = 0;
        cache->class_cache_keys = nullptr;
        cache->class_cache_values = nullptr;
    }
}

kocrash_error_t kocrash_async_objc_parse(const kocrash_async_macho* image,
                                         kocrash_async_objc_cache* cache,
                                         kocrash_async_objc_method_cb callback, void* context) {
    if (cache == nullptr) {
        return KOCRASH_EACCESS;
    }
    // A runtime that wrote modern metadata for one image wrote it for all of them. A legacy
    // walk ending with 8 (no module records, or one pointing into unmapped memory) leaves the
    // image to the modern layout.
    if (!cache->modern_metadata_seen) {
        const kocrash_error_t legacy = kocrash_async_objc_parse_legacy(image, callback, context);
        if (legacy != KOCRASH_ENOTFOUND) {
            return legacy;
        }
    }
    kocrash_error_t error = mapSections(image, cache);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    Walk walk{image, cache, image->is_64_bit ? &kLayout64 : &kLayout32, callback, context};
    error = walkClasses(walk);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    return walkCategories(walk);
}

kocrash_error_t kocrash_async_objc_find_method(const kocrash_async_macho* image,
                                               kocrash_async_objc_cache* cache,
                                               kocrash_vm_address_t pc,
                                               kocrash_async_objc_method_cb callback,
                                               void* context) {
    ClosestSearch search{pc, 0};
    kocrash_error_t error = kocrash_async_objc_parse(image, cache, keepClosest, &search);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    if (search.best == 0) {
        return KOCRASH_ENOTFOUND;
    }
    ExactReport report{search.best, false, callback, context};
    return kocrash_async_objc_parse(image, cache, reportExact, &report);
}
