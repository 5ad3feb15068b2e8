// An exception of the platform's kind: a name, an optional reason and a user-info dictionary.
// raise() records the return addresses of the raising thread before it throws, so a handler
// that catches it later still knows where it came from.
#pragma once

#include "platform/core/Export.h"
#include "platform/foundation/NSDictionary.h"
#include "platform/foundation/NSObject.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::foundation {

class DAVAROR_EXPORT NSException : public NSObject {
public:
    NSException(std::string name, std::optional<std::string> reason, NSDictionary userInfo = {});

    const std::string& name() const { return name_; }
    const std::optional<std::string>& reason() const { return reason_; }
    const NSDictionary& userInfo() const { return userInfo_; }
    // Innermost first, beginning with raise()'s caller; empty for an exception never raised.
    const std::vector<std::uint64_t>& callStackReturnAddresses() const {
        return callStackReturnAddresses_;
    }

    [[noreturn]] void raise() const;

private:
    std::string name_;
    std::optional<std::string> reason_;
    NSDictionary userInfo_;
    std::vector<std::uint64_t> callStackReturnAddresses_;
};

} // namespace platform::foundation
