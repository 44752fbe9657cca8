// The first complete path through the shared library, by its C interface
// alone: start up, list the built-in devices, push frames through a frame
// source and a mux, receive them by callback, shut down.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ovixcapture.h"

namespace {

struct Received {
  std::vector<int64_t> indices;
};

void OnFrame(const OvixVideoFrame* frame, void* user) {
  static_cast<Received*>(user)->indices.push_back(frame->frameIndex);
}

TEST(Acceptance, FrameSourceThroughMuxToCallback) {
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  OvixDeviceInfo info;
  ASSERT_GE(OVIX_GetVideoDeviceCount(), 1);
  ASSERT_EQ(OVIX_GetVideoDeviceInfo(OVIX_GetVideoDeviceCount() - 1, &info), OVIX_OK);
  EXPECT_STREQ(info.name, "ovixcapture Test Pattern");
  ASSERT_EQ(OVIX_GetAudioInputDeviceInfo(OVIX_GetAudioInputDeviceCount() - 1, &info), OVIX_OK);
  EXPECT_STREQ(info.name, "ovixcapture Test Tone");
  ASSERT_EQ(OVIX_GetAudioRenderDeviceInfo(OVIX_GetAudioRenderDeviceCount() - 1, &info), OVIX_OK);
  EXPECT_STREQ(info.name, "ovixcapture Null Speaker");

  OvixPortHandle source = OVIX_CreateVideoFrameSource();
  OvixPortHandle mux = OVIX_CreateVideoMux();
  ASSERT_NE(source, nullptr);
  ASSERT_NE(mux, nullptr);
  ASSERT_EQ(OVIX_Connect(source, mux), OVIX_OK);
  Received received;
  ASSERT_EQ(OVIX_SetVideoFrameCallback(mux, OnFrame, &received), OVIX_OK);

  std::vector<uint8_t> pixels(64 * 48 * 2);
  for (int64_t i = 0; i < 10; ++i) {
    OvixVideoFrame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.data[0] = pixels.data();
    frame.stride[0] = 64 * 2;
    frame.width = 64;
    frame.height = 48;
    frame.format = OVIX_FORMAT_YUY2;
    frame.frameIndex = i;
    ASSERT_EQ(OVIX_PushVideoFrame(source, &frame), OVIX_OK);
  }
  EXPECT_EQ(received.indices, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(OVIX_DestroyPort(source), OVIX_OK);
  EXPECT_EQ(OVIX_DestroyPort(mux), OVIX_OK);
  EXPECT_EQ(OVIX_Shutdown(), OVIX_OK);
  EXPECT_EQ(OVIX_CreateVideoMux(), nullptr);
}

}  // namespace
