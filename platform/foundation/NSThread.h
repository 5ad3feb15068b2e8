// The calling thread's return addresses, read by unwinding its own stack with the objects'
// unwind tables.
#pragma once

#include "platform/core/Export.h"

#include <cstdint>
#include <vector>

namespace platform::foundation {

class DAVAROR_EXPORT NSThread {
public:
    // Innermost first, beginning with the caller's return address.
    static std::vector<std::uint64_t> callStackReturnAddresses();
};

} // namespace platform::foundation
