// Which upload replies keep their batch for another try, and how long the
// queue waits before that try.
#pragma once

#include "DavaRor/Utils/DavaRorDates.h"

#include <chrono>
#include <optional>
#include <string>

// No reply, a redirect, and the statuses by which the service says "not now"
// (408, 429 and every 5xx) keep the batch: it was not taken, and dropping it
// loses its events. Every other status settles it: a batch the service
// refuses with another 4xx will not be accepted later.
bool isRetriedUploadStatus(const std::optional<int>& statusCode);

// The wait a `Retry-After` value asks for (whole seconds, or an HTTP date
// compared with `now`); none when it is neither. A date in the past asks for
// no wait, one more than 10 minutes ahead for 10 minutes.
std::optional<std::chrono::seconds> retryAfterDelay(const std::string& value, DavaRorDate now);

// The pause before the next try after `failures` failed uploads in a row:
// 5 s per failure, at most 30 s, lengthened to what the service asked for, but
// never beyond 10 minutes, so a wrong header cannot stop delivery for good.
std::chrono::duration<double> retryPause(double failures,
                                         const std::optional<std::chrono::seconds>& retryAfter);
