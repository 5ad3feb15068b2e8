#include "DavaRor/Utils/DavaRorDates.h"

#include <cstdio>
#include <ctime>

const DavaRorAPIDateFormatter davaror::apiDateFormatter;

std::string toISO8601String(DavaRorDate date) {
    using namespace std::chrono;
    auto milliseconds = floor<std::chrono::milliseconds>(date.time_since_epoch()).count();
    auto seconds = static_cast<std::time_t>(milliseconds >= 0 ? milliseconds / 1000
                                                              : (milliseconds - 999) / 1000);
    int millisecond = static_cast<int>(milliseconds - static_cast<long long>(seconds) * 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millisecond);
    return text;
}

namespace {

// Reads exactly `width` digits at `position`.
bool readDigits(std::string_view text, std::size_t position, std::size_t width, int& value) {
    if (position + width > text.size()) {
        return false;
    }
    value = 0;
    for (std::size_t i = position; i < position + width; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool matches(std::string_view text, std::size_t position, char expected) {
    return position < text.size() && text[position] == expected;
}

} // namespace

std::optional<DavaRorDate> DavaRorAPIDateFormatter::date(std::string_view text) const {
    int year, month, day, hour, minute, second, millisecond = 0;
    if (!readDigits(text, 0, 4, year) || !matches(text, 4, '-') || !readDigits(text, 5, 2, month) ||
        !matches(text, 7, '-') || !readDigits(text, 8, 2, day) || !matches(text, 10, 'T') ||
        !readDigits(text, 11, 2, hour) || !matches(text, 13, ':') ||
        !readDigits(text, 14, 2, minute) || !matches(text, 16, ':') ||
        !readDigits(text, 17, 2, second)) {
        return std::nullopt;
    }
    std::size_t end = 19;
    if (matches(text, 19, '.')) {
        if (!readDigits(text, 20, 3, millisecond)) {
            return std::nullopt;
        }
        end = 23;
    }
    if (!matches(text, end, 'Z') || text.size() != end + 1) {
        return std::nullopt;
    }
    // A date the calendar does not have (February 31st, a leap second) is unreadable, never
    // rolled over into the next day or month.
    const std::chrono::year_month_day calendarDay{std::chrono::year(year),
                                                  std::chrono::month(static_cast<unsigned>(month)),
                                                  std::chrono::day(static_cast<unsigned>(day))};
    if (!calendarDay.ok() || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    return DavaRorDate(std::chrono::sys_days(calendarDay) + std::chrono::hours(hour) +
                       std::chrono::minutes(minute) + std::chrono::seconds(second) +
                       std::chrono::milliseconds(millisecond));
}

std::string DavaRorAPIDateFormatter::string(DavaRorDate date) const {
    return toISO8601String(date);
}
