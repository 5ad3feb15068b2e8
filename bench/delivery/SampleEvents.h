// The events the delivery benchmarks store and send: real captures of the
// client, with its context properties, so their size and shape are those an
// application produces.
#pragma once

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/Models/DavaRorEvent.h"

#include <memory>
#include <string>
#include <vector>

namespace deliverybench {

inline constexpr const char* benchApiKey = "bench-api-key";
// The host of clients that only capture: nothing is ever sent there.
inline constexpr const char* neverContactedHost = "http://127.0.0.1:9";

// A client configuration that never flushes by itself: no threshold within
// reach, no timer, no reachability, no remote configuration or flags.
std::shared_ptr<DavaRorConfig> captureOnlyConfig(const std::string& host);

// One captured tap on a button.
const DavaRorEvent& sampleEvent();
// The sample event's bytes as the queue stores them in its file.
const std::string& sampleEventBytes();
// As many distinct events of the sample's shape (each with its own id and
// index) as one flush takes, in capture order.
const std::vector<DavaRorEvent>& sampleBatch();
// The upload body the client builds for these events.
std::string batchBody(const std::vector<DavaRorEvent>& events);

} // namespace deliverybench
