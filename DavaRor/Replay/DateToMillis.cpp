#include "DavaRor/Replay/DateToMillis.h"

std::int64_t dateToMillis(DavaRorDate date) {
    // Integer truncation of the clock's own ticks: exact for every date the
    // clock can hold, where going through seconds as a double would round
    // far-away dates.
    return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}
