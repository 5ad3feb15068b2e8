#pragma once

#include "DavaRor/Utils/DavaRorDates.h"

#include <cstdint>

// Milliseconds since 1970-01-01 UTC, the fraction dropped toward zero (so
// half a millisecond before the epoch is 0, not -1).
std::int64_t dateToMillis(DavaRorDate date);
