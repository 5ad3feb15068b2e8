// The functions of this process's ELF objects (the executable, the loader, the libraries) as
// their symbol tables name them, so that a walked pc can be checked against the function it
// must lie in.
#pragma once

#include "ElfFile.h"
#include "LoadedObjects.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ProcessFunctions {
public:
    ProcessFunctions();

    // The (mangled) name of the function whose code holds pc, or "" when none does.
    std::string nameAt(std::uint64_t pc) const;
    // Where the executable's .eh_frame is loaded, and its size.
    std::uint64_t executableEhFrameAddress() const;
    std::uint64_t executableEhFrameSize() const;

private:
    struct Object {
        LoadedObject loaded;
        std::unique_ptr<ElfFile> file;
    };
    // The executable first.
    std::vector<Object> objects_;
};
