// What the ALSA streams share: the endpoint's mix format as the device
// offers it, format comparison, durations and the stream clock.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

#include "platform/wave_format.h"

namespace ovix::platform::alsa {

// ~10 ms, as a shared-mode engine period.
inline constexpr unsigned kPeriodMicroseconds = 10'000;

// The mix format of an open PCM: the first of S16_LE, S32_LE, FLOAT_LE,
// S24_3LE, U8 it offers, channels near 2 within its range, rate near 48 kHz,
// without resampling. 0 or a negative ALSA code.
int ProbeMixFormat(snd_pcm_t* pcm, WaveFormat& out);

// Same sample layout (tag or sub-format, bits, channels, rate, block).
bool SameLayout(const WaveFormat& a, const WaveFormat& b);

// A 100-ns duration as microseconds, at least minimum.
unsigned MicrosecondsOf(int64_t hns, unsigned minimum);

// The stream clock in 100-ns units (monotonic).
uint64_t NowHns();

}  // namespace ovix::platform::alsa
