#include "platform/linux/alsa_stream_params.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "platform/linux/alsa_pcm.h"

namespace ovix::platform::alsa {

int ProbeMixFormat(snd_pcm_t* pcm, WaveFormat& out) {
  HwParams hw;
  if (int err = AllocHwParams(hw); err < 0) return err;
  if (int err = snd_pcm_hw_params_any(pcm, hw.get()); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED); err < 0) return err;
  // The device's own rates; a plug PCM that resamples anyway ignores this.
  snd_pcm_hw_params_set_rate_resample(pcm, hw.get(), 0);

  static constexpr snd_pcm_format_t kPreferred[] = {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S32_LE,
                                                    SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_S24_3LE,
                                                    SND_PCM_FORMAT_U8};
  std::optional<snd_pcm_format_t> format;
  for (snd_pcm_format_t f : kPreferred) {
    if (snd_pcm_hw_params_test_format(pcm, hw.get(), f) == 0) {
      format = f;
      break;
    }
  }
  if (!format) return -EINVAL;
  if (int err = snd_pcm_hw_params_set_format(pcm, hw.get(), *format); err < 0) return err;

  unsigned minChannels = 0, maxChannels = 0;
  if (int err = snd_pcm_hw_params_get_channels_min(hw.get(), &minChannels); err < 0) return err;
  if (int err = snd_pcm_hw_params_get_channels_max(hw.get(), &maxChannels); err < 0) return err;
  unsigned channels = std::clamp(2u, minChannels, std::max(minChannels, maxChannels));
  if (int err = snd_pcm_hw_params_set_channels_near(pcm, hw.get(), &channels); err < 0) return err;

  unsigned rate = 48000;
  int dir = 0;
  if (int err = snd_pcm_hw_params_set_rate_near(pcm, hw.get(), &rate, &dir); err < 0) return err;

  const std::optional<WaveFormat> wave = WaveFormatOf(*format, rate, channels);
  if (!wave || channels > UINT16_MAX) return -EINVAL;
  out = *wave;
  return 0;
}

bool SameLayout(const WaveFormat& a, const WaveFormat& b) {
  const std::optional<snd_pcm_format_t> fa = AlsaFormatOf(a), fb = AlsaFormatOf(b);
  return fa && fb && *fa == *fb && a.channels == b.channels && a.samplesPerSec == b.samplesPerSec &&
         a.blockAlign == b.blockAlign;
}

unsigned MicrosecondsOf(int64_t hns, unsigned minimum) {
  const int64_t us = hns / 10;
  if (us < minimum) return minimum;
  return us > UINT32_MAX ? UINT32_MAX : static_cast<unsigned>(us);
}

uint64_t NowHns() {
  using Hns = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
  return static_cast<uint64_t>(std::chrono::duration_cast<Hns>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace ovix::platform::alsa
