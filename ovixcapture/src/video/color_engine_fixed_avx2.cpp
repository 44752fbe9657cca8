// AVX2 forms of the fixed-point row kernels, chosen at run time.
//
// YUV -> BGRA: every channel of the formulas has the shape (a*Y' + cu*u + cv*v + bias) >> 8,
// clamped: limited range with a = 298 and Y' = max(Y - 16, 0); full range
// with a = 256 and Y' = Y, because Y + ((k + 128) >> 8) equals
// (256*Y + k + 128) >> 8 and Y - ((k + 128) >> 8) equals (256*Y - k + 127) >> 8.
// Splitting each coefficient c = 256*h + l (l small) gives
//   Y' + h_u*u + h_v*v + ((l_y*Y' + l_u*u + l_v*v + bias) >> 8)
// where the inner sum stays inside 16 bits for every input, so 16 pixels are
// done per instruction in 16-bit lanes, and the saturating pack to bytes is
// the clamp: the same integers as the scalar formulas.
#include "video/color_engine_fixed.h"
#include "platform/cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ovix::color {

#if defined(__x86_64__)

namespace {

struct SplitMatrix {
  bool limited;  // Y' = max(Y - 16, 0) and a = 298 = 256 + 42; else Y' = Y, a = 256
  int rvH, rvL;
  int guH, guL, gvH, gvL, gBias;
  int buH, buL;
};

// |inner| < 32768 checked for every Y, U, V: e.g. limited BT.709 green peaks
// at 42*239 + 55*128 + 120*127 + 128 = 32446.
constexpr SplitMatrix kLimited601{true, 2, -103, 0, -100, -1, 48, 128, 2, 4};
constexpr SplitMatrix kLimited709{true, 2, -53, 0, -55, -1, 120, 128, 2, 29};
constexpr SplitMatrix kFull601{false, 1, 103, 0, -88, -1, 73, 127, 2, -58};
constexpr SplitMatrix kFull709{false, 2, -109, 0, -48, 0, -120, 127, 2, -37};

// The multipliers of one matrix. They pass through an empty asm so that the
// compiler keeps one vpmullw each instead of longer shift-and-add chains.
struct Multipliers {
  __m256i y42, rv, gu, gv, bu;
};

__attribute__((target("avx2"), always_inline)) inline __m256i Opaque(__m256i v) {
  asm("" : "+x"(v));
  return v;
}

template <SplitMatrix M>
__attribute__((target("avx2"), always_inline)) inline Multipliers MultipliersOf() {
  return {Opaque(_mm256_set1_epi16(42)), Opaque(_mm256_set1_epi16(M.rvL)), Opaque(_mm256_set1_epi16(M.guL)),
          Opaque(_mm256_set1_epi16(M.gvL)), Opaque(_mm256_set1_epi16(M.buL))};
}

template <int h>
__attribute__((target("avx2"), always_inline)) inline __m256i AddHigh(__m256i acc, __m256i x) {
  static_assert(h >= -1 && h <= 2);
  if constexpr (h == 1) return _mm256_add_epi16(acc, x);
  if constexpr (h == 2) return _mm256_add_epi16(acc, _mm256_add_epi16(x, x));
  if constexpr (h == -1) return _mm256_sub_epi16(acc, x);
  return acc;
}

template <int l>
__attribute__((target("avx2"), always_inline)) inline __m256i AddLow(__m256i acc, __m256i x, __m256i multiplier) {
  if constexpr (l == 0) return acc;
  return _mm256_add_epi16(acc, _mm256_mullo_epi16(x, multiplier));
}

// 16 pixels: Y, U and V (the pixel's chroma) as 16-bit lanes, pixels 0..7 in
// the low lane and 8..15 in the high one -> 64 bytes BGRA.
template <SplitMatrix M>
__attribute__((target("avx2"), always_inline)) inline void Convert16(__m256i y16, __m256i u16, __m256i v16,
                                                                     const Multipliers& k, uint8_t* dst) {
  const __m256i k128 = _mm256_set1_epi16(128);
  const __m256i u = _mm256_sub_epi16(u16, k128);
  const __m256i v = _mm256_sub_epi16(v16, k128);
  __m256i yl = y16, base = k128;
  if constexpr (M.limited) {
    yl = _mm256_subs_epu16(y16, _mm256_set1_epi16(16));
    base = _mm256_add_epi16(_mm256_mullo_epi16(yl, k.y42), k128);
  }
  const __m256i gBase = M.gBias == 128 ? base : _mm256_add_epi16(base, _mm256_set1_epi16(M.gBias - 128));
  const __m256i r = _mm256_add_epi16(AddHigh<M.rvH>(yl, v), _mm256_srai_epi16(AddLow<M.rvL>(base, v, k.rv), 8));
  const __m256i g = _mm256_add_epi16(AddHigh<M.gvH>(AddHigh<M.guH>(yl, u), v),
                                     _mm256_srai_epi16(AddLow<M.gvL>(AddLow<M.guL>(gBase, u, k.gu), v, k.gv), 8));
  const __m256i b = _mm256_add_epi16(AddHigh<M.buH>(yl, u), _mm256_srai_epi16(AddLow<M.buL>(base, u, k.bu), 8));

  const __m256i br = _mm256_packus_epi16(b, r);  // per lane: 8 B, then 8 R
  const __m256i ga = _mm256_packus_epi16(g, _mm256_set1_epi16(255));
  const __m256i bg = _mm256_unpacklo_epi8(br, ga);
  const __m256i ra = _mm256_unpackhi_epi8(br, ga);
  const __m256i lo = _mm256_unpacklo_epi16(bg, ra);  // pixels 0..3 | 8..11
  const __m256i hi = _mm256_unpackhi_epi16(bg, ra);  // pixels 4..7 | 12..15
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_permute2x128_si256(lo, hi, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32), _mm256_permute2x128_si256(lo, hi, 0x31));
}

template <SplitMatrix M>
__attribute__((target("avx2"))) int Yuy2Row(const uint8_t* src, int width, uint8_t* bgra) {
  // Per lane Y0 U0 Y1 V0 Y2 U1 Y3 V1 Y4 U2 Y5 V2 Y6 U3 Y7 V3.
  const __m256i lumaMask = _mm256_set1_epi16(0x00FF);
  const __m256i uMask = _mm256_setr_epi8(1, -1, 1, -1, 5, -1, 5, -1, 9, -1, 9, -1, 13, -1, 13, -1,  //
                                         1, -1, 1, -1, 5, -1, 5, -1, 9, -1, 9, -1, 13, -1, 13, -1);
  const __m256i vMask = _mm256_setr_epi8(3, -1, 3, -1, 7, -1, 7, -1, 11, -1, 11, -1, 15, -1, 15, -1,  //
                                         3, -1, 3, -1, 7, -1, 7, -1, 11, -1, 11, -1, 15, -1, 15, -1);
  const Multipliers k = MultipliersOf<M>();
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * x));
    Convert16<M>(_mm256_and_si256(p, lumaMask), _mm256_shuffle_epi8(p, uMask), _mm256_shuffle_epi8(p, vMask), k,
                 bgra + 4 * x);
  }
  return x;
}

template <SplitMatrix M>
__attribute__((target("avx2"))) int Nv12Row(const uint8_t* luma, const uint8_t* chroma, int width, uint8_t* bgra) {
  // The 8 chroma pairs of 16 pixels, in both lanes; each lane picks its four.
  const __m256i uMask = _mm256_setr_epi8(0, -1, 0, -1, 2, -1, 2, -1, 4, -1, 4, -1, 6, -1, 6, -1,  //
                                         8, -1, 8, -1, 10, -1, 10, -1, 12, -1, 12, -1, 14, -1, 14, -1);
  const __m256i vMask = _mm256_setr_epi8(1, -1, 1, -1, 3, -1, 3, -1, 5, -1, 5, -1, 7, -1, 7, -1,  //
                                         9, -1, 9, -1, 11, -1, 11, -1, 13, -1, 13, -1, 15, -1, 15, -1);
  const Multipliers k = MultipliersOf<M>();
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m256i y = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + x)));
    const __m256i uv = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + x)));
    Convert16<M>(y, _mm256_shuffle_epi8(uv, uMask), _mm256_shuffle_epi8(uv, vMask), k, bgra + 4 * x);
  }
  return x;
}

// (sum of coefficient * channel + 128) >> 8 for 8 pixels given as 16-bit
// lanes (pixels 0, 1 | 4, 5 in lo, 2, 3 | 6, 7 in hi): pixels 0..3 in the low
// lane of the result, 4..7 in the high one.
__attribute__((target("avx2"), always_inline)) inline __m256i WeightedSum(__m256i lo, __m256i hi, __m256i k) {
  const __m256i sum = _mm256_hadd_epi32(_mm256_madd_epi16(lo, k), _mm256_madd_epi16(hi, k));
  return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(128)), 8);
}

// BGRA -> YUY2, 8 pixels: each of Y, U, V is one multiply-add of the
// pixel's (B, G) and (R, A) pairs and a horizontal add, the same integer
// sums as the formulas; U and V are clamped before the pair average.
template <bool kLimited, bool kBt601>
__attribute__((target("avx2"))) int BgraToYuy2Row(const uint8_t* bgra, int width, uint8_t* dst) {
  constexpr int16_t y[3] = {kLimited ? (kBt601 ? 66 : 47) : (kBt601 ? 77 : 54),
                            kLimited ? (kBt601 ? 129 : 157) : (kBt601 ? 150 : 183),
                            kLimited ? (kBt601 ? 25 : 16) : (kBt601 ? 29 : 18)};
  constexpr int16_t u[3] = {kLimited ? (kBt601 ? -38 : -26) : (kBt601 ? -43 : -29),
                            kLimited ? (kBt601 ? -74 : -87) : (kBt601 ? -85 : -99), kLimited ? 112 : 128};
  constexpr int16_t v[3] = {kLimited ? 112 : 128, kLimited ? (kBt601 ? -94 : -102) : (kBt601 ? -107 : -116),
                            kLimited ? (kBt601 ? -18 : -10) : (kBt601 ? -21 : -12)};
  // Coefficients in memory order B, G, R, A.
  const __m256i ky = _mm256_setr_epi16(y[2], y[1], y[0], 0, y[2], y[1], y[0], 0, y[2], y[1], y[0], 0, y[2], y[1], y[0], 0);
  const __m256i ku = _mm256_setr_epi16(u[2], u[1], u[0], 0, u[2], u[1], u[0], 0, u[2], u[1], u[0], 0, u[2], u[1], u[0], 0);
  const __m256i kv = _mm256_setr_epi16(v[2], v[1], v[0], 0, v[2], v[1], v[0], 0, v[2], v[1], v[0], 0, v[2], v[1], v[0], 0);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i k128 = _mm256_set1_epi32(128), k255 = _mm256_set1_epi32(255), k1 = _mm256_set1_epi32(1);
  const __m256i yOffset = _mm256_set1_epi32(kLimited ? 16 : 0);
  int x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgra + 4 * x));
    const __m256i lo = _mm256_unpacklo_epi8(px, zero), hi = _mm256_unpackhi_epi8(px, zero);
    const __m256i yy = _mm256_add_epi32(WeightedSum(lo, hi, ky), yOffset);
    const __m256i uu = _mm256_max_epi32(_mm256_min_epi32(_mm256_add_epi32(WeightedSum(lo, hi, ku), k128), k255), zero);
    const __m256i vv = _mm256_max_epi32(_mm256_min_epi32(_mm256_add_epi32(WeightedSum(lo, hi, kv), k128), k255), zero);
    // Per lane: U01, U23, V01, V23, averaged, reordered to U01, V01, U23, V23.
    const __m256i uv = _mm256_srli_epi32(_mm256_add_epi32(_mm256_hadd_epi32(uu, vv), k1), 1);
    const __m256i chroma = _mm256_shuffle_epi32(uv, _MM_SHUFFLE(3, 1, 2, 0));
    const __m256i words = _mm256_packus_epi32(_mm256_unpacklo_epi32(yy, chroma), _mm256_unpackhi_epi32(yy, chroma));
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), _MM_SHUFFLE(3, 1, 2, 0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * x), _mm256_castsi256_si128(bytes));
  }
  return x;
}

__attribute__((target("avx2"))) int BgraToRgb24Row(const uint8_t* bgra, int width, uint8_t* dst) {
  const __m256i pick = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i compact = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  int x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgra + 4 * x));
    const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(px, pick), compact);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x), _mm256_castsi256_si128(packed));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 3 * x + 16), _mm256_extracti128_si256(packed, 1));
  }
  return x;
}

__attribute__((target("avx2"))) int Rgb24ToBgraRow(const uint8_t* src, int width, uint8_t* bgra) {
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  int x = 0;
  // Two 16-byte reads at pixels x and x + 4 end 28 bytes in: stay in the row.
  for (; x + 10 <= width; x += 8) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * x));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * x + 12));
    const __m256i px = _mm256_shuffle_epi8(_mm256_set_m128i(hi, lo), spread);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bgra + 4 * x), _mm256_or_si256(px, alpha));
  }
  return x;
}

__attribute__((target("avx2"))) int BgraToRgb32Row(const uint8_t* bgra, int width, uint8_t* dst) {
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  int x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgra + 4 * x));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * x), _mm256_or_si256(px, alpha));
  }
  return x;
}

bool HasAvx2() { return platform::HasAvx2(); }

}  // namespace

int Yuy2RowToBgraVector(const uint8_t* src, int width, FixedMatrix m, uint8_t* bgra) {
  if (!HasAvx2()) return 0;
  if (m.full) return m.bt601 ? Yuy2Row<kFull601>(src, width, bgra) : Yuy2Row<kFull709>(src, width, bgra);
  return m.bt601 ? Yuy2Row<kLimited601>(src, width, bgra) : Yuy2Row<kLimited709>(src, width, bgra);
}

int Nv12RowToBgraVector(const uint8_t* luma, const uint8_t* chroma, int width, FixedMatrix m, uint8_t* bgra) {
  if (!HasAvx2()) return 0;
  if (m.full)
    return m.bt601 ? Nv12Row<kFull601>(luma, chroma, width, bgra) : Nv12Row<kFull709>(luma, chroma, width, bgra);
  return m.bt601 ? Nv12Row<kLimited601>(luma, chroma, width, bgra) : Nv12Row<kLimited709>(luma, chroma, width, bgra);
}

int BgraRowToYuy2Vector(const uint8_t* bgra, int width, FixedMatrix m, uint8_t* dst) {
  if (!HasAvx2()) return 0;
  if (m.full) return m.bt601 ? BgraToYuy2Row<false, true>(bgra, width, dst) : BgraToYuy2Row<false, false>(bgra, width, dst);
  return m.bt601 ? BgraToYuy2Row<true, true>(bgra, width, dst) : BgraToYuy2Row<true, false>(bgra, width, dst);
}

int BgraRowToRgb24Vector(const uint8_t* bgra, int width, uint8_t* dst) {
  return HasAvx2() ? BgraToRgb24Row(bgra, width, dst) : 0;
}

int Rgb24RowToBgraVector(const uint8_t* src, int width, uint8_t* bgra) {
  return HasAvx2() ? Rgb24ToBgraRow(src, width, bgra) : 0;
}

int BgraRowToRgb32Vector(const uint8_t* bgra, int width, uint8_t* dst) {
  return HasAvx2() ? BgraToRgb32Row(bgra, width, dst) : 0;
}

#else

int Yuy2RowToBgraVector(const uint8_t*, int, FixedMatrix, uint8_t*) { return 0; }
int Nv12RowToBgraVector(const uint8_t*, const uint8_t*, int, FixedMatrix, uint8_t*) { return 0; }
int BgraRowToYuy2Vector(const uint8_t*, int, FixedMatrix, uint8_t*) { return 0; }
int BgraRowToRgb24Vector(const uint8_t*, int, uint8_t*) { return 0; }
int Rgb24RowToBgraVector(const uint8_t*, int, uint8_t*) { return 0; }
int BgraRowToRgb32Vector(const uint8_t*, int, uint8_t*) { return 0; }

#endif

}  // namespace ovix::color
