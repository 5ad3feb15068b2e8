// _Unwind_Backtrace rather than backtrace(3): sanitizers intercept the latter, which would put
// their own frame on top of every list.
#include "platform/foundation/NSThread.h"

#include <unwind.h>

namespace {

struct Walk {
    bool ownFrameSkipped = false;
    std::vector<std::uint64_t> addresses;
};

_Unwind_Reason_Code record(_Unwind_Context* context, void* argument) {
    auto& walk = *static_cast<Walk*>(argument);
    const _Unwind_Ptr address = _Unwind_GetIP(context);
    if (address == 0) {
        return _URC_END_OF_STACK;
    }
    if (walk.ownFrameSkipped) {
        walk.addresses.push_back(address);
    }
    walk.ownFrameSkipped = true;
    return _URC_NO_REASON;
}

} // namespace

// Never inlined: the walk's first frame must be this function for the skip to be right.
namespace platform::foundation {

__attribute__((noinline)) std::vector<std::uint64_t> NSThread::callStackReturnAddresses() {
    Walk walk;
    _Unwind_Backtrace(record, &walk);
    return std::move(walk.addresses);
}

} // namespace platform::foundation
