// The root of the platform's object kinds (errors, exceptions). A user-info dictionary asks its
// objects for a kind, and an object of a derived kind answers for every kind above it, as on
// the original platform.
#pragma once

#include "platform/core/Export.h"

namespace platform::foundation {

class DAVAROR_EXPORT NSObject {
public:
    virtual ~NSObject() = default;
};

} // namespace platform::foundation
