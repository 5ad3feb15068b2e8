#pragma once

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
    std::mutex lock_;
    std::optional<std::string> anonymousId_;
    std::optional<std::string> distinctId_;
    bool distinctIdLoaded_ = false;
};
