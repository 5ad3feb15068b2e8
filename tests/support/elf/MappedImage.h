// Bytes of an ELF file placed in this process's memory for readers that work on live memory:
// either every loadable segment at the very address the file names (so pc-relative and
// absolute pointers resolve as in a loaded image), or one section copied anywhere.
#pragma once

#include "ElfFile.h"

#include <cstdint>
#include <utility>
#include <vector>

class MappedImage {
public:
    // Throws std::runtime_error when an address is taken or unusable.
    explicit MappedImage(const ElfFile& file);
    ~MappedImage();
    MappedImage(const MappedImage&) = delete;
    MappedImage& operator=(const MappedImage&) = delete;

private:
    std::vector<std::pair<void*, std::size_t>> mappings_;
};

// A section's bytes in a fresh page-aligned block of their own.
class CopiedSection {
public:
    CopiedSection(const ElfFile& file, const ElfSection& section);
    ~CopiedSection();
    CopiedSection(const CopiedSection&) = delete;
    CopiedSection& operator=(const CopiedSection&) = delete;

    std::uint64_t address() const { return reinterpret_cast<std::uintptr_t>(bytes_); }
    std::uint64_t size() const { return size_; }

private:
    void* bytes_;
    std::size_t size_;
    std::size_t mappedSize_;
};
