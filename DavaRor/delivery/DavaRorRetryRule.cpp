#include "DavaRor/delivery/DavaRorRetryRule.h"

#include "platform/http/HttpMessage.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace {

constexpr std::chrono::seconds longestRequestedPause = std::chrono::minutes(10);

} // namespace

bool isRetriedUploadStatus(const std::optional<int>& statusCode) {
    if (!statusCode) {
        return true;
    }
    const int status = *statusCode;
    return status == -1 || (status >= 300 && status <= 399) || status == 408 || status == 429 ||
           (status >= 500 && status <= 599);
}

std::optional<std::chrono::seconds> retryAfterDelay(const std::string& value, DavaRorDate now) {
    if (!value.empty() &&
        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::uint64_t seconds = 0;
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (error == std::errc::result_out_of_range ||
            seconds > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
            // Longer than any pause the queue takes: the longest one stands for it.
            return longestRequestedPause;
        }
        return std::chrono::seconds(seconds);
    }
    const auto date = platform::http::parseHttpDate(value);
    if (!date) {
        return std::nullopt;
    }
    // Compared in whole seconds and against the cap before subtracting: a
    // date as far out as the year 9999 is beyond any clock's nanoseconds.
    const auto from = std::chrono::floor<std::chrono::seconds>(now);
    if (*date >= from + longestRequestedPause) {
        return longestRequestedPause;
    }
    return std::max(*date - from, std::chrono::seconds(0));
}

std::chrono::duration<double> retryPause(double failures,
                                         const std::optional<std::chrono::seconds>& retryAfter) {
    const std::chrono::duration<double> backOff(std::min(failures * 5.0, 30.0));
    if (!retryAfter) {
        return backOff;
    }
    return std::max<std::chrono::duration<double>>(backOff,
                                                   std::min(*retryAfter, longestRequestedPause));
}
