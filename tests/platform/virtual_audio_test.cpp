// The virtual audio endpoints, driven through the platform's endpoint
// enumerator as the audio ports use it: endpoint lookup, the capture stream
// and its pushed packets, the real-time test tone in every sample layout, the
// render stream and what it records, and the fault points of every call.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_endpoint_provider.h"
#include "platform/virtual/control.h"

namespace ovix::test {
namespace {

using platform::AudioCaptureClient;
using platform::AudioClient;
using platform::AudioDeviceEnumerator;
using platform::AudioEndpoint;
using platform::AudioEndpointCollection;
using platform::AudioFlow;
using platform::AudioRenderClient;
using platform::FloatWaveFormat;
using platform::PcmWaveFormat;
using platform::WaitEvent;
using platform::WaveFormat;
using virt::EndpointSpec;

constexpr char kMic[] = "test:mic";
constexpr char kSpeaker[] = "test:speaker";
constexpr int64_t kBuffer200ms = 2'000'000;
constexpr int kPatienceMs = 20'000;  // only ever waited out on failure
constexpr HRESULT kInjected = MakeHr(0x80070000u | 5u);

EndpointSpec Endpoint(AudioFlow flow, const char* id, WaveFormat mix = FloatWaveFormat(48000, 2)) {
  EndpointSpec s;
  s.flow = flow;
  s.id = id;
  s.friendlyName = std::string("Name of ") + id;
  s.mixFormat = mix;
  return s;
}

std::unique_ptr<AudioEndpoint> DeviceOf(const std::string& id) {
  std::unique_ptr<AudioDeviceEnumerator> e;
  std::unique_ptr<AudioEndpoint> device;
  if (Succeeded(AudioDeviceEnumerator::Create(e))) e->GetDevice(id, device);
  return device;
}

std::unique_ptr<AudioClient> Activate(const std::string& id) {
  std::unique_ptr<AudioClient> client;
  if (auto device = DeviceOf(id)) device->Activate(client);
  return client;
}

std::string IdOf(AudioEndpoint& e) {
  std::string id;
  e.GetId(id);
  return id;
}

std::shared_ptr<WaitEvent> NewEvent() {
  std::shared_ptr<WaitEvent> event;
  WaitEvent::Create(event);
  return event;
}

bool Signaled(WaitEvent& event, int timeoutMs = kPatienceMs) {
  int error = 0;
  return event.Wait(timeoutMs, error) == WaitEvent::Result::Signaled;
}

// An initialised, event-driven capture stream with its service.
struct Capture {
  std::unique_ptr<AudioClient> client;
  std::unique_ptr<AudioCaptureClient> service;
  std::shared_ptr<WaitEvent> event = NewEvent();

  explicit Capture(const std::string& id, int64_t duration = kBuffer200ms) : client(Activate(id)) {
    if (!client) return;
    WaveFormat mix;
    client->GetMixFormat(mix);
    if (Failed(client->Initialize(platform::kShareModeShared, platform::kStreamFlagsEventCallback, duration, 0, mix)))
      return;
    client->SetEventHandle(event);
    client->GetCaptureClient(service);
  }
  ~Capture() {
    if (client) client->Stop();
  }
};

// An initialised render stream of format (auto-converting) with its service.
struct Render {
  std::unique_ptr<AudioClient> client;
  std::unique_ptr<AudioRenderClient> service;
  HRESULT initialized = E_FAIL;

  explicit Render(const std::string& id, const WaveFormat& format = FloatWaveFormat(48000, 2)) : client(Activate(id)) {
    if (!client) return;
    initialized = client->Initialize(platform::kShareModeShared,
                                     platform::kStreamFlagsAutoConvertPcm | platform::kStreamFlagsSrcDefaultQuality,
                                     kBuffer200ms, 0, format);
    if (Succeeded(initialized)) client->GetRenderClient(service);
  }
};

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

// ---- endpoints -------------------------------------------------------------

TEST(VirtualAudioEndpoints, BuiltInsAreListedByFlowAndFoundById) {
  std::unique_ptr<AudioDeviceEnumerator> e;
  ASSERT_EQ(AudioDeviceEnumerator::Create(e), S_OK);
  struct Case {
    AudioFlow flow;
    const char* id;
    const char* name;
  };
  for (const Case& c : {Case{AudioFlow::Capture, virt::kTestToneId, virt::kTestToneName},
                        Case{AudioFlow::Render, virt::kNullSpeakerId, virt::kNullSpeakerName}}) {
    SCOPED_TRACE(c.id);
    std::unique_ptr<AudioEndpointCollection> list;
    ASSERT_EQ(e->EnumAudioEndpoints(c.flow, list), S_OK);
    uint32_t count = 0;
    ASSERT_EQ(list->GetCount(count), S_OK);
    ASSERT_EQ(count, 1u);  // the built-in of its flow only
    std::unique_ptr<AudioEndpoint> item;
    ASSERT_EQ(list->Item(0, item), S_OK);
    std::string name;
    EXPECT_EQ(item->ReadFriendlyName(name), S_OK);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(IdOf(*item), c.id);

    std::unique_ptr<AudioEndpoint> byId;
    ASSERT_EQ(e->GetDevice(c.id, byId), S_OK);
    EXPECT_EQ(IdOf(*byId), c.id);
    std::unique_ptr<AudioEndpoint> byDefault;
    ASSERT_EQ(e->GetDefaultAudioEndpoint(c.flow, byDefault), S_OK);
    EXPECT_EQ(IdOf(*byDefault), c.id);
  }
  std::unique_ptr<AudioEndpoint> none;
  EXPECT_EQ(e->GetDevice("no:such:endpoint", none), platform::E_NOTFOUND);
  EXPECT_EQ(none, nullptr);

  // The built-in formats: float stereo at 48 kHz on both.
  for (const char* id : {virt::kTestToneId, virt::kNullSpeakerId}) {
    auto client = Activate(id);
    ASSERT_NE(client, nullptr);
    WaveFormat mix;
    ASSERT_EQ(client->GetMixFormat(mix), S_OK);
    EXPECT_EQ(mix.formatTag, platform::kWaveFormatIeeeFloat);
    EXPECT_EQ(mix.channels, 2);
    EXPECT_EQ(mix.samplesPerSec, 48000u);
    EXPECT_EQ(mix.blockAlign, 8);
  }
}

TEST(VirtualAudioEndpoints, DefaultIsTheMarkedEndpointElseTheFirstOfItsFlow) {
  virt::ClearDevices();
  std::unique_ptr<AudioDeviceEnumerator> e;
  ASSERT_EQ(AudioDeviceEnumerator::Create(e), S_OK);
  std::unique_ptr<AudioEndpoint> got;
  EXPECT_EQ(e->GetDefaultAudioEndpoint(AudioFlow::Capture, got), platform::E_NOTFOUND);

  virt::AddEndpoint(Endpoint(AudioFlow::Render, "render:a"));
  virt::AddEndpoint(Endpoint(AudioFlow::Capture, "capture:a"));
  virt::AddEndpoint(Endpoint(AudioFlow::Capture, "capture:b"));
  ASSERT_EQ(e->GetDefaultAudioEndpoint(AudioFlow::Capture, got), S_OK);
  EXPECT_EQ(IdOf(*got), "capture:a");

  EndpointSpec marked = Endpoint(AudioFlow::Capture, "capture:c");
  marked.isDefault = true;
  virt::AddEndpoint(marked);
  ASSERT_EQ(e->GetDefaultAudioEndpoint(AudioFlow::Capture, got), S_OK);
  EXPECT_EQ(IdOf(*got), "capture:c");
  ASSERT_EQ(e->GetDefaultAudioEndpoint(AudioFlow::Render, got), S_OK);
  EXPECT_EQ(IdOf(*got), "render:a");

  // GetDevice spans both flows.
  ASSERT_EQ(e->GetDevice("render:a", got), S_OK);
  EXPECT_EQ(IdOf(*got), "render:a");
}

// ---- capture ---------------------------------------------------------------

TEST(VirtualAudioCapture, InitializeTakesOnlyTheMixFormatInSharedMode) {
  const WaveFormat mix = PcmWaveFormat(44100, 2, 16);
  virt::AddEndpoint(Endpoint(AudioFlow::Capture, kMic, mix));

  struct Case {
    const char* what;
    uint32_t shareMode;
    WaveFormat format;
  };
  WaveFormat otherBlock = mix;
  otherBlock.blockAlign = 8;
  const Case refused[] = {
      {"float", platform::kShareModeShared, FloatWaveFormat(44100, 2)},
      {"other rate", platform::kShareModeShared, PcmWaveFormat(48000, 2, 16)},
      {"mono", platform::kShareModeShared, PcmWaveFormat(44100, 1, 16)},
      {"24-bit", platform::kShareModeShared, PcmWaveFormat(44100, 2, 24)},
      {"other block", platform::kShareModeShared, otherBlock},
      {"extensible", platform::kShareModeShared, platform::ExtensibleWaveFormat(platform::kSubFormatPcm, 44100, 2, 16)},
      {"exclusive", 1, mix},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.what);
    auto client = Activate(kMic);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Initialize(c.shareMode, 0, kBuffer200ms, 0, c.format), platform::AUDCLNT_E_UNSUPPORTED_FORMAT);
  }

  auto client = Activate(kMic);
  ASSERT_NE(client, nullptr);
  uint32_t frames = 0;
  std::unique_ptr<AudioCaptureClient> service;
  EXPECT_EQ(client->GetBufferSize(frames), platform::AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->GetCurrentPadding(frames), platform::AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->SetEventHandle(NewEvent()), platform::AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->GetCaptureClient(service), platform::AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Start(), platform::AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Stop(), platform::AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Reset(), platform::AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(virt::PushCapturePacket(kMic, nullptr, 10), E_UNEXPECTED);  // no initialised stream yet

  ASSERT_EQ(client->Initialize(platform::kShareModeShared, 0, kBuffer200ms, 0, mix), S_OK);
  EXPECT_EQ(client->Initialize(platform::kShareModeShared, 0, kBuffer200ms, 0, mix),
            platform::AUDCLNT_E_ALREADY_INITIALIZED);
  ASSERT_EQ(client->GetBufferSize(frames), S_OK);
  EXPECT_EQ(frames, 8820u);  // 200 ms at 44.1 kHz
  std::unique_ptr<AudioRenderClient> render;
  EXPECT_EQ(client->GetRenderClient(render), E_NOINTERFACE);
  EXPECT_EQ(render, nullptr);
  EXPECT_EQ(client->GetCaptureClient(service), S_OK);
  EXPECT_NE(service, nullptr);
}

TEST(VirtualAudioCapture, PushedPacketsComeBackInOrderWithFlagsAndExactBytes) {
  const WaveFormat mix = PcmWaveFormat(48000, 2, 16);
  virt::AddEndpoint(Endpoint(AudioFlow::Capture, kMic, mix));
  Capture cap(kMic);
  ASSERT_NE(cap.service, nullptr);

  struct Pushed {
    uint32_t frames;
    uint32_t flags;
    bool hasData;
  };
  const Pushed pushed[] = {{480, 0, true},
                           {100, platform::kBufferFlagsDataDiscontinuity, true},
                           {240, platform::kBufferFlagsSilent, false},
                           {7, platform::kBufferFlagsTimestampError, true}};
  std::vector<std::vector<uint8_t>> payloads;
  uint64_t totalFrames = 0;
  for (size_t i = 0; i < std::size(pushed); ++i) {
    payloads.push_back(Bytes(pushed[i].frames * mix.blockAlign, static_cast<uint8_t>(i * 31)));
    ASSERT_EQ(virt::PushCapturePacket(kMic, pushed[i].hasData ? payloads.back().data() : nullptr, pushed[i].frames,
                                      pushed[i].flags),
              S_OK);
    EXPECT_TRUE(Signaled(*cap.event, 0)) << "packet " << i;  // every push sets the event
    totalFrames += pushed[i].frames;
  }
  EXPECT_EQ(virt::PendingCapturePackets(kMic), std::size(pushed));
  uint32_t padding = 0;
  ASSERT_EQ(cap.client->GetCurrentPadding(padding), S_OK);
  EXPECT_EQ(padding, totalFrames);

  uint64_t expectedPosition = 0;
  for (size_t i = 0; i < std::size(pushed); ++i) {
    SCOPED_TRACE(i);
    uint32_t next = 0;
    ASSERT_EQ(cap.service->GetNextPacketSize(next), S_OK);
    EXPECT_EQ(next, pushed[i].frames);
    uint8_t* data = nullptr;
    uint32_t frames = 0, flags = 0;
    uint64_t position = ~0ull, qpc = 0;
    ASSERT_EQ(cap.service->GetBuffer(data, frames, flags, &position, &qpc), S_OK);
    EXPECT_EQ(frames, pushed[i].frames);
    EXPECT_EQ(flags, pushed[i].flags);
    EXPECT_EQ(position, expectedPosition);
    expectedPosition += frames;
    if (!pushed[i].hasData) {
      EXPECT_EQ(data, nullptr);
      continue;  // consumed as handed out: the next GetBuffer needs no release
    }
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(data, data + frames * mix.blockAlign), payloads[i]);
    ASSERT_EQ(cap.service->ReleaseBuffer(frames), S_OK);
  }
  EXPECT_EQ(virt::PendingCapturePackets(kMic), 0u);

  uint8_t* data = reinterpret_cast<uint8_t*>(1);
  uint32_t frames = 99, flags = 99;
  EXPECT_EQ(cap.service->GetBuffer(data, frames, flags, nullptr, nullptr), platform::AUDCLNT_S_BUFFER_EMPTY);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(frames, 0u);
  uint32_t next = 99;
  ASSERT_EQ(cap.service->GetNextPacketSize(next), S_OK);
  EXPECT_EQ(next, 0u);
}

TEST(VirtualAudioCapture, HeldPacketMustBeReleasedWithItsFrameCount) {
  virt::AddEndpoint(Endpoint(AudioFlow::Capture, kMic));
  Capture cap(kMic);
  ASSERT_NE(cap.service, nullptr);
  const auto first = Bytes(10 * 8, 1), second = Bytes(20 * 8, 2);
  ASSERT_EQ(virt::PushCapturePacket(kMic, first.data(), 10), S_OK);
  ASSERT_EQ(virt::PushCapturePacket(kMic, second.data(), 20), S_OK);

  EXPECT_EQ(cap.service->ReleaseBuffer(10), platform::AUDCLNT_E_OUT_OF_ORDER);  // nothing held
  uint8_t* data = nullptr;
  uint32_t frames = 0, flags = 0;
  ASSERT_EQ(cap.service->GetBuffer(data, frames, flags, nullptr, nullptr), S_OK);
  ASSERT_EQ(frames, 10u);
  EXPECT_EQ(cap.service->GetBuffer(data, frames, flags, nullptr, nullptr), platform::AUDCLNT_E_OUT_OF_ORDER);
  EXPECT_EQ(cap.service->ReleaseBuffer(9), platform::AUDCLNT_E_INVALID_SIZE);
  // Releasing none keeps the packet: it is handed out again.
  EXPECT_EQ(cap.service->ReleaseBuffer(0), S_OK);
  ASSERT_EQ(cap.service->GetBuffer(data, frames, flags, nullptr, nullptr), S_OK);
  ASSERT_EQ(frames, 10u);
  EXPECT_EQ(std::vector<uint8_t>(data, data + 80), first);
  EXPECT_EQ(cap.service->ReleaseBuffer(10), S_OK);
  ASSERT_EQ(cap.service->GetBuffer(data, frames, flags, nullptr, nullptr), S_OK);
  EXPECT_EQ(frames, 20u);
  EXPECT_EQ(cap.service->ReleaseBuffer(20), S_OK);
}

TEST(VirtualAudioCapture, PacketsGoToTheNewestStreamAndResetDropsThem) {
  virt::AddEndpoint(Endpoint(AudioFlow::Capture, kMic));
  Capture older(kMic);
  Capture newer(kMic);
  ASSERT_NE(older.service, nullptr);
  ASSERT_NE(newer.service, nullptr);
  // Queued even before Start.
  ASSERT_EQ(virt::PushCapturePacket(kMic, nullptr, 5), S_OK);
  ASSERT_EQ(virt::PushCapturePacket(kMic, nullptr, 6), S_OK);
  EXPECT_FALSE(Signaled(*older.event, 0));
  EXPECT_TRUE(Signaled(*newer.event, 0));
  uint32_t next = 0;
  ASSERT_EQ(older.service->GetNextPacketSize(next), S_OK);
  EXPECT_EQ(next, 0u);
  ASSERT_EQ(newer.service->GetNextPacketSize(next), S_OK);
  EXPECT_EQ(next, 5u);

  ASSERT_EQ(newer.client->Start(), S_OK);
  EXPECT_EQ(newer.client->Reset(), platform::AUDCLNT_E_NOT_STOPPED);
  ASSERT_EQ(newer.client->Stop(), S_OK);
  EXPECT_EQ(virt::PendingCapturePackets(kMic), 2u);  // stopping keeps them
  ASSERT_EQ(newer.client->Reset(), S_OK);
  EXPECT_EQ(virt::PendingCapturePackets(kMic), 0u);

  // With the newest gone, the older stream is the target again.
  newer.service.reset();
  newer.client.reset();
  ASSERT_EQ(virt::PushCapturePacket(kMic, nullptr, 7), S_OK);
  ASSERT_EQ(older.service->GetNextPacketSize(next), S_OK);
  EXPECT_EQ(next, 7u);
}

TEST(VirtualAudioCapture, StartStopFollowTheStreamStateRules) {
  virt::AddEndpoint(Endpoint(AudioFlow::Capture, kMic));
  // An event-driven stream cannot start without its event.
  {
    auto client = Activate(kMic);
    ASSERT_NE(client, nullptr);
    WaveFormat mix;
    ASSERT_EQ(client->GetMixFormat(mix), S_OK);
    ASSERT_EQ(client->Initialize(platform::kShareModeShared, platform::kStreamFlagsEventCallback, kBuffer200ms, 0, mix),
              S_OK);
    EXPECT_EQ(client->Start(), platform::AUDCLNT_E_EVENTHANDLE_NOT_SET);
    EXPECT_EQ(client->SetEventHandle(nullptr), E_INVALIDARG);
  }
  Capture cap(kMic);
  ASSERT_NE(cap.service, nullptr);
  EXPECT_FALSE(virt::WaitForCaptureStart(kMic, 0));

  HRESULT started = E_FAIL;
  std::thread starter([&] { started = cap.client->Start(); });
  EXPECT_TRUE(virt::WaitForCaptureStart(kMic, kPatienceMs));
  starter.join();
  EXPECT_EQ(started, S_OK);
  EXPECT_EQ(cap.client->Start(), platform::AUDCLNT_E_NOT_STOPPED);
  EXPECT_EQ(cap.client->Stop(), S_OK);
  EXPECT_EQ(cap.client->Stop(), S_FALSE);  // already stopped
  EXPECT_EQ(cap.client->Start(), S_OK);    // resumes

  // A newly initialised stream has not started yet.
  Capture again(kMic);
  EXPECT_FALSE(virt::WaitForCaptureStart(kMic, 0));
}

// ---- the real-time test tone -------------------------------------------------

struct ToneCase {
  const char* name;
  WaveFormat format;
};

double SampleAt(const uint8_t* p, const WaveFormat& f) {
  const bool isFloat = f.formatTag == platform::kWaveFormatIeeeFloat ||
                       (f.formatTag == platform::kWaveFormatExtensible && f.subFormat == platform::kSubFormatIeeeFloat);
  if (isFloat) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
  }
  switch (f.bitsPerSample) {
    case 8: return (p[0] - 128) / 128.0;
    case 16: {
      int16_t v;
      std::memcpy(&v, p, 2);
      return v / 32768.0;
    }
    case 24: {
      const uint32_t u = uint32_t{p[0]} << 8 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 24;
      return static_cast<int32_t>(u) / 2147483648.0;
    }
    case 32: {
      int32_t v;
      std::memcpy(&v, p, 4);
      return v / 2147483648.0;
    }
  }
  ADD_FAILURE() << "no such layout";
  return 0;
}

class VirtualAudioTone : public testing::TestWithParam<ToneCase> {};

TEST_P(VirtualAudioTone, StreamsTenMillisecondSweepPacketsInTheMixFormat) {
  const WaveFormat& f = GetParam().format;
  std::string id = virt::kTestToneId;
  if (std::string(GetParam().name) != "builtin") {
    EndpointSpec def = Endpoint(AudioFlow::Capture, kMic, f);
    def.realTime = true;
    virt::AddEndpoint(def);
    id = kMic;
  }
  Capture cap(id);
  ASSERT_NE(cap.service, nullptr);
  ASSERT_EQ(cap.client->Start(), S_OK);

  constexpr int kPackets = 4;  // 40 ms: several turns of even the lowest tone
  std::vector<double> samples;
  int packets = 0;
  while (packets < kPackets) {
    ASSERT_TRUE(Signaled(*cap.event));
    for (;;) {
      uint8_t* data = nullptr;
      uint32_t frames = 0, flags = 0;
      const HRESULT hr = cap.service->GetBuffer(data, frames, flags, nullptr, nullptr);
      ASSERT_TRUE(Succeeded(hr));
      if (hr == platform::AUDCLNT_S_BUFFER_EMPTY) break;
      ASSERT_EQ(frames, f.samplesPerSec / 100);
      ASSERT_NE(data, nullptr);
      const uint32_t bytes = f.bitsPerSample / 8;
      for (uint32_t i = 0; i < frames; ++i) {
        const uint8_t* frame = data + i * f.blockAlign;
        const double first = SampleAt(frame, f);
        for (uint32_t c = 1; c < f.channels; ++c) ASSERT_EQ(SampleAt(frame + c * bytes, f), first) << "channel " << c;
        samples.push_back(first);
      }
      ASSERT_EQ(cap.service->ReleaseBuffer(frames), S_OK);
      ++packets;
    }
  }
  ASSERT_EQ(cap.client->Stop(), S_OK);  // joins the generator

  double peak = 0;
  for (double s : samples) {
    ASSERT_LE(std::fabs(s), 0.5 + 1.0 / 128);
    peak = std::max(peak, std::fabs(s));
  }
  EXPECT_GT(peak, 0.45);  // not silence: the sweep reaches its amplitude
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, VirtualAudioTone,
    testing::Values(ToneCase{"builtin", FloatWaveFormat(48000, 2)}, ToneCase{"s16_44k_mono", PcmWaveFormat(44100, 1, 16)},
                    ToneCase{"s24_48k_stereo", PcmWaveFormat(48000, 2, 24)},
                    ToneCase{"s32_96k_stereo", PcmWaveFormat(96000, 2, 32)},
                    ToneCase{"u8_8k_mono", PcmWaveFormat(8000, 1, 8)},
                    ToneCase{"ext_float_6ch",
                             platform::ExtensibleWaveFormat(platform::kSubFormatIeeeFloat, 48000, 6, 32)},
                    ToneCase{"ext_s16_stereo", platform::ExtensibleWaveFormat(platform::kSubFormatPcm, 32000, 2, 16)}),
    [](const testing::TestParamInfo<ToneCase>& info) { return std::string(info.param.name); });

TEST(VirtualAudioToneQueue, ClientThatFallsBehindLosesOldPacketsAndSeesTheGap) {
  Capture cap(virt::kTestToneId, 200'000);  // room for two packets
  ASSERT_NE(cap.service, nullptr);
  uint32_t buffer = 0;
  ASSERT_EQ(cap.client->GetBufferSize(buffer), S_OK);
  ASSERT_EQ(cap.client->Start(), S_OK);
  // Each packet sets the event: after far more packets than the buffer
  // holds without reading, older ones must have been dropped.
  const int packetsInBuffer = static_cast<int>(buffer / 480);
  for (int i = 0; i < packetsInBuffer + 3; ++i) ASSERT_TRUE(Signaled(*cap.event));
  uint32_t padding = 0;
  ASSERT_EQ(cap.client->GetCurrentPadding(padding), S_OK);
  EXPECT_LE(padding, buffer);
  bool gap = false;
  for (;;) {
    uint8_t* data = nullptr;
    uint32_t frames = 0, flags = 0;
    const HRESULT hr = cap.service->GetBuffer(data, frames, flags, nullptr, nullptr);
    ASSERT_TRUE(Succeeded(hr));
    if (hr == platform::AUDCLNT_S_BUFFER_EMPTY) break;
    gap = gap || (flags & platform::kBufferFlagsDataDiscontinuity);
    ASSERT_EQ(cap.service->ReleaseBuffer(frames), S_OK);
    if (gap) break;  // the generator keeps going; the flagged packet is enough
  }
  EXPECT_TRUE(gap);
}

// ---- render ----------------------------------------------------------------

TEST(VirtualAudioRender, InitializeConvertsPlainPcmOnlyWhenAsked) {
  constexpr uint32_t kAuto = platform::kStreamFlagsAutoConvertPcm | platform::kStreamFlagsSrcDefaultQuality;
  WaveFormat badBlock = PcmWaveFormat(44100, 2, 16);
  badBlock.blockAlign = 3;
  struct Case {
    const char* what;
    uint32_t shareMode, flags;
    WaveFormat format;
    HRESULT want;
  };
  const Case cases[] = {
      {"16-bit mono 44.1k", platform::kShareModeShared, kAuto, PcmWaveFormat(44100, 1, 16), S_OK},
      {"24-bit 6ch 96k", platform::kShareModeShared, kAuto, PcmWaveFormat(96000, 6, 24), S_OK},
      {"8-bit 8ch 384k", platform::kShareModeShared, kAuto, PcmWaveFormat(384000, 8, 8), S_OK},
      {"32-bit stereo 1 Hz", platform::kShareModeShared, kAuto, PcmWaveFormat(1, 2, 32), S_OK},
      {"mix without flag", platform::kShareModeShared, 0, FloatWaveFormat(48000, 2), S_OK},
      {"mix with flag", platform::kShareModeShared, kAuto, FloatWaveFormat(48000, 2), S_OK},
      {"pcm without flag", platform::kShareModeShared, 0, PcmWaveFormat(44100, 1, 16), platform::AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"other float without flag", platform::kShareModeShared, 0, FloatWaveFormat(44100, 2),
       platform::AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"other float with flag", platform::kShareModeShared, kAuto, FloatWaveFormat(44100, 2),
       platform::AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"12-bit", platform::kShareModeShared, kAuto, PcmWaveFormat(44100, 2, 12), platform::AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"9 channels", platform::kShareModeShared, kAuto, PcmWaveFormat(48000, 9, 16), platform::AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"0 channels", platform::kShareModeShared, kAuto, PcmWaveFormat(48000, 0, 16), platform::AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"rate 0", platform::kShareModeShared, kAuto, PcmWaveFormat(0, 2, 16), platform::AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"rate 384001", platform::kShareModeShared, kAuto, PcmWaveFormat(384001, 2, 16), platform::AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"inconsistent block", platform::kShareModeShared, kAuto, badBlock, platform::AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"exclusive", 1, kAuto, PcmWaveFormat(44100, 1, 16), platform::AUDCLNT_E_UNSUPPORTED_FORMAT},
  };
  std::vector<uint32_t> acceptedRates;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = Activate(virt::kNullSpeakerId);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Initialize(c.shareMode, c.flags, kBuffer200ms, 0, c.format), c.want);
    if (c.want == S_OK) acceptedRates.push_back(c.format.samplesPerSec);
  }
  // Only the successful ones are recorded, in order.
  const virt::RenderedAudio r = virt::RenderedOf(virt::kNullSpeakerId);
  ASSERT_EQ(r.initialized.size(), acceptedRates.size());
  for (size_t i = 0; i < acceptedRates.size(); ++i) EXPECT_EQ(r.initialized[i].samplesPerSec, acceptedRates[i]);
  EXPECT_EQ(r.initialized[0].channels, 1);
  EXPECT_EQ(r.initialized[0].bitsPerSample, 16);
  EXPECT_EQ(r.openStreams, 0);
}

TEST(VirtualAudioRender, ReleasedFramesAreRecordedAndSilenceAsZeros) {
  const WaveFormat f = PcmWaveFormat(44100, 1, 16);
  Render out(virt::kNullSpeakerId, f);
  ASSERT_EQ(out.initialized, S_OK);
  ASSERT_NE(out.service, nullptr);
  uint32_t buffer = 0, padding = 99;
  ASSERT_EQ(out.client->GetBufferSize(buffer), S_OK);
  EXPECT_EQ(buffer, 8820u);  // the requested 200 ms at the stream's rate
  ASSERT_EQ(out.client->GetCurrentPadding(padding), S_OK);
  EXPECT_EQ(padding, 0u);  // the null speaker plays at once

  EXPECT_EQ(out.service->ReleaseBuffer(10, 0), platform::AUDCLNT_E_OUT_OF_ORDER);  // nothing handed out
  uint8_t* data = nullptr;
  ASSERT_EQ(out.service->GetBuffer(100, data), S_OK);
  ASSERT_NE(data, nullptr);
  uint8_t* again = nullptr;
  EXPECT_EQ(out.service->GetBuffer(10, again), platform::AUDCLNT_E_OUT_OF_ORDER);
  const auto written = Bytes(100 * 2, 3);
  std::memcpy(data, written.data(), written.size());
  EXPECT_EQ(out.service->ReleaseBuffer(101, 0), platform::AUDCLNT_E_INVALID_SIZE);
  ASSERT_EQ(out.service->ReleaseBuffer(60, 0), S_OK);  // fewer than asked for

  ASSERT_EQ(out.service->GetBuffer(50, data), S_OK);
  std::memset(data, 0x5A, 50 * 2);  // ignored: played as silence
  ASSERT_EQ(out.service->ReleaseBuffer(50, platform::kBufferFlagsSilent), S_OK);

  std::vector<uint8_t> want(written.begin(), written.begin() + 60 * 2);
  want.insert(want.end(), 50 * 2, 0);
  const virt::RenderedAudio r = virt::RenderedOf(virt::kNullSpeakerId);
  EXPECT_EQ(r.bytes, want);
  EXPECT_EQ(r.frames, 110u);
  EXPECT_EQ(r.silentFrames, 50u);
  EXPECT_EQ(r.openStreams, 1);
}

TEST(VirtualAudioRender, GetBufferLeavesRoomOnlyBeyondThePadding) {
  EndpointSpec def = Endpoint(AudioFlow::Render, kSpeaker);
  def.bufferFrames = 1000;
  def.padding = 400;
  virt::AddEndpoint(def);
  Render out(kSpeaker);
  ASSERT_NE(out.service, nullptr);
  uint32_t frames = 0;
  ASSERT_EQ(out.client->GetBufferSize(frames), S_OK);
  EXPECT_EQ(frames, 1000u);

  struct Case {
    std::optional<uint32_t> set;  // applied when apply; else the endpoint keeps its own padding
    bool apply;
    uint32_t padding;
    uint32_t largestRequest;
  };
  const Case cases[] = {
      {std::nullopt, false, 400, 600},
      {250, true, 250, 750},
      {5000, true, 1000, 0},  // clamped to the buffer
      {std::nullopt, true, 0, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.padding);
    if (c.apply) virt::SetRenderPadding(kSpeaker, c.set);
    ASSERT_EQ(out.client->GetCurrentPadding(frames), S_OK);
    EXPECT_EQ(frames, c.padding);
    uint8_t* data = nullptr;
    EXPECT_EQ(out.service->GetBuffer(c.largestRequest + 1, data), platform::AUDCLNT_E_BUFFER_TOO_LARGE);
    EXPECT_EQ(data, nullptr);
    ASSERT_EQ(out.service->GetBuffer(c.largestRequest, data), S_OK);
    ASSERT_EQ(out.service->ReleaseBuffer(c.largestRequest, platform::kBufferFlagsSilent), S_OK);
  }
  EXPECT_EQ(virt::RenderedOf(kSpeaker).frames, 600u + 750u + 0u + 1000u);
}

TEST(VirtualAudioRender, EndpointStateCountsAcrossReopenedStreams) {
  virt::AddEndpoint(Endpoint(AudioFlow::Render, kSpeaker));
  auto play = [](Render& out, uint8_t value) {
    uint8_t* data = nullptr;
    ASSERT_EQ(out.service->GetBuffer(4, data), S_OK);
    std::memset(data, value, 4 * 8);
    ASSERT_EQ(out.service->ReleaseBuffer(4, 0), S_OK);
  };
  {
    Render first(kSpeaker);
    ASSERT_NE(first.service, nullptr);
    EXPECT_EQ(first.client->Reset(), S_OK);
    ASSERT_EQ(first.client->Start(), S_OK);
    EXPECT_TRUE(virt::RenderedOf(kSpeaker).running);
    EXPECT_EQ(first.client->Start(), platform::AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(first.client->Reset(), platform::AUDCLNT_E_NOT_STOPPED);
    play(first, 0x11);

    // A second stream is the newest: running follows it.
    Render second(kSpeaker);
    ASSERT_NE(second.service, nullptr);
    EXPECT_EQ(virt::RenderedOf(kSpeaker).openStreams, 2);
    EXPECT_FALSE(virt::RenderedOf(kSpeaker).running);
    ASSERT_EQ(second.client->Start(), S_OK);
    EXPECT_TRUE(virt::RenderedOf(kSpeaker).running);
    ASSERT_EQ(first.client->Stop(), S_OK);
    EXPECT_TRUE(virt::RenderedOf(kSpeaker).running);
    EXPECT_EQ(first.client->Stop(), S_FALSE);
    play(second, 0x22);
    ASSERT_EQ(second.client->Stop(), S_OK);
    EXPECT_FALSE(virt::RenderedOf(kSpeaker).running);

    // The service keeps its stream open after the client is gone.
    first.client.reset();
    EXPECT_EQ(virt::RenderedOf(kSpeaker).openStreams, 2);
    play(first, 0x33);
  }
  const virt::RenderedAudio r = virt::RenderedOf(kSpeaker);
  EXPECT_EQ(r.openStreams, 0);
  EXPECT_EQ(r.initialized.size(), 2u);
  EXPECT_EQ(r.starts, 2);
  EXPECT_EQ(r.stops, 2);
  EXPECT_EQ(r.resets, 1);
  EXPECT_EQ(r.frames, 12u);
  std::vector<uint8_t> want(32, 0x11);
  want.insert(want.end(), 32, 0x22);
  want.insert(want.end(), 32, 0x33);
  EXPECT_EQ(r.bytes, want);
}

// ---- reset and faults ------------------------------------------------------

TEST(VirtualAudioControl, ResetStopsLiveStreamsAndForgetsEndpointState) {
  Capture tone(virt::kTestToneId);
  Render out(virt::kNullSpeakerId);
  ASSERT_NE(tone.service, nullptr);
  ASSERT_NE(out.service, nullptr);
  ASSERT_EQ(tone.client->Start(), S_OK);
  ASSERT_EQ(out.client->Start(), S_OK);
  ASSERT_TRUE(Signaled(*tone.event));  // the tone runs
  virt::SetRenderPadding(virt::kNullSpeakerId, 10);

  virt::Reset();
  EXPECT_EQ(tone.client->Stop(), S_FALSE);  // already stopped, its generator joined
  EXPECT_EQ(out.client->Stop(), S_FALSE);
  EXPECT_FALSE(virt::WaitForCaptureStart(virt::kTestToneId, 0));
  EXPECT_EQ(virt::PushCapturePacket(virt::kTestToneId, nullptr, 1), E_UNEXPECTED);
  const virt::RenderedAudio r = virt::RenderedOf(virt::kNullSpeakerId);
  EXPECT_EQ(r.initialized.size(), 0u);
  EXPECT_EQ(r.starts, 0);
  EXPECT_EQ(r.openStreams, 0);

  Render fresh(virt::kNullSpeakerId);
  uint32_t padding = 99;
  ASSERT_EQ(fresh.client->GetCurrentPadding(padding), S_OK);
  EXPECT_EQ(padding, 0u);  // the padding was forgotten too
  EXPECT_EQ(virt::RenderedOf(virt::kNullSpeakerId).openStreams, 1);
}

// Each fault point of the virtual streams fails its call with the armed
// result and null outputs, and the call works again afterwards.
TEST(VirtualAudioFaults, EveryStreamCallFailsWithTheArmedResult) {
  virt::AddEndpoint(Endpoint(AudioFlow::Capture, kMic));
  virt::AddEndpoint(Endpoint(AudioFlow::Render, kSpeaker));
  enum class Stage { Endpoint, Activated, Ready };
  struct Rig {
    std::unique_ptr<AudioEndpoint> device;
    std::unique_ptr<AudioClient> client;
    std::unique_ptr<AudioCaptureClient> capture;
    std::unique_ptr<AudioRenderClient> render;
  };
  struct Case {
    const char* call;
    const char* endpoint;
    Stage stage;
    std::function<HRESULT(Rig&)> use;
  };
  const WaveFormat mix = FloatWaveFormat(48000, 2);
  const Case cases[] = {
      {"Activate", kMic, Stage::Endpoint,
       [](Rig& r) {
         HRESULT hr = r.device->Activate(r.client);
         EXPECT_EQ(Failed(hr), r.client == nullptr);
         return hr;
       }},
      {"GetMixFormat", kMic, Stage::Activated,
       [](Rig& r) {
         WaveFormat f;
         return r.client->GetMixFormat(f);
       }},
      {"Initialize", kSpeaker, Stage::Activated,
       [&](Rig& r) { return r.client->Initialize(platform::kShareModeShared, 0, kBuffer200ms, 0, mix); }},
      {"SetEventHandle", kMic, Stage::Ready, [](Rig& r) { return r.client->SetEventHandle(NewEvent()); }},
      {"GetService", kMic, Stage::Ready,
       [](Rig& r) {
         HRESULT hr = r.client->GetCaptureClient(r.capture);
         EXPECT_EQ(Failed(hr), r.capture == nullptr);
         return hr;
       }},
      {"GetService", kSpeaker, Stage::Ready,
       [](Rig& r) {
         HRESULT hr = r.client->GetRenderClient(r.render);
         EXPECT_EQ(Failed(hr), r.render == nullptr);
         return hr;
       }},
      {"GetBufferSize", kMic, Stage::Ready,
       [](Rig& r) {
         uint32_t n = 99;
         HRESULT hr = r.client->GetBufferSize(n);
         if (Failed(hr)) {
           EXPECT_EQ(n, 0u);
         }
         return hr;
       }},
      {"GetCurrentPadding", kSpeaker, Stage::Ready,
       [](Rig& r) {
         uint32_t n = 99;
         HRESULT hr = r.client->GetCurrentPadding(n);
         if (Failed(hr)) {
           EXPECT_EQ(n, 0u);
         }
         return hr;
       }},
      {"AudioClientStart", kMic, Stage::Ready,
       [](Rig& r) {
         HRESULT hr = r.client->Start();
         r.client->Stop();
         return hr;
       }},
      {"AudioClientStop", kSpeaker, Stage::Ready,
       [](Rig& r) {
         r.client->Start();
         return r.client->Stop();
       }},
      {"AudioClientReset", kSpeaker, Stage::Ready, [](Rig& r) { return r.client->Reset(); }},
      {"GetNextPacketSize", kMic, Stage::Ready,
       [](Rig& r) {
         uint32_t n = 0;
         return r.capture->GetNextPacketSize(n);
       }},
      {"CaptureGetBuffer", kMic, Stage::Ready,
       [](Rig& r) {
         EXPECT_EQ(virt::PushCapturePacket(kMic, nullptr, 4), S_OK);
         uint8_t* data = reinterpret_cast<uint8_t*>(1);
         uint32_t frames = 9, flags = 9;
         HRESULT hr = r.capture->GetBuffer(data, frames, flags, nullptr, nullptr);
         if (Failed(hr)) {
           EXPECT_TRUE(data == nullptr && frames == 0 && flags == 0);
         }
         return hr;
       }},
      {"CaptureReleaseBuffer", kMic, Stage::Ready, [](Rig& r) { return r.capture->ReleaseBuffer(0); }},
      {"RenderGetBuffer", kSpeaker, Stage::Ready,
       [](Rig& r) {
         uint8_t* data = reinterpret_cast<uint8_t*>(1);
         HRESULT hr = r.render->GetBuffer(0, data);
         if (Failed(hr)) {
           EXPECT_EQ(data, nullptr);
         } else {
           r.render->ReleaseBuffer(0, 0);
         }
         return hr;
       }},
      {"RenderReleaseBuffer", kSpeaker, Stage::Ready, [](Rig& r) { return r.render->ReleaseBuffer(0, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " on " + c.endpoint);
    Rig rig;
    rig.device = DeviceOf(c.endpoint);
    ASSERT_NE(rig.device, nullptr);
    if (c.stage != Stage::Endpoint) {
      ASSERT_EQ(rig.device->Activate(rig.client), S_OK);
    }
    if (c.stage == Stage::Ready) {
      ASSERT_EQ(rig.client->Initialize(platform::kShareModeShared, 0, kBuffer200ms, 0, mix), S_OK);
      if (std::string(c.endpoint) == kMic) {
        ASSERT_EQ(rig.client->GetCaptureClient(rig.capture), S_OK);
      } else {
        ASSERT_EQ(rig.client->GetRenderClient(rig.render), S_OK);
      }
    }
    virt::FailCall(c.call, kInjected);
    EXPECT_EQ(c.use(rig), kInjected);
    EXPECT_TRUE(Succeeded(c.use(rig)));
  }
}

}  // namespace
}  // namespace ovix::test
