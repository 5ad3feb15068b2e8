// The functions of this test executable as its ELF symbol table names them, so that a walked
// pc can be checked against the function it must lie in.
#pragma once

#include "ElfFile.h"
#include "LoadedObjects.h"

#include <cstdint>
#include <string>

class OwnFunctions {
public:
    OwnFunctions();

    // The (mangled) name of the function whose code holds pc, or "" when none does.
    std::string nameAt(std::uint64_t pc) const;
    // Where the executable's .eh_frame is loaded, and its size.
    std::uint64_t ehFrameAddress() const;
    std::uint64_t ehFrameSize() const;

private:
    LoadedObject object_;
    ElfFile file_;
};
