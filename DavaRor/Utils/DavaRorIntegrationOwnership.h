#pragma once

#include "DavaRor/Utils/DavaRorIntegrationInstallGuard.h"
#include "platform/core/ForkSafeMutex.h"

#include <memory>
#include <mutex>

class DavaRorSDK;

// The client an integration instance is installed into, held weakly, and the
// instance's claim on its type's one-installed-instance rule. The claim is
// given back by the instance that holds it, at the latest when it is
// destroyed, so a client released without closing does not keep the type
// blocked for the rest of the process.
class DavaRorIntegrationOwnership {
public:
    explicit DavaRorIntegrationOwnership(DavaRorIntegrationInstallGuard& guard) : guard_(guard) {}
    ~DavaRorIntegrationOwnership();
    DavaRorIntegrationOwnership(const DavaRorIntegrationOwnership&) = delete;
    DavaRorIntegrationOwnership& operator=(const DavaRorIntegrationOwnership&) = delete;

    // Claims the type and remembers `davaRor`; throws InternalDavaRorError,
    // changing nothing, while any instance of the type is installed.
    void claim(DavaRorSDK& davaRor);
    // The same in two steps, for an instance that holds its client only once
    // what it needs to serve the client exists.
    void claim();
    void hold(DavaRorSDK& davaRor);
    // False, changing nothing, while another live client holds the instance.
    // Otherwise forgets the client and gives back the claim if this instance
    // holds it: an instance whose install was refused never frees another's.
    bool release(DavaRorSDK& davaRor);
    // None when no client holds the instance or it is gone.
    std::shared_ptr<DavaRorSDK> client() const;

private:
    DavaRorIntegrationInstallGuard& guard_;
    // The client is stored on the setup thread and read by handlers on the
    // main thread.
    mutable platform::ForkSafeMutex mutex_;
    std::weak_ptr<DavaRorSDK> davaRor_;
    bool claimed_ = false;
};
