#include "DwarfBytes.h"

#include "platform/mach/MachPorts.h"

#include <cstring>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

using platform::mach::mach_task_self;

DwarfBytes& DwarfBytes::fixed(std::uint64_t value, int size) {
    for (int index = 0; index < size; ++index) {
        const int shift = 8 * (bigEndian_ ? size - 1 - index : index);
        bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    return *this;
}

DwarfBytes& DwarfBytes::uleb(std::uint64_t value) {
    do {
        std::uint8_t byte = value & 0x7F;
        value >>= 7;
        bytes_.push_back(value != 0 ? byte | 0x80 : byte);
    } while (value != 0);
    return *this;
}

DwarfBytes& DwarfBytes::sleb(std::int64_t value) {
    for (;;) {
        std::uint8_t byte = value & 0x7F;
        value >>= 7;
        const bool done = (value == 0 && (byte & 0x40) == 0) || (value == -1 && (byte & 0x40) != 0);
        bytes_.push_back(done ? byte : byte | 0x80);
        if (done) {
            return *this;
        }
    }
}

DwarfBytes& DwarfBytes::raw(std::initializer_list<std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

DwarfBytes& DwarfBytes::append(const DwarfBytes& other) {
    bytes_.insert(bytes_.end(), other.bytes_.begin(), other.bytes_.end());
    return *this;
}

DwarfBytes& DwarfBytes::cstring(const std::string& text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    bytes_.push_back(0);
    return *this;
}

void DwarfBytes::patch(std::size_t offset, std::uint64_t value, int size) {
    for (int index = 0; index < size; ++index) {
        const int shift = 8 * (bigEndian_ ? size - 1 - index : index);
        bytes_.at(offset + static_cast<std::size_t>(index)) =
            static_cast<std::uint8_t>(value >> shift);
    }
}

namespace {

std::size_t pageSize() {
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// The data's pages and one more, which is unmapped again to guard the end.
std::size_t guardedSize(std::size_t size) {
    return ((size + pageSize() - 1) / pageSize() + 1) * pageSize();
}

} // namespace

MappedBytes::MappedBytes(const std::vector<std::uint8_t>& bytes)
    : pages_(guardedSize(bytes.size())), size_(bytes.size()) {
    std::uint8_t* guard = pages_.data() + pages_.size() - pageSize();
    munmap(guard, pageSize());
    std::uint8_t* start = guard - bytes.size();
    if (!bytes.empty()) {
        std::memcpy(start, bytes.data(), bytes.size());
    }
    address_ = reinterpret_cast<std::uintptr_t>(start);
    if (kocrash_async_mobject_init(&mobj_, mach_task_self(), address_, size_, true) !=
        KOCRASH_ESUCCESS) {
        throw std::runtime_error("cannot map the bytes");
    }
}

MappedBytes::~MappedBytes() {
    kocrash_async_mobject_free(&mobj_);
}
