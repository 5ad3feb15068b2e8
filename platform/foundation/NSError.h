// An error of the platform's kind: a domain, a code and a user-info dictionary. It can be
// thrown like any error of the program; the underlying error, when there is one, sits in the
// user info under NSUnderlyingErrorKey as a std::shared_ptr to an NSError or a subclass.
#pragma once

#include "platform/core/Export.h"
#include "platform/foundation/NSDictionary.h"
#include "platform/foundation/NSObject.h"

#include <exception>
#include <string>

namespace platform::foundation {

class DAVAROR_EXPORT NSError : public std::exception, public NSObject {
public:
    NSError(std::string domain, long code, NSDictionary userInfo = {});

    const std::string& domain() const { return domain_; }
    long code() const { return code_; }
    const NSDictionary& userInfo() const { return userInfo_; }
    // NSLocalizedDescriptionKey's text, else the platform's generic sentence naming the domain
    // and code.
    const std::string& localizedDescription() const { return localizedDescription_; }
    const char* what() const noexcept override { return localizedDescription_.c_str(); }

    // Info filled in after creation, as through a mutable dictionary handed in at creation.
    // Errors can point at each other this way; whoever builds such a cycle breaks it again.
    void setUserInfoValue(const std::string& key, NSDictionaryValue value);

private:
    void updateLocalizedDescription();

    std::string domain_;
    long code_;
    NSDictionary userInfo_;
    std::string localizedDescription_;
};

} // namespace platform::foundation
