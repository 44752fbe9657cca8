// PCM layouts as audio endpoints describe them: the fields of a wave format
// (tag, channels, rate, byte rate, block, bits) and, for the extensible tag,
// the valid bits, channel mask and sub-format.
#pragma once

#include <cstdint>
#include <cstring>

namespace ovix::platform {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  friend bool operator==(const Guid& a, const Guid& b) {
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
           std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
  }
};

inline constexpr uint16_t kWaveFormatPcm = 1;
inline constexpr uint16_t kWaveFormatIeeeFloat = 3;
inline constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

// The sub-formats of the extensible tag: {0000000X-0000-0010-8000-00AA00389B71}.
inline constexpr Guid kSubFormatPcm{0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr Guid kSubFormatIeeeFloat{0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

inline constexpr uint32_t kSpeakerFrontLeft = 0x1;
inline constexpr uint32_t kSpeakerFrontRight = 0x2;

struct WaveFormat {
  uint16_t formatTag = kWaveFormatPcm;
  uint16_t channels = 2;
  uint32_t samplesPerSec = 48000;
  uint32_t avgBytesPerSec = 192000;
  uint16_t blockAlign = 4;
  uint16_t bitsPerSample = 16;
  uint16_t cbSize = 0;  // 22 for the extensible tag
  // Extensible tag only.
  uint16_t validBitsPerSample = 0;
  uint32_t channelMask = 0;
  Guid subFormat{};
};

// Plain integer PCM (tag 1), block and byte rate derived.
inline WaveFormat PcmWaveFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
  WaveFormat f;
  f.formatTag = kWaveFormatPcm;
  f.channels = channels;
  f.samplesPerSec = rate;
  f.bitsPerSample = bits;
  f.blockAlign = static_cast<uint16_t>(channels * bits / 8);
  f.avgBytesPerSec = rate * f.blockAlign;
  return f;
}

// 32-bit float (tag 3).
inline WaveFormat FloatWaveFormat(uint32_t rate, uint16_t channels) {
  WaveFormat f = PcmWaveFormat(rate, channels, 32);
  f.formatTag = kWaveFormatIeeeFloat;
  return f;
}

// The extensible tag with a sub-format; valid bits equal to the container's.
inline WaveFormat ExtensibleWaveFormat(const Guid& subFormat, uint32_t rate, uint16_t channels, uint16_t bits) {
  WaveFormat f = PcmWaveFormat(rate, channels, bits);
  f.formatTag = kWaveFormatExtensible;
  f.cbSize = 22;
  f.validBitsPerSample = bits;
  f.channelMask = channels == 1 ? 0x4u : (channels >= 2 ? kSpeakerFrontLeft | kSpeakerFrontRight : 0u);
  f.subFormat = subFormat;
  return f;
}

}  // namespace ovix::platform
