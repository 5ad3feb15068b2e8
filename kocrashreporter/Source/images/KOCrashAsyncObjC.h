// Names from the Objective-C metadata of an image (class lists, categories, method lists), for
// frames whose image has no symbol table: the method whose implementation is closest below a
// pc. A per-report cache keeps the sections of the last image mapped and remembers class
// records by address. May run at crash time: everything declared here (memory objects and one
// kernel allocation per cache, never the heap).
#pragma once

#include "images/KOCrashAsyncMachO.h"
#include "images/KOCrashAsyncMachOString.h"

#include <cstdint>

extern "C" {

enum kocrash_async_objc_section_index : std::uint32_t {
    KOCRASH_OBJC_CONST,
    KOCRASH_OBJC_CONST_AX,
    KOCRASH_OBJC_METHLIST,
    KOCRASH_OBJC_SELREFS,
    KOCRASH_OBJC_CLASSLIST,
    KOCRASH_OBJC_CATLIST,
    KOCRASH_OBJC_DATA,
    KOCRASH_OBJC_DATA_SECTION,
    KOCRASH_OBJC_SECTION_COUNT,
};

struct kocrash_async_objc_section_slot {
    bool mapped;
    kocrash_async_mobject mobj;
};

struct kocrash_async_objc_cache {
    // After the first complete walk of modern metadata the legacy layout is never looked for.
    bool modern_metadata_seen;
    // The image whose sections are mapped.
    const kocrash_async_macho* last_image;
    kocrash_async_objc_section_slot sections[KOCRASH_OBJC_SECTION_COUNT];
    // 0 until first used, then 1024 slots: keys (class data addresses) then values (their
    // read-only records), in one kernel allocation.
    std::uint64_t class_cache_size;
    std::uint64_t* class_cache_keys;
    std::uint64_t* class_cache_values;
};

typedef void (*kocrash_async_objc_method_cb)(bool is_class_method,
                                             kocrash_async_macho_string* class_name,
                                             kocrash_async_macho_string* method_name,
                                             kocrash_vm_address_t implementation, void* context);

kocrash_error_t kocrash_async_objc_cache_init(kocrash_async_objc_cache* cache);
void kocrash_async_objc_cache_free(kocrash_async_objc_cache* cache);

// Calls the callback for every method of every class and category of the image, from its
// legacy metadata (until modern metadata was seen) or else its modern metadata. 7 without a
// cache; a legacy walk's code other than 8; 8 when a required section is absent; 9 when
// metadata points outside every mapping or cannot be read.
kocrash_error_t kocrash_async_objc_parse(const kocrash_async_macho* image,
                                         kocrash_async_objc_cache* cache,
                                         kocrash_async_objc_method_cb callback, void* context);
// The method whose implementation is the greatest at or below pc: 8 when there is none.
kocrash_error_t kocrash_async_objc_find_method(const kocrash_async_macho* image,
                                               kocrash_async_objc_cache* cache,
                                               kocrash_vm_address_t pc,
                                               kocrash_async_objc_method_cb callback,
                                               void* context);

} // extern "C"
