#pragma once

#include "platform/core/Export.h"
#include "platform/ui/UserActivity.h"
#include "platform/url/URL.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace platform::ui {

// A view of the declarative toolkit, reduced to what view modifiers hook into:
// being shown, opening a URL, and continuing a user activity. Applications
// derive their views from it; the toolkit side (`appear`, `openURL`,
// `continueUserActivity`) runs every hook registered for the event, in the
// order they were added, on the calling thread (the main thread in an
// application).
class DAVAROR_EXPORT View {
public:
    View() = default;
    virtual ~View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // The unqualified name of the view's dynamic type, as written in code:
    // "SettingsPane" for app::SettingsPane, "List<Row>" for a template.
    std::string typeName() const;

    void onAppear(std::function<void()> action);
    void onOpenURL(std::function<void(const URL&)> action);
    void onContinueUserActivity(std::string activityType,
                                std::function<void(const UserActivity&)> action);

    void appear();
    void openURL(const URL& url);
    // Runs only the hooks registered for the activity's type.
    void continueUserActivity(const UserActivity& activity);

private:
    struct ActivityHook {
        std::string activityType;
        std::function<void(const UserActivity&)> action;
    };

    // Hooks are copied under the lock and run after it, so a hook may add hooks.
    mutable std::mutex mutex_;
    std::vector<std::function<void()>> appearHooks_;
    std::vector<std::function<void(const URL&)>> openURLHooks_;
    std::vector<ActivityHook> activityHooks_;
};

} // namespace platform::ui
