// The sample arithmetic against a plain per-sample reference, over every
// value of the 16-bit and 8-bit ranges and random wider samples.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "audio/pcm_convert.h"

namespace ovix::test {
namespace {

int16_t ReferenceScale(int16_t s, float volume) {
  const float v = static_cast<float>(s) * volume;
  const double t = std::trunc(static_cast<double>(v));
  return static_cast<int16_t>(t < -32768 ? -32768 : (t > 32767 ? 32767 : t));
}

TEST(PcmConvertTest, VolumeScalingMatchesTheReferenceForEverySample) {
  std::vector<int16_t> all(65536);
  for (int i = 0; i < 65536; ++i) all[static_cast<size_t>(i)] = static_cast<int16_t>(i - 32768);
  for (float volume : {0.0f, 0.001f, 0.3333f, 0.5f, 0.75f, 0.998f}) {
    std::vector<int16_t> out(all.size());
    ScalePcm16(all.data(), out.data(), all.size(), volume);
    for (size_t i = 0; i < all.size(); ++i)
      ASSERT_EQ(out[i], ReferenceScale(all[i], volume)) << "sample " << all[i] << " volume " << volume;
  }
  // Unaligned input and output, in place.
  std::vector<uint8_t> raw(1 + 8);
  const int16_t s[4] = {1001, -1001, 4, -4};
  std::memcpy(raw.data() + 1, s, 8);
  ScalePcm16(raw.data() + 1, raw.data() + 1, 4, 0.5f);
  int16_t r[4];
  std::memcpy(r, raw.data() + 1, 8);
  EXPECT_EQ(std::vector<int16_t>(r, r + 4), (std::vector<int16_t>{500, -500, 2, -2}));
  EXPECT_EQ(PeakPcm16(raw.data() + 1, 4), 500);
  const int16_t lowest = -32768;
  EXPECT_EQ(PeakPcm16(&lowest, 1), 32768);
  EXPECT_EQ(PeakPcm16(nullptr, 0), 0);
}

TEST(PcmConvertTest, ConversionMatchesTheReferenceForRandomPackets) {
  std::mt19937 rng(7);
  const platform::WaveFormat mixes[] = {
      platform::FloatWaveFormat(48000, 2), platform::FloatWaveFormat(48000, 1), platform::PcmWaveFormat(48000, 2, 16),
      platform::PcmWaveFormat(48000, 6, 32), platform::PcmWaveFormat(48000, 2, 8),
  };
  for (const platform::WaveFormat& mix : mixes) {
    const MixSampleLayout layout = InterpretMixFormat(mix);
    for (int outChannels : {1, 2, 3}) {
      const uint32_t frames = 483;  // not a whole number of vector groups
      std::vector<uint8_t> data(frames * mix.blockAlign);
      if (layout.isFloat) {
        std::uniform_real_distribution<float> d(-1.5f, 1.5f);
        const float special[] = {std::nanf(""), INFINITY, -INFINITY, 1.0f, -1.0f, 0.99999994f, -0.0f};
        for (size_t i = 0; i < data.size(); i += 4) {
          const float f = i / 4 % 13 == 5 ? special[i / 4 % 7] : d(rng);
          std::memcpy(&data[i], &f, 4);
        }
      } else {
        for (auto& b : data) b = static_cast<uint8_t>(rng());
      }
      std::vector<int16_t> out(frames * static_cast<uint32_t>(outChannels));
      const int32_t peak = ConvertToPcm16(data.data(), frames, layout, outChannels, out.data());
      int32_t refPeak = 0;
      for (uint32_t f = 0; f < frames; ++f) {
        for (int c = 0; c < outChannels; ++c) {
          const uint32_t src = static_cast<uint32_t>(c) < mix.channels ? static_cast<uint32_t>(c) : 0;
          const uint8_t* p = &data[(f * mix.channels + src) * layout.bytesPerSample];
          int32_t v = 0;
          if (layout.isFloat) {
            float x;
            std::memcpy(&x, p, 4);
            if (std::isnan(x)) x = 0.0f;
            v = static_cast<int32_t>(std::fmax(-1.0, std::fmin(1.0, static_cast<double>(x))) * 32767.0);
          } else if (layout.bytesPerSample == 2) {
            int16_t x;
            std::memcpy(&x, p, 2);
            v = x;
          } else if (layout.bytesPerSample == 4) {
            int32_t x;
            std::memcpy(&x, p, 4);
            v = x >> 16;
          } else {
            v = *p * 256 - 32768;
          }
          ASSERT_EQ(out[f * static_cast<uint32_t>(outChannels) + static_cast<uint32_t>(c)], v)
              << "frame " << f << " channel " << c << " of " << mix.channels << "ch tag " << mix.formatTag;
          refPeak = std::max(refPeak, std::abs(v));
        }
      }
      EXPECT_EQ(peak, refPeak);
    }
  }
}

}  // namespace
}  // namespace ovix::test
