#include "platform/http/CurlDescriptors.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <linux/sockios.h>
#include <string>
#include <system_error>
#include <vector>

namespace platform::http {
namespace {

std::vector<int> openDescriptors() {
    std::vector<int> descriptors;
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end;
         !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        int fd = -1;
        if (std::from_chars(name.data(), name.data() + name.size(), fd).ec == std::errc()) {
            descriptors.push_back(fd);
        }
    }
    // The listing's own descriptor was among them and is closed now.
    std::erase_if(descriptors, [](int fd) { return fcntl(fd, F_GETFD) < 0; });
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

int socketOption(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    return getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

bool isInheritedLocalStream(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) == 0 && socketOption(fd, SO_DOMAIN) == AF_UNIX &&
           socketOption(fd, SO_TYPE) == SOCK_STREAM;
}

int queued(int fd, unsigned long request) {
    int bytes = -1;
    return ioctl(fd, request, &bytes) == 0 ? bytes : -1;
}

} // namespace

curl_socket_t openCloseOnExecSocket(void*, curlsocktype, curl_sockaddr* address) {
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// libcurl makes the pair inside curl_multi_init and names it nowhere. It is told apart from
// anything another thread opened meanwhile by what it does: among the local stream sockets that
// appeared, still idle, the wake-up call puts one byte into one of them (the end libcurl polls)
// and leaves it unread in the other's send queue (the end it writes to). libcurl reads the byte
// at its next poll.
CURLM* newCloseOnExecMulti() {
    const std::vector<int> before = openDescriptors();
    CURLM* multi = curl_multi_init();
    if (multi == nullptr) {
        return nullptr;
    }
    std::vector<int> candidates;
    for (int fd : openDescriptors()) {
        if (!std::binary_search(before.begin(), before.end(), fd) && isInheritedLocalStream(fd) &&
            queued(fd, SIOCINQ) == 0 && queued(fd, SIOCOUTQ) == 0) {
            candidates.push_back(fd);
        }
    }
    if (candidates.empty()) {
        return multi;
    }
    curl_multi_wakeup(multi);
    for (int fd : candidates) {
        if (queued(fd, SIOCINQ) == 1 || queued(fd, SIOCOUTQ) > 0) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    return multi;
}

} // namespace platform::http
