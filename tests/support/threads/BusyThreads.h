// Real threads that spin in a function of their own until told to stop, counting rounds, so a
// test can see whether they run and where they stand.
#pragma once

#include "platform/mach/MachTypes.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

class BusyThreads {
public:
    explicit BusyThreads(int count);
    ~BusyThreads();
    BusyThreads(const BusyThreads&) = delete;
    BusyThreads& operator=(const BusyThreads&) = delete;

    int size() const { return static_cast<int>(workers_.size()); }
    thread_act_t port(int index) const { return workers_[index]->port.load(); }
    std::uint64_t rounds(int index) const { return workers_[index]->rounds.load(); }
    // The address of a local variable of the spinning function: the thread's stack pointer lies
    // just below it.
    std::uintptr_t stackMark(int index) const { return workers_[index]->stackMark.load(); }
    // Every thread has run another round since the call.
    bool allAdvance() const;
    void stopAndJoin();

    // Where the spinning function's code starts.
    static std::uintptr_t spinFunction();

    struct Worker {
        std::atomic<thread_act_t> port{0};
        std::atomic<std::uint64_t> rounds{0};
        std::atomic<std::uintptr_t> stackMark{0};
        std::atomic<bool> stop{false};
        std::thread thread;
    };

private:
    std::vector<std::unique_ptr<Worker>> workers_;
};
