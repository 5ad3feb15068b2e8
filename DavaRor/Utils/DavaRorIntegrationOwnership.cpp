#include "DavaRor/Utils/DavaRorIntegrationOwnership.h"

#include "DavaRor/DavaRorSDK.h"

DavaRorIntegrationOwnership::~DavaRorIntegrationOwnership() {
    if (claimed_) {
        guard_.release();
    }
}

void DavaRorIntegrationOwnership::claim(DavaRorSDK& davaRor) {
    claim();
    hold(davaRor);
}

void DavaRorIntegrationOwnership::claim() {
    std::lock_guard lock(mutex_);
    guard_.claim();
    claimed_ = true;
}

void DavaRorIntegrationOwnership::hold(DavaRorSDK& davaRor) {
    std::lock_guard lock(mutex_);
    davaRor_ = davaRor.weak_from_this();
}

bool DavaRorIntegrationOwnership::release(DavaRorSDK& davaRor) {
    // Outlives the lock: dropping the last reference to a client destroys
    // its integrations, this one included.
    std::shared_ptr<DavaRorSDK> holder;
    std::lock_guard lock(mutex_);
    holder = davaRor_.lock();
    if (holder && holder.get() != &davaRor) {
        return false;
    }
    davaRor_.reset();
    if (std::exchange(claimed_, false)) {
        guard_.release();
    }
    return true;
}

std::shared_ptr<DavaRorSDK> DavaRorIntegrationOwnership::client() const {
    std::lock_guard lock(mutex_);
    return davaRor_.lock();
}
