// Frames pushed by the application: argument checks in their order, and
// delivery of the application's own record on its thread.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "ovixcapture.h"
#include "support/test_ports.h"

namespace ovix::test {
namespace {

class FrameSource : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OVIX_Init(), OVIX_OK);
    source_ = OVIX_CreateVideoFrameSource();
    ASSERT_NE(source_, nullptr);
  }
  void TearDown() override { OVIX_DestroyPort(source_); }
  OvixPortHandle source_ = nullptr;
};

TEST_F(FrameSource, ArgumentChecksInOrder) {
  const struct {
    const char* what;
    int width, height, format;
    bool nullData;
    int result;
  } cases[] = {
      {"width 0", 0, 2, OVIX_FORMAT_RGB32, false, -2},
      {"negative height", 4, -2, OVIX_FORMAT_RGB32, false, -2},
      {"format 0", 4, 2, 0, false, -2},
      {"null plane", 4, 2, OVIX_FORMAT_NV12, true, -2},
      {"format 0 beats null plane", 4, 2, 0, true, -2},
      {"format 7", 4, 2, 7, false, -4},
      {"format 9", 4, 2, 9, false, -4},
      {"format -1", 4, 2, -1, false, -4},
      {"YUY2", 4, 2, OVIX_FORMAT_YUY2, false, 0},
      {"H264", 4, 2, OVIX_FORMAT_H264, false, 0},
  };
  int delivered = 0;
  OVIX_SetVideoFrameCallback(
      source_, [](const OvixVideoFrame*, void* u) { ++*static_cast<int*>(u); }, &delivered);
  int expectedDeliveries = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestFrame f(1);
    f.frame.width = c.width;
    f.frame.height = c.height;
    f.frame.format = c.format;
    if (c.nullData) f.frame.data[0] = nullptr;
    EXPECT_EQ(OVIX_PushVideoFrame(source_, &f.frame), c.result);
    expectedDeliveries += c.result == 0;
  }
  EXPECT_EQ(OVIX_PushVideoFrame(source_, nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(delivered, expectedDeliveries);
}

TEST_F(FrameSource, DeliversTheApplicationsOwnRecordUnchanged) {
  struct Seen {
    const OvixVideoFrame* record = nullptr;
    OvixVideoFrame copy{};
    std::thread::id thread;
  } seen;
  OVIX_SetVideoFrameCallback(
      source_,
      [](const OvixVideoFrame* f, void* u) {
        auto* s = static_cast<Seen*>(u);
        s->record = f;
        s->copy = *f;
        s->thread = std::this_thread::get_id();
      },
      &seen);
  std::vector<uint8_t> h264 = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1f};
  OvixVideoFrame frame{};
  frame.data[0] = h264.data();
  frame.stride[0] = static_cast<int32_t>(h264.size());
  frame.width = 1920;
  frame.height = 1080;
  frame.format = OVIX_FORMAT_H264;
  frame.reserved = 77;
  frame.timestamp = 12345;
  frame.frameIndex = 7;
  const OvixVideoFrame before = frame;
  ASSERT_EQ(OVIX_PushVideoFrame(source_, &frame), OVIX_OK);
  EXPECT_EQ(seen.record, &frame);
  EXPECT_EQ(std::memcmp(&seen.copy, &before, sizeof before), 0);
  EXPECT_EQ(std::memcmp(&frame, &before, sizeof before), 0);
  EXPECT_EQ(seen.thread, std::this_thread::get_id());
}

TEST_F(FrameSource, PushWithoutConsumersAndAfterStartAndStop) {
  TestFrame f(1);
  EXPECT_EQ(OVIX_PushVideoFrame(source_, &f.frame), OVIX_OK);
  RecordingPort* render = MakeRecordingPort(OVIX_PORT_VIDEO_RENDER);
  ASSERT_EQ(OVIX_Connect(source_, H(render)), OVIX_OK);
  EXPECT_EQ(OVIX_PushVideoFrame(source_, &f.frame), OVIX_OK);
  EXPECT_EQ(OVIX_Start(source_), OVIX_OK);
  EXPECT_EQ(OVIX_PushVideoFrame(source_, &f.frame), OVIX_OK);
  EXPECT_EQ(OVIX_Stop(source_), OVIX_OK);
  EXPECT_EQ(OVIX_PushVideoFrame(source_, &f.frame), OVIX_OK);
  EXPECT_EQ(render->VideoFrames(), 3);
  EXPECT_EQ(render->LastVideoRecord(), &f.frame);
  OVIX_Disconnect(source_, H(render));
  OVIX_DestroyPort(H(render));
}

TEST_F(FrameSource, NothingCanFeedAFrameSource) {
  OvixPortHandle mux = OVIX_CreateVideoMux();
  OvixPortHandle other = OVIX_CreateVideoFrameSource();
  EXPECT_EQ(OVIX_Connect(mux, source_), OVIX_ERR_UNSUPPORTED);
  EXPECT_EQ(OVIX_Connect(other, source_), OVIX_ERR_UNSUPPORTED);
  OVIX_DestroyPort(mux);
  OVIX_DestroyPort(other);
}

}  // namespace
}  // namespace ovix::test
