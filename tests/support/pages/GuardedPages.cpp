#include "GuardedPages.h"

#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace {

std::uint8_t* mapPages(std::size_t count) {
    void* pages = mmap(nullptr, count * GuardedPages::pageSize(), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        throw std::runtime_error("mmap failed");
    }
    return static_cast<std::uint8_t*>(pages);
}

} // namespace

GuardedPages::GuardedPages() {
    base_ = mapPages(3);
    for (std::size_t i = 0; i < pageSize(); ++i) {
        base_[i] = patternByte(i);
    }
    mprotect(inaccessible(), pageSize(), PROT_NONE);
    munmap(unmapped(), pageSize());
    // A second block whose unmapped page follows a readable one directly.
    second_ = mapPages(2);
    for (std::size_t i = 0; i < pageSize(); ++i) {
        second_[i] = patternByte(i);
    }
    munmap(second_ + pageSize(), pageSize());
}

GuardedPages::~GuardedPages() {
    munmap(base_, 2 * pageSize());
    munmap(second_, pageSize());
}

std::size_t GuardedPages::pageSize() {
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::uint8_t GuardedPages::patternByte(std::size_t index) {
    return static_cast<std::uint8_t>(index * 7 + 3);
}
