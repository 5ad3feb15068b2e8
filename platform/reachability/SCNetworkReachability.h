#pragma once

#include "platform/core/DispatchQueue.h"
#include "platform/reachability/ReachabilityFlagsSource.h"
#include "platform/reachability/SCNetworkReachabilityFlags.h"

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// The network-reachability interface the client was written against, on
// Linux. A target answers whether the machine can reach the network at all:
// it is reachable while some default route leaves through a working link.
// Address and name targets all follow that rule; the stand-in neither resolves
// names nor looks up routes to particular addresses.
namespace platform {

inline constexpr int kSCStatusOK = 0;
inline constexpr int kSCStatusFailed = 1001;
inline constexpr int kSCStatusInvalidArgument = 1002;

class SCNetworkReachability;
using SCNetworkReachabilityRef = std::shared_ptr<SCNetworkReachability>;

using SCNetworkReachabilityCallBack = void (*)(const SCNetworkReachabilityRef& target,
                                               SCNetworkReachabilityFlags flags, void* info);

struct SCNetworkReachabilityContext {
    long version = 0;
    // Shared ownership stands in for the retain and release callbacks: the
    // target keeps `info` alive while the callback stays installed.
    std::shared_ptr<void> info;
    std::string (*copyDescription)(const void* info) = nullptr;
};

class SCNetworkReachability : public std::enable_shared_from_this<SCNetworkReachability> {
    struct Private {};

public:
    SCNetworkReachability(Private, std::string name,
                          std::shared_ptr<ReachabilityFlagsSource> source);
    ~SCNetworkReachability();
    SCNetworkReachability(const SCNetworkReachability&) = delete;
    SCNetworkReachability& operator=(const SCNetworkReachability&) = delete;

    // The target's name, followed by the context's own description while a
    // callback is installed.
    std::string description() const;

private:
    friend SCNetworkReachabilityRef
    SCNetworkReachabilityCreateWithSource(std::string name,
                                          std::shared_ptr<ReachabilityFlagsSource> source);
    friend bool SCNetworkReachabilitySetCallback(const SCNetworkReachabilityRef&,
                                                 SCNetworkReachabilityCallBack,
                                                 const SCNetworkReachabilityContext*);
    friend bool SCNetworkReachabilitySetDispatchQueue(const SCNetworkReachabilityRef&,
                                                      DispatchQueue*);
    friend bool SCNetworkReachabilityGetFlags(const SCNetworkReachabilityRef&,
                                              SCNetworkReachabilityFlags*);

    void setCallback(SCNetworkReachabilityCallBack callout,
                     const SCNetworkReachabilityContext* context);
    void setDispatchQueue(DispatchQueue* queue);
    void flagsDidChange(SCNetworkReachabilityFlags flags);
    void runCallout(std::uint64_t schedule, SCNetworkReachabilityFlags flags);

    const std::string name_;
    const std::shared_ptr<ReachabilityFlagsSource> source_;
    mutable std::mutex mutex_;
    SCNetworkReachabilityCallBack callout_ = nullptr;
    SCNetworkReachabilityContext context_;
    DispatchQueue* queue_ = nullptr;
    // Changes with every (un)scheduling, so callbacks queued for an earlier
    // schedule are dropped instead of arriving after the caller stopped them.
    std::uint64_t schedule_ = 0;
    std::unique_ptr<ReachabilityFlagsSource::Watch> watch_;
};

// Creation gives an empty reference and sets SCError() on failure.
SCNetworkReachabilityRef SCNetworkReachabilityCreateWithAddress(const sockaddr* address);
SCNetworkReachabilityRef SCNetworkReachabilityCreateWithName(const char* nodename);
// A target on a source of the caller's choosing, e.g. a test double.
SCNetworkReachabilityRef
SCNetworkReachabilityCreateWithSource(std::string name,
                                      std::shared_ptr<ReachabilityFlagsSource> source);

// Installs `callout` with `context`, or removes both when `callout` is null.
bool SCNetworkReachabilitySetCallback(const SCNetworkReachabilityRef& target,
                                      SCNetworkReachabilityCallBack callout,
                                      const SCNetworkReachabilityContext* context);
// Starts watching and delivers the callback on `queue`; null stops watching.
// The queue must outlive the schedule.
bool SCNetworkReachabilitySetDispatchQueue(const SCNetworkReachabilityRef& target,
                                           DispatchQueue* queue);
bool SCNetworkReachabilityGetFlags(const SCNetworkReachabilityRef& target,
                                   SCNetworkReachabilityFlags* flags);

// The status of the calling thread's last reachability call: kSCStatusOK, a
// kSCStatus* code or an errno value.
int SCError();

} // namespace platform
