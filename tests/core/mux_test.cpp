// The video and audio fan-out ports.
#include <gtest/gtest.h>

#include "ovixcapture.h"
#include "support/log_capture.h"
#include "support/test_ports.h"

namespace ovix::test {
namespace {

class Muxes : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OVIX_Init(), OVIX_OK); }
  void TearDown() override {
    for (OvixPortHandle h : owned_) OVIX_DestroyPort(h);
  }
  OvixPortHandle Own(OvixPortHandle h) {
    owned_.push_back(h);
    return h;
  }
  RecordingPort* Port(int32_t type, const std::string& name) {
    RecordingPort* p = MakeRecordingPort(type, name, &journal_);
    Own(H(p));
    return p;
  }
  Journal journal_;
  std::vector<OvixPortHandle> owned_;
};

struct Seen {
  Journal* journal;
  std::vector<const void*> records;
};

TEST_F(Muxes, VideoMuxHandsTheSameRecordToCallbackThenEachConsumer) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  OvixPortHandle mux = Own(OVIX_CreateVideoMux());
  EXPECT_EQ(CountLogLines("Create video mux"), 1);
  RecordingPort* first = Port(OVIX_PORT_VIDEO_RENDER, "first");
  RecordingPort* second = Port(OVIX_PORT_VIDEO_RENDER, "second");
  ASSERT_EQ(OVIX_Connect(mux, H(first)), OVIX_OK);
  ASSERT_EQ(OVIX_Connect(mux, H(second)), OVIX_OK);
  Seen seen{&journal_, {}};
  OVIX_SetVideoFrameCallback(
      mux,
      [](const OvixVideoFrame* f, void* u) {
        auto* s = static_cast<Seen*>(u);
        s->journal->Add("callback", f->frameIndex);
        s->records.push_back(f);
      },
      &seen);
  // Two sources feed the one mux.
  OvixPortHandle a = Own(OVIX_CreateVideoFrameSource());
  OvixPortHandle b = Own(OVIX_CreateVideoFrameSource());
  ASSERT_EQ(OVIX_Connect(a, mux), OVIX_OK);
  ASSERT_EQ(OVIX_Connect(b, mux), OVIX_OK);
  TestFrame fa(10), fb(20);
  ASSERT_EQ(OVIX_PushVideoFrame(a, &fa.frame), OVIX_OK);
  ASSERT_EQ(OVIX_PushVideoFrame(b, &fb.frame), OVIX_OK);
  const std::vector<Journal::Entry> expected = {{"callback", 10}, {"first", 10}, {"second", 10},
                                                {"callback", 20}, {"first", 20}, {"second", 20}};
  EXPECT_EQ(journal_.Entries(), expected);
  EXPECT_EQ(seen.records, (std::vector<const void*>{&fa.frame, &fb.frame}));
  EXPECT_EQ(second->LastVideoRecord(), &fb.frame);
  EXPECT_EQ(OvixPortBase::FromHandle(mux)->OnVideoFrame(nullptr), OVIX_ERR_INVALID_ARG);
}

TEST_F(Muxes, EachMuxIgnoresTheOtherKindOfFrame) {
  OvixPortHandle videoMux = Own(OVIX_CreateVideoMux());
  OvixPortHandle audioMux = Own(OVIX_CreateAudioMux());
  int video = 0, audio = 0;
  auto countVideo = [](const OvixVideoFrame*, void* u) { ++*static_cast<int*>(u); };
  auto countAudio = [](const OvixAudioFrame*, void* u) { ++*static_cast<int*>(u); };
  for (OvixPortHandle m : {videoMux, audioMux}) {
    OVIX_SetVideoFrameCallback(m, countVideo, &video);
    OVIX_SetAudioFrameCallback(m, countAudio, &audio);
  }
  uint8_t pcm[4] = {};
  OvixAudioFrame block{pcm, 4, 48000, 2, 16, 0};
  TestFrame frame(1);
  EXPECT_EQ(OvixPortBase::FromHandle(videoMux)->OnAudioFrame(&block), OVIX_OK);
  EXPECT_EQ(OvixPortBase::FromHandle(audioMux)->OnVideoFrame(&frame.frame), OVIX_OK);
  EXPECT_EQ(video, 0);
  EXPECT_EQ(audio, 0);
}

TEST_F(Muxes, AudioMuxPassesBlocksUnchangedAndInOrder) {
  RecordingPort* input = Port(OVIX_PORT_AUDIO_INPUT, "input");
  OvixPortHandle mux = Own(OVIX_CreateAudioMux());
  RecordingPort* render = Port(OVIX_PORT_AUDIO_RENDER, "render");
  ASSERT_EQ(OVIX_Connect(H(input), mux), OVIX_OK);
  ASSERT_EQ(OVIX_Connect(mux, H(render)), OVIX_OK);
  struct Blocks {
    std::vector<OvixAudioFrame> seen;
  } blocks;
  OVIX_SetAudioFrameCallback(
      mux, [](const OvixAudioFrame* f, void* u) { static_cast<Blocks*>(u)->seen.push_back(*f); }, &blocks);
  std::vector<int16_t> pcm(960 * 2, 5);
  for (int i = 0; i < 3; ++i) {
    OvixAudioFrame f{reinterpret_cast<uint8_t*>(pcm.data()), static_cast<int32_t>(pcm.size() * 2), 48000, 2, 16,
                     i * 200000LL};
    input->EmitAudio(&f);
  }
  ASSERT_EQ(blocks.seen.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(blocks.seen[i].timestamp, i * 200000LL);
    EXPECT_EQ(blocks.seen[i].data, reinterpret_cast<uint8_t*>(pcm.data()));
    EXPECT_EQ(blocks.seen[i].size, 3840);
  }
  EXPECT_EQ(journal_.FramesOf("render"), (std::vector<int64_t>{0, 200000, 400000}));
  // Taking the input off the mux stops the flow but keeps the mux's own link.
  ASSERT_EQ(OVIX_Disconnect(H(input), mux), OVIX_OK);
  OvixAudioFrame f{reinterpret_cast<uint8_t*>(pcm.data()), 4, 48000, 2, 16, 9};
  input->EmitAudio(&f);
  EXPECT_EQ(render->AudioFrames(), 3);
  EXPECT_EQ(OvixPortBase::FromHandle(mux)->DownstreamSnapshot().size(), 1u);
}

}  // namespace
}  // namespace ovix::test
