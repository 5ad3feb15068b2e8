#pragma once

#include "DavaRor/ErrorTracking/DavaRorErrorTrackingConfig.h"
#include "DavaRor/Utils/DavaRorDates.h"
#include "report/KOCrashReport.h"

#include <nlohmann/json.hpp>

#include <optional>

// A crash report left by the previous run, turned into the properties of a fatal "$exception"
// event: the exception level, one exception entry and the debug images its frames point into.
// Stateless; safe on any thread.
namespace DavaRorCrashReportProcessor {

// "$exception_level" "fatal", then "$exception_list" and "$debug_images" when the report gives
// them.
nlohmann::json processReport(const KOCrashReport& report, const DavaRorErrorTrackingConfig& config);

// None when the report holds no time (a stored 0) or one the clock cannot hold.
std::optional<DavaRorDate> getCrashTimestamp(const KOCrashReport& report);

} // namespace DavaRorCrashReportProcessor
