#include "platform/core/ForkGeneration.h"

#include <atomic>
#include <mutex>
#include <pthread.h>

namespace platform {
namespace {

std::atomic<std::uint64_t> generation{0};

} // namespace

std::uint64_t forkGeneration() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        pthread_atfork(nullptr, nullptr,
                       [] { generation.fetch_add(1, std::memory_order_relaxed); });
    });
    return generation.load(std::memory_order_relaxed);
}

} // namespace platform
