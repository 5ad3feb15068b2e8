// 32-bit images carrying legacy object metadata in an __OBJC segment, as the old compilers laid
// it out: module records, symbol tables, classes with their metaclasses, method lists. The image
// is placed below 2 GiB so that its 32-bit pointers reach it; a page without access and an
// unmapped page follow it, for pointers that must fail to read.
#pragma once

#include "LowPages.h"
#include "SyntheticImage.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Metadata records placed one after another in the __OBJC segment of an image loaded at
// imageAddress. Every placing call returns the task address of what it placed.
class LegacyObjcSegment {
public:
    LegacyObjcSegment(std::uint64_t imageAddress, bool swapped);

    std::uint32_t string(const std::string& text);
    std::uint32_t words(const std::vector<std::uint32_t>& values);
    // (name, implementation address) pairs.
    std::uint32_t methodList(const std::vector<std::pair<std::string, std::uint32_t>>& methods);
    std::uint32_t classRecord(std::uint32_t isa, const std::string& name, std::uint32_t info,
                              std::uint32_t methodLists);
    std::uint32_t symtab(const std::vector<std::uint32_t>& classes);
    void module(std::uint32_t symtab);

    // The contents, with the module records last in "__module_info".
    void addTo(SyntheticImageSpec& spec) const;

private:
    std::uint32_t place(const std::vector<std::uint8_t>& bytes);
    void put32(std::vector<std::uint8_t>& bytes, std::uint32_t value) const;

    std::uint64_t segmentAddress_;
    bool swapped_;
    std::vector<std::uint8_t> contents_;
    std::vector<std::uint8_t> modules_;
};

// Low pages for an image of up to kImageArea bytes and the two failing pages after it.
class LegacyImagePages {
public:
    static constexpr std::size_t kImageArea = 0x8000;

    LegacyImagePages();
    std::uint64_t address() const { return pages_.address(); }
    std::uint32_t unreadable() const;
    std::uint32_t unmapped() const;
    // Copies the image to the start of the pages.
    void place(SyntheticImage& image);

private:
    LowPages pages_;
};
