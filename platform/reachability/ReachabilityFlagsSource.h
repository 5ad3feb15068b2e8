#pragma once

#include "platform/reachability/SCNetworkReachabilityFlags.h"

#include <functional>
#include <memory>

namespace platform {

// Where a reachability target's flags come from: the kernel's routing state,
// or a test double. Failures are thrown as std::system_error; their code
// becomes the SCError() value of the failed platform call.
class ReachabilityFlagsSource {
public:
    using ChangeHandler = std::function<void(SCNetworkReachabilityFlags)>;

    // Reports changes while it lives. Once its destructor returns, the handler
    // is not running and will not be called again.
    class Watch {
    public:
        virtual ~Watch() = default;
    };

    virtual ~ReachabilityFlagsSource() = default;

    virtual SCNetworkReachabilityFlags currentFlags() = 0;

    // Calls `handler` with the new flags after every change, from a thread of
    // the source's own. The handler must not destroy the watch.
    virtual std::unique_ptr<Watch> watch(ChangeHandler handler) = 0;
};

} // namespace platform
