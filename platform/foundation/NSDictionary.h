// The user-info dictionary of errors and exceptions: text keys, values of any type. Objects
// such as underlying errors are held as std::shared_ptr, so their identity can be compared.
#pragma once

#include "platform/foundation/NSObject.h"

#include <any>
#include <map>
#include <memory>
#include <string>
#include <type_traits>

namespace platform::foundation {

// One value of a user-info dictionary. An object of the platform's kinds, held by
// std::shared_ptr to its own type, is also found when any kind above that type is asked for.
class NSDictionaryValue {
public:
    NSDictionaryValue() = default;
    NSDictionaryValue(std::any value) : value_(std::move(value)) {}
    template <typename T>
    requires(!std::is_same_v<T, std::any> && !std::is_same_v<T, NSDictionaryValue>)
        NSDictionaryValue(T value)
        : value_(value) {
        if constexpr (isHeldObject<T>::value) {
            object_ = std::move(value);
        }
    }

    // The value when it is exactly a T, else null.
    template <typename T> const T* get() const { return std::any_cast<T>(&value_); }
    // The object when it is a Kind or of a kind derived from it; else none.
    template <typename Kind> std::shared_ptr<const Kind> object() const {
        return std::dynamic_pointer_cast<const Kind>(object_);
    }

private:
    template <typename T> struct isHeldObject : std::false_type {};
    template <typename U>
    struct isHeldObject<std::shared_ptr<U>> : std::is_base_of<NSObject, std::remove_cv_t<U>> {};

    std::any value_;
    std::shared_ptr<const NSObject> object_;
};

using NSDictionary = std::map<std::string, NSDictionaryValue>;

inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSDebugDescriptionErrorKey = "NSDebugDescription";

// The value under key when it holds a T, else null.
template <typename T> const T* userInfoValue(const NSDictionary& userInfo, const std::string& key) {
    auto found = userInfo.find(key);
    return found != userInfo.end() ? found->second.get<T>() : nullptr;
}

// The object under key when it is a Kind (a derived kind included), else none.
template <typename Kind>
std::shared_ptr<const Kind> userInfoObject(const NSDictionary& userInfo, const std::string& key) {
    auto found = userInfo.find(key);
    return found != userInfo.end() ? found->second.object<Kind>() : nullptr;
}

} // namespace platform::foundation
