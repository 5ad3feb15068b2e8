#pragma once

#include "platform/core/DispatchQueue.h"
#include "platform/core/Export.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>

namespace platform {

struct Notification {
    std::string name;
    const void* object = nullptr;
    nlohmann::json userInfo;
};

class NotificationCenter;

// Keeps an observation alive; releasing it removes the observer, also when
// the center is already gone.
class DAVAROR_EXPORT ObserverToken {
public:
    ObserverToken() = default;
    ObserverToken(ObserverToken&&) noexcept = default;
    ObserverToken& operator=(ObserverToken&&) noexcept;
    ~ObserverToken();
    void remove();

private:
    friend class NotificationCenter;
    struct Registry;
    ObserverToken(std::weak_ptr<Registry> registry, std::uint64_t id);
    std::weak_ptr<Registry> registry_;
    std::uint64_t id_ = 0;
};

class DAVAROR_EXPORT NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;

    NotificationCenter();
    static NotificationCenter& defaultCenter();

    // Observers with a queue get the notification on that queue; the others
    // synchronously on the posting thread. The queue must outlive the token.
    [[nodiscard]] ObserverToken addObserver(std::string name, Observer observer,
                                            DispatchQueue* queue = nullptr);
    void post(const Notification& notification);

private:
    std::shared_ptr<ObserverToken::Registry> registry_;
};

} // namespace platform
