#include "DavaRor/DavaRorStorageManager.h"

#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Utils/TimeBasedEpochGenerator.h"

#include <utility>

using davaror::TimeBasedEpochGenerator;

using StorageKey = DavaRorStorage::StorageKey;

DavaRorStorageManager::DavaRorStorageManager(std::shared_ptr<DavaRorStorage> storage)
    : storage_(std::move(storage)) {}

std::string DavaRorStorageManager::getAnonymousId() {
    std::lock_guard guard(lock_);
    if (!anonymousId_) {
        anonymousId_ = storage_->getString(StorageKey::anonymousId);
    }
    if (!anonymousId_) {
        anonymousId_ = TimeBasedEpochGenerator::shared().v7().uuidString();
        storage_->setJson(StorageKey::anonymousId, *anonymousId_);
    }
    return *anonymousId_;
}

std::string DavaRorStorageManager::getDistinctId() {
    {
        std::lock_guard guard(lock_);
        if (!std::exchange(distinctIdLoaded_, true)) {
            distinctId_ = storage_->getString(StorageKey::distinctId);
        }
        if (distinctId_) {
            return *distinctId_;
        }
    }
    return getAnonymousId();
}

void DavaRorStorageManager::setDistinctId(const std::string& distinctId) {
    std::lock_guard guard(lock_);
    distinctId_ = distinctId;
    distinctIdLoaded_ = true;
    storage_->setJson(StorageKey::distinctId, distinctId);
}
