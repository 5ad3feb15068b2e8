#pragma once

#include "platform/core/ForkGeneration.h"
#include "platform/core/ForkSafeMutex.h"
#include "platform/core/UUID.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// Keeps a subscription alive; releasing it unsubscribes, also after the
// callback list itself is gone.
class RegistrationToken {
public:
    RegistrationToken() = default;
    explicit RegistrationToken(std::function<void()> unsubscribe)
        : unsubscribe_(std::move(unsubscribe)) {}
    RegistrationToken(RegistrationToken&& other) noexcept
        : unsubscribe_(std::exchange(other.unsubscribe_, nullptr)) {}
    RegistrationToken& operator=(RegistrationToken&& other) noexcept {
        if (this != &other) {
            release();
            unsubscribe_ = std::exchange(other.unsubscribe_, nullptr);
        }
        return *this;
    }
    RegistrationToken(const RegistrationToken&) = delete;
    RegistrationToken& operator=(const RegistrationToken&) = delete;
    ~RegistrationToken() { release(); }

    void release() {
        if (auto unsubscribe = std::exchange(unsubscribe_, nullptr)) {
            unsubscribe();
        }
    }

private:
    std::function<void()> unsubscribe_;
};

// A lock-guarded list of callbacks keyed by UUID. Callbacks are copied under
// the lock and called after it is released, so a callback may subscribe or
// unsubscribe.
template <typename... Value> class DavaRorMulticastCallback {
public:
    using Callback = std::function<void(const Value&...)>;
    using SubscriberCountHandler = std::function<void(std::size_t)>;

    explicit DavaRorMulticastCallback(SubscriberCountHandler onSubscriberCount = nullptr)
        : state_(std::make_shared<State>()), onSubscriberCount_(std::move(onSubscriberCount)) {}

    [[nodiscard]] RegistrationToken subscribe(Callback callback) {
        const auto id = platform::UUID::random();
        std::size_t count;
        {
            std::lock_guard lock(state_->mutex);
            state_->callbacks.emplace(id, std::move(callback));
            count = state_->callbacks.size();
        }
        if (onSubscriberCount_) {
            onSubscriberCount_(count);
        }
        return RegistrationToken([weak = std::weak_ptr<State>(state_), id] {
            if (auto state = weak.lock()) {
                std::lock_guard lock(state->mutex);
                state->callbacks.erase(id);
            }
        });
    }

    void invoke(const Value&... value) const {
        std::vector<Callback> callbacks;
        {
            std::lock_guard lock(state_->mutex);
            for (const auto& [id, callback] : state_->callbacks) {
                callbacks.push_back(callback);
            }
        }
        for (const auto& callback : callbacks) {
            callback(value...);
        }
    }

    std::size_t subscriberCount() const {
        std::lock_guard lock(state_->mutex);
        return state_->callbacks.size();
    }

private:
    struct State {
        // A forked child keeps the subscriptions, unless a thread of the parent was changing
        // them at the fork.
        mutable platform::ForkSafeMutex mutex{[this] { platform::leaveToParent(callbacks); }};
        std::map<platform::UUID, Callback> callbacks;
    };
    std::shared_ptr<State> state_;
    SubscriberCountHandler onSubscriberCount_;
};
