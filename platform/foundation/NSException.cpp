#include "platform/foundation/NSException.h"

#include "platform/foundation/NSThread.h"

namespace platform::foundation {

NSException::NSException(std::string name, std::optional<std::string> reason, NSDictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}

// Never inlined, so the first address, which lies in here, is the one to drop.
__attribute__((noinline)) void NSException::raise() const {
    NSException raised = *this;
    raised.callStackReturnAddresses_ = NSThread::callStackReturnAddresses();
    if (!raised.callStackReturnAddresses_.empty()) {
        raised.callStackReturnAddresses_.erase(raised.callStackReturnAddresses_.begin());
    }
    throw raised;
}

} // namespace platform::foundation
