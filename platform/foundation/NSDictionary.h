// The user-info dictionary of errors and exceptions: text keys, values of any type. Objects
// such as underlying errors are held as std::shared_ptr, so their identity can be compared.
#pragma once

#include <any>
#include <map>
#include <string>

using NSDictionary = std::map<std::string, std::any>;

inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSDebugDescriptionErrorKey = "NSDebugDescription";

// The value under key when it holds a T, else null.
template <typename T> const T* userInfoValue(const NSDictionary& userInfo, const std::string& key) {
    auto found = userInfo.find(key);
    return found != userInfo.end() ? std::any_cast<T>(&found->second) : nullptr;
}
