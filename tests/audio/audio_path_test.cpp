// Capture to playback through the audio mux on virtual endpoints: every
// block reaches the speaker once, in order, with its bytes unchanged.
#include "audio_fixture.h"

namespace ovix::test {
namespace {

class AudioPathTest : public AudioTest {};

TEST_F(AudioPathTest, InputThroughMuxToRenderDeliversEveryBlockUnchanged) {
  AddMic(platform::PcmWaveFormat(48000, 2, 16));
  AddSpeaker(kSpeakerId, 0, true);
  Init();
  OvixPortHandle in = OVIX_CreateAudioInput();
  OvixPortHandle mux = OVIX_CreateAudioMux();
  OvixPortHandle render = OVIX_CreateAudioRender();
  AudioCollector atMux;
  ASSERT_EQ(OVIX_Connect(in, mux), OVIX_OK);
  ASSERT_EQ(OVIX_Connect(mux, render), OVIX_OK);
  ASSERT_EQ(OVIX_SetAudioFrameCallback(mux, AudioCollector::Callback, &atMux), OVIX_OK);
  ASSERT_EQ(OVIX_Start(render), OVIX_OK);
  ASSERT_EQ(OVIX_Start(in), OVIX_OK);
  ASSERT_TRUE(virt::WaitForCaptureStart(kMicId, 10000));

  constexpr int kBlocks = 50;
  std::vector<uint8_t> pushed;
  for (int b = 0; b < kBlocks; ++b) {
    std::vector<int16_t> samples(480 * 2);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(b * 1000 + static_cast<int>(i) - 500);
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    pushed.insert(pushed.end(), bytes, bytes + samples.size() * 2);
    ASSERT_EQ(virt::PushCapturePacket(kMicId, samples.data(), 480), S_OK);
  }
  ASSERT_TRUE(atMux.WaitFor(kBlocks));
  EXPECT_EQ(OVIX_Stop(in), OVIX_OK);
  EXPECT_EQ(OVIX_Stop(render), OVIX_OK);

  const auto blocks = atMux.Blocks();
  ASSERT_EQ(blocks.size(), static_cast<size_t>(kBlocks));
  std::vector<uint8_t> seen;
  for (int b = 0; b < kBlocks; ++b) {
    EXPECT_EQ(blocks[b].frame.timestamp, int64_t{100000} * b);
    EXPECT_EQ(blocks[b].frame.sampleRate, 48000);
    EXPECT_EQ(blocks[b].frame.channels, 2);
    const auto* bytes = reinterpret_cast<const uint8_t*>(blocks[b].samples.data());
    seen.insert(seen.end(), bytes, bytes + blocks[b].samples.size() * 2);
  }
  EXPECT_EQ(seen, pushed);
  const virt::RenderedAudio played = virt::RenderedOf(kSpeakerId);
  EXPECT_EQ(played.initialized.size(), 1u);
  EXPECT_EQ(played.bytes, pushed);

  for (OvixPortHandle p : {in, mux, render}) EXPECT_EQ(OVIX_DestroyPort(p), OVIX_OK);
}

}  // namespace
}  // namespace ovix::test
