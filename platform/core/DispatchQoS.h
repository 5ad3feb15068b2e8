#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace platform {

// How urgent a queue's work is. Linux has no quality-of-service classes, so a
// queue's worker expresses the lower classes as a higher nice value; raising
// priority needs privileges a library must not assume, so the upper classes
// keep the process's own priority.
enum class DispatchQoS {
    background,
    utility,
    defaultQoS,
    userInitiated,
    userInteractive,
    unspecified
};

inline int niceIncrement(DispatchQoS qos) {
    switch (qos) {
    case DispatchQoS::background:
        return 10;
    case DispatchQoS::utility:
        return 5;
    default:
        return 0;
    }
}

// Applies `qos` to the calling thread; best effort, as the class is only a hint.
inline void applyToCurrentThread(DispatchQoS qos) {
    if (const int increment = niceIncrement(qos); increment > 0) {
        const auto thread = static_cast<id_t>(gettid());
        const int current = getpriority(PRIO_PROCESS, thread);
        setpriority(PRIO_PROCESS, thread, current + increment);
    }
}

} // namespace platform
