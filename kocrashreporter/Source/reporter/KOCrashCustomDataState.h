// The published custom data shared by its crash-time reader and its normal-context writer.
#pragma once

#include "reporter/KOCrashCustomData.h"

#include <atomic>
#include <cstdint>

namespace kocrash::custom_data {

extern std::atomic<const kocrash_custom_data*> published;
// Crashes that have started reading; never decreases, since a crash ends the process.
extern std::atomic<std::uint32_t> crashReaders;

} // namespace kocrash::custom_data
