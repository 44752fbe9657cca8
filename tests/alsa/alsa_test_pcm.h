// Known PCM bytes for the ALSA tests, and format comparison.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/wave_format.h"

namespace ovix::test {

// Deterministic bytes that no device produces by itself (no runs of zeros).
inline std::vector<uint8_t> PcmPattern(size_t bytes, uint32_t seed = 1) {
  std::vector<uint8_t> out(bytes);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>((x >> 24) | 1);
  }
  return out;
}

inline bool SameWaveFormat(const platform::WaveFormat& a, const platform::WaveFormat& b) {
  return a.formatTag == b.formatTag && a.channels == b.channels && a.samplesPerSec == b.samplesPerSec &&
         a.avgBytesPerSec == b.avgBytesPerSec && a.blockAlign == b.blockAlign && a.bitsPerSample == b.bitsPerSample;
}

}  // namespace ovix::test
