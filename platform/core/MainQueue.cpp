#include "platform/core/MainQueue.h"

#include "platform/core/LibraryThread.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

struct MainQueue::RunLoop {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> tasks;
    // Delayed work and timers, by due time; a timer entry re-arms itself.
    std::multimap<Clock::time_point, std::weak_ptr<RepeatingTimer>> timers;
    std::multimap<Clock::time_point, Task> delayed;
    bool stopping = false;
    LibraryThread thread;

    void start() {
        thread = LibraryThread("davaror.main", [this] { run(); });
    }

    // A forked child has the queue but not its thread: the child's first use starts one. What
    // was queued before the fork is the parent's work, which the parent runs.
    void startAgainInForkedChild() {
        if (thread.runsInThisProcess()) {
            return;
        }
        leaveToParent(tasks);
        leaveToParent(timers);
        leaveToParent(delayed);
        start();
    }

    // The forking thread holds the lock across the fork, so the child gets the queue whole;
    // the child's condition variable starts anew, since its waiters were the parent's threads.
    void lockAcrossForks() {
        // Counting forks registers a fork handler too, which must not happen under the lock
        // while a fork waits for it.
        forkGeneration();
        static RunLoop* forked = this;
        pthread_atfork([] { forked->mutex.lock(); }, [] { forked->mutex.unlock(); },
                       [] {
                           leaveToParent(forked->wake);
                           forked->mutex.unlock();
                       });
    }

    void run() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            auto now = Clock::now();
            if (!tasks.empty()) {
                Task task = std::move(tasks.front());
                tasks.pop_front();
                lock.unlock();
                task();
                lock.lock();
                continue;
            }
            if (!delayed.empty() && delayed.begin()->first <= now) {
                Task task = std::move(delayed.begin()->second);
                delayed.erase(delayed.begin());
                lock.unlock();
                task();
                lock.lock();
                continue;
            }
            if (!timers.empty() && timers.begin()->first <= now) {
                auto timer = timers.begin()->second.lock();
                timers.erase(timers.begin());
                if (!timer || !timer->valid_) {
                    continue;
                }
                timers.emplace(now + timer->interval_, timer);
                Task task = timer->task_;
                lock.unlock();
                task();
                timer.reset();
                lock.lock();
                continue;
            }
            auto next = Clock::time_point::max();
            if (!delayed.empty()) {
                next = delayed.begin()->first;
            }
            if (!timers.empty()) {
                next = std::min(next, timers.begin()->first);
            }
            if (next == Clock::time_point::max()) {
                wake.wait(lock);
            } else {
                wake.wait_until(lock, next);
            }
        }
    }
};

MainQueue& MainQueue::shared() {
    // Never destroyed: worker threads (transfers, network watchers) may still
    // hand work to the main queue while the process exits.
    static MainQueue* const queue = new MainQueue;
    return *queue;
}

MainQueue::MainQueue() : loop_(std::make_unique<RunLoop>()) {
    loop_->lockAcrossForks();
    std::lock_guard lock(loop_->mutex);
    loop_->start();
}

MainQueue::~MainQueue() {
    {
        std::lock_guard lock(loop_->mutex);
        loop_->stopping = true;
    }
    loop_->wake.notify_all();
    loop_->thread.join();
}

void MainQueue::async(Task task) {
    {
        std::lock_guard lock(loop_->mutex);
        loop_->startAgainInForkedChild();
        loop_->tasks.push_back(std::move(task));
    }
    loop_->wake.notify_one();
}

void MainQueue::asyncAfter(Clock::duration delay, Task task) {
    {
        std::lock_guard lock(loop_->mutex);
        loop_->startAgainInForkedChild();
        loop_->delayed.emplace(Clock::now() + delay, std::move(task));
    }
    loop_->wake.notify_one();
}

bool MainQueue::isCurrent() const {
    std::lock_guard lock(loop_->mutex);
    return loop_->thread.isCurrent();
}

std::shared_ptr<RepeatingTimer> MainQueue::scheduleRepeating(Clock::duration interval, Task task) {
    auto timer =
        std::make_shared<RepeatingTimer>(RepeatingTimer::Private{}, interval, std::move(task));
    {
        std::lock_guard lock(loop_->mutex);
        loop_->startAgainInForkedChild();
        loop_->timers.emplace(Clock::now() + interval, timer);
    }
    loop_->wake.notify_one();
    return timer;
}

void MainQueue::drain() {
    if (isCurrent()) {
        return;
    }
    std::promise<void> done;
    async([&done] { done.set_value(); });
    done.get_future().wait();
}

RepeatingTimer::RepeatingTimer(Private, MainQueue::Clock::duration interval, Task task)
    : interval_(interval), task_(std::move(task)) {}

RepeatingTimer::~RepeatingTimer() = default;

void RepeatingTimer::invalidate() {
    auto& loop = *MainQueue::shared().loop_;
    std::lock_guard lock(loop.mutex);
    valid_ = false;
}

bool RepeatingTimer::isValid() const {
    auto& loop = *MainQueue::shared().loop_;
    std::lock_guard lock(loop.mutex);
    return valid_;
}

} // namespace platform
