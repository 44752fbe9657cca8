// AVX2 form of the floating-point LUT row, chosen at run time. Grid
// positions and weights of 8 pixels are computed side by side with the same
// float operations, in the same order, as the scalar sampler; then each
// pixel's eight corners are summed with its three channels side by side, and
// the strength blend runs on 8 pixels again. Every lane does exactly the
// scalar arithmetic (no fused multiply-add), so the values are identical.
#include "video/color_engine_float.h"
#include "platform/cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ovix::color {

#if defined(__x86_64__)

namespace {

bool HasAvx2() { return platform::HasAvx2(); }

struct Axis {
  __m256i i0, i1;
  __m256 w0, w1;  // 1 - f, f
};

__attribute__((target("avx2"), always_inline)) inline Axis AxisOf(__m256 x, float min, float range, int n) {
  const __m256 unit = _mm256_div_ps(_mm256_sub_ps(x, _mm256_set1_ps(min)), _mm256_set1_ps(range));
  // maxps(0, v) and minps(1, v) keep v for NaN and zeros, as the comparisons do.
  const __m256 clamped = _mm256_min_ps(_mm256_set1_ps(1.0f), _mm256_max_ps(_mm256_setzero_ps(), unit));
  const __m256 pos = _mm256_mul_ps(clamped, _mm256_set1_ps(static_cast<float>(n - 1)));
  Axis a;
  a.i0 = _mm256_cvttps_epi32(pos);
  a.i1 = _mm256_min_epi32(_mm256_add_epi32(a.i0, _mm256_set1_epi32(1)), _mm256_set1_epi32(n - 1));
  a.w1 = _mm256_sub_ps(pos, _mm256_cvtepi32_ps(a.i0));
  a.w0 = _mm256_sub_ps(_mm256_set1_ps(1.0f), a.w1);
  return a;
}

__attribute__((target("avx2"), always_inline)) inline __m256 Blend(__m256 in, __m256 lut, __m256 s) {
  const __m256 v = _mm256_add_ps(in, _mm256_mul_ps(_mm256_sub_ps(lut, in), s));
  return _mm256_min_ps(_mm256_set1_ps(1.0f), _mm256_max_ps(_mm256_setzero_ps(), v));
}

}  // namespace

struct FloatLutRowArgs {
  const float* table;
  const float* lastEntry;
  int lastOffset;
  int n;
  const float* min;
  const float* range;
  float strength;
};

__attribute__((target("avx2"))) static int FloatLutRowAvx2(const FloatLutRowArgs& a, float* r, float* g, float* b,
                                                           int count) {
  const int n = a.n;
  const __m256i rows = _mm256_set1_epi32(n);
  const __m256 s = _mm256_set1_ps(a.strength);
  int x = 0;
  for (; x + 8 <= count; x += 8) {
    const __m256 vr = _mm256_loadu_ps(r + x), vg = _mm256_loadu_ps(g + x), vb = _mm256_loadu_ps(b + x);
    const Axis ar = AxisOf(vr, a.min[0], a.range[0], n);
    const Axis ag = AxisOf(vg, a.min[1], a.range[1], n);
    const Axis ab = AxisOf(vb, a.min[2], a.range[2], n);
    // Corners 000, 100, 010, 110, 001, 101, 011, 111 (r, g, b), weights
    // (wr * wg) * wb, entry offsets in floats.
    alignas(32) float w[8][8];
    alignas(32) int32_t at[8][8];
    const __m256i row[4] = {
        _mm256_mullo_epi32(_mm256_add_epi32(_mm256_mullo_epi32(ab.i0, rows), ag.i0), rows),
        _mm256_mullo_epi32(_mm256_add_epi32(_mm256_mullo_epi32(ab.i0, rows), ag.i1), rows),
        _mm256_mullo_epi32(_mm256_add_epi32(_mm256_mullo_epi32(ab.i1, rows), ag.i0), rows),
        _mm256_mullo_epi32(_mm256_add_epi32(_mm256_mullo_epi32(ab.i1, rows), ag.i1), rows)};
    for (int k = 0; k < 8; ++k) {
      const bool rh = k & 1, gh = k & 2, bh = k & 4;
      const __m256 wrg = _mm256_mul_ps(rh ? ar.w1 : ar.w0, gh ? ag.w1 : ag.w0);
      _mm256_store_ps(w[k], _mm256_mul_ps(wrg, bh ? ab.w1 : ab.w0));
      const __m256i entry = _mm256_add_epi32(row[(bh ? 2 : 0) + (gh ? 1 : 0)], rh ? ar.i1 : ar.i0);
      _mm256_store_si256(reinterpret_cast<__m256i*>(at[k]), _mm256_add_epi32(entry, _mm256_add_epi32(entry, entry)));
    }
    __m128 sums[8];
    for (int p = 0; p < 8; ++p) {
      __m128 sum = _mm_setzero_ps();
#pragma GCC unroll 8
      for (int k = 0; k < 8; ++k) {
        // A fourth lane reads the next entry's red; the last entry has a
        // padded copy.
        const float* e = at[k][p] == a.lastOffset ? a.lastEntry : a.table + at[k][p];
        const __m128 term = _mm_mul_ps(_mm_set1_ps(w[k][p]), _mm_loadu_ps(e));
        sum = k == 0 ? term : _mm_add_ps(sum, term);
      }
      sums[p] = sum;
    }
    // Back to one vector per channel.
    __m128 t0 = sums[0], t1 = sums[1], t2 = sums[2], t3 = sums[3];
    __m128 t4 = sums[4], t5 = sums[5], t6 = sums[6], t7 = sums[7];
    _MM_TRANSPOSE4_PS(t0, t1, t2, t3);
    _MM_TRANSPOSE4_PS(t4, t5, t6, t7);
    _mm256_storeu_ps(r + x, Blend(vr, _mm256_set_m128(t4, t0), s));
    _mm256_storeu_ps(g + x, Blend(vg, _mm256_set_m128(t5, t1), s));
    _mm256_storeu_ps(b + x, Blend(vb, _mm256_set_m128(t6, t2), s));
  }
  return x;
}

// (int)(v + 0.5) clamped to 0..255, 8 lanes, as bytes in the low 8 bytes.
__attribute__((target("avx2"), always_inline)) inline __m128i RoundToBytes(__m256 v) {
  __m256i i = _mm256_cvttps_epi32(_mm256_add_ps(v, _mm256_set1_ps(0.5f)));
  i = _mm256_max_epi32(_mm256_min_epi32(i, _mm256_set1_epi32(255)), _mm256_setzero_si256());
  const __m256i words = _mm256_packus_epi32(i, i);
  const __m256i bytes = _mm256_packus_epi16(words, words);
  return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0)));
}

__attribute__((target("avx2"))) static int RgbToYuv8Avx2(const float* r, const float* g, const float* b, int count,
                                                         const FloatMatrix& m, uint8_t* y8, uint8_t* u8, uint8_t* v8) {
  const __m256 kr = _mm256_set1_ps(m.kr), kg = _mm256_set1_ps(m.kg), kb = _mm256_set1_ps(m.kb);
  const __m256 cbScale = _mm256_set1_ps(2.0f * (1.0f - m.kb)), crScale = _mm256_set1_ps(2.0f * (1.0f - m.kr));
  const __m256 ys = _mm256_set1_ps(m.full ? 255.0f : 219.0f), yo = _mm256_set1_ps(m.full ? 0.0f : 16.0f);
  const __m256 cs = _mm256_set1_ps(m.full ? 255.0f : 224.0f), co = _mm256_set1_ps(128.0f);
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
  int x = 0;
  for (; x + 8 <= count; x += 8) {
    const __m256 vr = _mm256_min_ps(one, _mm256_max_ps(zero, _mm256_loadu_ps(r + x)));
    const __m256 vg = _mm256_min_ps(one, _mm256_max_ps(zero, _mm256_loadu_ps(g + x)));
    const __m256 vb = _mm256_min_ps(one, _mm256_max_ps(zero, _mm256_loadu_ps(b + x)));
    const __m256 y = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(kr, vr), _mm256_mul_ps(kg, vg)), _mm256_mul_ps(kb, vb));
    const __m256 cb = _mm256_div_ps(_mm256_sub_ps(vb, y), cbScale);
    const __m256 cr = _mm256_div_ps(_mm256_sub_ps(vr, y), crScale);
    // Full range adds 0 to 255 * Y: the same value as no addition.
    const __m256 yv = m.full ? _mm256_mul_ps(ys, y) : _mm256_add_ps(_mm256_mul_ps(ys, y), yo);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(y8 + x), RoundToBytes(yv));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u8 + x), RoundToBytes(_mm256_add_ps(_mm256_mul_ps(cs, cb), co)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v8 + x), RoundToBytes(_mm256_add_ps(_mm256_mul_ps(cs, cr), co)));
  }
  return x;
}

int FloatRowToYuv8Vector(const float* r, const float* g, const float* b, int count, const FloatMatrix& m,
                         uint8_t* y8, uint8_t* u8, uint8_t* v8) {
  return HasAvx2() ? RgbToYuv8Avx2(r, g, b, count, m, y8, u8, v8) : 0;
}

int FloatLutSampler::ApplyRowVector(float* r, float* g, float* b, int count) const {
  if (!HasAvx2()) return 0;
  const FloatLutRowArgs args{table_, lastEntry_, static_cast<int>(last_ * 3), n_, min_, range_, strength_};
  return FloatLutRowAvx2(args, r, g, b, count);
}

#else

int FloatLutSampler::ApplyRowVector(float*, float*, float*, int) const { return 0; }
int FloatRowToYuv8Vector(const float*, const float*, const float*, int, const FloatMatrix&, uint8_t*, uint8_t*,
                         uint8_t*) {
  return 0;
}

#endif

}  // namespace ovix::color
