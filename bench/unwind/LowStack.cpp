#include "LowStack.h"

#include <cstdint>
#include <stdexcept>
#include <sys/mman.h>
#include <ucontext.h>

namespace {

constexpr std::uintptr_t kFirstCandidate = 0x400000000;
constexpr std::uintptr_t kLimit = 0xF00000000;
constexpr std::uintptr_t kStep = 0x10000000;

struct Call {
    void (*function)(void*);
    void* context;
};

// makecontext passes only int arguments, so the call goes through a variable.
thread_local Call pending;

void trampoline() {
    pending.function(pending.context);
}

} // namespace

LowStack::LowStack(std::size_t size) : base_(nullptr), size_(size) {
    for (std::uintptr_t candidate = kFirstCandidate; candidate < kLimit; candidate += kStep) {
        void* wanted = reinterpret_cast<void*>(candidate);
        void* pages = mmap(wanted, size_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (pages == wanted) {
            base_ = pages;
            return;
        }
        if (pages != MAP_FAILED) {
            munmap(pages, size_);
        }
    }
    throw std::runtime_error("no free range below 64 GiB for a stack");
}

LowStack::~LowStack() {
    munmap(base_, size_);
}

void LowStack::run(void (*function)(void*), void* context) {
    ucontext_t caller;
    ucontext_t callee;
    getcontext(&callee);
    callee.uc_stack.ss_sp = base_;
    callee.uc_stack.ss_size = size_;
    callee.uc_link = &caller;
    pending = {function, context};
    makecontext(&callee, trampoline, 0);
    swapcontext(&caller, &callee);
}
