// Sample arithmetic of the audio ports: an endpoint's mix format read as a
// sample kind and size, packets converted to interleaved signed 16-bit PCM
// with a chosen channel count, and the render's volume scaling.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wave_format.h"

namespace ovix {

struct MixSampleLayout {
  bool isFloat = false;        // 32-bit float; otherwise integer
  uint32_t bytesPerSample = 0;  // of one channel's sample
  uint32_t channels = 0;        // interleaved in the mix format
};

// The tag (and, for the extensible tag, the sub-format) decides float or
// integer; integers take wBitsPerSample / 8 bytes, floats 4.
MixSampleLayout InterpretMixFormat(const platform::WaveFormat& format);

// Converts frames frames of data into out (frames x outChannels int16,
// interleaved). Output channel c reads mix channel c, or mix channel 0 when
// the mix has fewer channels. Floats are clamped to [-1, 1], scaled by 32767
// and truncated; 2-byte integers pass; 4-byte ones shift right by 16; 1-byte
// ones are unsigned (v * 256 - 32768); other sizes give 0. Returns the
// largest absolute output value (32768 for -32768).
int32_t ConvertToPcm16(const uint8_t* data, uint32_t frames, const MixSampleLayout& mix, int outChannels,
                       int16_t* out);

// Native-endian int16 samples at any alignment (frames handed in by an
// application need not be aligned): out[i] = in[i] * volume computed in
// float, truncated toward zero and clamped to the int16 range. in and out
// may be the same.
void ScalePcm16(const void* in, void* out, size_t samples, float volume);

// Largest absolute value of the samples (32768 for -32768); 0 when empty.
int32_t PeakPcm16(const void* samples, size_t count);

}  // namespace ovix
