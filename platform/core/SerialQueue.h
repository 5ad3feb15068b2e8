#pragma once

#include "platform/core/DispatchQueue.h"

#include <memory>
#include <string>

namespace platform {

// A serial dispatch queue on one worker thread. Work still queued when the
// queue is destroyed runs before the worker ends, so nothing handed to the
// queue is lost. The queue may be destroyed from one of its own tasks: the
// worker then finishes on its own.
//
// A queue aimed at a target queue has no worker: its work runs on the
// target, in order with the target's own work, and while it runs both queues
// are current. The target lives at least as long as the queue.
class SerialQueue final : public DispatchQueue {
public:
    explicit SerialQueue(std::string label, std::shared_ptr<SerialQueue> target = nullptr);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task) override;
    // Runs the task on the queue and waits for it; inline when already on it.
    void sync(const Task& task);
    bool isCurrent() const override;
    const std::string& label() const;
    const std::shared_ptr<SerialQueue>& target() const;

    struct State;

private:
    static void startWorker(const std::shared_ptr<State>& state);
    static void startAgainInForkedChild(const std::shared_ptr<State>& state);
    static void runWorker(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_;
};

} // namespace platform
