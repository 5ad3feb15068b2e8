// Building call-frame sections, instruction streams and expressions byte by byte, and placing
// them in memory that ends right before an unmapped page, so a reader that runs past their
// end faults instead of reading on.
#pragma once

#include "async/KOCrashAsyncMObject.h"
#include "LowPages.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

class DwarfBytes {
public:
    explicit DwarfBytes(bool bigEndian = false) : bigEndian_(bigEndian) {}

    DwarfBytes& u8(std::uint64_t value) { return fixed(value, 1); }
    DwarfBytes& u16(std::uint64_t value) { return fixed(value, 2); }
    DwarfBytes& u32(std::uint64_t value) { return fixed(value, 4); }
    DwarfBytes& u64(std::uint64_t value) { return fixed(value, 8); }
    DwarfBytes& uleb(std::uint64_t value);
    DwarfBytes& sleb(std::int64_t value);
    DwarfBytes& raw(std::initializer_list<std::uint8_t> bytes);
    DwarfBytes& append(const DwarfBytes& other);
    // The characters and their NUL.
    DwarfBytes& cstring(const std::string& text);
    // Overwrite bytes at offset, in the builder's byte order.
    void patch32(std::size_t offset, std::uint32_t value) { patch(offset, value, 4); }
    void patch64(std::size_t offset, std::uint64_t value) { patch(offset, value, 8); }

    std::size_t size() const { return bytes_.size(); }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    DwarfBytes& fixed(std::uint64_t value, int size);
    void patch(std::size_t offset, std::uint64_t value, int size);

    bool bigEndian_;
    std::vector<std::uint8_t> bytes_;
};

// A copy of the bytes below 2 GiB (so its addresses fit the 32-bit machinery too) whose last
// byte is the last one of a readable page (an unmapped page follows), and a memory object over
// exactly those bytes.
class MappedBytes {
public:
    explicit MappedBytes(const std::vector<std::uint8_t>& bytes);
    explicit MappedBytes(const DwarfBytes& bytes) : MappedBytes(bytes.bytes()) {}
    ~MappedBytes();
    MappedBytes(const MappedBytes&) = delete;
    MappedBytes& operator=(const MappedBytes&) = delete;

    std::uint64_t address() const { return address_; }
    std::uint64_t size() const { return size_; }
    const kocrash_async_mobject* mobj() const { return &mobj_; }

private:
    LowPages pages_;
    std::uint64_t address_;
    std::uint64_t size_;
    kocrash_async_mobject mobj_;
};
