// A minimal HTTP/1.1 receiver on 127.0.0.1 for the benchmarks: it answers
// every request with 200 and an empty body, keeps connections open, records
// nothing and serves everything on one thread, so thousands of uploads cost
// it neither memory nor threads.
#pragma once

#include "platform/core/UniqueFd.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace deliverybench {

class LoopbackSink {
public:
    LoopbackSink();
    ~LoopbackSink();
    LoopbackSink(const LoopbackSink&) = delete;
    LoopbackSink& operator=(const LoopbackSink&) = delete;

    // "http://127.0.0.1:<port>"
    std::string baseUrl() const;
    std::uint64_t requestsServed() const { return served_.load(); }

private:
    void serve();

    platform::UniqueFd listener_;
    platform::UniqueFd stopEvent_;
    std::uint16_t port_ = 0;
    std::atomic<std::uint64_t> served_{0};
    std::thread thread_;
};

} // namespace deliverybench
