#pragma once

#include "platform/core/DispatchQueue.h"
#include "platform/core/Export.h"
#include "platform/core/NotificationCenter.h"

namespace platform {

inline constexpr const char* NSApplicationDidFinishLaunchingNotification =
    "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* NSApplicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";
inline constexpr const char* NSApplicationDidResignActiveNotification =
    "NSApplicationDidResignActiveNotification";

// The running application. A Linux process has no windowing toolkit telling
// it when it launched or gained focus, so the application reports these
// moments itself; each becomes the toolkit's notification, posted with the
// application as object on the main queue, where observers expect it. Posts
// keep the order of the calls.
class DAVAROR_EXPORT Application {
public:
    // Posts through `center` on `mainQueue`; both must outlive the object.
    Application(NotificationCenter& center, DispatchQueue& mainQueue);
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Posts through the default center on the main queue.
    static Application& shared();

    void finishLaunching();
    void becomeActive();
    void resignActive();

private:
    void post(const char* name);

    NotificationCenter& center_;
    DispatchQueue& mainQueue_;
};

} // namespace platform
