// The arithmetic of capture negotiation: subtype mapping, frame rates,
// request aggregation and the capability scores, with worked numbers.
#include <gtest/gtest.h>

#include "capture/capture_registry.h"
#include "capture/format_score.h"
#include "capture/pixel_format.h"
#include "ovixcapture.h"

namespace ovix::test {
namespace {

using platform::MediaType;
namespace st = platform::subtype;

TEST(SubtypeMapping, KnownSubtypesAndTheRest) {
  const struct {
    uint32_t subtype;
    int32_t format;
  } cases[] = {{st::kYUY2, 1}, {st::kNV12, 2}, {st::kRGB24, 3}, {st::kRGB32, 4}, {st::kMJPG, 5},
               {st::kH264, 6}, {st::kh264, 6}, {st::kAVC1, 6},  {st::kavc1, 6},  {st::kI420, 0},
               {st::kNull, 0}, {st::FourCC('Y', 'V', '1', '2'), 0}};
  for (const auto& c : cases) EXPECT_EQ(SubtypeToPixelFormat(c.subtype), c.format) << std::hex << c.subtype;
}

TEST(FrameRates, FromFrameTimesAndIntervals) {
  EXPECT_EQ(RateFromFrameTime(333333), 30);
  EXPECT_EQ(RateFromFrameTime(400000), 25);
  EXPECT_EQ(RateFromFrameTime(166667), 60);
  EXPECT_EQ(RateFromFrameTime(0), 0);
  EXPECT_EQ(RateFromFrameTime(-5), 0);
  EXPECT_EQ(RateFromCaps({166667, 333333}), 60);
  EXPECT_EQ(RateFromCaps({0, 666666}), 15);
  EXPECT_EQ(RateFromCaps({0, 0}), 0);
}

TEST(Aggregation, LargestPictureHighestRateOnePreferredFormat) {
  const struct {
    const char* what;
    std::vector<CaptureRequest> requests;
    AggregatedRequest expected;
  } cases[] = {
      {"no requests", {}, {1280, 720, 30, OVIX_FORMAT_YUY2}},
      {"RGB24 small and NV12 large", {{640, 480, 15, 3}, {1920, 1080, 30, 2}}, {1920, 1080, 30, OVIX_FORMAT_NV12}},
      {"plus MJPG", {{640, 480, 15, 3}, {1920, 1080, 30, 2}, {320, 240, 5, 5}}, {1920, 1080, 30, OVIX_FORMAT_MJPG}},
      {"plus H264", {{640, 480, 15, 3}, {1920, 1080, 30, 2}, {320, 240, 5, 5}, {320, 240, 60, 6}},
       {1920, 1080, 60, OVIX_FORMAT_H264}},
      {"RGB only", {{640, 480, 15, 3}}, {640, 480, 15, OVIX_FORMAT_RGB32}},
      {"first of equal areas wins", {{1280, 720, 30, 1}, {720, 1280, 30, 1}}, {1280, 720, 30, OVIX_FORMAT_YUY2}},
      {"unknown format sets nothing", {{640, 480, 30, 9}}, {640, 480, 30, OVIX_FORMAT_YUY2}},
      {"zero sizes fall back", {{0, 0, 0, 2}}, {1280, 720, 30, OVIX_FORMAT_NV12}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const AggregatedRequest a = Aggregate(c.requests);
    EXPECT_EQ(a.width, c.expected.width);
    EXPECT_EQ(a.height, c.expected.height);
    EXPECT_EQ(a.fps, c.expected.fps);
    EXPECT_EQ(a.format, c.expected.format);
  }
}

MediaType Cap(uint32_t sub, int w, int h, int64_t frameTime) { return platform::VideoType(sub, w, h, frameTime); }

TEST(CapabilityScore, WorkedExampleOfA720pRequest) {
  const AggregatedRequest req{1280, 720, 30, OVIX_FORMAT_YUY2};
  const struct {
    const char* what;
    MediaType type;
    platform::StreamCaps caps;
    int64_t score;
  } cases[] = {
      {"MJPG 1280x720 up to 30", Cap(st::kMJPG, 1280, 720, 333333), {333333, 333333}, 1'001'501'600'030},
      {"YUY2 1280x720 up to 10", Cap(st::kYUY2, 1280, 720, 1000000), {1000000, 1000000}, 1'000'513'000'010},
      {"MJPG 1920x1080 at 30", Cap(st::kMJPG, 1920, 1080, 333333), {333333, 333333}, 1'001'500'448'030},
      {"YUY2 640x480 at 30", Cap(st::kYUY2, 640, 480, 333333), {333333, 333333}, 1'013'307'230},
  };
  int64_t best = -1;
  const char* winner = nullptr;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const CapabilityScore s = ScoreCapability(c.type, &c.caps, req);
    EXPECT_TRUE(s.usable);
    EXPECT_EQ(s.score, c.score);
    if (s.score > best) {
      best = s.score;
      winner = c.what;
    }
  }
  EXPECT_STREQ(winner, "MJPG 1280x720 up to 30");
}

TEST(CapabilityScore, UnusableEntriesAndRateRules) {
  const AggregatedRequest req{1280, 720, 30, OVIX_FORMAT_YUY2};
  MediaType shortBlock = Cap(st::kYUY2, 640, 480, 333333);
  shortBlock.cbFormat = 87;
  MediaType noBlock = Cap(st::kYUY2, 640, 480, 333333);
  noBlock.hasFormatBlock = false;
  MediaType wave = Cap(st::kYUY2, 640, 480, 333333);
  wave.formatType = platform::FormatKind::WaveFormatEx;
  const MediaType unusable[] = {Cap(st::kI420, 640, 480, 333333), shortBlock, noBlock, wave,
                                Cap(st::kYUY2, 0, 480, 333333)};
  for (const MediaType& t : unusable) {
    const CapabilityScore s = ScoreCapability(t, nullptr, req);
    EXPECT_FALSE(s.usable);
    EXPECT_EQ(s.score, -1);
  }
  // A top-down picture scores with its absolute height.
  const CapabilityScore topDown = ScoreCapability(Cap(st::kRGB24, 640, -480, 333333), nullptr, req);
  EXPECT_EQ(topDown.height, 480);
  // No frame time and no intervals counts as 30.
  const CapabilityScore none = ScoreCapability(Cap(st::kYUY2, 640, 480, 0), nullptr, req);
  EXPECT_EQ(none.fps, 30);
  // The capability structure raises the rate above the frame time's.
  const platform::StreamCaps fast{166667, 333333};
  EXPECT_EQ(ScoreCapability(Cap(st::kYUY2, 640, 480, 333333), &fast, req).fps, 60);
  // VideoInfo2 and MPEG-2 blocks of their full length are read.
  MediaType vih2 = Cap(st::kH264, 1920, 1080, 333333);
  vih2.formatType = platform::FormatKind::VideoInfo2;
  vih2.cbFormat = 112;
  EXPECT_TRUE(ScoreCapability(vih2, nullptr, req).usable);
  vih2.cbFormat = 111;
  EXPECT_FALSE(ScoreCapability(vih2, nullptr, req).usable);
  MediaType mpeg2 = Cap(st::kH264, 1920, 1080, 333333);
  mpeg2.formatType = platform::FormatKind::Mpeg2Video;
  mpeg2.cbFormat = 136;
  EXPECT_TRUE(ScoreCapability(mpeg2, nullptr, req).usable);
}

}  // namespace
}  // namespace ovix::test
