// Whole pages of memory of their own, written once and then made read-only: bytes that share no
// page with anything else and can no longer change, so they can be registered as unchanging
// memory. Normal context only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::dyld {

class SealedPages {
public:
    // Zero-filled and writable until seal(); data() is null when no memory could be had.
    explicit SealedPages(std::size_t size);
    ~SealedPages();
    SealedPages(const SealedPages&) = delete;
    SealedPages& operator=(const SealedPages&) = delete;

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    void seal();

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace platform::dyld
