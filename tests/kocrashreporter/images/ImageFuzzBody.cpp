#include "ImageFuzzBody.h"

#include "LowPages.h"

#include "images/KOCrashAsyncMachOSymtab.h"
#include "images/KOCrashAsyncSymbols.h"
#include "platform/dyld/MachOFormat.h"
#include "platform/dyld/MachOImageMapping.h"
#include "platform/mach/MachPorts.h"
#include "unwind/KOCrashAsyncCompactUnwind.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

using platform::mach::mach_task_self;

namespace {

void ignoreSymbol(kocrash_vm_address_t, const char* name, void*) {
    // Touch every byte of the name: a name running past its table would show here.
    volatile std::size_t length = std::strlen(name);
    (void)length;
}

void lookUpPcs(const kocrash_async_macho* image, const kocrash_async_mobject* section) {
    kocrash_async_cfe_reader reader;
    const bool unwind =
        section != nullptr &&
        kocrash_async_cfe_reader_init(&reader, section, kocrash_async_macho_cpu_type(image)) ==
            KOCRASH_ESUCCESS;
    kocrash_async_symbol_cache cache;
    kocrash_async_symbol_cache_init(&cache);
    for (std::uint64_t offset : {0ull, 0x10ull, 0x300ull, 0x1000ull, 0x4000ull, 0x10000ull}) {
        const std::uint64_t pc = image->header_address + offset;
        kocrash_async_find_symbol(
            image, KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE | KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
            &cache, pc, ignoreSymbol, nullptr);
        std::uint64_t function = 0;
        std::uint32_t encoding = 0;
        if (unwind && kocrash_async_cfe_reader_find_pc(&reader, offset, &function, &encoding) ==
                          KOCRASH_ESUCCESS) {
            kocrash_async_cfe_entry entry;
            kocrash_async_cfe_entry_init(&entry, kocrash_async_macho_cpu_type(image), encoding);
        }
    }
    kocrash_async_symbol_cache_free(&cache);
}

void readImage(std::uint64_t header) {
    kocrash_async_macho image{};
    if (kocrash_nasync_macho_init(&image, mach_task_self(), "fuzz", header) != KOCRASH_ESUCCESS) {
        return;
    }
    for (void* command = kocrash_async_macho_next_command(&image, nullptr); command != nullptr;
         command = kocrash_async_macho_next_command(&image, command)) {
    }
    kocrash_vm_address_t pc;
    kocrash_async_macho_find_symbol_by_name(&image, "_leaf_add", &pc);
    kocrash_async_mobject section;
    const bool mapped = kocrash_async_macho_map_section(&image, "__TEXT", "__unwind_info",
                                                        &section) == KOCRASH_ESUCCESS;
    lookUpPcs(&image, mapped ? &section : nullptr);
    if (mapped) {
        kocrash_async_mobject_free(&section);
    }
    kocrash_nasync_macho_free(&image);
}

void readUnwindSection(const std::uint8_t* bytes, std::size_t size) {
    kocrash_async_mobject section;
    if (size == 0 || kocrash_async_mobject_init(&section, mach_task_self(),
                                                reinterpret_cast<std::uintptr_t>(bytes), size,
                                                true) != KOCRASH_ESUCCESS) {
        return;
    }
    for (cpu_type_t cpu : {CPU_TYPE_ARM64, CPU_TYPE_X86_64, CPU_TYPE_X86}) {
        kocrash_async_cfe_reader reader;
        if (kocrash_async_cfe_reader_init(&reader, &section, cpu) != KOCRASH_ESUCCESS) {
            continue;
        }
        for (std::uint64_t pc : {0ull, 0x100ull, 0x1000ull, 0x10000ull, ~0ull}) {
            std::uint64_t function = 0;
            std::uint32_t encoding = 0;
            if (kocrash_async_cfe_reader_find_pc(&reader, pc, &function, &encoding) ==
                KOCRASH_ESUCCESS) {
                kocrash_async_cfe_entry entry;
                kocrash_async_cfe_entry_init(&entry, cpu, encoding);
            }
        }
    }
    kocrash_async_mobject_free(&section);
}

// Whether every segment and section of the image at header lies in its first length bytes.
bool staysInside(std::uint64_t header, std::uint64_t length) {
    kocrash_async_macho image{};
    if (kocrash_nasync_macho_init(&image, mach_task_self(), "fuzz", header) != KOCRASH_ESUCCESS) {
        return false;
    }
    const bool wide = image.is_64_bit;
    const std::uint64_t pointer = wide ? 8 : 4;
    const std::uint32_t segmentSize = wide ? sizeof(segment_command_64) : sizeof(segment_command);
    const std::uint32_t recordSize = wide ? sizeof(section_64) : sizeof(section);
    auto word = [&](const void* local, std::uint64_t offset) {
        return wide ? kocrash_async_macho_read64(&image, local, offset)
                    : kocrash_async_macho_read32(&image, local, offset);
    };
    auto within = [&](std::uint64_t address, std::uint64_t size) {
        const std::uint64_t offset =
            address + static_cast<std::uint64_t>(image.load_slide) - header;
        return offset <= length && size <= length - offset;
    };
    bool inside = true;
    void* command = nullptr;
    while (inside &&
           (command = kocrash_async_macho_next_command_type(
                &image, command, wide ? LC_SEGMENT_64 : LC_SEGMENT)) != nullptr &&
           kocrash_async_macho_command_covers(&image, command, segmentSize)) {
        inside = within(word(command, 24), word(command, 24 + pointer));
        const std::uint32_t commandSize = kocrash_async_macho_read32(&image, command, 4);
        const std::uint32_t sections = kocrash_async_macho_read32(&image, command, segmentSize - 8);
        for (std::uint64_t record = segmentSize;
             inside && record < segmentSize + std::uint64_t{sections} * recordSize &&
             record + recordSize <= commandSize;
             record += recordSize) {
            inside = within(word(command, record + 32), word(command, record + 32 + pointer));
        }
    }
    kocrash_nasync_macho_free(&image);
    return inside;
}

// Legacy object metadata holds 32-bit pointers: only a copy below 2 GiB lets them reach the
// input itself. Inputs are built for the first free address, which a fresh process gets; the
// size is the fuzzer's longest input (scripts/fuzz.sh), longer ones are cut. At a fixed address
// an input could aim its segments and sections at the sanitizers' shadow (terabytes of
// readable zeros that memory objects would check and copy page by page), which no process
// without them has: such inputs are read on the heap only.
void readLowCopy(const std::uint8_t* data, std::size_t size) {
    static LowPages pages(64 * 1024);
    const std::size_t copied = std::min(size, pages.size());
    std::fill(std::copy_n(data, copied, pages.data()), pages.data() + pages.size(), 0);
    if (copied >= sizeof(std::uint32_t) && staysInside(pages.address(), pages.size())) {
        readImage(pages.address());
    }
}

} // namespace

void kocrash_image_fuzz_one(const std::uint8_t* data, std::size_t size) {
    if (auto mapping = platform::dyld::MachOImageMapping::fromBytes({data, size}, "fuzz")) {
        readImage(mapping->address());
    }
    // An exact copy, so reads past the input's end land outside it for the sanitizers.
    std::vector<std::uint8_t> copy(data, data + size);
    if (size >= sizeof(std::uint32_t)) {
        readImage(reinterpret_cast<std::uintptr_t>(copy.data()));
    }
    readLowCopy(data, size);
    readUnwindSection(copy.data(), copy.size());
}
