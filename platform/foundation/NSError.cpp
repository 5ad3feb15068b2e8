#include "platform/foundation/NSError.h"

namespace platform::foundation {

NSError::NSError(std::string domain, long code, NSDictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {
    updateLocalizedDescription();
}

void NSError::setUserInfoValue(const std::string& key, NSDictionaryValue value) {
    userInfo_[key] = std::move(value);
    updateLocalizedDescription();
}

void NSError::updateLocalizedDescription() {
    if (const auto* text = userInfoValue<std::string>(userInfo_, NSLocalizedDescriptionKey)) {
        localizedDescription_ = *text;
    } else {
        localizedDescription_ = "The operation couldn’t be completed. (" + domain_ + " error " +
                                std::to_string(code_) + ".)";
    }
}

} // namespace platform::foundation
