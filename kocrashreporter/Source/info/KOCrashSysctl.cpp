#include "info/KOCrashSysctl.h"

#include "platform/sysctl/Sysctl.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

std::optional<std::string> kocrash_sysctl_string(const char* name) {
    for (;;) {
        std::size_t size = 0;
        if (platform::sysctl::sysctlbyname(name, nullptr, &size, nullptr, 0) != 0) {
            return std::nullopt;
        }
        // One spare byte, so that even an empty value has a buffer to land in.
        std::vector<char> value(size + 1);
        if (platform::sysctl::sysctlbyname(name, value.data(), &size, nullptr, 0) == 0) {
            // A value without its NUL must not run past its end.
            return std::string(value.data(), strnlen(value.data(), size));
        }
        // ENOMEM: the value grew between the two calls.
        if (errno != ENOMEM) {
            return std::nullopt;
        }
    }
}

bool kocrash_sysctl_int(const char* name, std::int32_t* result) {
    std::size_t size = sizeof(*result);
    return platform::sysctl::sysctlbyname(name, result, &size, nullptr, 0) == 0;
}

std::size_t kocrash_sysctl_valid_utf8_bytes(const std::uint8_t* bytes) {
    return kocrash_sysctl_valid_utf8_bytes_max(bytes, std::numeric_limits<std::size_t>::max());
}

namespace {

// Continuation bytes a lead byte asks for, or -1 for a byte that cannot start a character.
int continuationsFor(std::uint8_t lead) {
    if (lead < 0x80) {
        return 0;
    }
    if ((lead & 0xE0) == 0xC0) {
        return 1;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 2;
    }
    if ((lead & 0xF8) == 0xF0) {
        return 3;
    }
    return -1;
}

} // namespace

std::size_t kocrash_sysctl_valid_utf8_bytes_max(const std::uint8_t* bytes, std::size_t max) {
    std::size_t accepted = 0;
    if (max >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        accepted = 3;
    }
    while (accepted < max && bytes[accepted] != 0) {
        int needed = continuationsFor(bytes[accepted]);
        if (needed < 0 || static_cast<std::size_t>(needed) >= max - accepted) {
            break;
        }
        bool complete = true;
        for (int i = 1; i <= needed; ++i) {
            if ((bytes[accepted + i] & 0xC0) != 0x80) {
                complete = false;
                break;
            }
        }
        if (!complete) {
            break;
        }
        accepted += 1 + static_cast<std::size_t>(needed);
    }
    return accepted;
}
