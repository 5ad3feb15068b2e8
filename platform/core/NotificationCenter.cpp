#include "platform/core/NotificationCenter.h"
#include "platform/core/ForkSafeMutex.h"

#include <map>
#include <mutex>
#include <vector>

namespace platform {

struct ObserverToken::Registry {
    struct Entry {
        std::string name;
        std::shared_ptr<NotificationCenter::Observer> observer;
        DispatchQueue* queue;
    };
    ForkSafeMutex mutex;
    std::uint64_t nextId = 1;
    std::map<std::uint64_t, Entry> entries;
};

ObserverToken::ObserverToken(std::weak_ptr<Registry> registry, std::uint64_t id)
    : registry_(std::move(registry)), id_(id) {}

ObserverToken& ObserverToken::operator=(ObserverToken&& other) noexcept {
    if (this != &other) {
        remove();
        registry_ = std::move(other.registry_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

ObserverToken::~ObserverToken() {
    remove();
}

void ObserverToken::remove() {
    if (auto registry = registry_.lock()) {
        std::lock_guard lock(registry->mutex);
        registry->entries.erase(id_);
    }
    registry_.reset();
}

NotificationCenter::NotificationCenter() : registry_(std::make_shared<ObserverToken::Registry>()) {}

// Never destroyed: the main queue's thread may still post while statics are
// destroyed at process exit, and the center must outlive every poster.
NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* const center = new NotificationCenter;
    return *center;
}

ObserverToken NotificationCenter::addObserver(std::string name, Observer observer,
                                              DispatchQueue* queue) {
    std::lock_guard lock(registry_->mutex);
    auto id = registry_->nextId++;
    registry_->entries.emplace(
        id, ObserverToken::Registry::Entry{std::move(name),
                                           std::make_shared<Observer>(std::move(observer)), queue});
    return ObserverToken(registry_, id);
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<ObserverToken::Registry::Entry> matching;
    {
        std::lock_guard lock(registry_->mutex);
        for (const auto& [id, entry] : registry_->entries) {
            if (entry.name == notification.name) {
                matching.push_back(entry);
            }
        }
    }
    // Called outside the lock, so an observer may add or remove observers.
    for (const auto& entry : matching) {
        if (entry.queue != nullptr) {
            entry.queue->async(
                [observer = entry.observer, notification] { (*observer)(notification); });
        } else {
            (*entry.observer)(notification);
        }
    }
}

} // namespace platform
