#include "capture/format_score.h"

#include <algorithm>
#include <cstdlib>

#include "capture/pixel_format.h"

namespace ovix {

int64_t FormatWeight(int32_t format) {
  switch (format) {
    case OVIX_FORMAT_YUY2: return 3'000'000;
    case OVIX_FORMAT_NV12: return 2'000'000;
    case OVIX_FORMAT_MJPG: return 1'600'000;
    case OVIX_FORMAT_H264: return 1'500'000;
    case OVIX_FORMAT_RGB32: return 1'000'000;
    case OVIX_FORMAT_RGB24: return 900'000;
    default: return 0;
  }
}

int64_t RateFromFrameTime(int64_t t) { return t > 0 ? (t / 2 + 10'000'000) / t : 0; }

int64_t RateFromCaps(const platform::StreamCaps& caps) {
  const int64_t interval = caps.minFrameInterval > 0 ? caps.minFrameInterval
                           : caps.maxFrameInterval > 0 ? caps.maxFrameInterval
                                                       : 0;
  return RateFromFrameTime(interval);
}

CapabilityScore ScoreCapability(const platform::MediaType& type, const platform::StreamCaps* caps,
                                const AggregatedRequest& request) {
  CapabilityScore s;
  if (!type.HasReadableVideoBlock()) return s;
  const int32_t width = type.width;
  const int32_t height = type.height < 0 ? -type.height : type.height;
  const int32_t format = SubtypeToPixelFormat(type.subtype);
  const int64_t rate = std::max(RateFromFrameTime(type.avgTimePerFrame), caps ? RateFromCaps(*caps) : 0);
  const int32_t fps = rate > 0 ? static_cast<int32_t>(rate) : kAssumedFps;
  if (width <= 0 || height <= 0 || format < OVIX_FORMAT_YUY2 || format > OVIX_FORMAT_H264) return s;

  const int64_t capsArea = static_cast<int64_t>(width) * height;
  const int64_t reqArea = static_cast<int64_t>(request.width) * request.height;
  int64_t score = 0;
  if (capsArea >= reqArea) score += kSizeBonus;
  if (fps >= request.fps) score += kRateBonus;
  score += capsArea < reqArea ? capsArea : kClosenessBase - (capsArea - reqArea);
  if (format == request.format) score += kPreferredBonus;
  score += FormatWeight(format) + fps;

  s.usable = true;
  s.width = width;
  s.height = height;
  s.fps = fps;
  s.format = format;
  s.score = score;
  return s;
}

}  // namespace ovix
