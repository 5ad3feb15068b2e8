// Readers of kernel facts by sysctl name, and the valid UTF-8 prefix of the bytes the kernel
// hands back. Normal context only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The value of a string key (cut at its first NUL, or at its size when it has none); nothing,
// with errno kept, when the key cannot be read.
std::optional<std::string> kocrash_sysctl_string(const char* name);
bool kocrash_sysctl_int(const char* name, std::int32_t* result);

// Length of the longest valid UTF-8 prefix, ending at a NUL byte or the maximum. A leading
// byte-order mark is skipped over and counts in the result.
std::size_t kocrash_sysctl_valid_utf8_bytes(const std::uint8_t* bytes);
std::size_t kocrash_sysctl_valid_utf8_bytes_max(const std::uint8_t* bytes, std::size_t max);
