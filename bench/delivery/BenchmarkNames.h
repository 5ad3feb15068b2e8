// The delivery benchmarks' registered names, shared by their registrations
// and by the summary that relates them to each other.
#pragma once

#include <array>

namespace deliverybench {

inline constexpr const char* rawWrite = "capture/raw_write";
inline constexpr const char* queueAdd = "capture/queue_add";
inline constexpr const char* sdkCapture = "capture/sdk_capture";
inline constexpr std::array captureThreadCounts{1, 4, 8, 16};

inline constexpr int flushBatchSize = 50;
inline constexpr const char* flushLoad = "flush50/load";
inline constexpr const char* flushDecode = "flush50/decode";
inline constexpr const char* flushSerialise = "flush50/serialise";
inline constexpr const char* flushGzip = "flush50/gzip";
inline constexpr const char* flushPost = "flush50/post";
inline constexpr const char* flushDelete = "flush50/delete";
inline constexpr const char* flushWhole = "flush50/whole_flush";
inline constexpr std::array flushStages{flushLoad, flushDecode, flushSerialise,
                                        flushGzip, flushPost,   flushDelete};

inline constexpr int smallBacklog = 1'000;
inline constexpr int largeBacklog = 100'000;
inline constexpr const char* backlogSmall = "backlog1000/deliver50";
inline constexpr const char* backlogLarge = "backlog100000/deliver50";

void registerCaptureBenchmarks();
void registerFlushBenchmarks();
void registerBacklogBenchmarks();

} // namespace deliverybench
