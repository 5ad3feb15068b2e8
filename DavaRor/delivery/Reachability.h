#pragma once

#include "DavaRor/delivery/ReachabilityError.h"
#include "platform/core/DispatchQoS.h"
#include "platform/core/MainQueue.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/SerialQueue.h"
#include "platform/reachability/SCNetworkReachability.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace davaror {

class Reachability;

// The platform's context object: it holds the monitor weakly, so the
// platform's hold on its context never keeps the monitor alive.
struct ReachabilityWeakifier {
    std::weak_ptr<Reachability> reachability;
};

// Watches whether the machine can reach the network at all and reports each
// change through two closures and the "reachabilityChanged" notification,
// both on the notification queue. Every field is safe to read and write from
// any thread.
//
// The monitor keeps its closures for as long as it lives. They receive the
// monitor as their argument, so they never need to capture it; a closure that
// refers to an object owning the monitor must capture that object weakly
// (std::weak_ptr), or the two keep each other alive forever.
class Reachability : public std::enable_shared_from_this<Reachability> {
    struct Private {};

public:
    using NetworkReachable = std::function<void(Reachability&)>;
    using NetworkUnreachable = std::function<void(Reachability&)>;

    enum class Connection : int { unavailable = 0, wifi = 1, cellular = 2, none = unavailable };
    enum class NetworkStatus { notReachable, reachableViaWiFi, reachableViaWWAN };

    // Posted after each change, with the monitor as object.
    static constexpr std::string_view reachabilityChanged = "reachabilityChanged";
    // The label every monitor's serial queue shares.
    static constexpr std::string_view serialQueueLabel = "com.davaror.Reachability";

    // Watches `reachabilityRef`. The serial queue gets `queueQoS`; with a
    // `targetQueue` it is aimed at that queue, whose thread then runs the
    // monitor's work. A null `notificationQueue` runs the closures on the
    // serial queue, at once.
    static std::shared_ptr<Reachability>
    create(platform::SCNetworkReachabilityRef reachabilityRef,
           platform::DispatchQoS queueQoS = platform::DispatchQoS::defaultQoS,
           std::shared_ptr<platform::SerialQueue> targetQueue = nullptr,
           platform::DispatchQueue* notificationQueue = &platform::MainQueue::shared());

    // Watches the zero IPv4 address; throws failedToCreateWithAddress.
    static std::shared_ptr<Reachability>
    create(platform::DispatchQoS queueQoS = platform::DispatchQoS::defaultQoS,
           std::shared_ptr<platform::SerialQueue> targetQueue = nullptr,
           platform::DispatchQueue* notificationQueue = &platform::MainQueue::shared());

    // Watches a host name; throws failedToCreateWithHostname.
    static std::shared_ptr<Reachability>
    create(const std::string& hostname,
           platform::DispatchQoS queueQoS = platform::DispatchQoS::defaultQoS,
           std::shared_ptr<platform::SerialQueue> targetQueue = nullptr,
           platform::DispatchQueue* notificationQueue = &platform::MainQueue::shared());

    Reachability(Private, platform::SCNetworkReachabilityRef reachabilityRef,
                 platform::DispatchQoS queueQoS, std::shared_ptr<platform::SerialQueue> targetQueue,
                 platform::DispatchQueue* notificationQueue);
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    // Installs the platform callback and delivers the current state once;
    // throws ReachabilityError, leaving the notifier stopped. Does nothing
    // while running. A stop while it runs (from a closure or another thread)
    // holds.
    void startNotifier();
    void stopNotifier();

    Connection connection();
    Connection currentReachabilityStatus();
    std::string_view currentReachabilityString();

    NetworkReachable whenReachable() const;
    void setWhenReachable(NetworkReachable closure);
    NetworkUnreachable whenUnreachable() const;
    void setWhenUnreachable(NetworkUnreachable closure);
    platform::NotificationCenter& notificationCenter() const;
    void setNotificationCenter(platform::NotificationCenter& center);

    bool notifierRunning() const { return notifierRunning_; }
    std::optional<platform::SCNetworkReachabilityFlags> flags() const;
    const platform::SCNetworkReachabilityRef& reachabilityRef() const { return reachabilityRef_; }
    platform::SerialQueue& reachabilitySerialQueue() const { return *reachabilitySerialQueue_; }
    platform::DispatchQueue* notificationQueue() const { return notificationQueue_; }

    // Kept for callers; this platform reads neither.
    std::atomic<bool> reachableOnWWAN{true};
    std::atomic<bool> allowsCellularConnection{true};

private:
    static void callback(const platform::SCNetworkReachabilityRef& target,
                         platform::SCNetworkReachabilityFlags flags, void* info);
    static std::string describeContext(const void* info);

    // Installs the platform callback and its queue, or throws with both
    // removed; the caller holds notifierMutex_.
    void installCallback();
    // Clears the platform callback and its queue; the caller holds notifierMutex_.
    void removeCallback();
    void setReachabilityFlags();
    void updateFlags(platform::SCNetworkReachabilityFlags flags);
    void notifyReachabilityChanged();

    mutable std::mutex mutex_; // guards the closures, the center and the flags
    NetworkReachable whenReachable_;
    NetworkUnreachable whenUnreachable_;
    platform::NotificationCenter* notificationCenter_;
    std::optional<platform::SCNetworkReachabilityFlags> flags_;

    std::mutex notifierMutex_; // serialises installing and removing the callback
    std::atomic<bool> notifierRunning_{false};
    // Count every removal of the callback and, among them, the stops asked
    // for by the application: a start whose fetch ran while the callback was
    // removed installs it again, unless the removal was such a stop.
    std::uint64_t removals_ = 0;
    std::uint64_t stops_ = 0;

    const platform::SCNetworkReachabilityRef reachabilityRef_;
    const std::shared_ptr<platform::SerialQueue> reachabilitySerialQueue_;
    platform::DispatchQueue* const notificationQueue_;
};

// A notification name declared for callers; nothing posts it.
inline constexpr std::string_view ReachabilityChangedNotification =
    "ReachabilityChangedNotification";

// "No Connection", "WiFi", "Cellular".
std::string_view description(Reachability::Connection connection);
std::string_view description(Reachability::NetworkStatus status);

} // namespace davaror
