// End to end through the public interface: an audio input on the ALSA test
// microphone feeding an audio render on the ALSA test speaker at half volume.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "alsa_test_devices.h"
#include "alsa_test_pcm.h"
#include "ovixcapture.h"

namespace ovix::test {
namespace {

using DeviceInfo = int (*)(int, OvixDeviceInfo*);

// The index of the device with that friendly name; -1 when none.
int FindDevice(DeviceInfo info, int count, const std::string& name) {
  for (int i = 0; i < count; ++i) {
    OvixDeviceInfo d{};
    if (info(i, &d) == OVIX_OK && name == d.name) return i;
  }
  return -1;
}

// Counts the frames an audio callback sees and waits for a number of them.
class FrameCounter {
 public:
  static void Callback(const OvixAudioFrame* f, void* user) {
    auto* self = static_cast<FrameCounter*>(user);
    const int block = f->channels * f->bitsPerSample / 8;
    {
      std::lock_guard lock(self->mutex_);
      self->frames_ += block > 0 ? static_cast<size_t>(f->size / block) : 0;
    }
    self->cv_.notify_all();
  }
  bool WaitFor(size_t frames) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return frames_ >= frames; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  size_t frames_ = 0;
};

TEST(AlsaPorts, MicrophoneThroughRenderAtHalfVolumeLandsInTheSpeakersFile) {
  constexpr size_t kFrames = 4800;  // S16_LE stereo, the microphone's mix format
  const std::vector<uint8_t> in = PcmPattern(kFrames * 4);
  AlsaTestDevices devices(in);
  RegisterAlsaProvider();
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  const int mic = FindDevice(OVIX_GetAudioInputDeviceInfo, OVIX_GetAudioInputDeviceCount(), "Test Microphone");
  const int speaker = FindDevice(OVIX_GetAudioRenderDeviceInfo, OVIX_GetAudioRenderDeviceCount(), "Test Speaker");
  ASSERT_GE(mic, 0);
  ASSERT_GE(speaker, 0);

  FrameCounter counter;
  OvixPortHandle input = OVIX_CreateAudioInput();
  OvixPortHandle render = OVIX_CreateAudioRender();
  ASSERT_NE(input, nullptr);
  ASSERT_NE(render, nullptr);
  EXPECT_EQ(OVIX_SetAudioInputDevice(input, mic), OVIX_OK);
  EXPECT_EQ(OVIX_SetAudioRenderDevice(render, speaker), OVIX_OK);
  EXPECT_EQ(OVIX_SetAudioRenderVolume(render, 0.5f), OVIX_OK);
  EXPECT_EQ(OVIX_SetAudioFrameCallback(input, FrameCounter::Callback, &counter), OVIX_OK);
  EXPECT_EQ(OVIX_Connect(input, render), OVIX_OK);
  EXPECT_EQ(OVIX_Start(render), OVIX_OK);
  EXPECT_EQ(OVIX_Start(input), OVIX_OK);
  EXPECT_TRUE(counter.WaitFor(kFrames));
  // Stopping the input joins its thread, which delivers to the render.
  EXPECT_EQ(OVIX_Stop(input), OVIX_OK);
  EXPECT_EQ(OVIX_Stop(render), OVIX_OK);
  EXPECT_EQ(OVIX_DestroyPort(input), OVIX_OK);
  EXPECT_EQ(OVIX_DestroyPort(render), OVIX_OK);
  EXPECT_EQ(OVIX_Shutdown(), OVIX_OK);

  std::vector<uint8_t> expected(in.size());
  for (size_t i = 0; i + 1 < in.size(); i += 2) {
    int16_t s;
    std::memcpy(&s, &in[i], 2);
    const auto scaled = static_cast<int16_t>(static_cast<float>(s) * 0.5f);  // truncated toward zero
    std::memcpy(&expected[i], &scaled, 2);
  }
  const std::vector<uint8_t> out = AlsaTestDevices::Read(devices.OutPath());
  ASSERT_GE(out.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
}

}  // namespace
}  // namespace ovix::test
