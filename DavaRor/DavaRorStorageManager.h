#pragma once

#include "platform/core/ForkGeneration.h"
#include "platform/core/ForkSafeMutex.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class DavaRorStorage;

// The client's identity: the anonymous id, made once and kept, and the
// distinct id, which is the anonymous id until the user is identified. Each is
// read from storage once; afterwards only this object's own calls change them,
// so a capture never goes to the disk for an id, not even to learn again that
// no distinct id is stored.
class DavaRorStorageManager {
public:
    explicit DavaRorStorageManager(std::shared_ptr<DavaRorStorage> storage);

    std::string getAnonymousId();
    std::string getDistinctId();
    void setDistinctId(const std::string& distinctId);

private:
    std::shared_ptr<DavaRorStorage> storage_;
    // A forked child reads the ids again when a thread of the parent was changing them at the
    // fork.
    platform::ForkSafeMutex lock_{[this] {
        platform::leaveToParent(anonymousId_);
        platform::leaveToParent(distinctId_);
        distinctIdLoaded_ = false;
    }};
    std::optional<std::string> anonymousId_;
    std::optional<std::string> distinctId_;
    bool distinctIdLoaded_ = false;
};
