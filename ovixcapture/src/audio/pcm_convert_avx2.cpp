#include "audio/pcm_convert_avx2.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ovix::avx2 {

#if defined(__x86_64__)

__attribute__((target("avx2"))) size_t ConvertFloatSamples(const uint8_t* in, size_t samples, uint8_t* out,
                                                          int32_t* peak) {
  const size_t groups = samples / 8;
  const __m256 one = _mm256_set1_ps(1.0f), minusOne = _mm256_set1_ps(-1.0f);
  const __m256d scale = _mm256_set1_pd(32767.0);
  __m128i maxAbs = _mm_setzero_si128();
  for (size_t g = 0; g < groups; ++g) {
    __m256 f = _mm256_loadu_ps(reinterpret_cast<const float*>(in + g * 32));
    f = _mm256_and_ps(f, _mm256_cmp_ps(f, f, _CMP_ORD_Q));  // NaN becomes 0
    f = _mm256_min_ps(_mm256_max_ps(f, minusOne), one);
    const __m256d lo = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(f)), scale);
    const __m256d hi = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(f, 1)), scale);
    // The products lie within +-32767, so the saturating pack changes nothing.
    const __m128i s = _mm_packs_epi32(_mm256_cvttpd_epi32(lo), _mm256_cvttpd_epi32(hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + g * 16), s);
    maxAbs = _mm_max_epu16(maxAbs, _mm_abs_epi16(s));
  }
  alignas(16) uint16_t lanes[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), maxAbs);
  for (uint16_t v : lanes)
    if (v > *peak) *peak = v;
  return groups * 8;
}

__attribute__((target("avx2"))) size_t ScaleSamples(const uint8_t* in, uint8_t* out, size_t samples, float volume) {
  const size_t groups = samples / 8;
  const __m256 v = _mm256_set1_ps(volume);
  for (size_t g = 0; g < groups; ++g) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + g * 16));
    const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(s)), v);
    const __m256i t = _mm256_cvttps_epi32(f);
    const __m128i r = _mm_packs_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + g * 16), r);
  }
  return groups * 8;
}

#else

size_t ConvertFloatSamples(const uint8_t*, size_t, uint8_t*, int32_t*) { return 0; }
size_t ScaleSamples(const uint8_t*, uint8_t*, size_t, float) { return 0; }

#endif

}  // namespace ovix::avx2
