// The ALSA render stream on the test speaker, which writes what it plays to
// a file: the file must hold exactly what was released.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "alsa_test_devices.h"
#include "alsa_test_pcm.h"
#include "platform/linux/alsa_endpoints.h"
#include "platform/linux/alsa_render_stream.h"

namespace ovix::platform::alsa {
namespace {

using test::AlsaTestDevices;

constexpr uint32_t kConvertFlags = kStreamFlagsAutoConvertPcm | kStreamFlagsSrcDefaultQuality;
constexpr int64_t kOneSecond = 10'000'000;
const WaveFormat kMix = PcmWaveFormat(48000, 2, 16);

std::unique_ptr<AudioClient> ActivateSpeaker() {
  std::unique_ptr<AudioEndpoint> endpoint;
  EXPECT_EQ(AlsaEndpointProvider().GetDevice("alsa:ovix_out", endpoint), S_OK);
  std::unique_ptr<AudioClient> client;
  if (endpoint) {
    EXPECT_EQ(endpoint->Activate(client), S_OK);
  }
  return client;
}

// Writes frames through the render client; silent releases fill the
// buffer with junk first, which must not be played. Appends what the device
// should play to expected.
void Play(AudioRenderClient& render, const WaveFormat& f, const std::vector<uint8_t>& pcm, bool silent,
          std::vector<uint8_t>& expected) {
  const auto frames = static_cast<uint32_t>(pcm.size() / f.blockAlign);
  uint8_t* data = nullptr;
  ASSERT_EQ(render.GetBuffer(frames, data), S_OK);
  ASSERT_NE(data, nullptr);
  if (silent) std::memset(data, 0x5A, pcm.size());
  else std::memcpy(data, pcm.data(), pcm.size());
  ASSERT_EQ(render.ReleaseBuffer(frames, silent ? kBufferFlagsSilent : 0u), S_OK);
  // Silence is zero, except for unsigned 8-bit samples.
  if (silent) expected.insert(expected.end(), pcm.size(), f.bitsPerSample == 8 ? 0x80 : 0x00);
  else expected.insert(expected.end(), pcm.begin(), pcm.end());
}

// The file starts with what was played; the device may pad it.
void ExpectPlayed(const std::string& path, const std::vector<uint8_t>& expected) {
  const std::vector<uint8_t> out = AlsaTestDevices::Read(path);
  ASSERT_GE(out.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
}

class AlsaRenderTest : public testing::Test {
 protected:
  void SetUp() override { test::RegisterAlsaProvider(); }
};

TEST_F(AlsaRenderTest, PlaysAnyIntegerLayoutThroughThePlugLayer) {
  const struct {
    uint32_t rate;
    uint16_t channels, bits;
  } cases[] = {{48000, 2, 16}, {44100, 1, 16}, {22050, 2, 8}, {96000, 1, 24}, {48000, 2, 32}, {16000, 6, 16}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz " << c.channels << " ch " << c.bits << " bits");
    AlsaTestDevices devices;
    std::vector<uint8_t> expected;
    {
      const WaveFormat f = PcmWaveFormat(c.rate, c.channels, c.bits);
      std::unique_ptr<AudioClient> client = ActivateSpeaker();
      ASSERT_NE(client, nullptr);
      ASSERT_EQ(client->Initialize(kShareModeShared, kConvertFlags, kOneSecond, 0, f), S_OK);
      std::unique_ptr<AudioRenderClient> render;
      ASSERT_EQ(client->GetRenderClient(render), S_OK);
      ASSERT_EQ(client->Start(), S_OK);
      Play(*render, f, test::PcmPattern(1000 * f.blockAlign, 1), false, expected);
      Play(*render, f, test::PcmPattern(300 * f.blockAlign, 2), true, expected);
      Play(*render, f, test::PcmPattern(517 * f.blockAlign, 3), false, expected);
      EXPECT_EQ(client->Stop(), S_OK);
    }
    ExpectPlayed(devices.OutPath(), expected);
  }
}

TEST_F(AlsaRenderTest, ConvertsWhatTheDeviceCannotTakeThroughThePlugLayer) {
  AlsaTestDevices devices;
  const WaveFormat f = FloatWaveFormat(48000, 2);  // ovix_s16 alone refuses float samples
  const float samples[] = {0.5f, -0.5f, 0.25f, 0.0f, -1.0f, 0.125f};
  {
    std::unique_ptr<AudioClient> client = MakeRenderStream("ovix_s16");
    ASSERT_EQ(client->Initialize(kShareModeShared, kConvertFlags, kOneSecond, 0, f), S_OK);
    std::unique_ptr<AudioRenderClient> render;
    ASSERT_EQ(client->GetRenderClient(render), S_OK);
    ASSERT_EQ(client->Start(), S_OK);
    uint8_t* data = nullptr;
    ASSERT_EQ(render->GetBuffer(3, data), S_OK);
    std::memcpy(data, samples, sizeof samples);
    ASSERT_EQ(render->ReleaseBuffer(3, 0), S_OK);
  }
  const std::vector<uint8_t> out = AlsaTestDevices::Read(devices.OutPath());
  ASSERT_GE(out.size(), 6 * sizeof(int16_t));
  for (size_t i = 0; i < 6; ++i) {
    int16_t s;
    std::memcpy(&s, &out[2 * i], 2);
    EXPECT_NEAR(s, samples[i] * 32768, 1) << i;
  }
}

TEST_F(AlsaRenderTest, OpensNamesWithArguments) {
  AlsaTestDevices devices;
  const std::string path = devices.File("args.raw");
  for (const std::string& name : {"ovix_args:FILE=" + path + ",FORMAT=raw", "ovix_args:'" + path + "'"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> expected;
    {
      std::unique_ptr<AudioClient> client = MakeRenderStream(name);
      ASSERT_EQ(client->Initialize(kShareModeShared, kConvertFlags, kOneSecond, 0, kMix), S_OK);
      std::unique_ptr<AudioRenderClient> render;
      ASSERT_EQ(client->GetRenderClient(render), S_OK);
      ASSERT_EQ(client->Start(), S_OK);
      Play(*render, kMix, test::PcmPattern(480 * kMix.blockAlign), false, expected);
    }
    ExpectPlayed(path, expected);
  }
}

TEST_F(AlsaRenderTest, BufferIsNearTheRequestAndGetBufferStaysWithinIt) {
  AlsaTestDevices devices;
  std::unique_ptr<AudioClient> client = ActivateSpeaker();
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(client->Initialize(kShareModeShared, kConvertFlags, kOneSecond, 0, kMix), S_OK);
  uint32_t buffer = 0, padding = ~0u;
  ASSERT_EQ(client->GetBufferSize(buffer), S_OK);
  EXPECT_NEAR(buffer, 48000, 4800);
  ASSERT_EQ(client->GetCurrentPadding(padding), S_OK);
  ASSERT_LE(padding, buffer);
  const uint32_t room = buffer - padding;

  std::unique_ptr<AudioRenderClient> render;
  ASSERT_EQ(client->GetRenderClient(render), S_OK);
  uint8_t* data = nullptr;
  EXPECT_EQ(render->GetBuffer(room + 1, data), AUDCLNT_E_BUFFER_TOO_LARGE);
  EXPECT_EQ(data, nullptr);
  ASSERT_EQ(render->GetBuffer(room, data), S_OK);
  EXPECT_NE(data, nullptr);
  EXPECT_EQ(render->GetBuffer(1, data), AUDCLNT_E_OUT_OF_ORDER);
  EXPECT_EQ(render->ReleaseBuffer(room + 1, 0), AUDCLNT_E_INVALID_SIZE);
  EXPECT_EQ(render->ReleaseBuffer(0, 0), S_OK);  // nothing written
  EXPECT_EQ(render->ReleaseBuffer(1, 0), AUDCLNT_E_OUT_OF_ORDER);
  EXPECT_EQ(render->ReleaseBuffer(0, 0), S_OK);
  ASSERT_EQ(client->GetCurrentPadding(padding), S_OK);
  EXPECT_LE(padding, buffer);
}

TEST_F(AlsaRenderTest, StopStartAndResetKeepTheStreamPlaying) {
  AlsaTestDevices devices;
  std::vector<uint8_t> expected;
  {
    std::unique_ptr<AudioClient> client = ActivateSpeaker();
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(client->Initialize(kShareModeShared, kConvertFlags, kOneSecond, 0, kMix), S_OK);
    std::unique_ptr<AudioRenderClient> render;
    ASSERT_EQ(client->GetRenderClient(render), S_OK);
    Play(*render, kMix, test::PcmPattern(100 * kMix.blockAlign, 1), false, expected);  // before the start
    ASSERT_EQ(client->Start(), S_OK);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(client->Reset(), AUDCLNT_E_NOT_STOPPED);
    Play(*render, kMix, test::PcmPattern(200 * kMix.blockAlign, 2), false, expected);
    ASSERT_EQ(client->Stop(), S_OK);
    EXPECT_EQ(client->Stop(), S_FALSE);
    Play(*render, kMix, test::PcmPattern(300 * kMix.blockAlign, 3), false, expected);  // while stopped
    ASSERT_EQ(client->Reset(), S_OK);
    Play(*render, kMix, test::PcmPattern(400 * kMix.blockAlign, 4), false, expected);
    ASSERT_EQ(client->Start(), S_OK);
    Play(*render, kMix, test::PcmPattern(500 * kMix.blockAlign, 5), false, expected);
    // The render service may outlive the stream.
    client.reset();
    Play(*render, kMix, test::PcmPattern(50 * kMix.blockAlign, 6), false, expected);
  }
  ExpectPlayed(devices.OutPath(), expected);
}

TEST_F(AlsaRenderTest, InitializeRefusesWhatItCannotPlay) {
  AlsaTestDevices devices;
  WaveFormat badBlock = kMix;
  badBlock.blockAlign = 3;
  WaveFormat wide = PcmWaveFormat(48000, 2, 64);
  const struct {
    const char* what;
    uint32_t shareMode, flags;
    WaveFormat format;
    HRESULT hr;
  } cases[] = {
      {"block mismatch", kShareModeShared, kConvertFlags, badBlock, AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"64-bit samples", kShareModeShared, kConvertFlags, wide, AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"exclusive", 1, kConvertFlags, kMix, AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"unconverted, not the mix", kShareModeShared, 0, PcmWaveFormat(44100, 1, 16), AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"unconverted mix", kShareModeShared, 0, kMix, S_OK},
      {"float", kShareModeShared, kConvertFlags, FloatWaveFormat(48000, 2), S_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<AudioClient> client = ActivateSpeaker();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Initialize(c.shareMode, c.flags, kOneSecond, 0, c.format), c.hr);
  }

  std::unique_ptr<AudioClient> client = ActivateSpeaker();
  ASSERT_NE(client, nullptr);
  std::unique_ptr<AudioRenderClient> render;
  EXPECT_EQ(client->GetRenderClient(render), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Reset(), AUDCLNT_E_NOT_INITIALIZED);
  ASSERT_EQ(client->Initialize(kShareModeShared, kConvertFlags, kOneSecond, 0, kMix), S_OK);
  EXPECT_EQ(client->Initialize(kShareModeShared, kConvertFlags, kOneSecond, 0, kMix), AUDCLNT_E_ALREADY_INITIALIZED);
  std::unique_ptr<AudioCaptureClient> capture;
  EXPECT_EQ(client->GetCaptureClient(capture), E_NOINTERFACE);
  EXPECT_EQ(client->Stop(), S_FALSE);
}

TEST_F(AlsaRenderTest, ADeviceThatDoesNotExistFails) {
  AlsaTestDevices devices;
  for (const char* name : {"ovix_missing", "ovix_args"}) {  // unknown; missing its argument
    SCOPED_TRACE(name);
    std::unique_ptr<AudioClient> client = MakeRenderStream(name);
    const HRESULT hr = client->Initialize(kShareModeShared, kConvertFlags, kOneSecond, 0, kMix);
    EXPECT_TRUE(Failed(hr)) << std::hex << hr;
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
  }
}

}  // namespace
}  // namespace ovix::platform::alsa
