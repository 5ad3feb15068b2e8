// May run at crash time: buildLateView, withdrawLateView, holdLateViews and releaseLateViews
// (fault-safe copies, writes into the reserved space, the overlay and unchanging-memory tables'
// atomics). reserveLateViews maps the space and reads the program's path: normal context.
#include "platform/dyld/LateObjectViews.h"

#include "platform/dyld/ElfViewFacts.h"
#include "platform/mach/FaultSafeCopy.h"
#include "platform/mach/MemoryOverlays.h"
#include "platform/mach/UnchangingMemory.h"

#include <atomic>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace platform::dyld {
namespace {

constexpr std::size_t kPathBytes = 4096;
constexpr std::size_t kProgramHeaderLimit = 64;
constexpr std::size_t kNoteBytes = 512;
// Room for the longest path, program headers and notes, and a view's header and commands.
constexpr std::size_t kLargestPrefix =
    kPathBytes + kProgramHeaderLimit * sizeof(ElfW(Phdr)) + kNoteBytes + 64;
// The space begins with the program's path: the loader names the program with an empty string,
// and a crash may find /proc gone or no descriptor left to read it. The views follow.
constexpr std::size_t kViewsAt = kPathBytes;
static_assert(kViewsAt + kLargestPrefix + kLateViewBytesLimit <= kLateViewSpaceBytes);
// Longer symbol names are left out; entries past this many in the dynamic section are not read.
constexpr std::size_t kNameLimit = 256;
constexpr std::size_t kDynamicEntryLimit = 512;
constexpr std::size_t kEhFrameEntryLimit = 1 << 20;
constexpr std::uint64_t kSymbolLimit = 1 << 20;

constexpr std::uint8_t kPointerPcRelative = 0x10;
constexpr std::uint8_t kPointerUdata4 = 0x03;
constexpr std::uint8_t kPointerSdata4 = 0x0b;
constexpr std::uint8_t kPointerUdata8 = 0x04;
constexpr std::uint8_t kPointerSdata8 = 0x0c;
constexpr std::uint8_t kPointerAbsolute = 0x00;

std::atomic<std::uint8_t*> slots{nullptr};

using platform::mach::faultSafeRead;

// A NUL-terminated string of at most limit - 1 bytes, read in aligned pieces that never cross a
// page, so that a string ending just before an unmapped page is read whole. Its length, or limit
// when it is longer or unreadable.
std::size_t readString(std::uint64_t address, char* destination, std::size_t limit) {
    constexpr std::uint64_t kChunk = 64;
    std::size_t length = 0;
    while (length < limit) {
        const std::uint64_t at = address + length;
        std::uint64_t chunk = kChunk - at % kChunk;
        chunk = chunk < limit - length ? chunk : limit - length;
        if (!faultSafeRead(at, destination + length, chunk)) {
            return limit;
        }
        for (std::uint64_t index = 0; index < chunk; ++index, ++length) {
            if (destination[length] == '\0') {
                return length;
            }
        }
    }
    return limit;
}

struct DynamicTables {
    std::uint64_t symbols = 0;
    std::uint64_t strings = 0;
    std::uint64_t stringsSize = 0;
    std::uint64_t hash = 0;
    std::uint64_t gnuHash = 0;
};

// The loader relocates the dynamic section's pointers on these machines; a value below the bias
// is taken as unrelocated all the same.
std::uint64_t relocated(std::uint64_t pointer, std::uint64_t bias) {
    return pointer >= bias ? pointer : pointer + bias;
}

DynamicTables readDynamicTables(const LinkMapObject& object) {
    DynamicTables tables;
    for (std::size_t index = 0; index < kDynamicEntryLimit; ++index) {
        ElfW(Dyn) entry;
        if (!faultSafeRead(object.dynamicAddress + index * sizeof(entry), &entry) ||
            entry.d_tag == DT_NULL) {
            break;
        }
        switch (entry.d_tag) {
        case DT_SYMTAB:
            tables.symbols = relocated(entry.d_un.d_ptr, object.bias);
            break;
        case DT_STRTAB:
            tables.strings = relocated(entry.d_un.d_ptr, object.bias);
            break;
        case DT_STRSZ:
            tables.stringsSize = entry.d_un.d_val;
            break;
        case DT_HASH:
            tables.hash = relocated(entry.d_un.d_ptr, object.bias);
            break;
        case DT_GNU_HASH:
            tables.gnuHash = relocated(entry.d_un.d_ptr, object.bias);
            break;
        default:
            break;
        }
    }
    return tables;
}

// The GNU hash table lists the symbols it hashes from symoffset on, each chain ending in an entry
// with its lowest bit set: the highest chain's end is the last symbol.
std::uint64_t gnuHashSymbolCount(std::uint64_t table) {
    std::uint32_t header[4];
    if (!faultSafeRead(table, &header)) {
        return 0;
    }
    const std::uint32_t buckets = header[0];
    const std::uint32_t symoffset = header[1];
    const std::uint64_t bucketsAt = table + sizeof(header) + std::uint64_t{header[2]} * 8;
    std::uint32_t highest = 0;
    for (std::uint32_t index = 0; index < buckets; ++index) {
        std::uint32_t bucket;
        if (!faultSafeRead(bucketsAt + index * 4ull, &bucket)) {
            return 0;
        }
        highest = bucket > highest ? bucket : highest;
    }
    if (highest < symoffset) {
        return symoffset;
    }
    const std::uint64_t chainsAt = bucketsAt + buckets * 4ull;
    for (std::uint64_t symbol = highest; symbol - highest < kSymbolLimit; ++symbol) {
        std::uint32_t chain;
        if (!faultSafeRead(chainsAt + (symbol - symoffset) * 4, &chain)) {
            return 0;
        }
        if ((chain & 1) != 0) {
            return symbol + 1;
        }
    }
    return 0;
}

std::uint64_t dynamicSymbolCount(const DynamicTables& tables) {
    std::uint32_t hash[2];
    if (tables.hash != 0 && faultSafeRead(tables.hash, &hash)) {
        return hash[1] < kSymbolLimit ? hash[1] : kSymbolLimit;
    }
    const std::uint64_t count = tables.gnuHash != 0 ? gnuHashSymbolCount(tables.gnuHash) : 0;
    return count < kSymbolLimit ? count : kSymbolLimit;
}

// The object's dynamic function symbols, read from its memory each time they are visited.
struct DynamicSymbols {
    DynamicTables tables;
    std::uint64_t count = 0;

    template <typename Visit> void visit(Visit&& visit) const {
        for (int pass = 0; pass < 2; ++pass) {
            const bool globals = pass == 1;
            for (std::uint64_t index = 1; index < count; ++index) {
                ElfW(Sym) symbol;
                if (!faultSafeRead(tables.symbols + index * sizeof(symbol), &symbol)) {
                    return;
                }
                const unsigned type = ELF64_ST_TYPE(symbol.st_info);
                const bool global = ELF64_ST_BIND(symbol.st_info) != STB_LOCAL;
                if (global != globals || (type != STT_FUNC && type != STT_GNU_IFUNC) ||
                    symbol.st_shndx == SHN_UNDEF || symbol.st_value == 0 ||
                    symbol.st_name >= tables.stringsSize) {
                    continue;
                }
                char name[kNameLimit];
                const std::size_t length =
                    readString(tables.strings + symbol.st_name, name, kNameLimit);
                if (length == 0 || length == kNameLimit) {
                    continue;
                }
                if (!visit(name, length, symbol.st_value, global)) {
                    return;
                }
            }
        }
    }
};

bool readEncodedPointer(std::uint64_t address, std::uint8_t encoding, std::uint64_t* pointer) {
    std::uint64_t value = 0;
    switch (encoding & 0x0f) {
    case kPointerUdata4: {
        std::uint32_t narrow;
        if (!faultSafeRead(address, &narrow)) {
            return false;
        }
        value = narrow;
        break;
    }
    case kPointerSdata4: {
        std::int32_t narrow;
        if (!faultSafeRead(address, &narrow)) {
            return false;
        }
        value = static_cast<std::uint64_t>(static_cast<std::int64_t>(narrow));
        break;
    }
    case kPointerAbsolute:
    case kPointerUdata8:
    case kPointerSdata8:
        if (!faultSafeRead(address, &value)) {
            return false;
        }
        break;
    default:
        return false;
    }
    switch (encoding & 0x70) {
    case kPointerPcRelative:
        *pointer = address + value;
        return true;
    case 0:
        *pointer = value;
        return true;
    default:
        return false;
    }
}

// .eh_frame runs from where the unwind header points to its zero terminator, within the segment
// that holds it.
void findEhFrame(const ElfW(Phdr) * headers, std::size_t count, std::uint64_t bias,
                 ElfViewFacts* facts) {
    std::uint64_t start = 0;
    for (std::size_t index = 0; index < count && start == 0; ++index) {
        std::uint8_t header[4];
        const std::uint64_t at = bias + headers[index].p_vaddr;
        if (headers[index].p_type != PT_GNU_EH_FRAME || !faultSafeRead(at, &header) ||
            header[0] != 1 || !readEncodedPointer(at + sizeof(header), header[1], &start)) {
            start = 0;
        }
    }
    std::uint64_t segmentEnd = 0;
    for (std::size_t index = 0; index < count; ++index) {
        const ElfW(Phdr)& segment = headers[index];
        if (segment.p_type == PT_LOAD && start - bias >= segment.p_vaddr &&
            start - bias < segment.p_vaddr + segment.p_memsz) {
            segmentEnd = bias + segment.p_vaddr + segment.p_memsz;
        }
    }
    if (start == 0 || segmentEnd == 0) {
        return;
    }
    std::uint64_t cursor = start;
    for (std::size_t entries = 0; entries < kEhFrameEntryLimit && cursor + 4 <= segmentEnd;
         ++entries) {
        std::uint32_t length;
        if (!faultSafeRead(cursor, &length)) {
            return;
        }
        if (length == 0) {
            break;
        }
        std::uint64_t size = 4 + std::uint64_t{length};
        if (length == 0xffffffffu) {
            std::uint64_t extended;
            if (!faultSafeRead(cursor + 4, &extended)) {
                return;
            }
            size = 12 + extended;
        }
        if (size > segmentEnd - cursor) {
            return;
        }
        cursor += size;
    }
    facts->hasEhFrame = true;
    facts->ehFrameAddress = start - bias;
    facts->ehFrameSize = cursor - start;
}

std::size_t alignedUp(std::size_t offset, std::size_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

} // namespace

bool reserveLateViews() {
    if (slots.load() != nullptr) {
        return true;
    }
    void* pages = mmap(nullptr, kLateViewSpaceBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (pages == MAP_FAILED) {
        return false;
    }
    auto* programPath = static_cast<char*>(pages);
    if (readlink("/proc/self/exe", programPath, kPathBytes - 1) < 0) {
        programPath[0] = '\0';
    }
    // The crash reporter reserves them at its start, while another thread may be building the
    // registry, which reserves them too: one reservation is kept.
    std::uint8_t* none = nullptr;
    if (!slots.compare_exchange_strong(none, static_cast<std::uint8_t*>(pages))) {
        munmap(pages, kLateViewSpaceBytes);
    }
    return true;
}

bool lateViewsReserved() {
    return slots.load() != nullptr;
}

bool buildLateView(std::size_t* used, const LinkMapObject& object, LateView* view) {
    std::uint8_t* base = slots.load();
    // A view is begun only where the largest prefix and the largest view still fit; it then
    // takes what it needs of that.
    if (base == nullptr ||
        *used > kLateViewSpaceBytes - kViewsAt - kLargestPrefix - kLateViewBytesLimit) {
        return false;
    }
    const char* programPath = reinterpret_cast<const char*>(base);
    base += kViewsAt + *used;
    auto* path = reinterpret_cast<char*>(base);
    std::size_t pathLength = readString(object.nameAddress, path, kPathBytes);
    if (pathLength == kPathBytes) {
        return false;
    }
    if (pathLength == 0) {
        pathLength = std::strlen(programPath);
        std::memcpy(path, programPath, pathLength + 1);
    }
    ElfW(Ehdr) elf;
    if (!faultSafeRead(object.bias, &elf) || elf.e_ident[EI_MAG0] != ELFMAG0 ||
        elf.e_ident[EI_MAG1] != ELFMAG1 || elf.e_ident[EI_MAG2] != ELFMAG2 ||
        elf.e_ident[EI_MAG3] != ELFMAG3 || elf.e_ident[EI_CLASS] != ELFCLASS64 ||
        elf.e_phentsize != sizeof(ElfW(Phdr)) || elf.e_phnum > kProgramHeaderLimit) {
        return false;
    }
    const std::size_t headersAt = alignedUp(pathLength + 1, alignof(ElfW(Phdr)));
    auto* headers = reinterpret_cast<ElfW(Phdr)*>(base + headersAt);
    ElfViewFacts facts;
    if (!faultSafeRead(object.bias + elf.e_phoff, headers, elf.e_phnum * sizeof(ElfW(Phdr))) ||
        !factsFromProgramHeaders(headers, elf.e_phnum, &facts) || facts.textStart != 0) {
        return false;
    }
    const std::size_t notesAt = headersAt + elf.e_phnum * sizeof(ElfW(Phdr));
    std::uint8_t* notes = base + notesAt;
    for (std::size_t index = 0; index < elf.e_phnum && !facts.hasUuid; ++index) {
        const std::size_t length =
            headers[index].p_memsz < kNoteBytes ? headers[index].p_memsz : kNoteBytes;
        if (headers[index].p_type == PT_NOTE &&
            faultSafeRead(object.bias + headers[index].p_vaddr, notes, length)) {
            uuidFromNotes(notes, length, &facts);
        }
    }
    findEhFrame(headers, elf.e_phnum, object.bias, &facts);

    DynamicSymbols symbols;
    symbols.tables = readDynamicTables(object);
    if (symbols.tables.symbols != 0 && symbols.tables.strings != 0) {
        symbols.count = dynamicSymbolCount(symbols.tables);
    }
    const std::size_t viewAt = alignedUp(notesAt + kNoteBytes, 16);
    std::uint8_t* storage = base + viewAt;
    const ViewLayout layout = layoutView(facts, symbols, kLateViewBytesLimit);
    if (layout.commandsEnd == 0) {
        return false;
    }
    writeView(facts, symbols, layout, storage, object.bias);
    if (!platform::mach::addMemoryOverlay(object.bias, storage, layout.commandsEnd)) {
        return false;
    }
    *view = {object.bias, path, storage};
    *used += alignedUp(viewAt + layout.size, 16);
    return true;
}

void withdrawLateView(const LateView& view) {
    platform::mach::removeMemoryOverlay(view.headerAddress, view.bytes);
}

void holdLateViews(std::size_t used) {
    std::uint8_t* base = slots.load();
    if (base != nullptr && used > 0) {
        platform::mach::addUnchangingMemory(reinterpret_cast<std::uintptr_t>(base + kViewsAt),
                                            used);
    }
}

void releaseLateViews() {
    std::uint8_t* base = slots.load();
    if (base != nullptr) {
        platform::mach::removeUnchangingMemory(reinterpret_cast<std::uintptr_t>(base + kViewsAt));
    }
}

} // namespace platform::dyld
