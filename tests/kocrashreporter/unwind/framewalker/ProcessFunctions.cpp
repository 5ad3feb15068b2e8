#include "ProcessFunctions.h"

ProcessFunctions::ProcessFunctions() {
    for (const LoadedObject& object : loadedObjects()) {
        objects_.push_back({object, std::make_unique<ElfFile>(object.path)});
    }
}

std::string ProcessFunctions::nameAt(std::uint64_t pc) const {
    for (const Object& object : objects_) {
        const std::uint64_t address = pc - object.loaded.loadBias;
        for (const ElfSegment& segment : object.file->loadSegments()) {
            if (segment.executable && segment.address <= address &&
                address < segment.address + segment.memorySize) {
                const std::optional<ElfSymbol> symbol = object.file->functionContaining(address);
                return symbol ? symbol->name : std::string();
            }
        }
    }
    return {};
}

std::uint64_t ProcessFunctions::executableEhFrameAddress() const {
    const Object& executable = objects_.front();
    return executable.loaded.loadBias + executable.file->section(".eh_frame")->address;
}

std::uint64_t ProcessFunctions::executableEhFrameSize() const {
    return objects_.front().file->section(".eh_frame")->size;
}
