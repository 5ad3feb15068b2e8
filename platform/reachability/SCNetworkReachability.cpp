#include "platform/reachability/SCNetworkReachability.h"

#include "platform/reachability/ReachabilitySourceFactory.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <system_error>
#include <utility>

namespace platform {
namespace {

thread_local int lastError = kSCStatusOK;

bool succeed() {
    lastError = kSCStatusOK;
    return true;
}

bool fail(int status) {
    lastError = status;
    return false;
}

// The printable form of an IPv4 or IPv6 address; empty for other families.
std::string addressText(const sockaddr& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.sa_family == AF_INET) {
        const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text);
    } else if (address.sa_family == AF_INET6) {
        const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &ipv6.sin6_addr, text, sizeof text);
    }
    return text;
}

SCNetworkReachabilityRef createWithFactorySource(std::string name) {
    try {
        return SCNetworkReachabilityCreateWithSource(std::move(name), makeReachabilitySource());
    } catch (const std::system_error& error) {
        fail(error.code().value());
        return nullptr;
    }
}

} // namespace

SCNetworkReachability::SCNetworkReachability(Private, std::string name,
                                             std::shared_ptr<ReachabilityFlagsSource> source)
    : name_(std::move(name)), source_(std::move(source)) {}

SCNetworkReachability::~SCNetworkReachability() {
    // The watch's handler points at this target; ending the watch first
    // guarantees it is not running when the members go.
    std::unique_ptr<ReachabilityFlagsSource::Watch> watch;
    {
        std::lock_guard lock(mutex_);
        queue_ = nullptr;
        watch = std::move(watch_);
    }
}

std::string SCNetworkReachability::description() const {
    std::string (*copyDescription)(const void*);
    std::shared_ptr<void> info;
    {
        std::lock_guard lock(mutex_);
        copyDescription = callout_ != nullptr ? context_.copyDescription : nullptr;
        info = context_.info;
    }
    std::string text = "<SCNetworkReachability " + name_ + ">";
    if (copyDescription != nullptr) {
        text += " {" + copyDescription(info.get()) + "}";
    }
    return text;
}

void SCNetworkReachability::setCallback(SCNetworkReachabilityCallBack callout,
                                        const SCNetworkReachabilityContext* context) {
    SCNetworkReachabilityContext replaced;
    {
        std::lock_guard lock(mutex_);
        callout_ = callout;
        replaced = std::exchange(context_, callout != nullptr && context != nullptr
                                               ? *context
                                               : SCNetworkReachabilityContext{});
    }
    // `replaced` releases the old context's info outside the lock, where its
    // owner's destructor cannot deadlock against a delivery.
}

void SCNetworkReachability::setDispatchQueue(DispatchQueue* queue) {
    std::unique_ptr<ReachabilityFlagsSource::Watch> started;
    if (queue != nullptr) {
        started =
            source_->watch([this](SCNetworkReachabilityFlags flags) { flagsDidChange(flags); });
    }
    std::unique_ptr<ReachabilityFlagsSource::Watch> ended;
    {
        std::lock_guard lock(mutex_);
        ended = std::exchange(watch_, std::move(started));
        queue_ = queue;
        ++schedule_;
    }
    // `ended` is destroyed here, outside the lock: its handler may be waiting
    // for that lock right now, and the watch waits for its handler.
}

void SCNetworkReachability::flagsDidChange(SCNetworkReachabilityFlags flags) {
    std::lock_guard lock(mutex_);
    if (callout_ == nullptr || queue_ == nullptr) {
        return;
    }
    queue_->async([weakTarget = weak_from_this(), schedule = schedule_, flags] {
        if (auto target = weakTarget.lock()) {
            target->runCallout(schedule, flags);
        }
    });
}

void SCNetworkReachability::runCallout(std::uint64_t schedule, SCNetworkReachabilityFlags flags) {
    SCNetworkReachabilityCallBack callout;
    std::shared_ptr<void> info;
    {
        std::lock_guard lock(mutex_);
        if (schedule != schedule_ || callout_ == nullptr) {
            return;
        }
        callout = callout_;
        info = context_.info;
    }
    callout(shared_from_this(), flags, info.get());
}

SCNetworkReachabilityRef SCNetworkReachabilityCreateWithAddress(const sockaddr* address) {
    if (address == nullptr) {
        fail(kSCStatusInvalidArgument);
        return nullptr;
    }
    auto name = addressText(*address);
    if (name.empty()) {
        fail(kSCStatusInvalidArgument);
        return nullptr;
    }
    return createWithFactorySource(std::move(name));
}

SCNetworkReachabilityRef SCNetworkReachabilityCreateWithName(const char* nodename) {
    if (nodename == nullptr || *nodename == '\0') {
        fail(kSCStatusInvalidArgument);
        return nullptr;
    }
    return createWithFactorySource(nodename);
}

SCNetworkReachabilityRef
SCNetworkReachabilityCreateWithSource(std::string name,
                                      std::shared_ptr<ReachabilityFlagsSource> source) {
    if (!source) {
        fail(kSCStatusInvalidArgument);
        return nullptr;
    }
    succeed();
    return std::make_shared<SCNetworkReachability>(SCNetworkReachability::Private{},
                                                   std::move(name), std::move(source));
}

bool SCNetworkReachabilitySetCallback(const SCNetworkReachabilityRef& target,
                                      SCNetworkReachabilityCallBack callout,
                                      const SCNetworkReachabilityContext* context) {
    if (!target) {
        return fail(kSCStatusInvalidArgument);
    }
    target->setCallback(callout, context);
    return succeed();
}

bool SCNetworkReachabilitySetDispatchQueue(const SCNetworkReachabilityRef& target,
                                           DispatchQueue* queue) {
    if (!target) {
        return fail(kSCStatusInvalidArgument);
    }
    try {
        target->setDispatchQueue(queue);
    } catch (const std::system_error& error) {
        return fail(error.code().value());
    }
    return succeed();
}

bool SCNetworkReachabilityGetFlags(const SCNetworkReachabilityRef& target,
                                   SCNetworkReachabilityFlags* flags) {
    if (!target || flags == nullptr) {
        return fail(kSCStatusInvalidArgument);
    }
    try {
        *flags = target->source_->currentFlags();
    } catch (const std::system_error& error) {
        return fail(error.code().value());
    }
    return succeed();
}

int SCError() {
    return lastError;
}

} // namespace platform
