#include "platform/ui/View.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace platform::ui {
namespace {

std::string demangled(const char* mangled) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

// Drops the namespaces and enclosing classes of the outermost name, leaving
// qualifiers inside template arguments as they are.
std::string unqualified(const std::string& name) {
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '<') {
            ++depth;
        } else if (name[i] == '>') {
            --depth;
        } else if (depth == 0 && name.compare(i, 2, "::") == 0) {
            start = i + 2;
            ++i;
        }
    }
    return name.substr(start);
}

} // namespace

std::string View::typeName() const {
    return unqualified(demangled(typeid(*this).name()));
}

void View::onAppear(std::function<void()> action) {
    std::lock_guard lock(mutex_);
    appearHooks_.push_back(std::move(action));
}

void View::onOpenURL(std::function<void(const URL&)> action) {
    std::lock_guard lock(mutex_);
    openURLHooks_.push_back(std::move(action));
}

void View::onContinueUserActivity(std::string activityType,
                                  std::function<void(const UserActivity&)> action) {
    std::lock_guard lock(mutex_);
    activityHooks_.push_back({std::move(activityType), std::move(action)});
}

void View::appear() {
    std::unique_lock lock(mutex_);
    auto hooks = appearHooks_;
    lock.unlock();
    for (const auto& hook : hooks) {
        hook();
    }
}

void View::openURL(const URL& url) {
    std::unique_lock lock(mutex_);
    auto hooks = openURLHooks_;
    lock.unlock();
    for (const auto& hook : hooks) {
        hook(url);
    }
}

void View::continueUserActivity(const UserActivity& activity) {
    std::unique_lock lock(mutex_);
    auto hooks = activityHooks_;
    lock.unlock();
    for (const auto& hook : hooks) {
        if (hook.activityType == activity.activityType) {
            hook.action(activity);
        }
    }
}

} // namespace platform::ui
