#include "LegacyObjcImage.h"

#include <cstring>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kModuleVersion = 7;
constexpr std::uint32_t kModuleSize = 16;

std::size_t pageSize() {
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

} // namespace

LegacyObjcSegment::LegacyObjcSegment(std::uint64_t imageAddress, bool swapped)
    : segmentAddress_(imageAddress + SyntheticImage::kObjcOffset), swapped_(swapped) {}

void LegacyObjcSegment::put32(std::vector<std::uint8_t>& bytes, std::uint32_t value) const {
    value = swapped_ ? __builtin_bswap32(value) : value;
    const auto* data = reinterpret_cast<const std::uint8_t*>(&value);
    bytes.insert(bytes.end(), data, data + 4);
}

std::uint32_t LegacyObjcSegment::place(const std::vector<std::uint8_t>& bytes) {
    // Eight-byte alignment leaves the low bits of a class address free for the isa's flags.
    contents_.resize((contents_.size() + 7) / 8 * 8);
    const auto address = static_cast<std::uint32_t>(segmentAddress_ + contents_.size());
    contents_.insert(contents_.end(), bytes.begin(), bytes.end());
    return address;
}

std::uint32_t LegacyObjcSegment::string(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return place(bytes);
}

std::uint32_t LegacyObjcSegment::words(const std::vector<std::uint32_t>& values) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t value : values) {
        put32(bytes, value);
    }
    return place(bytes);
}

std::uint32_t
LegacyObjcSegment::methodList(const std::vector<std::pair<std::string, std::uint32_t>>& methods) {
    std::vector<std::uint32_t> values{0, static_cast<std::uint32_t>(methods.size())};
    const std::uint32_t types = string("v8@0:4");
    for (const auto& [name, implementation] : methods) {
        values.insert(values.end(), {string(name), types, implementation});
    }
    return words(values);
}

std::uint32_t LegacyObjcSegment::classRecord(std::uint32_t isa, const std::string& name,
                                             std::uint32_t info, std::uint32_t methodLists) {
    return words({isa, 0, string(name), 0, info, 0, 0, methodLists, 0, 0});
}

std::uint32_t LegacyObjcSegment::symtab(const std::vector<std::uint32_t>& classes) {
    std::vector<std::uint8_t> bytes;
    put32(bytes, 0);
    put32(bytes, 0);
    // The class count and, after it, the category count: 16 bits each.
    const std::uint32_t counts = static_cast<std::uint32_t>(classes.size());
    put32(bytes, swapped_ ? counts << 16 : counts);
    for (std::uint32_t address : classes) {
        put32(bytes, address);
    }
    return place(bytes);
}

void LegacyObjcSegment::module(std::uint32_t symtab) {
    for (std::uint32_t value : {kModuleVersion, kModuleSize, 0u, symtab}) {
        put32(modules_, value);
    }
}

void LegacyObjcSegment::addTo(SyntheticImageSpec& spec) const {
    spec.objcContents = contents_;
    spec.objcContents.resize((contents_.size() + 3) / 4 * 4);
    const auto modulesAt = static_cast<std::uint32_t>(spec.objcContents.size());
    spec.objcContents.insert(spec.objcContents.end(), modules_.begin(), modules_.end());
    spec.objcSections = {{"__module_info", modulesAt, static_cast<std::uint32_t>(modules_.size())}};
}

LegacyImagePages::LegacyImagePages() : pages_(kImageArea + 2 * pageSize()) {
    if (mprotect(pages_.data() + kImageArea, pageSize(), PROT_NONE) != 0 ||
        munmap(pages_.data() + kImageArea + pageSize(), pageSize()) != 0) {
        throw std::runtime_error("the failing pages could not be made");
    }
}

std::uint32_t LegacyImagePages::unreadable() const {
    return static_cast<std::uint32_t>(address() + kImageArea);
}

std::uint32_t LegacyImagePages::unmapped() const {
    return static_cast<std::uint32_t>(address() + kImageArea + pageSize());
}

void LegacyImagePages::place(SyntheticImage& image) {
    if (image.size() > kImageArea) {
        throw std::logic_error("the image does not fit its pages");
    }
    std::memcpy(pages_.data(), image.bytes(), image.size());
}
