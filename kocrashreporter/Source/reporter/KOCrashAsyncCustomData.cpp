// May run at crash time: everything in this file (atomics only).
#include "reporter/KOCrashCustomDataState.h"

namespace kocrash::custom_data {

std::atomic<const kocrash_custom_data*> published{nullptr};
std::atomic<std::uint32_t> crashReaders{0};

} // namespace kocrash::custom_data

const kocrash_custom_data* kocrash_async_custom_data_acquire() {
    using namespace kocrash::custom_data;
    // Sequentially consistent with the publisher: either it sees this reader and keeps the old
    // value, or this load sees the value it published.
    crashReaders.fetch_add(1);
    return published.load();
}
