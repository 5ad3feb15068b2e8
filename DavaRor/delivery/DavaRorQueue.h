#pragma once

#include "DavaRor/Models/DavaRorEvent.h"
#include "platform/core/Export.h"
#include "platform/core/MainQueue.h"
#include "platform/core/SerialQueue.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class DavaRorApi;
class DavaRorConfig;
class DavaRorFileBackedQueue;
class DavaRorStorage;
namespace davaror {
class Reachability;
} // namespace davaror
struct DavaRorBatchUploadInfo;

// The end of every event's road: each event is persisted as its own file at
// once, and batches of the oldest events are uploaded when the count
// threshold, the flush timer, the network coming back or an explicit flush
// asks for it. Files are deleted only after their batch is done.
//
// Always owned by a std::shared_ptr: uploads and timer ticks hold it only as
// long as they run, and the monitor and timer closures hold it weakly.
class DAVAROR_EXPORT DavaRorQueue : public std::enable_shared_from_this<DavaRorQueue> {
public:
    enum class DavaRorApiEndpoint : int { batch = 0, snapshot = 1 };
    // Pauses are kept on the monotonic clock, so a step of the system clock
    // neither holds the queue nor frees it early; the wall clock only names
    // the end of a pause in the log.
    struct Clocks {
        std::function<std::chrono::steady_clock::time_point()> monotonic;
        std::function<DavaRorDate()> wall;
    };

    // A batch takes events while their stored text stays within this many
    // bytes (an event larger than that goes alone), so one flush holds a few
    // copies of at most this much, not of maxBatchSize events of any size.
    static constexpr std::size_t maxBatchBytes = 4 * 1024 * 1024;

    struct DavaRorConsumerPayload {
        std::vector<DavaRorEvent> events;
        std::function<void(bool)> completion; // true: the batch's files may be deleted
    };

    DavaRorQueue(std::shared_ptr<const DavaRorConfig> config, const DavaRorStorage& storage,
                 std::shared_ptr<DavaRorApi> api, DavaRorApiEndpoint endpoint,
                 std::shared_ptr<davaror::Reachability> reachability, Clocks clocks = {});
    ~DavaRorQueue();
    DavaRorQueue(const DavaRorQueue&) = delete;
    DavaRorQueue& operator=(const DavaRorQueue&) = delete;

    void start(bool disableReachabilityForTesting, bool disableQueueTimerForTesting);
    void add(const DavaRorEvent& event);
    void flush();
    int depth() const;
    void stop();
    // Removes every stored event.
    void clear();

    bool isPausedForTesting() const { return paused_.load(); }
    platform::SerialQueue& dispatchQueueForTesting() { return dispatchQueue_; }

private:
    void flushIfOverThreshold();
    bool canFlush() const;
    void take(int count, std::function<void(DavaRorConsumerPayload)> completion);
    void eventHandler(DavaRorConsumerPayload payload);
    // What the reply to a batch needs to know of it.
    struct SentBatch {
        int count = 0;
        std::string firstEvent;
    };
    int batchSize() const;
    void handleResult(const DavaRorBatchUploadInfo& info, const SentBatch& sent,
                      const std::function<void(bool)>& completion);
    // True when the batch is sent again as fewer events; the reply is then handled.
    bool goesAgainSmaller(const DavaRorBatchUploadInfo& info, const SentBatch& sent,
                          const std::function<void(bool)>& completion);
    void whenReachable(davaror::Reachability& monitor);
    void whenUnreachable();

    const std::shared_ptr<const DavaRorConfig> config_;
    const std::shared_ptr<DavaRorApi> api_;
    const Clocks clocks_;

    std::atomic<bool> paused_{false};
    std::mutex pausedLock_;

    mutable std::mutex backOffLock_;
    std::optional<std::chrono::steady_clock::time_point> pausedUntil_;
    double retryCount_ = 0;
    // Set once a batch proved too large for the service or the link; lifted
    // when the queue has been emptied.
    std::optional<int> batchLimit_;

    const std::shared_ptr<davaror::Reachability> reachability_;
    std::atomic<bool> isFlushing_{false};

    std::mutex timerLock_;
    std::shared_ptr<platform::RepeatingTimer> timer_;
    bool stopped_ = false; // guarded by timerLock_

    const DavaRorApiEndpoint endpoint_;
    const std::shared_ptr<DavaRorFileBackedQueue> fileQueue_;
    platform::SerialQueue dispatchQueue_;
};

// The endpoint with this raw value; only 0 (batch) and 1 (snapshot) are one.
std::optional<DavaRorQueue::DavaRorApiEndpoint> apiEndpointFromRawValue(int rawValue);
