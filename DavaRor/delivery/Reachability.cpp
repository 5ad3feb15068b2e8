#include "DavaRor/delivery/Reachability.h"

#include "DavaRor/delivery/SCNetworkReachabilityFlagsDescription.h"

#include <netinet/in.h>

#include <cstring>
#include <utility>

using namespace platform;

namespace davaror {

namespace {

std::shared_ptr<SerialQueue> makeSerialQueue(DispatchQoS queueQoS,
                                             std::shared_ptr<SerialQueue> targetQueue) {
    auto queue =
        std::make_shared<SerialQueue>(std::string(Reachability::serialQueueLabel), targetQueue);
    // An aimed queue runs on its target's thread, whose priority belongs to
    // the target's owner.
    if (!targetQueue) {
        queue->async([queueQoS] { applyToCurrentThread(queueQoS); });
    }
    return queue;
}

Reachability::Connection connectionFor(SCNetworkReachabilityFlags flags) {
    if (!(flags & kSCNetworkReachabilityFlagsReachable)) {
        return Reachability::Connection::unavailable;
    }
    const bool connectsAutomatically =
        (flags & (kSCNetworkReachabilityFlagsConnectionOnDemand |
                  kSCNetworkReachabilityFlagsConnectionOnTraffic)) != 0;
    if (connectsAutomatically && !(flags & kSCNetworkReachabilityFlagsInterventionRequired)) {
        return Reachability::Connection::wifi;
    }
    if (!(flags & kSCNetworkReachabilityFlagsConnectionRequired)) {
        return Reachability::Connection::wifi;
    }
    return Reachability::Connection::unavailable;
}

} // namespace

std::shared_ptr<Reachability> Reachability::create(SCNetworkReachabilityRef reachabilityRef,
                                                   DispatchQoS queueQoS,
                                                   std::shared_ptr<SerialQueue> targetQueue,
                                                   DispatchQueue* notificationQueue) {
    return std::make_shared<Reachability>(Private{}, std::move(reachabilityRef), queueQoS,
                                          std::move(targetQueue), notificationQueue);
}

std::shared_ptr<Reachability> Reachability::create(DispatchQoS queueQoS,
                                                   std::shared_ptr<SerialQueue> targetQueue,
                                                   DispatchQueue* notificationQueue) {
    static_assert(sizeof(sockaddr_in) == sizeof(sockaddr));
    sockaddr_in zeroAddress{};
    zeroAddress.sin_family = AF_INET;
    sockaddr address;
    std::memcpy(&address, &zeroAddress, sizeof address);
    auto reachabilityRef = SCNetworkReachabilityCreateWithAddress(&address);
    if (!reachabilityRef) {
        throw ReachabilityError::failedToCreateWithAddress(address, SCError());
    }
    return create(std::move(reachabilityRef), queueQoS, std::move(targetQueue), notificationQueue);
}

std::shared_ptr<Reachability> Reachability::create(const std::string& hostname,
                                                   DispatchQoS queueQoS,
                                                   std::shared_ptr<SerialQueue> targetQueue,
                                                   DispatchQueue* notificationQueue) {
    auto reachabilityRef = SCNetworkReachabilityCreateWithName(hostname.c_str());
    if (!reachabilityRef) {
        throw ReachabilityError::failedToCreateWithHostname(hostname, SCError());
    }
    return create(std::move(reachabilityRef), queueQoS, std::move(targetQueue), notificationQueue);
}

Reachability::Reachability(Private, SCNetworkReachabilityRef reachabilityRef, DispatchQoS queueQoS,
                           std::shared_ptr<SerialQueue> targetQueue,
                           DispatchQueue* notificationQueue)
    : notificationCenter_(&NotificationCenter::defaultCenter()),
      reachabilityRef_(std::move(reachabilityRef)),
      reachabilitySerialQueue_(makeSerialQueue(queueQoS, std::move(targetQueue))),
      notificationQueue_(notificationQueue) {}

Reachability::~Reachability() {
    stopNotifier();
}

void Reachability::startNotifier() {
    // Outside the lock: without a notification queue the closures run inside
    // the fetch, and they may stop or restart the notifier. A concurrent start
    // installs the callback again and fetches for itself, so each start
    // reports the outcome of its own fetch. A stop asked for during the fetch
    // holds: the start returns and leaves the notifier as the stop (or a
    // restart after it) left it. Any other removal during the fetch was the
    // clean-up of a failed start or fetch elsewhere and took away the callback
    // this start installed: it installs again and fetches again, so that a
    // start that returns without a stop leaves the callback installed and the
    // flags fresh.
    for (;;) {
        std::uint64_t removalsBefore = 0;
        std::uint64_t stopsBefore = 0;
        {
            std::lock_guard lock(notifierMutex_);
            if (notifierRunning_) {
                return;
            }
            installCallback();
            removalsBefore = removals_;
            stopsBefore = stops_;
        }
        setReachabilityFlags();
        std::lock_guard lock(notifierMutex_);
        if (stops_ != stopsBefore) {
            return;
        }
        if (removals_ == removalsBefore) {
            notifierRunning_ = true;
            return;
        }
    }
}

void Reachability::installCallback() {
    SCNetworkReachabilityContext context;
    context.info = std::make_shared<ReachabilityWeakifier>(weak_from_this());
    context.copyDescription = &Reachability::describeContext;
    if (!SCNetworkReachabilitySetCallback(reachabilityRef_, &Reachability::callback, &context)) {
        const int error = SCError();
        removeCallback();
        throw ReachabilityError::unableToSetCallback(error);
    }
    if (!SCNetworkReachabilitySetDispatchQueue(reachabilityRef_, reachabilitySerialQueue_.get())) {
        const int error = SCError();
        removeCallback();
        throw ReachabilityError::unableToSetDispatchQueue(error);
    }
}

void Reachability::stopNotifier() {
    std::lock_guard lock(notifierMutex_);
    ++stops_;
    removeCallback();
}

void Reachability::removeCallback() {
    SCNetworkReachabilitySetCallback(reachabilityRef_, nullptr, nullptr);
    SCNetworkReachabilitySetDispatchQueue(reachabilityRef_, nullptr);
    notifierRunning_ = false;
    ++removals_;
}

Reachability::Connection Reachability::connection() {
    if (!flags()) {
        try {
            setReachabilityFlags();
        } catch (const ReachabilityError&) {
            // Answered as unavailable below.
        }
    }
    const auto current = flags();
    return current ? connectionFor(*current) : Connection::unavailable;
}

Reachability::Connection Reachability::currentReachabilityStatus() {
    return connection();
}

std::string_view Reachability::currentReachabilityString() {
    return description(connection());
}

Reachability::NetworkReachable Reachability::whenReachable() const {
    std::lock_guard lock(mutex_);
    return whenReachable_;
}

void Reachability::setWhenReachable(NetworkReachable closure) {
    std::lock_guard lock(mutex_);
    whenReachable_ = std::move(closure);
}

Reachability::NetworkUnreachable Reachability::whenUnreachable() const {
    std::lock_guard lock(mutex_);
    return whenUnreachable_;
}

void Reachability::setWhenUnreachable(NetworkUnreachable closure) {
    std::lock_guard lock(mutex_);
    whenUnreachable_ = std::move(closure);
}

NotificationCenter& Reachability::notificationCenter() const {
    std::lock_guard lock(mutex_);
    return *notificationCenter_;
}

void Reachability::setNotificationCenter(NotificationCenter& center) {
    std::lock_guard lock(mutex_);
    notificationCenter_ = &center;
}

std::optional<SCNetworkReachabilityFlags> Reachability::flags() const {
    std::lock_guard lock(mutex_);
    return flags_;
}

void Reachability::callback(const SCNetworkReachabilityRef&, SCNetworkReachabilityFlags flags,
                            void* info) {
    const auto* weakifier = static_cast<const ReachabilityWeakifier*>(info);
    if (auto monitor = weakifier->reachability.lock()) {
        monitor->updateFlags(flags);
    }
}

std::string Reachability::describeContext(const void* info) {
    const auto* weakifier = static_cast<const ReachabilityWeakifier*>(info);
    const auto monitor = weakifier->reachability.lock();
    if (!monitor) {
        return "nil";
    }
    const auto current = monitor->flags();
    return current ? description(*current) : "unavailable flags";
}

void Reachability::setReachabilityFlags() {
    std::optional<int> failure;
    reachabilitySerialQueue_->sync([&] {
        SCNetworkReachabilityFlags fetched{};
        if (!SCNetworkReachabilityGetFlags(reachabilityRef_, &fetched)) {
            failure = SCError();
            return;
        }
        updateFlags(fetched);
    });
    if (failure) {
        {
            std::lock_guard lock(notifierMutex_);
            removeCallback();
        }
        throw ReachabilityError::unableToGetFlags(*failure);
    }
}

void Reachability::updateFlags(SCNetworkReachabilityFlags flags) {
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(flags_, flags) == flags) {
            return;
        }
    }
    notifyReachabilityChanged();
}

void Reachability::notifyReachabilityChanged() {
    auto notify = [weakSelf = weak_from_this()] {
        const auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        if (self->connection() != Connection::unavailable) {
            if (const auto closure = self->whenReachable()) {
                closure(*self);
            }
        } else if (const auto closure = self->whenUnreachable()) {
            closure(*self);
        }
        Notification changed;
        changed.name = reachabilityChanged;
        changed.object = self.get();
        self->notificationCenter().post(changed);
    };
    if (notificationQueue_ != nullptr) {
        notificationQueue_->async(std::move(notify));
    } else {
        notify();
    }
}

std::string_view description(Reachability::Connection connection) {
    switch (connection) {
    case Reachability::Connection::wifi:
        return "WiFi";
    case Reachability::Connection::cellular:
        return "Cellular";
    case Reachability::Connection::unavailable:
        break;
    }
    return "No Connection";
}

std::string_view description(Reachability::NetworkStatus status) {
    switch (status) {
    case Reachability::NetworkStatus::reachableViaWiFi:
        return "WiFi";
    case Reachability::NetworkStatus::reachableViaWWAN:
        return "Cellular";
    case Reachability::NetworkStatus::notReachable:
        break;
    }
    return "No Connection";
}

} // namespace davaror
