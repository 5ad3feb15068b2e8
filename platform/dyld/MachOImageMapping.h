// A Mach-O image file mapped into memory as the loader maps it: every segment at its offset
// from __TEXT in one fresh range, pointers rebased by the slide, __TEXT executable and
// registered as unchanging memory. The header is the range's first byte. Normal context only.
#pragma once

#include "platform/dyld/MachOFormat.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace platform::dyld {

class MachOImageMapping {
public:
    // nullptr when the file cannot be read or is not a native Mach-O image with a __TEXT
    // segment that starts at file offset 0.
    static std::unique_ptr<MachOImageMapping> map(const std::string& path);
    // The same for an image file's bytes; spans above 64 MiB are refused.
    static std::unique_ptr<MachOImageMapping> fromBytes(std::span<const std::uint8_t> file,
                                                        const std::string& path);
    ~MachOImageMapping();
    MachOImageMapping(const MachOImageMapping&) = delete;
    MachOImageMapping& operator=(const MachOImageMapping&) = delete;

    const mach_header* header() const { return reinterpret_cast<const mach_header*>(base_); }
    std::uintptr_t address() const { return reinterpret_cast<std::uintptr_t>(base_); }
    std::intptr_t slide() const { return slide_; }
    const std::string& path() const { return path_; }
    // From the header to the end of the last segment.
    std::span<std::uint8_t> bytes() const { return {base_, length_}; }

private:
    MachOImageMapping() = default;

    std::uint8_t* base_ = nullptr;
    std::size_t length_ = 0;
    std::intptr_t slide_ = 0;
    std::string path_;
    bool textRegistered_ = false;
};

// Keeps an image registered with the loader stand-in for its own lifetime.
class RegisteredImage {
public:
    explicit RegisteredImage(const MachOImageMapping& image);
    ~RegisteredImage();
    RegisteredImage(const RegisteredImage&) = delete;
    RegisteredImage& operator=(const RegisteredImage&) = delete;

private:
    const mach_header* header_;
};

} // namespace platform::dyld
