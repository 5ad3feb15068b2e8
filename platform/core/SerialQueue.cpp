#include "platform/core/SerialQueue.h"

#include "platform/core/LibraryThread.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <set>
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
    LibraryThread worker;
};

namespace {

// The queues with a worker of their own. The forking thread holds each one's lock across a
// fork, so a forked child gets every queue whole; the child's condition variables start anew,
// since their waiters were the parent's threads.
struct LiveQueues {
    std::mutex mutex;
    std::set<SerialQueue::State*> states;
};

LiveQueues& liveQueues() {
    static auto* const live = new LiveQueues();
    static std::once_flag registered;
    std::call_once(registered, [] {
        // Counting forks registers a fork handler too, which must not happen under a queue's
        // lock while a fork waits for that lock.
        forkGeneration();
        pthread_atfork(
            [] {
                live->mutex.lock();
                for (auto* state : live->states) {
                    state->mutex.lock();
                }
            },
            [] {
                for (auto* state : live->states) {
                    state->mutex.unlock();
                }
                live->mutex.unlock();
            },
            [] {
                for (auto* state : live->states) {
                    leaveToParent(state->wake);
                    state->mutex.unlock();
                }
                live->mutex.unlock();
            });
    });
    return *live;
}

// Threads show at most 15 characters of their name: the label without its "com.".
std::string workerName(const std::string& label) {
    std::string_view name = label;
    if (name.starts_with("com.")) {
        name.remove_prefix(4);
    }
    return std::string(name.substr(0, 15));
}

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
    {
        LiveQueues& live = liveQueues();
        std::lock_guard lock(live.mutex);
        live.states.insert(state_.get());
    }
    std::lock_guard lock(state_->mutex);
    startWorker(state_);
}

// The worker owns the state too, so it can drain safely after the queue object is gone.
void SerialQueue::startWorker(const std::shared_ptr<State>& state) {
    state->worker = LibraryThread(workerName(state->label).c_str(), [state] { runWorker(state); });
}

// In a forked child the worker is the parent's: the child's first use starts one of its own.
// What was queued before the fork is the parent's work, which the parent runs.
void SerialQueue::startAgainInForkedChild(const std::shared_ptr<State>& state) {
    if (state->worker.runsInThisProcess()) {
        return;
    }
    leaveToParent(state->tasks);
    startWorker(state);
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
        LiveQueues& live = liveQueues();
        std::lock_guard lock(live.mutex);
        live.states.erase(state_.get());
    }
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->worker.runsInThisProcess()) {
            leaveToParent(state_);
            return;
        }
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
    startAgainInForkedChild(state_);
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
