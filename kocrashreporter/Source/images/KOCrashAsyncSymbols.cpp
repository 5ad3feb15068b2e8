// May run at crash time: everything in this file (the lookups, byte copies into a stack buffer).
#include "images/KOCrashAsyncSymbols.h"

#include "images/KOCrashAsyncMachOSymtab.h"

namespace {

constexpr std::size_t kNameCapacity = 256;

struct Candidate {
    char name[kNameCapacity];
    bool found;
    kocrash_vm_address_t address;
};

// A later candidate replaces the held one unless the held one starts higher.
bool takes(const Candidate* candidate, kocrash_vm_address_t address) {
    return !candidate->found || candidate->address <= address;
}

// Appends text while it fits before the terminator's place; false when it did not all fit.
bool append(char* buffer, std::size_t* length, const char* text, std::size_t text_length) {
    for (std::size_t index = 0; index < text_length; ++index) {
        if (*length >= kNameCapacity - 1) {
            return false;
        }
        buffer[(*length)++] = text[index];
    }
    return true;
}

void fromSymbolTable(kocrash_vm_address_t address, const char* name, void* context) {
    auto* candidate = static_cast<Candidate*>(context);
    if (!takes(candidate, address)) {
        return;
    }
    std::size_t length = 0;
    while (name[length] != '\0' && length < kNameCapacity - 1) {
        candidate->name[length] = name[length];
        ++length;
    }
    candidate->name[length] = '\0';
    candidate->address = address;
    candidate->found = true;
}

void fromMetadata(bool is_class_method, kocrash_async_macho_string* class_name,
                  kocrash_async_macho_string* method_name, kocrash_vm_address_t implementation,
                  void* context) {
    auto* candidate = static_cast<Candidate*>(context);
    if (!takes(candidate, implementation)) {
        return;
    }
    const char* class_text;
    const char* method_text;
    kocrash_vm_size_t class_length;
    kocrash_vm_size_t method_length;
    if (kocrash_async_macho_string_get_pointer(class_name, &class_text) != KOCRASH_ESUCCESS ||
        kocrash_async_macho_string_get_length(class_name, &class_length) != KOCRASH_ESUCCESS ||
        kocrash_async_macho_string_get_pointer(method_name, &method_text) != KOCRASH_ESUCCESS ||
        kocrash_async_macho_string_get_length(method_name, &method_length) != KOCRASH_ESUCCESS) {
        return;
    }
    char* buffer = candidate->name;
    std::size_t length = 0;
    append(buffer, &length, is_class_method ? "+[" : "-[", 2) &&
        append(buffer, &length, class_text, class_length) && append(buffer, &length, " ", 1) &&
        append(buffer, &length, method_text, method_length) && append(buffer, &length, "]", 1);
    buffer[length] = '\0';
    candidate->address = implementation;
    candidate->found = true;
}

} // namespace

kocrash_error_t kocrash_async_symbol_cache_init(kocrash_async_symbol_cache* cache) {
    return kocrash_async_objc_cache_init(cache);
}

void kocrash_async_symbol_cache_free(kocrash_async_symbol_cache* cache) {
    kocrash_async_objc_cache_free(cache);
}

kocrash_error_t kocrash_async_find_symbol(const kocrash_async_macho* image,
                                          kocrash_async_symbol_strategy strategy,
                                          kocrash_async_symbol_cache* cache,
                                          kocrash_vm_address_t pc,
                                          kocrash_async_found_symbol_cb callback, void* context) {
    Candidate candidate;
    candidate.found = false;
    candidate.address = 0;
    const bool symbol_table = (strategy & KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE) != 0;
    const bool metadata = (strategy & KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC) != 0;
    bool symbol_table_failed = true;
    if (symbol_table) {
        symbol_table_failed = kocrash_async_macho_find_symbol_by_pc(image, pc, fromSymbolTable,
                                                                    &candidate) != KOCRASH_ESUCCESS;
        if (symbol_table_failed && !metadata) {
            return KOCRASH_ENOTFOUND;
        }
    }
    if (!symbol_table && !metadata) {
        return KOCRASH_ENOTFOUND;
    }
    if (metadata &&
        kocrash_async_objc_find_method(image, cache, pc, fromMetadata, &candidate) !=
            KOCRASH_ESUCCESS &&
        symbol_table_failed) {
        return KOCRASH_ENOTFOUND;
    }
    if (!candidate.found) {
        return KOCRASH_EINTERNAL;
    }
    callback(candidate.address, candidate.name, context);
    return KOCRASH_ESUCCESS;
}
