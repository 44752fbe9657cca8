// The audio capture port on virtual endpoints: conversion of every mix
// format, channel mapping, time stamps, silence, and the failure paths of
// the capture thread.
#include <cmath>
#include <string>
#include <thread>

#include "audio/audio_input.h"
#include "audio_fixture.h"
#include "core/port_registry.h"

namespace ovix::test {
namespace {

using platform::WaveFormat;

class AudioInputTest : public AudioTest {
 protected:
  // Starts an input on the endpoint at index 0 with the collector as its
  // callback and waits until the endpoint's stream runs.
  OvixPortHandle StartInput(int channels = 2, const char* mic = kMicId) {
    OvixPortHandle in = OVIX_CreateAudioInput();
    EXPECT_NE(in, nullptr);
    if (channels != 2) {
      EXPECT_EQ(OVIX_SetAudioInputPCM(in, 48000, channels, 16), OVIX_OK);
    }
    EXPECT_EQ(OVIX_SetAudioFrameCallback(in, AudioCollector::Callback, &collector_), OVIX_OK);
    EXPECT_EQ(OVIX_Start(in), OVIX_OK);
    EXPECT_TRUE(virt::WaitForCaptureStart(mic, 10000)) << "the capture stream never started";
    return in;
  }
  static void Push(const std::vector<uint8_t>& bytes, uint32_t frames, uint32_t flags = 0) {
    ASSERT_EQ(virt::PushCapturePacket(kMicId, bytes.data(), frames, flags), S_OK);
  }
  static void Finish(OvixPortHandle in) {
    EXPECT_EQ(OVIX_Stop(in), OVIX_OK);
    EXPECT_EQ(OVIX_DestroyPort(in), OVIX_OK);
  }
  // A table case's fresh start: the one microphone with this mix format, and
  // the SDK initialised again.
  void RestartWithMic(const platform::WaveFormat& mix) {
    virt::Reset();
    virt::ClearDevices();
    AddMic(mix);
    Init();
  }

  AudioCollector collector_;
};

TEST_F(AudioInputTest, FloatStereoIsClampedScaledAndTruncated) {
  AddMic(platform::FloatWaveFormat(48000, 2));
  Init();
  OvixPortHandle in = StartInput();
  PacketBuilder p;
  for (float v : {0.5f, 1.7f, -1.0f, -0.5f, 0.0f, -3.0f, 0.99999994f, std::nanf("")}) p.Float(v);
  Push(p.Bytes(), 4);
  ASSERT_TRUE(collector_.WaitFor(1));
  Finish(in);

  const SeenBlock b = collector_.Blocks().at(0);
  EXPECT_EQ(b.frame.sampleRate, 48000);
  EXPECT_EQ(b.frame.channels, 2);
  EXPECT_EQ(b.frame.bitsPerSample, 16);
  EXPECT_EQ(b.frame.size, 4 * 2 * 2);
  EXPECT_EQ(b.frame.timestamp, 0);
  EXPECT_EQ(b.samples, (std::vector<int16_t>{16383, 32767, -32767, -16383, 0, -32767, 32766, 0}));
}

struct FormatCase {
  const char* name;
  WaveFormat mix;
  std::vector<uint8_t> packet;  // two frames
  std::vector<int16_t> expected;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> values, int width) {
  PacketBuilder p;
  for (int v : values) {
    switch (width) {
      case 1: p.Uint8(static_cast<uint8_t>(v)); break;
      case 2: p.Int16(static_cast<int16_t>(v)); break;
      case 3: p.Int24(v); break;
      case 4: p.Int32(v); break;
    }
  }
  return p.Bytes();
}

std::vector<uint8_t> Floats(std::initializer_list<float> values) {
  PacketBuilder p;
  for (float v : values) p.Float(v);
  return p.Bytes();
}

TEST_F(AudioInputTest, EveryMixFormatConvertsByItsSampleKind) {
  using platform::ExtensibleWaveFormat;
  using platform::PcmWaveFormat;
  WaveFormat unknownTag = PcmWaveFormat(48000, 2, 16);
  unknownTag.formatTag = 0x0055;  // neither PCM nor float: read as integers
  platform::Guid otherSub = platform::kSubFormatPcm;
  otherSub.data1 = 0x00000092;
  const FormatCase cases[] = {
      {"pcm16", PcmWaveFormat(48000, 2, 16), Bytes({1, -2, 32767, -32768}, 2), {1, -2, 32767, -32768}},
      {"pcm32", PcmWaveFormat(48000, 2, 32), Bytes({0x12345678, -65536, 0x7FFFFFFF, INT32_MIN}, 4),
       {0x1234, -1, 32767, -32768}},
      {"u8", PcmWaveFormat(48000, 2, 8), Bytes({0, 128, 255, 129}, 1), {-32768, 0, 32512, 256}},
      {"packed24", PcmWaveFormat(48000, 2, 24), Bytes({0x123456, -1, 0x7FFFFF, 5}, 3), {0, 0, 0, 0}},
      {"extensible float", ExtensibleWaveFormat(platform::kSubFormatIeeeFloat, 48000, 2, 32),
       Floats({0.5f, -1.0f, 2.0f, 0.25f}), {16383, -32767, 32767, 8191}},
      {"extensible pcm16", ExtensibleWaveFormat(platform::kSubFormatPcm, 48000, 2, 16), Bytes({7, -7, 100, -100}, 2),
       {7, -7, 100, -100}},
      {"extensible other sub-format", ExtensibleWaveFormat(otherSub, 48000, 2, 16), Bytes({3, 4, 5, 6}, 2),
       {3, 4, 5, 6}},
      {"other tag", unknownTag, Bytes({9, -9, 10, -10}, 2), {9, -9, 10, -10}},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    RestartWithMic(c.mix);
    AudioCollector collector;
    OvixPortHandle in = OVIX_CreateAudioInput();
    ASSERT_EQ(OVIX_SetAudioFrameCallback(in, AudioCollector::Callback, &collector), OVIX_OK);
    ASSERT_EQ(OVIX_Start(in), OVIX_OK);
    ASSERT_TRUE(virt::WaitForCaptureStart(kMicId, 10000));
    ASSERT_EQ(c.packet.size(), 2u * c.mix.blockAlign);
    Push(c.packet, 2);
    ASSERT_TRUE(collector.WaitFor(1));
    Finish(in);
    const SeenBlock b = collector.Blocks().at(0);
    EXPECT_EQ(b.frame.size, 2 * 2 * 2);
    EXPECT_EQ(b.samples, c.expected);
    OVIX_Shutdown();
  }
}

TEST_F(AudioInputTest, ChannelsAreDuplicatedOrCut) {
  struct Case {
    uint16_t mixChannels;
    int outChannels;
    std::vector<int16_t> frame;     // one mix frame
    std::vector<int16_t> expected;  // one output frame
  };
  const Case cases[] = {
      {1, 2, {1234}, {1234, 1234}},
      {6, 2, {1, 2, 3, 4, 5, 6}, {1, 2}},
      {2, 1, {7, 8}, {7}},
      {2, 4, {7, 8}, {7, 8, 7, 7}},
      {8, 8, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mixChannels << " -> " << c.outChannels);
    RestartWithMic(platform::PcmWaveFormat(48000, c.mixChannels, 16));
    AudioCollector collector;
    OvixPortHandle in = OVIX_CreateAudioInput();
    ASSERT_EQ(OVIX_SetAudioInputPCM(in, 48000, c.outChannels, 16), OVIX_OK);
    ASSERT_EQ(OVIX_SetAudioFrameCallback(in, AudioCollector::Callback, &collector), OVIX_OK);
    ASSERT_EQ(OVIX_Start(in), OVIX_OK);
    ASSERT_TRUE(virt::WaitForCaptureStart(kMicId, 10000));
    PacketBuilder p;
    for (int16_t s : c.frame) p.Int16(s);
    Push(p.Bytes(), 1);
    ASSERT_TRUE(collector.WaitFor(1));
    Finish(in);
    const SeenBlock b = collector.Blocks().at(0);
    EXPECT_EQ(b.frame.channels, c.outChannels);
    EXPECT_EQ(b.samples, c.expected);
    OVIX_Shutdown();
  }
}

TEST_F(AudioInputTest, FramesCarryTheMixRateWhateverWasRequested) {
  AddMic(platform::PcmWaveFormat(44100, 2, 16));
  Init();
  OvixPortHandle in = OVIX_CreateAudioInput();
  ASSERT_EQ(OVIX_SetAudioInputPCM(in, 48000, 2, 16), OVIX_OK);
  ASSERT_EQ(OVIX_SetAudioFrameCallback(in, AudioCollector::Callback, &collector_), OVIX_OK);
  ASSERT_EQ(OVIX_Start(in), OVIX_OK);
  ASSERT_TRUE(virt::WaitForCaptureStart(kMicId, 10000));
  Push(std::vector<uint8_t>(441 * 4, 1), 441);
  Push(std::vector<uint8_t>(441 * 4, 1), 441);
  ASSERT_TRUE(collector_.WaitFor(2));
  Finish(in);
  const auto blocks = collector_.Blocks();
  EXPECT_EQ(blocks[0].frame.sampleRate, 44100);
  EXPECT_EQ(blocks[1].frame.timestamp, 100000);  // 441 frames at 44.1 kHz
  EXPECT_EQ(CountLogLines("Audio input start device=0 request=48000 Hz 2 ch 16 bits"), 1);
  EXPECT_EQ(CountLogLines("Audio capture ready mix=44100 Hz ch=2 bits=16 block=4 tag=0x1 -> SDK PCM=44100 Hz ch=2 bits=16"), 1);
}

TEST_F(AudioInputTest, SilentPacketsAreZerosThatAdvanceTime) {
  AddMic(platform::FloatWaveFormat(48000, 2));
  Init();
  OvixPortHandle in = StartInput();
  const std::vector<uint8_t> loud = Floats({0.5f, 0.5f});
  std::vector<uint8_t> garbage(480 * 8, 0x3F);  // what a device may leave in a silent packet
  Push(garbage, 480, platform::kBufferFlagsSilent);
  ASSERT_EQ(virt::PushCapturePacket(kMicId, nullptr, 480, platform::kBufferFlagsSilent), S_OK);
  Push(loud, 1);
  ASSERT_TRUE(collector_.WaitFor(3));
  Finish(in);

  const auto blocks = collector_.Blocks();
  ASSERT_EQ(blocks.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(blocks[i].samples, std::vector<int16_t>(960, 0));
    EXPECT_EQ(blocks[i].frame.timestamp, 100000 * i);
  }
  EXPECT_EQ(blocks[2].frame.timestamp, 200000);
  EXPECT_EQ(blocks[2].samples, (std::vector<int16_t>{16383, 16383}));
  EXPECT_EQ(CountLogLines("Audio input thread exit packets=3 frames=961 bytes=7688 silentPackets=2 errors=0"), 1);
  EXPECT_EQ(virt::PendingCapturePackets(kMicId), 0u);
}

TEST_F(AudioInputTest, TimestampsKeepRisingAcrossStopAndStart) {
  AddMic(platform::PcmWaveFormat(48000, 2, 16));
  Init();
  OvixPortHandle in = StartInput();
  Push(std::vector<uint8_t>(480 * 4), 480);
  ASSERT_TRUE(collector_.WaitFor(1));
  ASSERT_EQ(OVIX_Stop(in), OVIX_OK);
  ASSERT_EQ(OVIX_Start(in), OVIX_OK);
  ASSERT_TRUE(virt::WaitForCaptureStart(kMicId, 10000));
  Push(std::vector<uint8_t>(960 * 4), 960);
  Push(std::vector<uint8_t>(480 * 4), 480);
  ASSERT_TRUE(collector_.WaitFor(3));
  Finish(in);
  const auto blocks = collector_.Blocks();
  EXPECT_EQ(blocks[0].frame.timestamp, 0);
  EXPECT_EQ(blocks[1].frame.timestamp, 100000);
  EXPECT_EQ(blocks[2].frame.timestamp, 300000);
  EXPECT_EQ(CountLogLines("Audio input stop device=0"), 2);
}

TEST_F(AudioInputTest, AnInvalidIndexEndsTheThreadWhileStartAndStopSucceed) {
  AddMic(platform::PcmWaveFormat(48000, 2, 16));
  Init();
  OvixPortHandle in = OVIX_CreateAudioInput();
  ASSERT_EQ(OVIX_SetAudioInputDevice(in, 1), OVIX_OK);  // one endpoint: index 1 is its count
  EXPECT_EQ(OVIX_Start(in), OVIX_OK);
  EXPECT_EQ(OVIX_Start(in), OVIX_OK);  // still marked running
  EXPECT_EQ(OVIX_Stop(in), OVIX_OK);
  EXPECT_EQ(OVIX_DestroyPort(in), OVIX_OK);
  EXPECT_EQ(CountLogLines("Audio input active endpoint count=1 selectedIndex=1"), 1);
  EXPECT_EQ(CountLogLines("Audio input device index invalid index=1 count=1"), 1);
  EXPECT_EQ(CountLogLines("Audio OpenDevice failed index=1"), 1);
  EXPECT_EQ(CountLogLines("Audio input thread exit packets=0 frames=0 bytes=0 silentPackets=0 errors=0"), 1);
  EXPECT_EQ(CountLogLines("Audio input start device=1"), 1);
  EXPECT_EQ(CountLogLines("Audio input stop device=1"), 1);
}

TEST_F(AudioInputTest, ConfigurationIsChecked) {
  Init();
  OvixPortHandle in = OVIX_CreateAudioInput();
  OvixPortHandle mux = OVIX_CreateAudioMux();
  struct Case {
    OvixPortHandle port;
    int rate, channels, bits, expected;
  };
  const Case cases[] = {
      {in, 48000, 2, 16, OVIX_OK},          {in, 44100, 1, 16, OVIX_OK},
      {in, 48000, 2, 24, OVIX_ERR_INVALID_ARG}, {in, 0, 2, 16, OVIX_ERR_INVALID_ARG},
      {in, 48000, 0, 16, OVIX_ERR_INVALID_ARG}, {mux, 48000, 2, 16, OVIX_ERR_INVALID_ARG},
      {nullptr, 48000, 2, 16, OVIX_ERR_INVALID_ARG},
  };
  for (const Case& c : cases)
    EXPECT_EQ(OVIX_SetAudioInputPCM(c.port, c.rate, c.channels, c.bits), c.expected)
        << c.rate << " " << c.channels << " " << c.bits;
  EXPECT_EQ(OVIX_SetAudioInputDevice(in, -1), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetAudioInputDevice(mux, 0), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetAudioInputDevice(in, 3), OVIX_OK);
  EXPECT_EQ(CountLogLines("Set audio input device index=3"), 1);
  EXPECT_EQ(CountLogLines("Set audio PCM 44100 Hz 1 ch 16 bits"), 1);
  EXPECT_EQ(OVIX_DestroyPort(in), OVIX_OK);
  EXPECT_EQ(OVIX_DestroyPort(mux), OVIX_OK);
  OVIX_Shutdown();
  EXPECT_EQ(OVIX_CreateAudioInput(), nullptr);
}

// A failure before the loop ends the thread: no frames, the exit line, and
// the port still marked running until stopped.
TEST_F(AudioInputTest, StreamSetUpFailuresEndTheThread) {
  struct Case {
    const char* call;
    const char* line;
  };
  const Case cases[] = {
      {"MMDeviceEnumerator", "Audio input CoCreateInstance(MMDeviceEnumerator) failed hr=0x80004005"},
      {"EnumAudioEndpoints", "Audio input EnumAudioEndpoints failed hr=0x80004005"},
      {"Item", "Audio input collection Item failed index=0 hr=0x80004005"},
      {"Activate", "Audio Activate IAudioClient failed hr=0x80004005"},
      {"GetMixFormat", "Audio GetMixFormat failed hr=0x80004005"},
      {"CreateEvent", "Audio CreateEvent failed winerr="},
      {"Initialize", "Audio Initialize failed hr=0x80004005"},
      {"GetService", "Audio GetService IAudioCaptureClient failed hr=0x80004005"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    RestartWithMic(platform::PcmWaveFormat(48000, 2, 16));
    FreshLog();
    OvixPortHandle in = OVIX_CreateAudioInput();
    ASSERT_EQ(OVIX_SetAudioFrameCallback(in, AudioCollector::Callback, &collector_), OVIX_OK);
    virt::FailCall(c.call, E_FAIL);
    EXPECT_EQ(OVIX_Start(in), OVIX_OK);
    EXPECT_EQ(OVIX_Stop(in), OVIX_OK);
    EXPECT_EQ(OVIX_DestroyPort(in), OVIX_OK);
    EXPECT_EQ(CountLogLines(c.line), 1);
    EXPECT_EQ(CountLogLines("Audio input thread exit packets=0"), 1);
    EXPECT_EQ(CountLogLines("Audio capture client started"), 0);
    OVIX_Shutdown();
  }
  EXPECT_TRUE(collector_.Blocks().empty());
}

TEST_F(AudioInputTest, PacketFailuresAreCountedAndCaptureGoesOn) {
  struct Case {
    const char* call;
    const char* line;
  };
  const Case cases[] = {
      {"GetNextPacketSize", "Audio GetNextPacketSize failed hr=0x80004005"},
      {"CaptureGetBuffer", "Audio capture GetBuffer failed hr=0x80004005 packetFrames=480"},
      {"CaptureReleaseBuffer", "Audio capture ReleaseBuffer failed hr=0x80004005 frames=480"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    RestartWithMic(platform::PcmWaveFormat(48000, 2, 16));
    FreshLog();
    AudioCollector collector;
    OvixPortHandle in = OVIX_CreateAudioInput();
    ASSERT_EQ(OVIX_SetAudioFrameCallback(in, AudioCollector::Callback, &collector), OVIX_OK);
    ASSERT_EQ(OVIX_Start(in), OVIX_OK);
    ASSERT_TRUE(virt::WaitForCaptureStart(kMicId, 10000));
    virt::FailCall(c.call, E_FAIL);
    // The failed drain leaves what is queued to the next event, which a
    // device sets once per period: push a period until a block arrives.
    bool delivered = false;
    for (int period = 0; period < 400 && !delivered; ++period) {
      Push(std::vector<uint8_t>(480 * 4, 2), 480);
      delivered = collector.WaitForMs(1, 50);
    }
    ASSERT_TRUE(delivered);
    EXPECT_EQ(OVIX_Stop(in), OVIX_OK);
    EXPECT_EQ(OVIX_DestroyPort(in), OVIX_OK);
    EXPECT_GE(CountLogLines(c.line), 1);
    EXPECT_EQ(CountLogLines("Audio input thread exit"), 1);
    EXPECT_EQ(CountLogLines("errors=0"), 0);  // the exit line counts the failure
    OVIX_Shutdown();
  }
}

TEST_F(AudioInputTest, AFailedWaitEndsTheLoop) {
  AddMic(platform::PcmWaveFormat(48000, 2, 16));
  Init();
  OvixPortHandle in = StartInput();
  Push(std::vector<uint8_t>(480 * 4), 480);
  ASSERT_TRUE(collector_.WaitFor(1));  // the loop runs
  virt::FailCall("WaitForSingleObject", HrFromErrno(EINVAL));
  // The loop's next wait fails; the thread then ends by itself.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (virt::CallUses("WaitForSingleObject") < 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  Finish(in);
  EXPECT_EQ(CountLogLines("Audio capture WaitForSingleObject failed winerr=22"), 1);
  EXPECT_EQ(CountLogLines("Audio capture client stopped hr=0x00000000"), 1);
  EXPECT_EQ(CountLogLines("Audio input thread exit"), 1);
}

TEST_F(AudioInputTest, AThreadThatCannotBeCreatedFailsTheStart) {
  AddMic(platform::PcmWaveFormat(48000, 2, 16));
  Init();
  OvixPortHandle in = OVIX_CreateAudioInput();
  virt::FailCall("CreateThread", HrFromErrno(EAGAIN));
  EXPECT_EQ(OVIX_Start(in), OVIX_ERR_FAILED);
  EXPECT_FALSE(LivePortAs<OvixAudioInput>(in)->IsRunning());
  EXPECT_EQ(OVIX_Stop(in), OVIX_OK);
  EXPECT_EQ(CountLogLines("Audio input stop"), 0);
  EXPECT_EQ(OVIX_Start(in), OVIX_OK);  // the next start gets its thread
  ASSERT_TRUE(virt::WaitForCaptureStart(kMicId, 10000));
  Finish(in);
  EXPECT_EQ(CountLogLines("Audio input start failed to create capture thread device=0 winerr=11"), 1);
}

TEST_F(AudioInputTest, StopFromTheAudioCallbackIsRefused) {
  AddMic(platform::PcmWaveFormat(48000, 2, 16));
  Init();
  struct Ctx {
    OvixPortHandle port = nullptr;
    std::atomic<int> stopResult{1};
    std::atomic<int> destroyResult{1};
    AudioCollector collector;
  } ctx;
  ctx.port = OVIX_CreateAudioInput();
  ASSERT_EQ(OVIX_SetAudioFrameCallback(
                ctx.port,
                [](const OvixAudioFrame* f, void* user) {
                  auto* c = static_cast<Ctx*>(user);
                  c->stopResult = OVIX_Stop(c->port);
                  c->destroyResult = OVIX_DestroyPort(c->port);
                  c->collector.Add(f);
                },
                &ctx),
            OVIX_OK);
  ASSERT_EQ(OVIX_Start(ctx.port), OVIX_OK);
  ASSERT_TRUE(virt::WaitForCaptureStart(kMicId, 10000));
  Push(std::vector<uint8_t>(480 * 4), 480);
  ASSERT_TRUE(ctx.collector.WaitFor(1));
  EXPECT_EQ(ctx.stopResult.load(), OVIX_ERR_FAILED);
  EXPECT_EQ(ctx.destroyResult.load(), OVIX_ERR_FAILED);
  EXPECT_TRUE(LivePortAs<OvixAudioInput>(ctx.port)->IsRunning());
  Finish(ctx.port);
  EXPECT_GE(CountLogLines("Audio input stop refused on the capture thread device=0"), 2);
}

TEST_F(AudioInputTest, TheBuiltInTestToneDeliversASweep) {
  virt::Reset();  // the built-in devices only
  Init();
  OvixDeviceInfo info{};
  ASSERT_EQ(OVIX_GetAudioInputDeviceInfo(0, &info), OVIX_OK);
  EXPECT_STREQ(info.name, virt::kTestToneName);
  OvixPortHandle in = StartInput(2, virt::kTestToneId);
  ASSERT_TRUE(collector_.WaitFor(5));
  Finish(in);
  const auto blocks = collector_.Blocks();
  int32_t peak = 0;
  int64_t cursor = 0;
  for (const SeenBlock& b : blocks) {
    EXPECT_EQ(b.frame.sampleRate, 48000);
    EXPECT_EQ(b.frame.timestamp, cursor * 10'000'000 / 48000);
    cursor += static_cast<int64_t>(b.samples.size() / 2);
    for (size_t i = 0; i < b.samples.size(); i += 2) {
      EXPECT_EQ(b.samples[i], b.samples[i + 1]);
      peak = std::max<int32_t>(peak, std::abs(b.samples[i]));
    }
  }
  EXPECT_GT(peak, 1000);
  EXPECT_LE(peak, 16384);
}

}  // namespace
}  // namespace ovix::test
