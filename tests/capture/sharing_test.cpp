// Several inputs on one device: the forced shared path, rebuilding the
// source for larger requests, the source handoff and stale detaches.
#include "capture_fixture.h"

namespace ovix::test {
namespace {

namespace st = platform::subtype;

std::vector<virt::VirtualCapability> SharedCaps() {
  return {virt::Capability(st::kYUY2, 1280, 720, 30), virt::Capability(st::kYUY2, 1920, 1080, 30),
          virt::Capability(st::kMJPG, 1920, 1080, 30), virt::Capability(st::kH264, 1920, 1080, 30)};
}

class Sharing : public CaptureTest {
 protected:
  void SetUp() override { StartWith({OnDemandCamera("cam", SharedCaps())}); }
  static std::string Ptr(const void* p) {
    char b[32];
    std::snprintf(b, sizeof b, "%p", p);
    return b;
  }
};

TEST_F(Sharing, SecondInputAttachesAndTheSourceAlreadySatisfiesIt) {
  OvixPortHandle a = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  OvixPortHandle b = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  FrameCollector fa, fb;
  OVIX_SetVideoFrameCallback(a, FrameCollector::Callback, &fa);
  OVIX_SetVideoFrameCallback(b, FrameCollector::Callback, &fb);
  ASSERT_EQ(OVIX_Start(a), OVIX_OK);
  ASSERT_EQ(OVIX_Start(b), OVIX_OK);
  EXPECT_EQ(CountLogLines("Video device index=0 is already active. Force shared mux path for stable multi-preview."), 1);
  EXPECT_EQ(CountLogLines("Video device index=0 attached to existing source=" + Ptr(As(a)) + " as shared client=" +
                          Ptr(As(b))),
            1);
  EXPECT_EQ(CountLogLines("Shared source already satisfies requests device=0 actual=1280x720 fps=30 fmt=1 "
                          "requested=1280x720 fps=30 fmt=1"),
            1);
  EXPECT_TRUE(As(b)->IsSharedClient());
  EXPECT_EQ(As(b)->SharedSource(), As(a));
  ASSERT_EQ(virt::DeliverFrames("cam", 3), S_OK);
  ASSERT_TRUE(fa.WaitFor(3));
  ASSERT_TRUE(fb.WaitFor(3));
  // The client's frames come from the source's dispatch thread, same record
  // values.
  EXPECT_EQ(fb.Frames()[2].tid, fa.Frames()[2].tid);
  EXPECT_EQ(fb.Frames()[2].frame.frameIndex, 2);
}

TEST_F(Sharing, LargerRequestRebuildsTheSourceForBoth) {
  OvixPortHandle a = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  OvixPortHandle b = Input(0, 1920, 1080, 30, OVIX_FORMAT_YUY2);
  FrameCollector fa, fb;
  OVIX_SetVideoFrameCallback(a, FrameCollector::Callback, &fa);
  OVIX_SetVideoFrameCallback(b, FrameCollector::Callback, &fb);
  ASSERT_EQ(OVIX_Start(a), OVIX_OK);
  ASSERT_EQ(OVIX_Start(b), OVIX_OK);
  EXPECT_EQ(CountLogLines("Restart shared source for new requests device=0 actual=1280x720 fps=30 fmt=1 "
                          "requested=1920x1080 fps=30 fmt=1"),
            1);
  EXPECT_EQ(CountLogLines("Restart shared source OK device=0 actual=1920x1080 fps=30 fmt=1"), 1);
  ASSERT_EQ(virt::DeliverFrames("cam", 1), S_OK);
  ASSERT_TRUE(fa.WaitFor(1));
  ASSERT_TRUE(fb.WaitFor(1));
  EXPECT_EQ(fa.Frames()[0].frame.width, 1920);
  EXPECT_EQ(fb.Frames()[0].frame.height, 1080);
}

TEST_F(Sharing, FormatPreferenceDecidesWhetherToRebuild) {
  const struct {
    int second;
    bool restart;
  } cases[] = {{OVIX_FORMAT_MJPG, false}, {OVIX_FORMAT_H264, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    OvixPortHandle a = Input(0, 1920, 1080, 30, OVIX_FORMAT_YUY2);
    OvixPortHandle b = Input(0, 1920, 1080, 30, c.second);
    const int before = CountLogLines("Restart shared source for new requests");
    ASSERT_EQ(OVIX_Start(a), OVIX_OK);
    ASSERT_EQ(OVIX_Start(b), OVIX_OK);
    EXPECT_EQ(CountLogLines("Restart shared source for new requests") - before, c.restart ? 1 : 0);
    if (c.restart) {
      EXPECT_EQ(As(a)->selectedFormat, OVIX_FORMAT_H264);
    }
    OVIX_Stop(b);
    OVIX_Stop(a);
  }
}

TEST_F(Sharing, StoppingTheSourceHandsItsClientsOver) {
  OvixPortHandle a = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  OvixPortHandle b = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  OvixPortHandle c = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  FrameCollector fb, fc;
  OVIX_SetVideoFrameCallback(b, FrameCollector::Callback, &fb);
  OVIX_SetVideoFrameCallback(c, FrameCollector::Callback, &fc);
  for (OvixPortHandle h : {a, b, c}) ASSERT_EQ(OVIX_Start(h), OVIX_OK);
  ASSERT_EQ(OVIX_Stop(a), OVIX_OK);
  EXPECT_EQ(CountLogLines("Shared source handoff prepared device=0 source=" + Ptr(As(a)) + " slots=2 clients=2"), 1);
  EXPECT_EQ(CountLogLines("Shared source handoff restored device=0 oldSource=" + Ptr(As(a)) + " client=" +
                          Ptr(As(b)) + " role=source"),
            1);
  EXPECT_EQ(CountLogLines("Shared source handoff restored device=0 oldSource=" + Ptr(As(a)) + " client=" +
                          Ptr(As(c)) + " role=shared"),
            1);
  EXPECT_EQ(CountLogLines("Shared source handoff complete device=0 oldSource=" + Ptr(As(a)) +
                          " restored=2 requested=2 newSource=" + Ptr(As(b))),
            1);
  EXPECT_FALSE(As(a)->IsRunning());
  EXPECT_FALSE(As(b)->IsSharedClient());
  EXPECT_EQ(As(c)->SharedSource(), As(b));
  ASSERT_EQ(virt::DeliverFrames("cam", 2), S_OK);
  ASSERT_TRUE(fb.WaitFor(2));
  ASSERT_TRUE(fc.WaitFor(2));
}

TEST_F(Sharing, StaleDetachAndTheSameClientRegisteredTwice) {
  OvixPortHandle a = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  OvixPortHandle b = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  ASSERT_EQ(OVIX_Start(a), OVIX_OK);
  ASSERT_EQ(OVIX_Start(b), OVIX_OK);
  std::shared_ptr<SharedClientSlot> first = As(b)->SlotForTest(), again;
  ASSERT_EQ(As(a)->RegisterSharedClientForTest(As(b), again), OVIX_OK);
  EXPECT_EQ(again, first);
  // The device's source is replaced behind b's back: b's detach is stale.
  OvixPortHandle other = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  capture_registry::RegisterActiveVideoDevice(0, As(other));
  ASSERT_EQ(OVIX_Stop(b), OVIX_OK);
  EXPECT_EQ(CountLogLines("Video device index=0 closed stale shared slot source=" + Ptr(As(a)) + " client=" +
                          Ptr(As(b))),
            1);
  EXPECT_EQ(CountLogLines("active=" + Ptr(As(other))), 1);
  EXPECT_TRUE(first->closed);
  capture_registry::RegisterActiveVideoDevice(0, As(a));
}

TEST_F(Sharing, RefusedRegistrationUndoesTheRequest) {
  OvixPortHandle a = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  OvixPortHandle b = Input(0, 1280, 720, 30, OVIX_FORMAT_YUY2);
  std::shared_ptr<SharedClientSlot> slot;
  EXPECT_EQ(As(a)->RegisterSharedClientForTest(As(b), slot), OVIX_ERR_FAILED);  // a is not running
  EXPECT_EQ(CountLogLines("Register shared client rejected source=" + Ptr(As(a)) + " client=" + Ptr(As(b)) +
                          " running=0 sharedSource=0"),
            1);
  EXPECT_EQ(As(a)->RegisterSharedClientForTest(nullptr, slot), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(As(a)->RegisterSharedClientForTest(As(a), slot), OVIX_ERR_INVALID_ARG);
  EXPECT_TRUE(capture_registry::Requests(0).empty());
}

}  // namespace
}  // namespace ovix::test
