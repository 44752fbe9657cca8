// AVX2 form of the fixed-point LUT row, chosen at run time, 8 pixels at a
// time. The grid positions come from 16-bit arithmetic: with q = x * (N - 1),
// (256*q + 127) / 255 = q + (q + 127) / 255, and v / 255 = (v + 1 + (v >> 8)) >> 8
// for v below 65535. Each green pair is one 64-bit gather; a lerp
// a + ((f*(b - a) + 128) >> 8) is (a*(256 - f) + b*f + 128) >> 8, one
// multiply-add of the pair (a, b) with the weights (256 - f, f).
#include "video/color_engine_fixed_lut.h"
#include "platform/cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ovix::color {

#if defined(__x86_64__)

namespace {

bool HasAvx2() { return platform::HasAvx2(); }

// Rounded weighted sum of 16-bit pairs: (a*wa + b*wb + 128) >> 8 per 32-bit lane.
__attribute__((target("avx2"), always_inline)) inline __m256i Mix(__m256i pairs, __m256i weights) {
  return _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(pairs, weights), _mm256_set1_epi32(128)), 8);
}

// Two pixels (one per 128-bit lane) through green, blue and strength: g0 and
// g1 the green pairs of blue slices b and b + 1 as 16-bit lanes, src the
// pixels as 32-bit B, G, R, A.
__attribute__((target("avx2"), always_inline)) inline __m256i Interpolate(__m256i g0, __m256i g1, __m256i wg,
                                                                          __m256i wb, __m256i src, __m256i ws,
                                                                          bool blend) {
  const __m256i v0 = Mix(g0, wg), v1 = Mix(g1, wg);
  __m256i v = Mix(_mm256_or_si256(v0, _mm256_slli_epi32(v1, 16)), wb);
  if (blend) v = Mix(_mm256_or_si256(v, _mm256_slli_epi32(src, 16)), ws);
  return v;
}

__attribute__((target("avx2"))) int ApplyAvx2(const uint8_t* in, uint8_t* out, int width, int s8,
                                              const uint64_t* pairs, int n) {
  const long long* table = reinterpret_cast<const long long*>(pairs);
  const __m256i zero = _mm256_setzero_si256();
  // Per lane: the blue bytes of its four pixels, then their green bytes.
  const __m256i blueGreen = _mm256_setr_epi8(0, -1, 4, -1, 8, -1, 12, -1, 1, -1, 5, -1, 9, -1, 13, -1,  //
                                             0, -1, 4, -1, 8, -1, 12, -1, 1, -1, 5, -1, 9, -1, 13, -1);
  const __m256i gridScale = _mm256_set1_epi16(static_cast<int16_t>(n - 1));
  const __m256i k127 = _mm256_set1_epi16(127), k1 = _mm256_set1_epi16(1), k255 = _mm256_set1_epi16(255);
  const __m256i k256 = _mm256_set1_epi16(256);
  const __m256i redMask = _mm256_set1_epi32(0xFF);
  const __m256i rows = _mm256_set1_epi32(n);
  const __m256i slice = _mm256_set1_epi32(256 * n);
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  const __m256i ws = _mm256_set1_epi32(s8 | ((256 - s8) << 16));
  const bool blend = s8 < 256;
  // Lane spreads: each output group holds pixels (k, k + 2) of a 4-pixel half.
  const __m256i spread[4] = {_mm256_setr_epi32(0, 0, 0, 0, 2, 2, 2, 2), _mm256_setr_epi32(1, 1, 1, 1, 3, 3, 3, 3),
                             _mm256_setr_epi32(4, 4, 4, 4, 6, 6, 6, 6), _mm256_setr_epi32(5, 5, 5, 5, 7, 7, 7, 7)};
  int x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * x));
    const __m256i q = _mm256_mullo_epi16(_mm256_shuffle_epi8(px, blueGreen), gridScale);
    const __m256i v = _mm256_add_epi16(q, k127);
    const __m256i t = _mm256_add_epi16(
        q, _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(v, k1), _mm256_srli_epi16(v, 8)), 8));
    const __m256i point = _mm256_srli_epi16(t, 8);
    const __m256i f = _mm256_and_si256(t, k255);
    const __m256i inverse = _mm256_sub_epi16(k256, f);
    // Pixels 0..3 in the low lane, 4..7 in the high one, 32 bits each.
    const __m256i b0 = _mm256_unpacklo_epi16(point, zero), g0 = _mm256_unpackhi_epi16(point, zero);
    const __m256i wb = _mm256_unpacklo_epi16(inverse, f), wg = _mm256_unpackhi_epi16(inverse, f);
    const __m256i r = _mm256_and_si256(_mm256_srli_epi32(px, 16), redMask);
    const __m256i i0 = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_or_si256(_mm256_slli_epi32(b0, 8), r), rows), g0);
    const __m256i i1 = _mm256_add_epi32(i0, slice);
    const __m256i s0[2] = {_mm256_i32gather_epi64(table, _mm256_castsi256_si128(i0), 8),
                           _mm256_i32gather_epi64(table, _mm256_extracti128_si256(i0, 1), 8)};
    const __m256i s1[2] = {_mm256_i32gather_epi64(table, _mm256_castsi256_si128(i1), 8),
                           _mm256_i32gather_epi64(table, _mm256_extracti128_si256(i1, 1), 8)};
    __m256i group[4];
    for (int k = 0; k < 4; ++k) {
      const int h = k / 2;
      const bool high = k & 1;
      const __m256i a = high ? _mm256_unpackhi_epi8(s0[h], zero) : _mm256_unpacklo_epi8(s0[h], zero);
      const __m256i b = high ? _mm256_unpackhi_epi8(s1[h], zero) : _mm256_unpacklo_epi8(s1[h], zero);
      __m256i src = zero;
      if (blend) {
        const __m256i own = _mm256_permutevar8x32_epi32(px, spread[k]);
        src = _mm256_unpacklo_epi16(_mm256_unpacklo_epi8(own, zero), zero);
      }
      group[k] = Interpolate(a, b, _mm256_permutevar8x32_epi32(wg, spread[k]),
                             _mm256_permutevar8x32_epi32(wb, spread[k]), src, ws, blend);
    }
    // Groups hold pixels (0, 2), (1, 3), (4, 6), (5, 7).
    const __m256i p0 = _mm256_packus_epi32(group[0], group[1]);  // 0, 1 | 2, 3
    const __m256i p1 = _mm256_packus_epi32(group[2], group[3]);  // 4, 5 | 6, 7
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(p0, p1), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x), _mm256_or_si256(bytes, alpha));
  }
  return x;
}

}  // namespace

int ColorEngineFixedLut::ApplyRowVector(const uint8_t* in, uint8_t* out, int width, int s8) const {
  return HasAvx2() ? ApplyAvx2(in, out, width, s8, pairs_.data(), n_) : 0;
}

#else

int ColorEngineFixedLut::ApplyRowVector(const uint8_t*, uint8_t*, int, int) const { return 0; }

#endif

}  // namespace ovix::color
