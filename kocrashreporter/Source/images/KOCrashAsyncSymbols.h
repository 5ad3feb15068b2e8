// Naming a pc at crash time by the image's symbol table, its Objective-C metadata, or both;
// the closer candidate wins and, at equal addresses, the metadata's bracketed name. May run at
// crash time: everything declared here.
#pragma once

#include "images/KOCrashAsyncMachO.h"
#include "images/KOCrashAsyncObjC.h"

#include <cstdint>

extern "C" {

typedef std::uint32_t kocrash_async_symbol_strategy;
inline constexpr kocrash_async_symbol_strategy KOCRASH_ASYNC_SYMBOL_STRATEGY_NONE = 0;
inline constexpr kocrash_async_symbol_strategy KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE = 1;
inline constexpr kocrash_async_symbol_strategy KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC = 2;

typedef kocrash_async_objc_cache kocrash_async_symbol_cache;

kocrash_error_t kocrash_async_symbol_cache_init(kocrash_async_symbol_cache* cache);
void kocrash_async_symbol_cache_free(kocrash_async_symbol_cache* cache);

typedef void (*kocrash_async_found_symbol_cb)(kocrash_vm_address_t address, const char* name,
                                              void* context);

// 0 after calling callback(start address, name of at most 255 characters, context) once; 8
// when no strategy is given or none finds anything; 6 when lookups succeeded without a name.
kocrash_error_t kocrash_async_find_symbol(const kocrash_async_macho* image,
                                          kocrash_async_symbol_strategy strategy,
                                          kocrash_async_symbol_cache* cache,
                                          kocrash_vm_address_t pc,
                                          kocrash_async_found_symbol_cb callback, void* context);

} // extern "C"
