// The capability probe and its cache, and the device's property pages.
#include "capture_fixture.h"

namespace ovix::test {
namespace {

namespace st = platform::subtype;

virt::VirtualCapability Raw(uint32_t sub, int w, int h, int64_t frameTime, int64_t minInterval, int64_t maxInterval) {
  virt::VirtualCapability c;
  c.type = platform::VideoType(sub, w, h, frameTime);
  c.caps = {minInterval, maxInterval};
  return c;
}

class Probe : public CaptureTest {};

TEST_F(Probe, CapabilitiesAsTheDeviceReportsThem) {
  StartWith({OnDemandCamera("cam", {
                                       Raw(st::kYUY2, 640, 480, 333333, 166667, 333333),   // 60 from the interval
                                       Raw(st::kI420, 640, 480, 333333, 333333, 333333),   // not usable: absent
                                       Raw(st::kRGB24, 320, 240, 333333, 0, 0),            // bottom-up, positive
                                       Raw(st::kRGB24, 320, -240, 0, 0, 0),                // no rate at all
                                       Raw(st::kMJPG, 1920, 1080, 0, 0, 666666),           // max interval only
                                       Raw(st::kH264, 1280, 720, 400000, 0, 0),
                                   })});
  ASSERT_EQ(OVIX_GetVideoCapabilityCount(0), 5);
  const OvixVideoCapability expected[] = {{640, 480, 60, 1, 1},
                                          {320, 240, 30, 1, 3},
                                          {320, 240, 0, 1, 3},
                                          {1920, 1080, 15, 1, 5},
                                          {1280, 720, 25, 1, 6}};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    OvixVideoCapability c{};
    ASSERT_EQ(OVIX_GetVideoCapability(0, i, &c), OVIX_OK);
    EXPECT_EQ(std::memcmp(&c, &expected[i], sizeof c), 0)
        << c.width << "x" << c.height << " fps=" << c.fps << " fmt=" << c.format;
    OvixVideoCapability same{};
    ASSERT_EQ(OVIX_GetVideoFormatInfo(0, i, &same), OVIX_OK);
    EXPECT_EQ(std::memcmp(&c, &same, sizeof c), 0);
  }
  EXPECT_EQ(OVIX_GetVideoFormatCount(0), 5);
}

TEST_F(Probe, ShortCapabilityStructureIsNotRead) {
  auto spec = OnDemandCamera("cam", {Raw(st::kYUY2, 640, 480, 333333, 166667, 166667)});
  spec.capsStructSize = 64;
  StartWith({spec});
  OvixVideoCapability c{};
  ASSERT_EQ(OVIX_GetVideoCapability(0, 0, &c), OVIX_OK);
  EXPECT_EQ(c.fps, 30);
}

TEST_F(Probe, ProbedOncePerEnumeration) {
  StartWith({OnDemandCamera("cam", {virt::Capability(st::kYUY2, 640, 480, 30)})});
  EXPECT_EQ(OVIX_GetVideoCapabilityCount(0), 1);
  EXPECT_EQ(OVIX_GetVideoCapabilityCount(0), 1);
  EXPECT_EQ(CountLogLines("Video capability probe begin device=0"), 1);
  EXPECT_EQ(CountLogLines("Video capability cached device=0 count=1"), 1);
  EXPECT_EQ(CountLogLines("Video capability count device=0 count=1"), 2);
  ASSERT_EQ(OVIX_RefreshDeviceList(), OVIX_OK);
  EXPECT_EQ(OVIX_GetVideoCapabilityCount(0), 1);
  EXPECT_EQ(CountLogLines("Video capability probe begin device=0"), 2);
}

TEST_F(Probe, FailedProbeIsCachedAsEmpty) {
  StartWith({OnDemandCamera("cam", {virt::Capability(st::kYUY2, 640, 480, 30)})});
  virt::FailCall("BindToFilter", E_FAIL);
  EXPECT_EQ(OVIX_GetVideoCapabilityCount(0), 0);
  EXPECT_EQ(CountLogLines("Video capability probe failed device=0"), 1);
  EXPECT_EQ(OVIX_GetVideoCapabilityCount(0), 0);
  EXPECT_EQ(CountLogLines("Video capability probe begin device=0"), 1);
  OvixVideoCapability c{};
  EXPECT_EQ(OVIX_GetVideoCapability(0, 0, &c), OVIX_ERR_INVALID_ARG);
}

TEST_F(Probe, ArgumentsAreCheckedBeforeProbing) {
  OvixVideoCapability c{};
  EXPECT_EQ(OVIX_GetVideoCapability(0, 0, &c), OVIX_ERR_NOT_INITIALIZED);
  EXPECT_EQ(OVIX_GetVideoCapabilityCount(0), 0);
  StartWith({OnDemandCamera("cam", {virt::Capability(st::kYUY2, 640, 480, 30)})});
  EXPECT_EQ(OVIX_GetVideoCapability(0, 0, nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_GetVideoCapability(0, -1, &c), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(CountLogLines("probe begin"), 0);
  EXPECT_EQ(OVIX_GetVideoCapability(0, 1, &c), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_GetVideoCapability(1, 0, &c), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_GetVideoCapabilityCount(-1), 0);
  EXPECT_EQ(OVIX_GetVideoCapabilityCount(1), 0);
}

TEST_F(Probe, PropertyPages) {
  auto plain = OnDemandCamera("plain", {virt::Capability(st::kYUY2, 640, 480, 30)});
  auto paged = OnDemandCamera("paged", {virt::Capability(st::kYUY2, 640, 480, 30)});
  paged.hasPropertyPages = true;
  paged.hasCrossbar = true;
  auto bareCrossbar = OnDemandCamera("bare", {virt::Capability(st::kYUY2, 640, 480, 30)});
  bareCrossbar.hasCrossbar = true;
  bareCrossbar.crossbarHasPropertyPages = false;
  EXPECT_EQ(OVIX_ShowVideoDevicePropertyPage(nullptr, 0), OVIX_ERR_NOT_INITIALIZED);
  StartWith({plain, paged, bareCrossbar});
  const struct {
    int device;
    bool crossbar;
    int result;
    const char* caption;
  } cases[] = {{0, false, OVIX_ERR_UNSUPPORTED, nullptr}, {0, true, OVIX_ERR_UNSUPPORTED, nullptr},
               {1, false, OVIX_OK, "OVIX Video Device"},  {1, true, OVIX_OK, "OVIX Crossbar"},
               {2, true, OVIX_ERR_UNSUPPORTED, nullptr},  {3, false, OVIX_ERR_INVALID_ARG, nullptr},
               {-1, true, OVIX_ERR_INVALID_ARG, nullptr}};
  int shown = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.device) + (c.crossbar ? " crossbar" : " device"));
    const int r = c.crossbar ? OVIX_ShowVideoCrossbarPropertyPage(nullptr, c.device)
                             : OVIX_ShowVideoDevicePropertyPage(nullptr, c.device);
    EXPECT_EQ(r, c.result);
    if (c.caption) {
      EXPECT_EQ(virt::PropertyPagesShown(), ++shown);
      EXPECT_EQ(virt::LastPropertyPageCaption(), c.caption);
    }
  }
  EXPECT_EQ(virt::PropertyPagesShown(), 2);
  virt::FailCall("GetPages", E_FAIL);
  EXPECT_EQ(OVIX_ShowVideoDevicePropertyPage(nullptr, 1), OVIX_ERR_FAILED);
  virt::FailCall("BindToFilter", E_FAIL);
  EXPECT_EQ(OVIX_ShowVideoDevicePropertyPage(nullptr, 1), OVIX_ERR_FAILED);
}

}  // namespace
}  // namespace ovix::test
