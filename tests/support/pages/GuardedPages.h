// Three consecutive pages of real memory: the first readable and filled with a known pattern,
// the second mapped without any access, the third unmapped.
#pragma once

#include <cstddef>
#include <cstdint>

class GuardedPages {
public:
    GuardedPages();
    ~GuardedPages();
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;

    static std::size_t pageSize();
    // Byte i of the readable page holds patternByte(i).
    static std::uint8_t patternByte(std::size_t index);

    std::uint8_t* readable() const { return base_; }
    std::uint8_t* inaccessible() const { return base_ + pageSize(); }
    std::uint8_t* unmapped() const { return base_ + 2 * pageSize(); }
    // A readable page directly followed by an unmapped one.
    std::uint8_t* readableBeforeUnmapped() const { return second_; }

private:
    std::uint8_t* base_ = nullptr;
    std::uint8_t* second_ = nullptr;
};
