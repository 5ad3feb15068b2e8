#include "OwnFunctions.h"

OwnFunctions::OwnFunctions() : object_(*loadedObject("")), file_(object_.path) {}

std::string OwnFunctions::nameAt(std::uint64_t pc) const {
    const std::optional<ElfSymbol> symbol = file_.functionContaining(pc - object_.loadBias);
    return symbol ? symbol->name : std::string();
}

std::uint64_t OwnFunctions::ehFrameAddress() const {
    return object_.loadBias + file_.section(".eh_frame")->address;
}

std::uint64_t OwnFunctions::ehFrameSize() const {
    return file_.section(".eh_frame")->size;
}
