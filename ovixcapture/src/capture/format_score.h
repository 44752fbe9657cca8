// The scoring of a device's capabilities against the aggregated request:
// any capability at least as large as the request beats every smaller one;
// among the large enough, the closest in area wins unless it misses the
// frame rate; the preferred format and the format weights break near ties.
#pragma once

#include <cstdint>

#include "capture/capture_registry.h"
#include "platform/media_type.h"

namespace ovix {

inline constexpr int64_t kSizeBonus = 1'000'000'000'000;
inline constexpr int64_t kRateBonus = 1'000'000'000;
inline constexpr int64_t kClosenessBase = 500'000'000;
inline constexpr int64_t kPreferredBonus = 10'000'000;
inline constexpr int32_t kAssumedFps = 30;

// Weight of a pixel format in the score (0 for formats outside 1..6).
int64_t FormatWeight(int32_t format);
// Frames a second for a frame time in 100 ns, rounded half up; 0 for none.
int64_t RateFromFrameTime(int64_t frameTime);
// The rate a capability structure allows: from its minimum interval, else its
// maximum; 0 when it states neither.
int64_t RateFromCaps(const platform::StreamCaps& caps);

struct CapabilityScore {
  bool usable = false;
  int32_t width = 0, height = 0, fps = 0, format = 0;
  int64_t score = -1;
};

// caps is null when the capability structure is too short to read.
CapabilityScore ScoreCapability(const platform::MediaType& type, const platform::StreamCaps* caps,
                                const AggregatedRequest& request);

}  // namespace ovix
