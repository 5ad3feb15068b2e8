#include "BusyThreads.h"

#include "platform/mach/MachPorts.h"

#include <chrono>

using platform::mach::mach_thread_self;

namespace {

// Plain loads and stores only: an atomic read-modify-write may call a helper function, and the
// thread's pc must stay inside this function.
[[gnu::noinline]] void spin(BusyThreads::Worker* worker) {
    volatile int mark = 0;
    worker->stackMark.store(reinterpret_cast<std::uintptr_t>(&mark));
    while (!worker->stop.load(std::memory_order_relaxed)) {
        worker->rounds.store(worker->rounds.load(std::memory_order_relaxed) + 1,
                             std::memory_order_relaxed);
    }
    mark = 1;
}

} // namespace

BusyThreads::BusyThreads(int count) {
    for (int i = 0; i < count; ++i) {
        auto worker = std::make_unique<Worker>();
        Worker* raw = worker.get();
        worker->thread = std::thread([raw] {
            raw->port = mach_thread_self();
            spin(raw);
        });
        workers_.push_back(std::move(worker));
    }
    for (const auto& worker : workers_) {
        while (worker->stackMark.load() == 0 || worker->rounds.load() == 0) {
            std::this_thread::yield();
        }
    }
}

BusyThreads::~BusyThreads() {
    stopAndJoin();
}

bool BusyThreads::allAdvance() const {
    std::vector<std::uint64_t> before;
    for (const auto& worker : workers_) {
        before.push_back(worker->rounds.load());
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        while (workers_[i]->rounds.load() == before[i]) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::yield();
        }
    }
    return true;
}

void BusyThreads::stopAndJoin() {
    for (const auto& worker : workers_) {
        worker->stop = true;
    }
    for (const auto& worker : workers_) {
        if (worker->thread.joinable()) {
            worker->thread.join();
        }
    }
}

std::uintptr_t BusyThreads::spinFunction() {
    return reinterpret_cast<std::uintptr_t>(&spin);
}
