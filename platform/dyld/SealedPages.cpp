#include "platform/dyld/SealedPages.h"

#include <sys/mman.h>

namespace platform::dyld {

SealedPages::SealedPages(std::size_t size) {
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (size != 0 && pages != MAP_FAILED) {
        data_ = static_cast<std::uint8_t*>(pages);
        size_ = size;
    }
}

SealedPages::~SealedPages() {
    if (data_ != nullptr) {
        munmap(data_, size_);
    }
}

void SealedPages::seal() {
    if (data_ != nullptr) {
        mprotect(data_, size_, PROT_READ);
    }
}

} // namespace platform::dyld
