#include "DavaRor/delivery/DavaRorQueue.h"

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Utils/DavaRorJSON.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorNumbers.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorEventFileContents.h"
#include "DavaRor/delivery/DavaRorFileBackedQueue.h"
#include "DavaRor/delivery/DavaRorQueueFolderLock.h"
#include "DavaRor/delivery/DavaRorRetryRule.h"
#include "DavaRor/delivery/Reachability.h"
#include "platform/core/DispatchQoS.h"

#include <algorithm>
#include <ctime>

using davaror::Reachability;

using StorageKey = DavaRorStorage::StorageKey;

namespace {

std::shared_ptr<DavaRorFileBackedQueue> makeStore(const DavaRorStorage& storage,
                                                  DavaRorQueue::DavaRorApiEndpoint endpoint) {
    if (endpoint == DavaRorQueue::DavaRorApiEndpoint::snapshot) {
        return std::make_shared<DavaRorFileBackedQueue>(storage.url(StorageKey::replayQeueue),
                                                        std::vector<std::filesystem::path>{});
    }
    return std::make_shared<DavaRorFileBackedQueue>(
        storage.url(StorageKey::queue),
        std::vector<std::filesystem::path>{storage.url(StorageKey::oldQueueFolder),
                                           storage.url(StorageKey::oldQueuePlist)});
}

const char* dispatchLabel(DavaRorQueue::DavaRorApiEndpoint endpoint) {
    return endpoint == DavaRorQueue::DavaRorApiEndpoint::snapshot ? "com.davaror.ReplayQueue"
                                                                  : "com.davaror.Queue";
}

// A date as "2024-01-31 12:00:00 +0000", the form the pause message shows.
std::string dateDescription(DavaRorDate date) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return text;
}

DavaRorQueue::Clocks withSystemClocks(DavaRorQueue::Clocks clocks) {
    if (!clocks.monotonic) {
        clocks.monotonic = [] { return std::chrono::steady_clock::now(); };
    }
    if (!clocks.wall) {
        clocks.wall = [] { return std::chrono::system_clock::now(); };
    }
    return clocks;
}

} // namespace

std::optional<DavaRorQueue::DavaRorApiEndpoint> apiEndpointFromRawValue(int rawValue) {
    switch (rawValue) {
    case static_cast<int>(DavaRorQueue::DavaRorApiEndpoint::batch):
        return DavaRorQueue::DavaRorApiEndpoint::batch;
    case static_cast<int>(DavaRorQueue::DavaRorApiEndpoint::snapshot):
        return DavaRorQueue::DavaRorApiEndpoint::snapshot;
    default:
        return std::nullopt;
    }
}

DavaRorQueue::DavaRorQueue(std::shared_ptr<const DavaRorConfig> config,
                           const DavaRorStorage& storage, std::shared_ptr<DavaRorApi> api,
                           DavaRorApiEndpoint endpoint, std::shared_ptr<Reachability> reachability,
                           Clocks clocks)
    : config_(std::move(config)), api_(std::move(api)),
      clocks_(withSystemClocks(std::move(clocks))), reachability_(std::move(reachability)),
      endpoint_(endpoint), fileQueue_(makeStore(storage, endpoint)),
      dispatchQueue_(dispatchLabel(endpoint)) {
    // Loading and uploading batches is background work that must not compete
    // with the application's own threads.
    dispatchQueue_.async([] { platform::applyToCurrentThread(platform::DispatchQoS::utility); });
}

DavaRorQueue::~DavaRorQueue() {
    stop();
}

void DavaRorQueue::start(bool disableReachabilityForTesting, bool disableQueueTimerForTesting) {
    if (!disableReachabilityForTesting && reachability_) {
        // The monitor keeps one closure of each kind: the queue started last
        // owns them. Weak, so the monitor never keeps a closed queue alive.
        std::weak_ptr<DavaRorQueue> weak = weak_from_this();
        reachability_->setWhenReachable([weak](Reachability& monitor) {
            if (auto self = weak.lock()) {
                self->whenReachable(monitor);
            }
        });
        reachability_->setWhenUnreachable([weak](Reachability&) {
            if (auto self = weak.lock()) {
                self->whenUnreachable();
            }
        });
        try {
            reachability_->startNotifier();
        } catch (const std::exception& error) {
            davaRorLog(std::string("Error: Unable to monitor network reachability: ") +
                       error.what());
        }
    }
    if (!disableQueueTimerForTesting) {
        std::lock_guard guard(timerLock_);
        std::weak_ptr<DavaRorQueue> weak = weak_from_this();
        platform::MainQueue::shared().async([weak] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            std::lock_guard timerGuard(self->timerLock_);
            // stop() may have run before this block: then no timer is made.
            if (self->stopped_) {
                return;
            }
            auto interval = std::chrono::duration_cast<platform::MainQueue::Clock::duration>(
                std::chrono::duration<double>(self->config_->flushIntervalSeconds));
            self->timer_ = platform::MainQueue::shared().scheduleRepeating(interval, [weak] {
                if (auto queue = weak.lock(); queue && !queue->isFlushing_.load()) {
                    queue->flush();
                }
            });
        });
    }
}

void DavaRorQueue::stop() {
    std::lock_guard guard(timerLock_);
    stopped_ = true;
    if (timer_) {
        timer_->invalidate();
        timer_.reset();
    }
}

void DavaRorQueue::add(const DavaRorEvent& event) {
    // Serialise first: an event that cannot be stored must not cost the
    // oldest stored one its place.
    auto data = toJSONData(event.toJSON());
    if (!data) {
        davaRorLog("Tried to queue unserialisable DavaRorEvent");
        return;
    }
    // Stored files are read back under the limits of untrusted JSON: an event
    // over them would never be sent, its file deleted at the first flush.
    std::string violation;
    auto contents = DavaRorEventFileContents::check(std::move(*data), violation);
    if (!contents) {
        davaRorLog("Tried to queue DavaRorEvent '" + event.event +
                   "' over the limits of stored events: " + violation);
        return;
    }
    if (fileQueue_->depth() >= config_->maxQueueSize) {
        davaRorLog("Queue is full, dropping oldest event");
        fileQueue_->deleteAt(0);
    }
    if (!fileQueue_->add(*contents)) {
        davaRorLog("Failed to queue event '" + event.event + "'");
        return;
    }
    davaRorLog("Queued event '" + event.event + "'. Depth: " + std::to_string(depth()));
    flushIfOverThreshold();
}

int DavaRorQueue::depth() const {
    return fileQueue_->depth();
}

void DavaRorQueue::clear() {
    fileQueue_->clear();
}

void DavaRorQueue::flushIfOverThreshold() {
    if (depth() >= config_->flushAt) {
        flush();
    }
}

bool DavaRorQueue::canFlush() const {
    if (isFlushing_.load()) {
        davaRorLog("Already flushing");
        return false;
    }
    if (paused_.load()) {
        davaRorLog("The queue is paused due to the reachability check");
        return false;
    }
    std::lock_guard guard(backOffLock_);
    if (const auto now = clocks_.monotonic(); pausedUntil_ && *pausedUntil_ > now) {
        const auto end =
            clocks_.wall() + std::chrono::duration_cast<DavaRorDate::duration>(*pausedUntil_ - now);
        davaRorLog("The queue is paused until `" + dateDescription(end) + "`");
        return false;
    }
    return true;
}

void DavaRorQueue::flush() {
    if (!canFlush()) {
        return;
    }
    // Claimed before the work is queued, so two flushes close together never
    // load and send the same files.
    bool expected = false;
    if (!isFlushing_.compare_exchange_strong(expected, true)) {
        davaRorLog("Already flushing");
        return;
    }
    std::weak_ptr<DavaRorQueue> weak = weak_from_this();
    take(batchSize(), [weak](DavaRorConsumerPayload payload) {
        auto self = weak.lock();
        if (!self || payload.events.empty()) {
            // Nothing decodable: the files are deleted without a request. A
            // closed queue keeps its files for the next one.
            payload.completion(payload.events.empty());
            return;
        }
        self->eventHandler(std::move(payload));
    });
}

int DavaRorQueue::batchSize() const {
    std::lock_guard guard(backOffLock_);
    return std::min(config_->maxBatchSize, batchLimit_.value_or(config_->maxBatchSize));
}

void DavaRorQueue::take(int count, std::function<void(DavaRorConsumerPayload)> completion) {
    dispatchQueue_.async([self = shared_from_this(), count, completion = std::move(completion)] {
        self->isFlushing_.store(true);
        auto folderLock = DavaRorQueueFolderLock::tryTake(self->fileQueue_->queue());
        if (!folderLock) {
            davaRorLog("Another queue is sending from this folder; the next flush tries again");
            self->isFlushing_.store(false);
            return;
        }
        auto loaded = self->fileQueue_->loadFiles(count, maxBatchBytes);
        std::vector<DavaRorEvent> events;
        for (auto& contents : loaded.contents) {
            const auto json = parseUntrustedJsonOrNone(contents);
            // Each text goes once read: a flush holds as few copies of its
            // batch as it can.
            std::string().swap(contents);
            if (!json || !json->is_object()) {
                continue;
            }
            if (auto event = DavaRorEvent::fromJSON(*json)) {
                events.push_back(std::move(*event));
            }
        }
        // The closing step deletes exactly the files this batch consumed and
        // may outlive the queue (a close while the upload is in flight). The
        // names of missing files go too, though nothing was read from them:
        // another process sent them, or the folder was deleted. The folder
        // stays locked until the files are gone, so nobody sends them again.
        auto closing = [weak = std::weak_ptr<DavaRorQueue>(self), store = self->fileQueue_,
                        consumed = std::move(loaded.names), read = loaded.contents.size(),
                        folderLock = std::make_shared<DavaRorQueueFolderLock>(
                            std::move(*folderLock))](bool ok) {
            if (ok && !consumed.empty()) {
                store->deleteFiles(consumed);
            }
            folderLock->release();
            if (ok && read > 0) {
                davaRorLog("Completed!");
            }
            if (auto queue = weak.lock()) {
                queue->isFlushing_.store(false);
            }
        };
        completion(DavaRorConsumerPayload{std::move(events), std::move(closing)});
    });
}

void DavaRorQueue::eventHandler(DavaRorConsumerPayload payload) {
    davaRorLog("Sending batch of " + std::to_string(payload.events.size()) + " events to DavaRor");
    auto events = std::move(payload.events);
    auto reply = [self = shared_from_this(), completion = std::move(payload.completion),
                  sent = SentBatch{static_cast<int>(events.size()), events.front().event}](
                     const DavaRorBatchUploadInfo& info) {
        self->handleResult(info, sent, completion);
    };
    if (endpoint_ == DavaRorApiEndpoint::snapshot) {
        api_->snapshot(std::move(events), std::move(reply));
    } else {
        api_->batch(std::move(events), std::move(reply));
    }
}

// A batch answered 413, or still going up when its deadline ended, is not
// refused for its events but for its size: it goes again at once as half as
// many events, down to one. One event answered 413 is dropped alone.
bool DavaRorQueue::goesAgainSmaller(const DavaRorBatchUploadInfo& info, const SentBatch& sent,
                                    const std::function<void(bool)>& completion) {
    const bool tooLargeForService = info.statusCode == 413;
    if (!tooLargeForService && !info.timedOutSendingBody) {
        return false;
    }
    if (sent.count > 1) {
        const int half = sent.count / 2;
        {
            std::lock_guard guard(backOffLock_);
            batchLimit_ = half;
        }
        davaRorLog("A batch of " + std::to_string(sent.count) + " events was " +
                   (tooLargeForService ? "too large for the service"
                                       : "still being sent when its time ran out") +
                   "; batches now hold at most " + std::to_string(half) + " events");
        completion(false);
        flush();
        return true;
    }
    if (tooLargeForService) {
        davaRorLog("Dropping event '" + sent.firstEvent +
                   "': the service refused it as too large (413)");
    }
    return false;
}

void DavaRorQueue::handleResult(const DavaRorBatchUploadInfo& info, const SentBatch& sent,
                                const std::function<void(bool)>& completion) {
    if (goesAgainSmaller(info, sent, completion)) {
        return;
    }
    if (!isRetriedUploadStatus(info.statusCode)) {
        {
            std::lock_guard guard(backOffLock_);
            retryCount_ = 0;
        }
        completion(true);
        if (depth() == 0) {
            std::lock_guard guard(backOffLock_);
            batchLimit_.reset();
        }
        // A backlog (after an outage, say) drains at the link's speed rather
        // than one batch per timer tick, as a capture past the threshold does.
        flushIfOverThreshold();
        return;
    }
    double retryCount, delay;
    {
        std::lock_guard guard(backOffLock_);
        retryCount = retryCount_ += 1.0;
        const auto pause = retryPause(retryCount, info.retryAfter);
        delay = pause.count();
        pausedUntil_ = clocks_.monotonic() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(pause);
    }
    davaRorLog("Pausing queue consumption for " + doubleDescription(delay) + " seconds due to " +
               doubleDescription(retryCount) + " API failure(s).");
    completion(false);
}

void DavaRorQueue::whenReachable(Reachability& monitor) {
    const auto connection = monitor.connection();
    {
        std::lock_guard guard(pausedLock_);
        if (config_->dataMode == DavaRorConfig::DavaRorDataMode::wifi &&
            connection != Reachability::Connection::wifi) {
            // Paused before it says so: whoever reads the line finds the queue paused.
            paused_.store(true);
            davaRorLog("Queue is paused because its not in WiFi mode");
        } else {
            paused_.store(false);
        }
    }
    if (connection == Reachability::Connection::wifi && !isFlushing_.load()) {
        flush();
    }
}

void DavaRorQueue::whenUnreachable() {
    std::lock_guard guard(pausedLock_);
    paused_.store(true);
    davaRorLog("Queue is paused because network is unreachable");
}
