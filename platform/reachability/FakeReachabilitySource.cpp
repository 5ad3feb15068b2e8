#include "platform/reachability/FakeReachabilitySource.h"

#include <map>
#include <mutex>
#include <system_error>

namespace platform {

struct FakeReachabilitySource::State {
    mutable std::mutex mutex;
    SCNetworkReachabilityFlags flags{};
    int fetchFailure = 0;
    int watchFailure = 0;
    std::size_t fetches = 0;
    std::uint64_t nextWatch = 0;
    std::map<std::uint64_t, ChangeHandler> handlers;
};

class FakeReachabilitySource::FakeWatch final : public Watch {
public:
    FakeWatch(std::shared_ptr<State> state, std::uint64_t id) : state_(std::move(state)), id_(id) {}
    // Handlers run under the state's lock, so erasing under it waits for a
    // running one, as a real watch does.
    ~FakeWatch() override {
        std::lock_guard lock(state_->mutex);
        state_->handlers.erase(id_);
    }

private:
    std::shared_ptr<State> state_;
    std::uint64_t id_;
};

FakeReachabilitySource::FakeReachabilitySource(SCNetworkReachabilityFlags flags)
    : state_(std::make_shared<State>()) {
    state_->flags = flags;
}

void FakeReachabilitySource::setFlags(SCNetworkReachabilityFlags flags) {
    std::lock_guard lock(state_->mutex);
    state_->flags = flags;
}

void FakeReachabilitySource::fireCallback(SCNetworkReachabilityFlags flags) {
    std::lock_guard lock(state_->mutex);
    state_->flags = flags;
    for (const auto& [id, handler] : state_->handlers) {
        handler(flags);
    }
}

void FakeReachabilitySource::failFetches(int code) {
    std::lock_guard lock(state_->mutex);
    state_->fetchFailure = code;
}

void FakeReachabilitySource::failWatches(int code) {
    std::lock_guard lock(state_->mutex);
    state_->watchFailure = code;
}

std::size_t FakeReachabilitySource::activeWatches() const {
    std::lock_guard lock(state_->mutex);
    return state_->handlers.size();
}

std::size_t FakeReachabilitySource::fetchCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->fetches;
}

SCNetworkReachabilityFlags FakeReachabilitySource::currentFlags() {
    std::lock_guard lock(state_->mutex);
    ++state_->fetches;
    if (state_->fetchFailure != 0) {
        throw std::system_error(state_->fetchFailure, std::system_category(), "fake fetch");
    }
    return state_->flags;
}

std::unique_ptr<ReachabilityFlagsSource::Watch>
FakeReachabilitySource::watch(ChangeHandler handler) {
    std::lock_guard lock(state_->mutex);
    if (state_->watchFailure != 0) {
        throw std::system_error(state_->watchFailure, std::system_category(), "fake watch");
    }
    const auto id = state_->nextWatch++;
    state_->handlers.emplace(id, std::move(handler));
    return std::make_unique<FakeWatch>(state_, id);
}

} // namespace platform
