#pragma once

#include "platform/core/Export.h"

#include <functional>

namespace platform {

using Task = std::function<void()>;

// What observers and callers need of any queue: hand work to it, and ask
// whether the current thread is the one running its work.
class DAVAROR_EXPORT DispatchQueue {
public:
    virtual ~DispatchQueue() = default;
    virtual void async(Task task) = 0;
    virtual bool isCurrent() const = 0;
};

} // namespace platform
