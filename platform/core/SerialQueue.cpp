#include "platform/core/SerialQueue.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

namespace platform {

struct SerialQueue::State {
    std::string label;
    std::shared_ptr<SerialQueue> target;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> tasks;
    bool stopping = false;
    std::thread worker;
};

namespace {

thread_local const void* currentQueueState = nullptr;

// Marks the queue whose task runs on this thread until the task ends.
class CurrentQueueScope {
public:
    explicit CurrentQueueScope(const void* state)
        : previous_(std::exchange(currentQueueState, state)) {}
    ~CurrentQueueScope() { currentQueueState = previous_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    const void* previous_;
};

} // namespace

SerialQueue::SerialQueue(std::string label, std::shared_ptr<SerialQueue> target)
    : state_(std::make_shared<State>()) {
    state_->label = std::move(label);
    state_->target = std::move(target);
    if (state_->target) {
        return;
    }
    // The worker owns the state too, so it can drain safely after the queue
    // object is gone.
    state_->worker = std::thread([state = state_] { runWorker(state); });
}

void SerialQueue::runWorker(const std::shared_ptr<State>& state) {
    currentQueueState = state.get();
    for (;;) {
        Task task;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->tasks.empty(); });
            if (state->tasks.empty()) {
                return;
            }
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
        }
        task();
    }
}

SerialQueue::~SerialQueue() {
    if (state_->target) {
        return; // the target runs what is queued
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (isCurrent()) {
        state_->worker.detach();
    } else {
        state_->worker.join();
    }
}

void SerialQueue::async(Task task) {
    if (state_->target) {
        state_->target->async([state = state_, task = std::move(task)] {
            CurrentQueueScope scope(state.get());
            task();
        });
        return;
    }
    // Notified under the lock: once it is released the task may run and
    // destroy this queue, so nothing here may touch it afterwards.
    std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
    state_->wake.notify_one();
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    async([&] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    done.get_future().get();
}

bool SerialQueue::isCurrent() const {
    for (auto* state = static_cast<const State*>(currentQueueState); state != nullptr;
         state = state->target ? state->target->state_.get() : nullptr) {
        if (state == state_.get()) {
            return true;
        }
    }
    return false;
}

const std::string& SerialQueue::label() const {
    return state_->label;
}

const std::shared_ptr<SerialQueue>& SerialQueue::target() const {
    return state_->target;
}

} // namespace platform
