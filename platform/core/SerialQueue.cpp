#include "platform/core/SerialQueue.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

namespace platform {

struct SerialQueue::State {
    std::string label;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> tasks;
    bool stopping = false;
    std::thread worker;
};

namespace {
thread_local const void* currentQueueState = nullptr;
} // namespace

SerialQueue::SerialQueue(std::string label) : state_(std::make_shared<State>()) {
    state_->label = std::move(label);
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
    return currentQueueState == state_.get();
}

const std::string& SerialQueue::label() const {
    return state_->label;
}

} // namespace platform
