#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <exception>
#include <string>

namespace davaror {

// Why a reachability monitor could not be made or started; `scError` is the
// platform's SCError() at the failure.
class ReachabilityError : public std::exception {
public:
    enum class Kind {
        failedToCreateWithAddress,
        failedToCreateWithHostname,
        unableToSetCallback,
        unableToSetDispatchQueue,
        unableToGetFlags,
    };

    static ReachabilityError failedToCreateWithAddress(const sockaddr& address,
                                                       std::int32_t scError);
    static ReachabilityError failedToCreateWithHostname(const std::string& hostname,
                                                        std::int32_t scError);
    static ReachabilityError unableToSetCallback(std::int32_t scError);
    static ReachabilityError unableToSetDispatchQueue(std::int32_t scError);
    static ReachabilityError unableToGetFlags(std::int32_t scError);

    Kind kind() const noexcept { return kind_; }
    std::int32_t scError() const noexcept { return scError_; }
    // Set for failedToCreateWithAddress only.
    const sockaddr& address() const noexcept { return address_; }
    // Set for failedToCreateWithHostname only.
    const std::string& hostname() const noexcept { return hostname_; }

    // The case and its values, e.g. "unableToGetFlags(1002)".
    const char* what() const noexcept override { return description_.c_str(); }

private:
    ReachabilityError(Kind kind, std::int32_t scError, std::string description);

    Kind kind_;
    std::int32_t scError_;
    sockaddr address_{};
    std::string hostname_;
    std::string description_;
};

} // namespace davaror
