#include "MappedImage.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace {

std::uint64_t pageSize() {
    return static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

} // namespace

MappedImage::MappedImage(const ElfFile& file) {
    // Segments may share a page, so their page ranges are merged before mapping.
    const std::uint64_t mask = pageSize() - 1;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (const ElfSegment& segment : file.loadSegments()) {
        ranges.emplace_back(segment.address & ~mask,
                            (segment.address + segment.memorySize + mask) & ~mask);
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    for (const auto& [start, end] : merged) {
        void* wanted = reinterpret_cast<void*>(static_cast<std::uintptr_t>(start));
        void* pages = mmap(wanted, end - start, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (pages != wanted) {
            if (pages != MAP_FAILED) {
                munmap(pages, end - start);
            }
            for (auto& [address, size] : mappings_) {
                munmap(address, size);
            }
            throw std::runtime_error("cannot map " + file.path() + " at its own address");
        }
        mappings_.emplace_back(pages, end - start);
    }
    for (const ElfSegment& segment : file.loadSegments()) {
        std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(segment.address)),
                    file.bytesAt(segment.offset), segment.fileSize);
    }
}

MappedImage::~MappedImage() {
    for (auto& [address, size] : mappings_) {
        munmap(address, size);
    }
}

CopiedSection::CopiedSection(const ElfFile& file, const ElfSection& section)
    : size_(section.size),
      mappedSize_(std::max(pageSize(), (section.size + pageSize() - 1) & ~(pageSize() - 1))) {
    bytes_ = mmap(nullptr, mappedSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (bytes_ == MAP_FAILED) {
        throw std::runtime_error("mmap failed");
    }
    std::memcpy(bytes_, file.bytesAt(section.offset), section.size);
}

CopiedSection::~CopiedSection() {
    munmap(bytes_, mappedSize_);
}
