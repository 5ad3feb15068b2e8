#include "LowPages.h"

#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr std::uintptr_t kFirstCandidate = 0x50000000;
constexpr std::uintptr_t kLimit = 0x7FFF0000;
constexpr std::uintptr_t kStep = 0x100000;

} // namespace

LowPages::LowPages(std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    size_ = (size + page - 1) / page * page;
    for (std::uintptr_t candidate = kFirstCandidate; candidate + size_ < kLimit;
         candidate += kStep) {
        void* wanted = reinterpret_cast<void*>(candidate);
        void* pages = mmap(wanted, size_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (pages == wanted) {
            data_ = static_cast<std::uint8_t*>(pages);
            return;
        }
        if (pages != MAP_FAILED) {
            munmap(pages, size_);
        }
    }
    throw std::runtime_error("no free memory below 2 GiB");
}

LowPages::~LowPages() {
    munmap(data_, size_);
}
