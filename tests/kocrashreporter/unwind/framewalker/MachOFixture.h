// A Mach-O fixture of this suite, mapped into memory as the loader maps it, with the function
// ranges its llvm-nm listing and its llvm-objdump section list give.
#pragma once

#include "platform/dyld/MachOImageMapping.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class MachOFixture {
public:
    // Throws std::runtime_error when the image cannot be mapped.
    explicit MachOFixture(const std::string& name);

    const platform::dyld::MachOImageMapping& mapping() const { return *mapping_; }
    const std::string& path() const { return path_; }
    // The loaded address of a function; throws when the listing has no such name.
    std::uint64_t address(const std::string& name) const;
    // The function whose range holds the loaded address pc, "" when none does. A function
    // reaches up to the next symbol, the last one to the end of __text.
    std::string nameAt(std::uint64_t pc) const;

private:
    std::string path_;
    std::unique_ptr<platform::dyld::MachOImageMapping> mapping_;
    // Link-time address and name, in address order.
    std::vector<std::pair<std::uint64_t, std::string>> symbols_;
    std::uint64_t textEnd_ = 0;
};
