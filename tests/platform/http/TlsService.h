// An HTTPS service on loopback for the trust tests: the system's openssl
// command makes the certificates at test time and serves "GET /" with them.
#pragma once

#include "platform/core/UniqueFd.h"
#include "support/TemporaryDirectory.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace testsupport {

// A private root and two certificates for 127.0.0.1: one it signed, one
// signed by itself. Empty paths when openssl is missing or failed.
class TlsCertificates {
public:
    TlsCertificates();

    bool made() const { return made_; }
    std::filesystem::path privateRoot() const { return folder_.path() / "root.pem"; }
    std::filesystem::path rootFolder() const { return folder_.path() / "roots"; }
    std::filesystem::path signedByRoot() const { return folder_.path() / "service.pem"; }
    std::filesystem::path selfSigned() const { return folder_.path() / "self.pem"; }
    // The key of both service certificates.
    std::filesystem::path serviceKey() const { return folder_.path() / "service.key"; }

private:
    TemporaryDirectory folder_;
    bool made_ = false;
};

// Serves one certificate until destroyed.
class TlsService {
public:
    TlsService(const std::filesystem::path& certificate, const std::filesystem::path& key);
    ~TlsService();
    TlsService(const TlsService&) = delete;
    TlsService& operator=(const TlsService&) = delete;

    // None when the service did not start.
    std::optional<std::string> baseUrl() const;

private:
    pid_t process_ = -1;
    // Kept open: the service would die of SIGPIPE writing to a closed pipe.
    platform::UniqueFd output_;
    std::uint16_t port_ = 0;
};

} // namespace testsupport
