// Fixture images mapped into memory as the loader maps them, and the crash reporter's Mach-O
// image record over one of them.
#pragma once

#include "MachOOracle.h"
#include "images/KOCrashAsyncMachO.h"
#include "platform/dyld/MachOImageMapping.h"

#include <memory>
#include <string>

class MappedFixture {
public:
    explicit MappedFixture(const std::string& name);
    ~MappedFixture();
    MappedFixture(const MappedFixture&) = delete;
    MappedFixture& operator=(const MappedFixture&) = delete;

    // 0 when the reader accepted the image.
    kocrash_error_t initError() const { return error_; }
    const kocrash_async_macho* image() const { return &image_; }
    const platform::dyld::MachOImageMapping& mapping() const { return *mapping_; }
    const std::string& path() const { return path_; }
    // The slid address of a link-time address.
    std::uint64_t slid(std::uint64_t address) const {
        return address + static_cast<std::uint64_t>(mapping_->slide());
    }

private:
    std::string path_;
    std::unique_ptr<platform::dyld::MachOImageMapping> mapping_;
    kocrash_async_macho image_{};
    kocrash_error_t error_;
};

// Every image fixture with its symbols: the three architectures, dylibs and executables.
const std::vector<std::string>& symbolFixtures();
