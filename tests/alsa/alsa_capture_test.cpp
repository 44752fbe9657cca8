// The ALSA capture stream on the test microphone, which reads a known file
// as fast as it is asked to.
#include <gtest/gtest.h>

#include <algorithm>

#include "alsa_test_devices.h"
#include "alsa_test_pcm.h"
#include "platform/linux/alsa_capture_stream.h"
#include "platform/linux/alsa_endpoints.h"

namespace ovix::platform::alsa {
namespace {

using test::AlsaTestDevices;

constexpr int kWaitMs = 5000;
constexpr int64_t kTwoPeriods = 200'000;  // 20 ms
const WaveFormat kMix = PcmWaveFormat(48000, 2, 16);

struct Capture {
  std::unique_ptr<AudioClient> client;
  std::unique_ptr<AudioCaptureClient> capture;
  std::shared_ptr<WaitEvent> event;
};

std::unique_ptr<AudioClient> ActivateMicrophone() {
  std::unique_ptr<AudioEndpoint> endpoint;
  EXPECT_EQ(AlsaEndpointProvider().GetDevice("alsa:ovix_in", endpoint), S_OK);
  std::unique_ptr<AudioClient> client;
  if (endpoint) {
    EXPECT_EQ(endpoint->Activate(client), S_OK);
  }
  return client;
}

// An initialised, started stream in the mix format.
Capture StartMicrophone(int64_t bufferDuration) {
  Capture c;
  c.client = ActivateMicrophone();
  if (!c.client) return c;
  WaveFormat mix;
  EXPECT_EQ(c.client->GetMixFormat(mix), S_OK);
  EXPECT_EQ(c.client->Initialize(kShareModeShared, kStreamFlagsEventCallback, bufferDuration, 0, mix), S_OK);
  EXPECT_EQ(WaitEvent::Create(c.event), 0);
  EXPECT_EQ(c.client->SetEventHandle(c.event), S_OK);
  EXPECT_EQ(c.client->GetCaptureClient(c.capture), S_OK);
  EXPECT_EQ(c.client->Start(), S_OK);
  return c;
}

// Waits on the stream's event until done() holds.
template <class Done>
bool AwaitPackets(Capture& c, Done done) {
  while (!done()) {
    int error = 0;
    if (c.event->Wait(kWaitMs, error) != WaitEvent::Result::Signaled) return false;
  }
  return true;
}

uint32_t NextPacket(Capture& c) {
  uint32_t frames = 0;
  EXPECT_EQ(c.capture->GetNextPacketSize(frames), S_OK);
  return frames;
}

class AlsaCaptureTest : public testing::Test {
 protected:
  void SetUp() override { test::RegisterAlsaProvider(); }
};

TEST_F(AlsaCaptureTest, MixFormatIsWhatTheDeviceOffersNearest48kStereo) {
  AlsaTestDevices devices;
  std::unique_ptr<AudioClient> client = ActivateMicrophone();
  ASSERT_NE(client, nullptr);
  WaveFormat mix;
  ASSERT_EQ(client->GetMixFormat(mix), S_OK);
  EXPECT_TRUE(test::SameWaveFormat(mix, kMix)) << mix.samplesPerSec << "/" << mix.channels << "/" << mix.bitsPerSample;
}

TEST_F(AlsaCaptureTest, PacketsReassembleToTheDevicesBytesPacedByTheConsumer) {
  // Longer than the buffer and not a whole number of periods.
  const std::vector<uint8_t> in = test::PcmPattern(4802 * kMix.blockAlign);
  AlsaTestDevices devices(in);
  Capture c = StartMicrophone(kTwoPeriods);
  ASSERT_NE(c.capture, nullptr);
  uint32_t buffer = 0;
  ASSERT_EQ(c.client->GetBufferSize(buffer), S_OK);

  std::vector<uint8_t> got;
  uint64_t position = 0;
  while (got.size() < in.size()) {
    // The device produces instantly; the reader must stop at a full buffer
    // and wait for us instead of dropping.
    uint32_t padding = 0;
    ASSERT_TRUE(AwaitPackets(c, [&] {
      EXPECT_EQ(c.client->GetCurrentPadding(padding), S_OK);
      const uint32_t next = NextPacket(c);
      return next > 0 && padding + next > buffer;
    }));
    EXPECT_LE(padding, buffer);
    for (uint32_t frames = NextPacket(c); frames > 0; frames = NextPacket(c)) {
      uint8_t* data = nullptr;
      uint32_t flags = ~0u;
      uint64_t devicePosition = ~0ull, qpc = 0;
      ASSERT_EQ(c.capture->GetBuffer(data, frames, flags, &devicePosition, &qpc), S_OK);
      ASSERT_NE(data, nullptr);
      EXPECT_EQ(flags, 0u);
      EXPECT_EQ(devicePosition, position);
      EXPECT_GT(qpc, 0u);
      got.insert(got.end(), data, data + static_cast<size_t>(frames) * kMix.blockAlign);
      position += frames;
      ASSERT_EQ(c.capture->ReleaseBuffer(frames), S_OK);
    }
  }
  EXPECT_EQ(c.client->Stop(), S_OK);
  ASSERT_GE(got.size(), in.size());
  EXPECT_TRUE(std::equal(in.begin(), in.end(), got.begin()));
  // Past the file the device reads zeros.
  EXPECT_TRUE(std::all_of(got.begin() + static_cast<ptrdiff_t>(in.size()), got.end(), [](uint8_t b) { return b == 0; }));

}

TEST_F(AlsaCaptureTest, StopKeepsPacketsResetDropsThemStartResumes) {
  const std::vector<uint8_t> in = test::PcmPattern(48000 * kMix.blockAlign);
  AlsaTestDevices devices(in);
  Capture c = StartMicrophone(kTwoPeriods);
  ASSERT_NE(c.capture, nullptr);
  EXPECT_EQ(c.client->Start(), AUDCLNT_E_NOT_STOPPED);
  EXPECT_EQ(c.client->Reset(), AUDCLNT_E_NOT_STOPPED);
  ASSERT_TRUE(AwaitPackets(c, [&] { return NextPacket(c) > 0; }));
  EXPECT_EQ(c.client->Stop(), S_OK);
  EXPECT_EQ(c.client->Stop(), S_FALSE);

  // Kept: the first packet, handed out again until it is released whole.
  uint8_t* data = nullptr;
  uint32_t frames = 0, flags = 0;
  uint64_t devicePosition = ~0ull;
  ASSERT_EQ(c.capture->GetBuffer(data, frames, flags, &devicePosition, nullptr), S_OK);
  ASSERT_GT(frames, 0u);
  EXPECT_EQ(devicePosition, 0u);
  EXPECT_TRUE(std::equal(data, data + static_cast<size_t>(frames) * kMix.blockAlign, in.begin()));
  uint8_t* second = nullptr;
  uint32_t secondFrames = 0;
  EXPECT_EQ(c.capture->GetBuffer(second, secondFrames, flags, nullptr, nullptr), AUDCLNT_E_OUT_OF_ORDER);
  EXPECT_EQ(c.capture->ReleaseBuffer(frames + 1), AUDCLNT_E_INVALID_SIZE);
  ASSERT_EQ(c.capture->ReleaseBuffer(0), S_OK);
  uint32_t again = 0;
  ASSERT_EQ(c.capture->GetBuffer(data, again, flags, &devicePosition, nullptr), S_OK);
  EXPECT_EQ(again, frames);
  EXPECT_EQ(devicePosition, 0u);
  EXPECT_EQ(c.capture->ReleaseBuffer(frames), S_OK);
  EXPECT_EQ(c.capture->ReleaseBuffer(frames), AUDCLNT_E_OUT_OF_ORDER);

  EXPECT_EQ(c.client->Reset(), S_OK);
  uint32_t padding = 1;
  EXPECT_EQ(c.client->GetCurrentPadding(padding), S_OK);
  EXPECT_EQ(padding, 0u);
  EXPECT_EQ(c.capture->GetBuffer(data, frames, flags, nullptr, nullptr), AUDCLNT_S_BUFFER_EMPTY);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(data, nullptr);

  ASSERT_EQ(c.client->Start(), S_OK);
  ASSERT_TRUE(AwaitPackets(c, [&] { return NextPacket(c) > 0; }));
  ASSERT_EQ(c.capture->GetBuffer(data, frames, flags, &devicePosition, nullptr), S_OK);
  EXPECT_GT(devicePosition, 0u);  // the stream position goes on
  EXPECT_EQ(c.capture->ReleaseBuffer(frames), S_OK);

  // The stream may go first while running; its capture service still answers.
  c.client.reset();
  EXPECT_EQ(c.capture->GetNextPacketSize(frames), S_OK);
}

TEST_F(AlsaCaptureTest, InitializeTakesOnlyTheMixFormatInSharedMode) {
  AlsaTestDevices devices;
  const struct {
    const char* what;
    uint32_t shareMode;
    WaveFormat format;
    HRESULT hr;
  } cases[] = {
      {"other rate", kShareModeShared, PcmWaveFormat(44100, 2, 16), AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"other layout", kShareModeShared, FloatWaveFormat(48000, 2), AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"exclusive", 1, kMix, AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"extensible mix", kShareModeShared, ExtensibleWaveFormat(kSubFormatPcm, 48000, 2, 16), S_OK},
      {"mix", kShareModeShared, kMix, S_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<AudioClient> client = ActivateMicrophone();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Initialize(c.shareMode, kStreamFlagsEventCallback, kTwoPeriods, 0, c.format), c.hr);
  }

  std::unique_ptr<AudioClient> client = ActivateMicrophone();
  ASSERT_NE(client, nullptr);
  std::unique_ptr<AudioCaptureClient> capture;
  uint32_t frames = 0;
  EXPECT_EQ(client->GetCaptureClient(capture), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->GetBufferSize(frames), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->SetEventHandle(nullptr), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
  ASSERT_EQ(client->Initialize(kShareModeShared, kStreamFlagsEventCallback, kTwoPeriods, 0, kMix), S_OK);
  EXPECT_EQ(client->Initialize(kShareModeShared, kStreamFlagsEventCallback, kTwoPeriods, 0, kMix),
            AUDCLNT_E_ALREADY_INITIALIZED);
  EXPECT_EQ(client->GetBufferSize(frames), S_OK);
  EXPECT_GE(frames, 960u);  // two periods at least
  std::unique_ptr<AudioRenderClient> render;
  EXPECT_EQ(client->GetRenderClient(render), E_NOINTERFACE);
  EXPECT_EQ(client->SetEventHandle(nullptr), E_INVALIDARG);
  EXPECT_EQ(client->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
}

TEST_F(AlsaCaptureTest, ADeviceThatDoesNotExistFails) {
  AlsaTestDevices devices;
  std::unique_ptr<AudioClient> client = MakeCaptureStream("ovix_missing");
  WaveFormat mix;
  EXPECT_EQ(client->GetMixFormat(mix), E_NOTFOUND);
  EXPECT_EQ(client->Initialize(kShareModeShared, kStreamFlagsEventCallback, kTwoPeriods, 0, kMix), E_NOTFOUND);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
}

}  // namespace
}  // namespace ovix::platform::alsa
