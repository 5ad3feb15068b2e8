#pragma once

#include "DavaRor/Utils/DavaRorMulticastCallback.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace davaror {

// Screen names published by the platform's user-interface layer.
class ScreenViewPublishing {
public:
    virtual ~ScreenViewPublishing() = default;
    virtual DavaRorMulticastCallback<std::string>& onScreenView() = 0;
};

// One per process, never released. Nothing on Linux intercepts view
// appearance, so nothing publishes into it unless the application does.
class ApplicationScreenViewPublisher final
    : public ScreenViewPublishing,
      public std::enable_shared_from_this<ApplicationScreenViewPublisher> {
public:
    static ApplicationScreenViewPublisher& shared();

    // Created at the first read, with a subscriber-count handler that holds
    // the publisher weakly.
    DavaRorMulticastCallback<std::string>& onScreenView() override;
    // Whether view appearance is intercepted: never on Linux.
    bool hasSwizzled() const { return hasSwizzled_; }

private:
    ApplicationScreenViewPublisher() = default;
    // Where an interception of view appearance would start with the first
    // subscriber; Linux has none to start.
    void subscriberCountChanged(std::size_t /*count*/) {}

    std::once_flag onScreenViewCreated_;
    std::unique_ptr<DavaRorMulticastCallback<std::string>> onScreenView_;
    const bool hasSwizzled_ = false;
};

} // namespace davaror
