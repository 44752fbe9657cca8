// The audio render port on virtual speakers: the lazy open for the incoming
// layout, volume and mute, drops when the buffer is full, the permanent
// fallback to the default endpoint, pause and flush, and open failures.
#include <cmath>
#include <limits>
#include <string>

#include "audio/audio_render.h"
#include "audio_fixture.h"
#include "core/port_registry.h"

namespace ovix::test {
namespace {

// A PCM block the test hands to the render.
struct Block {
  std::vector<int16_t> samples;
  OvixAudioFrame frame{};
  Block(int rate, int channels, std::vector<int16_t> s, int bits = 16) : samples(std::move(s)) {
    frame.data = reinterpret_cast<uint8_t*>(samples.data());
    frame.size = static_cast<int32_t>(samples.size() * 2);
    frame.sampleRate = rate;
    frame.channels = channels;
    frame.bitsPerSample = bits;
  }
};

std::vector<int16_t> Ramp(size_t n, int16_t start = 1) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(start + static_cast<int16_t>(i));
  return v;
}

std::vector<int16_t> AsSamples(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> v(bytes.size() / 2);
  std::memcpy(v.data(), bytes.data(), v.size() * 2);
  return v;
}

class AudioRenderTest : public AudioTest {
 protected:
  void SetUp() override {
    AudioTest::SetUp();
    AddSpeaker(kSpeakerId, 0, true);
  }
  // A started render on the default endpoint.
  OvixAudioRender* StartRender() {
    handle_ = OVIX_CreateAudioRender();
    EXPECT_NE(handle_, nullptr);
    EXPECT_EQ(OVIX_Start(handle_), OVIX_OK);
    return LivePortAs<OvixAudioRender>(handle_);
  }
  int Play(const Block& b) { return LivePortAs<OvixAudioRender>(handle_)->OnAudioFrame(&b.frame); }
  void Finish() {
    EXPECT_EQ(OVIX_Stop(handle_), OVIX_OK);
    EXPECT_EQ(OVIX_DestroyPort(handle_), OVIX_OK);
  }
  // A fresh start: the one default speaker with this buffer, and the SDK
  // initialised again.
  void RestartWithSpeaker(uint32_t bufferFrames) {
    virt::Reset();
    virt::ClearDevices();
    AddSpeaker(kSpeakerId, bufferFrames, true);
    Init();
  }

  OvixPortHandle handle_ = nullptr;
};

TEST_F(AudioRenderTest, TheFirstFrameOpensTheEndpointForItsLayout) {
  Init();
  StartRender();
  EXPECT_EQ(virt::RenderedOf(kSpeakerId).openStreams, 0);  // not opened by Start
  const Block b(48000, 2, Ramp(960));
  EXPECT_EQ(Play(b), OVIX_OK);
  const virt::RenderedAudio r = virt::RenderedOf(kSpeakerId);
  ASSERT_EQ(r.initialized.size(), 1u);
  const platform::WaveFormat& f = r.initialized[0];
  EXPECT_EQ(f.formatTag, platform::kWaveFormatPcm);
  EXPECT_EQ(f.samplesPerSec, 48000u);
  EXPECT_EQ(f.channels, 2);
  EXPECT_EQ(f.bitsPerSample, 16);
  EXPECT_EQ(f.blockAlign, 4);
  EXPECT_EQ(f.avgBytesPerSec, 192000u);
  EXPECT_EQ(f.cbSize, 0);
  EXPECT_EQ(r.frames, 480u);
  EXPECT_EQ(AsSamples(r.bytes), b.samples);
  EXPECT_TRUE(r.running);
  Finish();
  EXPECT_EQ(CountLogLines("Audio render configure from input=48000 Hz ch=2 bits=16 dataSize=1920"), 1);
  EXPECT_EQ(CountLogLines("Audio render source format=48000 Hz ch=2 bits=16 block=4 tag=0x1"), 1);
  EXPECT_EQ(CountLogLines("Audio render endpoint mix=48000 Hz ch=2 bits=32 block=8 tag=0x3"), 1);
  EXPECT_EQ(CountLogLines("Audio render ready source=48000 Hz ch=2 bits=16 block=4 bufferFrames=48000 autoConvert=1"), 1);
  EXPECT_EQ(CountLogLines("Audio render stop receivedFrames=480 writtenFrames=480 droppedFrames=0 silenceFrames=0"), 1);
  EXPECT_EQ(CountLogLines("Audio render client Stop hr=0x00000000"), 1);
  EXPECT_EQ(virt::RenderedOf(kSpeakerId).openStreams, 0);
}

TEST_F(AudioRenderTest, ALayoutChangeReopensTheEndpoint) {
  Init();
  StartRender();
  EXPECT_EQ(Play(Block(48000, 2, Ramp(8))), OVIX_OK);
  EXPECT_EQ(Play(Block(48000, 2, Ramp(8))), OVIX_OK);  // same layout: no reopen
  EXPECT_EQ(Play(Block(44100, 2, Ramp(8))), OVIX_OK);
  EXPECT_EQ(Play(Block(44100, 1, Ramp(8))), OVIX_OK);
  const virt::RenderedAudio r = virt::RenderedOf(kSpeakerId);
  ASSERT_EQ(r.initialized.size(), 3u);
  EXPECT_EQ(r.initialized[1].samplesPerSec, 44100u);
  EXPECT_EQ(r.initialized[1].avgBytesPerSec, 176400u);
  EXPECT_EQ(r.initialized[2].channels, 1);
  EXPECT_EQ(r.initialized[2].blockAlign, 2);
  EXPECT_EQ(r.frames, 4u + 4u + 4u + 8u);
  EXPECT_EQ(r.openStreams, 1);
  Finish();
  EXPECT_EQ(CountLogLines("Audio render configure from input="), 3);
}

TEST_F(AudioRenderTest, VolumeAndMuteAreAppliedByThePort) {
  struct Case {
    float volume;
    int mute;
    std::vector<int16_t> in, out;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {0.5f, 0, {1001, -1001, 32767, -32768}, {500, -500, 16383, -16384}},
      {1.3f, 0, {1001, -1001, 32767, -32768}, {1001, -1001, 32767, -32768}},
      {-0.2f, 0, {1001, -1001, 32767, -32768}, {0, 0, 0, 0}},
      {nan, 0, {1001, -1001, 32767, -32768}, {0, 0, 0, 0}},
      {0.999f, 0, {1001, -1001, 3, -3}, {1001, -1001, 3, -3}},  // full volume copies
      {0.25f, 0, {3, -3, 7, -7}, {0, 0, 1, -1}},                // truncated toward zero
      {1.0f, 1, {1001, -1001, 32767, -32768}, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.volume << " mute=" << c.mute);
    RestartWithSpeaker(0);
    FreshLog();
    StartRender();
    ASSERT_EQ(OVIX_SetAudioRenderVolume(handle_, c.volume), OVIX_OK);
    ASSERT_EQ(OVIX_SetAudioRenderMute(handle_, c.mute), OVIX_OK);
    EXPECT_EQ(Play(Block(48000, 2, c.in)), OVIX_OK);
    EXPECT_EQ(AsSamples(virt::RenderedOf(kSpeakerId).bytes), c.out);
    EXPECT_EQ(virt::RenderedOf(kSpeakerId).silentFrames, 0u);
    Finish();
    EXPECT_EQ(CountLogLines("writtenFrames=2 droppedFrames=0"), 1);  // mute counts as written
    OVIX_Shutdown();
  }
}

TEST_F(AudioRenderTest, WhatDoesNotFitIsDroppedAtTheNewestEnd) {
  RestartWithSpeaker(1000);
  StartRender();
  const Block first(48000, 2, Ramp(2 * 10));
  ASSERT_EQ(Play(first), OVIX_OK);  // opens the stream
  virt::SetRenderPadding(kSpeakerId, 1000);
  EXPECT_EQ(Play(Block(48000, 2, Ramp(2 * 480))), OVIX_OK);  // a full buffer drops everything
  virt::SetRenderPadding(kSpeakerId, 900);
  const Block partial(48000, 2, Ramp(2 * 480, 100));
  EXPECT_EQ(Play(partial), OVIX_OK);  // room for 100 frames
  const virt::RenderedAudio r = virt::RenderedOf(kSpeakerId);
  EXPECT_EQ(r.frames, 10u + 100u);
  const std::vector<int16_t> all = AsSamples(r.bytes);
  EXPECT_EQ(std::vector<int16_t>(all.begin() + 20, all.end()),
            std::vector<int16_t>(partial.samples.begin(), partial.samples.begin() + 200));
  Finish();
  EXPECT_EQ(CountLogLines("Audio render stop receivedFrames=970 writtenFrames=110 droppedFrames=860 silenceFrames=0"),
            1);
}

TEST_F(AudioRenderTest, EightBitInputPlaysSilenceAndFails) {
  Init();
  StartRender();
  std::vector<int16_t> raw(240, 0x7F7F);  // 480 bytes of 8-bit stereo: 240 frames
  Block b(48000, 2, raw, 8);
  EXPECT_EQ(Play(b), OVIX_ERR_FAILED);
  EXPECT_EQ(Play(b), OVIX_ERR_FAILED);  // not 16 bits: reconfigured every time
  const virt::RenderedAudio r = virt::RenderedOf(kSpeakerId);
  EXPECT_EQ(r.silentFrames, 480u);
  EXPECT_EQ(r.bytes, std::vector<uint8_t>(480 * 4, 0));
  EXPECT_EQ(r.initialized.size(), 2u);
  Finish();
  EXPECT_EQ(CountLogLines("Audio render internal source mismatch input=48000Hz/2ch/8bit/block2 "
                          "client=48000Hz/2ch/16bit/block4 hr=0x00000000"),
            2);
  EXPECT_EQ(CountLogLines("Audio render stop receivedFrames=480 writtenFrames=0 droppedFrames=480 silenceFrames=480"), 1);
}

TEST_F(AudioRenderTest, InvalidFramesAreRefused) {
  Init();
  OvixAudioRender* r = StartRender();
  EXPECT_EQ(r->OnAudioFrame(nullptr), OVIX_ERR_INVALID_ARG);
  Block empty(48000, 2, {});
  EXPECT_EQ(r->OnAudioFrame(&empty.frame), OVIX_ERR_INVALID_ARG);
  Block noChannels(48000, 0, Ramp(4));
  EXPECT_EQ(r->OnAudioFrame(&noChannels.frame), OVIX_ERR_FAILED);
  Block tooShort(48000, 2, Ramp(1));  // 2 bytes: no whole frame
  EXPECT_EQ(r->OnAudioFrame(&tooShort.frame), OVIX_OK);
  EXPECT_EQ(virt::RenderedOf(kSpeakerId).initialized.size(), 0u);
  Finish();
  EXPECT_EQ(CountLogLines("Audio render received invalid audio frame"), 2);
  EXPECT_EQ(CountLogLines("Audio render invalid input block align channels=0 bits=16"), 1);
}

TEST_F(AudioRenderTest, FramesBeforeStartOrAfterStopAreIgnored) {
  Init();
  handle_ = OVIX_CreateAudioRender();
  const Block b(48000, 2, Ramp(8));
  EXPECT_EQ(Play(b), OVIX_OK);
  EXPECT_EQ(OVIX_Start(handle_), OVIX_OK);
  EXPECT_EQ(Play(b), OVIX_OK);
  EXPECT_EQ(OVIX_Stop(handle_), OVIX_OK);
  EXPECT_EQ(Play(b), OVIX_OK);
  EXPECT_EQ(virt::RenderedOf(kSpeakerId).frames, 4u);
  EXPECT_EQ(OVIX_Start(handle_), OVIX_OK);  // counters start again
  Finish();
  EXPECT_EQ(CountLogLines("Audio render stop receivedFrames=0 writtenFrames=0"), 1);
}

TEST_F(AudioRenderTest, DeviceSelection) {
  AddSpeaker("test:second");
  Init();
  handle_ = OVIX_CreateAudioRender();
  OvixPortHandle mux = OVIX_CreateAudioMux();
  const int count = OVIX_GetAudioRenderDeviceCount();
  ASSERT_EQ(count, 2);
  struct Case {
    OvixPortHandle port;
    int index;
    int expected;
  };
  const Case cases[] = {{handle_, -2, OVIX_ERR_INVALID_ARG}, {handle_, count, OVIX_ERR_INVALID_ARG},
                        {mux, 0, OVIX_ERR_INVALID_ARG},      {nullptr, 0, OVIX_ERR_INVALID_ARG},
                        {handle_, -1, OVIX_OK},              {handle_, 1, OVIX_OK}};
  for (const Case& c : cases) EXPECT_EQ(OVIX_SetAudioRenderDevice(c.port, c.index), c.expected) << c.index;
  EXPECT_EQ(OVIX_SetAudioRenderDefaultDevice(mux), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetAudioRenderVolume(mux, 1.0f), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetAudioRenderMute(mux, 1), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(CountLogLines("Audio render select playback device index=-1 name=Windows default"), 1);
  EXPECT_EQ(CountLogLines("Audio render select playback device index=1 name=Speaker test:second"), 1);

  // The selected endpoint plays; switching to the default closes it.
  EXPECT_EQ(OVIX_Start(handle_), OVIX_OK);
  EXPECT_EQ(Play(Block(48000, 2, Ramp(8))), OVIX_OK);
  EXPECT_EQ(virt::RenderedOf("test:second").frames, 4u);
  EXPECT_EQ(virt::RenderedOf("test:second").openStreams, 1);
  EXPECT_EQ(OVIX_SetAudioRenderDefaultDevice(handle_), OVIX_OK);
  EXPECT_EQ(virt::RenderedOf("test:second").openStreams, 0);
  EXPECT_EQ(Play(Block(48000, 2, Ramp(8))), OVIX_OK);
  EXPECT_EQ(virt::RenderedOf(kSpeakerId).frames, 4u);
  EXPECT_EQ(CountLogLines("Audio render use default playback device"), 1);
  Finish();
  EXPECT_EQ(OVIX_DestroyPort(mux), OVIX_OK);
}

TEST_F(AudioRenderTest, AnUnavailableEndpointFallsBackToTheDefaultForGood) {
  AddSpeaker("test:usb");
  Init();
  handle_ = OVIX_CreateAudioRender();
  ASSERT_EQ(OVIX_SetAudioRenderDevice(handle_, 1), OVIX_OK);
  ASSERT_TRUE(virt::RemoveEndpoint("test:usb"));  // unplugged after the selection
  EXPECT_EQ(OVIX_Start(handle_), OVIX_OK);
  EXPECT_EQ(Play(Block(48000, 2, Ramp(8))), OVIX_OK);
  EXPECT_EQ(virt::RenderedOf(kSpeakerId).frames, 4u);
  AddSpeaker("test:usb");
  EXPECT_EQ(Play(Block(44100, 2, Ramp(8))), OVIX_OK);  // reopens: on the default still
  EXPECT_EQ(virt::RenderedOf(kSpeakerId).frames, 8u);
  EXPECT_EQ(virt::RenderedOf("test:usb").frames, 0u);
  Finish();
  EXPECT_EQ(CountLogLines("Audio render selected endpoint unavailable index=1; fallback to Windows default"), 1);
}

TEST_F(AudioRenderTest, PauseAndFlushActOnTheOpenStream) {
  Init();
  OvixAudioRender* r = StartRender();
  // Without an open stream both are silent no-ops.
  EXPECT_EQ(r->SetPaused(true), OVIX_OK);
  EXPECT_EQ(r->Flush(), OVIX_OK);
  EXPECT_EQ(r->SetPaused(false), OVIX_OK);
  EXPECT_EQ(CountLogLines("Audio render pause="), 0);
  EXPECT_EQ(CountLogLines("Audio render flush"), 0);

  EXPECT_EQ(Play(Block(48000, 2, Ramp(8))), OVIX_OK);
  EXPECT_EQ(r->SetPaused(true), OVIX_OK);
  EXPECT_FALSE(virt::RenderedOf(kSpeakerId).running);
  EXPECT_EQ(r->SetPaused(false), OVIX_OK);
  EXPECT_TRUE(virt::RenderedOf(kSpeakerId).running);
  EXPECT_EQ(r->Flush(), OVIX_OK);
  virt::RenderedAudio a = virt::RenderedOf(kSpeakerId);
  EXPECT_EQ(a.starts, 3);  // open, resume, after the flush
  EXPECT_EQ(a.stops, 2);   // pause, flush
  EXPECT_EQ(a.resets, 1);
  EXPECT_TRUE(a.running);

  // A flush while paused leaves the stream stopped until the resume.
  EXPECT_EQ(r->SetPaused(true), OVIX_OK);
  EXPECT_EQ(r->Flush(), OVIX_OK);
  EXPECT_FALSE(virt::RenderedOf(kSpeakerId).running);
  EXPECT_EQ(r->SetPaused(false), OVIX_OK);
  EXPECT_TRUE(virt::RenderedOf(kSpeakerId).running);
  Finish();
  EXPECT_EQ(CountLogLines("Audio render pause=1 hr=0x00000000"), 2);
  EXPECT_EQ(CountLogLines("Audio render pause=0 hr=0x00000000"), 2);
  EXPECT_EQ(CountLogLines("Audio render flush hr=0x00000000"), 2);
}

TEST_F(AudioRenderTest, FailedPauseAndFlushAreReported) {
  Init();
  OvixAudioRender* r = StartRender();
  EXPECT_EQ(Play(Block(48000, 2, Ramp(8))), OVIX_OK);
  virt::FailCall("AudioClientStop", E_FAIL);
  EXPECT_EQ(r->SetPaused(true), OVIX_ERR_FAILED);
  virt::FailCall("AudioClientReset", E_FAIL);
  EXPECT_EQ(r->Flush(), OVIX_ERR_FAILED);
  EXPECT_EQ(r->Flush(), OVIX_OK);  // the failed flush left the stream not started
  Finish();
  EXPECT_EQ(CountLogLines("Audio render pause=1 hr=0x80004005"), 1);
  EXPECT_EQ(CountLogLines("Audio render flush hr=0x80004005"), 1);
  EXPECT_EQ(CountLogLines("Audio render flush"), 1);
}

TEST_F(AudioRenderTest, OpenFailuresDropTheFrameAndRetryWithTheNext) {
  struct Case {
    const char* call;
    const char* line;
  };
  const Case cases[] = {
      {"MMDeviceEnumerator", "Audio render CoCreateInstance(MMDeviceEnumerator) failed hr=0x80004005"},
      {"GetDefaultAudioEndpoint", "Audio render open endpoint failed index=-1 hr=0x80004005"},
      {"Activate", "Audio render Activate IAudioClient failed hr=0x80004005"},
      {"CoTaskMemAlloc", "Audio render CoTaskMemAlloc source format failed"},
      {"GetMixFormat", "Audio render GetMixFormat failed hr=0x80004005; continue with shared-mode auto conversion"},
      {"Initialize",
       "Audio render Initialize auto-convert failed hr=0x80004005 source=48000 Hz ch=2 bits=16 tag=0x1 flags=0x88000000"},
      {"GetBufferSize", "Audio render GetBufferSize failed hr=0x80004005 frames=0"},
      {"GetService", "Audio render GetService IAudioRenderClient failed hr=0x80004005"},
      {"AudioClientStart", "Audio render client Start failed hr=0x80004005"},
      {"GetCurrentPadding", "Audio render GetCurrentPadding failed hr=0x80004005"},
      {"RenderGetBuffer", "Audio render GetBuffer failed hr=0x80004005 writeFrames=4 available=48000 padding=0"},
      {"RenderReleaseBuffer", "Audio render ReleaseBuffer failed hr=0x80004005 writeFrames=4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    RestartWithSpeaker(0);
    FreshLog();
    StartRender();
    virt::FailCall(c.call, E_FAIL);
    const int first = Play(Block(48000, 2, Ramp(8)));
    const bool fatalToOpen = std::string(c.call) != "GetMixFormat" && std::string(c.call) != "GetCurrentPadding" &&
                             std::string(c.call) != "RenderGetBuffer" && std::string(c.call) != "RenderReleaseBuffer";
    EXPECT_EQ(first, std::string(c.call) == "RenderGetBuffer" || fatalToOpen ? OVIX_ERR_FAILED : OVIX_OK);
    EXPECT_EQ(Play(Block(48000, 2, Ramp(8))), OVIX_OK);  // the next frame opens and plays
    Finish();
    EXPECT_EQ(CountLogLines(c.line), 1);
    EXPECT_EQ(CountLogLines("Audio render EnsureFormat failed input=48000 Hz ch=2 bits=16 frames=4"),
              fatalToOpen ? 1 : 0);
    const char* stop = fatalToOpen || std::string(c.call) == "RenderGetBuffer"
                           ? "receivedFrames=8 writtenFrames=4 droppedFrames=4"
                           : (std::string(c.call) == "RenderReleaseBuffer" ? "receivedFrames=8 writtenFrames=4 droppedFrames=0"
                                                                           : "receivedFrames=8 writtenFrames=8 droppedFrames=0");
    EXPECT_EQ(CountLogLines(stop), 1);
    OVIX_Shutdown();
  }
}

}  // namespace
}  // namespace ovix::test
