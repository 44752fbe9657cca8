#include "audio/pcm_convert.h"

#include "audio/pcm_convert_avx2.h"
#include "platform/cpu_features.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ovix {
namespace {

inline int32_t Clamp16(int32_t v) { return std::clamp<int32_t>(v, -32768, 32767); }

inline int32_t FromFloat(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, sizeof f);
  if (std::isnan(f)) return 0;
  const double d = std::clamp(static_cast<double>(f), -1.0, 1.0);
  return static_cast<int32_t>(d * 32767.0);
}

inline int32_t FromInt16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline int32_t FromInt32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v >> 16;
}

inline int32_t FromUint8(const uint8_t* p) { return static_cast<int32_t>(*p) * 256 - 32768; }

inline int32_t Abs(int32_t v) { return v < 0 ? -v : v; }

// One loop per sample kind, so the per-sample work has no branch on the kind.
template <int32_t (*Read)(const uint8_t*)>
int32_t ConvertLoop(const uint8_t* data, uint32_t frames, uint32_t bytes, uint32_t mixChannels, int outChannels,
                    int16_t* out) {
  int32_t peak = 0;
  if (static_cast<uint32_t>(outChannels) == mixChannels) {  // the common case, without the channel mapping
    const size_t samples = static_cast<size_t>(frames) * mixChannels;
    size_t i = 0;
    if constexpr (Read == FromFloat) {
      if (platform::HasAvx2())
        i = avx2::ConvertFloatSamples(data, samples, reinterpret_cast<uint8_t*>(out), &peak);
    }
    for (; i < samples; ++i) {
      const int32_t v = Clamp16(Read(data + i * bytes));
      out[i] = static_cast<int16_t>(v);
      peak = std::max(peak, Abs(v));
    }
    return peak;
  }
  const size_t frameBytes = static_cast<size_t>(mixChannels) * bytes;
  for (uint32_t f = 0; f < frames; ++f, data += frameBytes) {
    for (int c = 0; c < outChannels; ++c, ++out) {
      const uint32_t src = static_cast<uint32_t>(c) < mixChannels ? static_cast<uint32_t>(c) : 0u;
      const int32_t v = Clamp16(Read(data + static_cast<size_t>(src) * bytes));
      *out = static_cast<int16_t>(v);
      peak = std::max(peak, Abs(v));
    }
  }
  return peak;
}

}  // namespace

MixSampleLayout InterpretMixFormat(const platform::WaveFormat& format) {
  MixSampleLayout mix;
  mix.channels = format.channels;
  mix.isFloat = format.formatTag == platform::kWaveFormatIeeeFloat ||
                (format.formatTag == platform::kWaveFormatExtensible && format.subFormat == platform::kSubFormatIeeeFloat);
  mix.bytesPerSample = mix.isFloat ? 4u : format.bitsPerSample / 8u;
  return mix;
}

int32_t ConvertToPcm16(const uint8_t* data, uint32_t frames, const MixSampleLayout& mix, int outChannels,
                       int16_t* out) {
  if (!data || frames == 0 || mix.channels == 0 || mix.bytesPerSample == 0 || outChannels < 1) return 0;
  if (mix.isFloat) return ConvertLoop<FromFloat>(data, frames, 4, mix.channels, outChannels, out);
  switch (mix.bytesPerSample) {
    case 2: return ConvertLoop<FromInt16>(data, frames, 2, mix.channels, outChannels, out);
    case 4: return ConvertLoop<FromInt32>(data, frames, 4, mix.channels, outChannels, out);
    case 1: return ConvertLoop<FromUint8>(data, frames, 1, mix.channels, outChannels, out);
    default:  // sizes without a conversion (packed 24-bit among them) give silence
      std::memset(out, 0, static_cast<size_t>(frames) * static_cast<size_t>(outChannels) * sizeof(int16_t));
      return 0;
  }
}

void ScalePcm16(const void* in, void* out, size_t samples, float volume) {
  const auto* src = static_cast<const uint8_t*>(in);
  auto* dst = static_cast<uint8_t*>(out);
  size_t i = platform::HasAvx2() ? avx2::ScaleSamples(src, dst, samples, volume) : 0;
  for (; i < samples; ++i) {
    int16_t s;
    std::memcpy(&s, src + 2 * i, 2);
    const float v = static_cast<float>(s) * volume;
    // Truncation toward zero; the volume is within [0, 1], so the clamp only
    // guards against a caller passing more.
    const auto r = static_cast<int16_t>(std::clamp(static_cast<int32_t>(v), -32768, 32767));
    std::memcpy(dst + 2 * i, &r, 2);
  }
}

int32_t PeakPcm16(const void* samples, size_t count) {
  const auto* src = static_cast<const uint8_t*>(samples);
  int32_t peak = 0;
  for (size_t i = 0; i < count; ++i) {
    int16_t s;
    std::memcpy(&s, src + 2 * i, 2);
    peak = std::max(peak, Abs(s));
  }
  return peak;
}

}  // namespace ovix
