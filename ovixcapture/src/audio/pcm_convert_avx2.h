// AVX2 forms of the audio sample loops, chosen at run time. Each handles a
// whole number of 8-sample groups and returns how many samples it did; the
// caller finishes the rest with the scalar loop. Results are identical to
// the scalar arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ovix::avx2 {

// 32-bit floats to int16 (NaN 0, clamp to [-1, 1], x 32767 in double,
// truncated); *peak is raised to the largest absolute result.
size_t ConvertFloatSamples(const uint8_t* in, size_t samples, uint8_t* out, int32_t* peak);

// int16 x volume in float, truncated, saturated.
size_t ScaleSamples(const uint8_t* in, uint8_t* out, size_t samples, float volume);

}  // namespace ovix::avx2
