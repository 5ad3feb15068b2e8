#pragma once

#include "platform/core/DispatchQueue.h"
#include "platform/core/Export.h"

#include <chrono>
#include <memory>

namespace platform {

class RepeatingTimer;

// The process's main queue: one run-loop thread that runs queued work and
// fires timers. Applications on Linux have no main run loop of their own, so
// the thread is started on first use and stopped at process exit; a forked
// child, which inherits the queue but not its thread, starts its own.
class DAVAROR_EXPORT MainQueue final : public DispatchQueue {
public:
    using Clock = std::chrono::steady_clock;

    static MainQueue& shared();

    void async(Task task) override;
    void asyncAfter(Clock::duration delay, Task task);
    bool isCurrent() const override;

    // Fires `task` every `interval` on the main queue until the returned timer
    // is invalidated or released.
    [[nodiscard]] std::shared_ptr<RepeatingTimer> scheduleRepeating(Clock::duration interval,
                                                                    Task task);

    // Waits until every task queued before the call has run.
    void drain();

    ~MainQueue() override;
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

private:
    MainQueue();
    struct RunLoop;
    std::unique_ptr<RunLoop> loop_;
    friend class RepeatingTimer;
};

class DAVAROR_EXPORT RepeatingTimer {
public:
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    // Stops the timer; once this returns the task is never started again.
    void invalidate();
    bool isValid() const;

private:
    friend class MainQueue;
    struct Private {};

public:
    RepeatingTimer(Private, MainQueue::Clock::duration interval, Task task);

private:
    friend struct MainQueue::RunLoop;
    MainQueue::Clock::duration interval_;
    Task task_;
    bool valid_ = true; // guarded by the run loop's mutex
};

} // namespace platform
