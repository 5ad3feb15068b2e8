#include "MachOFixture.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

MachOFixture::MachOFixture(const std::string& name)
    : path_(std::string(FRAMEWALKER_FIXTURE_DIR) + "/" + name),
      mapping_(platform::dyld::MachOImageMapping::map(path_)) {
    if (!mapping_) {
        throw std::runtime_error("cannot map " + path_);
    }
    std::ifstream listing(path_ + ".nm.txt");
    std::string line;
    while (std::getline(listing, line)) {
        std::istringstream fields(line);
        std::string address;
        std::string type;
        std::string symbol;
        if (fields >> address >> type >> symbol && (type == "T" || type == "t")) {
            symbols_.emplace_back(std::stoull(address, nullptr, 16), symbol);
        }
    }
    // The last function reaches to the end of __text.
    std::ifstream sections(path_ + ".sections.txt");
    while (std::getline(sections, line)) {
        std::istringstream fields(line);
        std::string index;
        std::string name;
        std::string size;
        std::string address;
        if (fields >> index >> name >> size >> address && name == "__text") {
            textEnd_ = std::stoull(address, nullptr, 16) + std::stoull(size, nullptr, 16);
        }
    }
}

std::uint64_t MachOFixture::address(const std::string& name) const {
    for (const auto& [address, symbol] : symbols_) {
        if (symbol == name) {
            return address + static_cast<std::uint64_t>(mapping_->slide());
        }
    }
    throw std::runtime_error("no symbol " + name + " in " + path_);
}

std::string MachOFixture::nameAt(std::uint64_t pc) const {
    const std::uint64_t address = pc - static_cast<std::uint64_t>(mapping_->slide());
    for (std::size_t index = 0; index < symbols_.size(); ++index) {
        const std::uint64_t end =
            index + 1 == symbols_.size() ? textEnd_ : symbols_[index + 1].first;
        if (symbols_[index].first <= address && address < end) {
            return symbols_[index].second;
        }
    }
    return {};
}
