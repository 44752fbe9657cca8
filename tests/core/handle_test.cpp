// Handles that do not name a live port of the right class: null, destroyed,
// foreign pointers and ports of another class get their documented result,
// and nothing behind them is touched.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "ovixcapture.h"
#include "support/log_capture.h"
#include "support/test_ports.h"

namespace ovix::test {
namespace {

void NoVideo(const OvixVideoFrame*, void*) {}
void NoAudio(const OvixAudioFrame*, void*) {}

TEST(Handles, BadHandlesAreRefusedByEveryPortFunction) {
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  OvixPortHandle live = OVIX_CreateVideoMux();
  OvixPortHandle render = H(MakeRecordingPort(OVIX_PORT_VIDEO_RENDER));
  OvixPortHandle gone = OVIX_CreateVideoMux();
  ASSERT_EQ(OVIX_DestroyPort(gone), OVIX_OK);
  // Foreign memory filled with a pattern that would crash if it were taken
  // for a port (its "vtable" points nowhere).
  alignas(16) unsigned char foreignBytes[256];
  std::memset(foreignBytes, 0xA5, sizeof foreignBytes);
  auto* foreign = reinterpret_cast<OvixPortHandle>(foreignBytes);
  const OvixPortHandle bad[] = {nullptr, gone, foreign};
  TestFrame frame(1);

  const struct {
    const char* name;
    std::function<int(OvixPortHandle)> call;
  } functions[] = {
      {"OVIX_Start", [](OvixPortHandle h) { return OVIX_Start(h); }},
      {"OVIX_Stop", [](OvixPortHandle h) { return OVIX_Stop(h); }},
      {"OVIX_DestroyPort", [](OvixPortHandle h) { return OVIX_DestroyPort(h); }},
      {"OVIX_SetVideoFrameCallback", [](OvixPortHandle h) { return OVIX_SetVideoFrameCallback(h, NoVideo, h); }},
      {"OVIX_SetAudioFrameCallback", [](OvixPortHandle h) { return OVIX_SetAudioFrameCallback(h, NoAudio, h); }},
      {"OVIX_Connect as source", [&](OvixPortHandle h) { return OVIX_Connect(h, render); }},
      {"OVIX_Connect as destination", [&](OvixPortHandle h) { return OVIX_Connect(live, h); }},
      {"OVIX_Disconnect as source", [&](OvixPortHandle h) { return OVIX_Disconnect(h, render); }},
      {"OVIX_PushVideoFrame", [&](OvixPortHandle h) { return OVIX_PushVideoFrame(h, &frame.frame); }},
  };
  for (const auto& f : functions) {
    for (OvixPortHandle h : bad) {
      SCOPED_TRACE(std::string(f.name) + (h == nullptr ? " null" : h == gone ? " destroyed" : " foreign"));
      EXPECT_EQ(f.call(h), OVIX_ERR_INVALID_ARG);
    }
  }
  EXPECT_GE(CountLogLines("OVIX_Connect invalid src="), 6);
  EXPECT_TRUE(OvixPortBase::FromHandle(live)->DownstreamSnapshot().empty());
  OVIX_DestroyPort(live);
  OVIX_DestroyPort(render);
}

TEST(Handles, PortOfAnotherClassIsRefusedByClassSpecificFunctions) {
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  OvixPortHandle mux = OVIX_CreateVideoMux();
  OvixPortHandle audioMux = OVIX_CreateAudioMux();
  int calls = 0;
  OVIX_SetVideoFrameCallback(
      mux, [](const OvixVideoFrame*, void* u) { ++*static_cast<int*>(u); }, &calls);
  TestFrame frame(1);
  EXPECT_EQ(OVIX_PushVideoFrame(mux, &frame.frame), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_PushVideoFrame(audioMux, &frame.frame), OVIX_ERR_INVALID_ARG);
  // A port of the same type number but another class is refused too.
  RecordingPort* fake = MakeRecordingPort(OVIX_PORT_VIDEO_FRAME_SOURCE);
  EXPECT_EQ(OVIX_PushVideoFrame(H(fake), &frame.frame), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(fake->VideoFrames(), 0);
  OVIX_DestroyPort(mux);
  OVIX_DestroyPort(audioMux);
  OVIX_DestroyPort(H(fake));
}

TEST(Handles, DisconnectTakesAGoneDestinationOffALiveSource) {
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  OvixPortHandle source = OVIX_CreateVideoFrameSource();
  OvixPortHandle mux = OVIX_CreateVideoMux();
  ASSERT_EQ(OVIX_Connect(source, mux), OVIX_OK);
  alignas(16) unsigned char foreignBytes[64] = {};
  // The destination is only compared, so any pointer may be named.
  EXPECT_EQ(OVIX_Disconnect(source, reinterpret_cast<OvixPortHandle>(foreignBytes)), OVIX_OK);
  EXPECT_EQ(OvixPortBase::FromHandle(source)->DownstreamSnapshot().size(), 1u);
  EXPECT_EQ(OVIX_Disconnect(source, mux), OVIX_OK);
  EXPECT_TRUE(OvixPortBase::FromHandle(source)->DownstreamSnapshot().empty());
  OVIX_DestroyPort(source);
  OVIX_DestroyPort(mux);
}

}  // namespace
}  // namespace ovix::test
