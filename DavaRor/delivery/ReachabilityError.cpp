#include "DavaRor/delivery/ReachabilityError.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace davaror {

namespace {

std::string withCode(const std::string& head, std::int32_t scError) {
    return head + std::to_string(scError) + ")";
}

std::string addressText(const sockaddr& address) {
    if (address.sa_family != AF_INET) {
        return "family " + std::to_string(address.sa_family);
    }
    sockaddr_in ipv4;
    std::memcpy(&ipv4, &address, sizeof ipv4);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(ipv4.sin_port));
}

} // namespace

ReachabilityError::ReachabilityError(Kind kind, std::int32_t scError, std::string description)
    : kind_(kind), scError_(scError), description_(std::move(description)) {}

ReachabilityError ReachabilityError::failedToCreateWithAddress(const sockaddr& address,
                                                               std::int32_t scError) {
    ReachabilityError error(
        Kind::failedToCreateWithAddress, scError,
        withCode("failedToCreateWithAddress(" + addressText(address) + ", ", scError));
    error.address_ = address;
    return error;
}

ReachabilityError ReachabilityError::failedToCreateWithHostname(const std::string& hostname,
                                                                std::int32_t scError) {
    ReachabilityError error(Kind::failedToCreateWithHostname, scError,
                            withCode("failedToCreateWithHostname(\"" + hostname + "\", ", scError));
    error.hostname_ = hostname;
    return error;
}

ReachabilityError ReachabilityError::unableToSetCallback(std::int32_t scError) {
    return {Kind::unableToSetCallback, scError, withCode("unableToSetCallback(", scError)};
}

ReachabilityError ReachabilityError::unableToSetDispatchQueue(std::int32_t scError) {
    return {Kind::unableToSetDispatchQueue, scError,
            withCode("unableToSetDispatchQueue(", scError)};
}

ReachabilityError ReachabilityError::unableToGetFlags(std::int32_t scError) {
    return {Kind::unableToGetFlags, scError, withCode("unableToGetFlags(", scError)};
}

} // namespace davaror
