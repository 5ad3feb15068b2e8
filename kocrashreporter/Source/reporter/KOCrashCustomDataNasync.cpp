#include "reporter/KOCrashCustomDataState.h"

#include <algorithm>
#include <memory>

namespace {

struct OwnedCustomData : kocrash_custom_data {
    std::unique_ptr<std::uint8_t[]> storage;
};

const kocrash_custom_data* makeCopy(std::span<const std::uint8_t> data) {
    auto owned = std::make_unique<OwnedCustomData>();
    // One byte at least, so an empty value is present and distinct from none.
    owned->storage = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(data.size(), 1));
    std::copy(data.begin(), data.end(), owned->storage.get());
    owned->bytes = owned->storage.get();
    owned->length = data.size();
    return owned.release();
}

} // namespace

void kocrash_nasync_custom_data_publish(std::optional<std::span<const std::uint8_t>> data) {
    using namespace kocrash::custom_data;
    const kocrash_custom_data* replaced = published.exchange(data ? makeCopy(*data) : nullptr);
    if (replaced != nullptr && crashReaders.load() == 0) {
        delete static_cast<const OwnedCustomData*>(replaced);
    }
}
