#pragma once

#include "DavaRor/Utils/DavaRorMulticastCallback.h"

#include <string>

// Screen names published by the platform's user-interface layer.
class ScreenViewPublishing {
public:
    virtual ~ScreenViewPublishing() = default;
    virtual DavaRorMulticastCallback<std::string>& onScreenView() = 0;
};

// One per process, never released. Nothing on Linux intercepts view
// appearance, so nothing publishes into it unless the application does; an
// interception, where one exists, would start with the first subscriber.
class ApplicationScreenViewPublisher final : public ScreenViewPublishing {
public:
    static ApplicationScreenViewPublisher& shared();

    DavaRorMulticastCallback<std::string>& onScreenView() override { return onScreenView_; }

private:
    ApplicationScreenViewPublisher() = default;
    DavaRorMulticastCallback<std::string> onScreenView_;
};
