// Zero-filled pages below 2 GiB: addresses that fit a 32-bit word in every build (the host's
// sanitizers leave low memory usable only below 2 GiB).
#pragma once

#include <cstddef>
#include <cstdint>

class LowPages {
public:
    // Throws std::runtime_error when no free range is found.
    explicit LowPages(std::size_t size);
    ~LowPages();
    LowPages(const LowPages&) = delete;
    LowPages& operator=(const LowPages&) = delete;

    std::uint8_t* data() const { return data_; }
    std::uint64_t address() const { return reinterpret_cast<std::uintptr_t>(data_); }
    std::size_t size() const { return size_; }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_;
};
