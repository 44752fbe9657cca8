#include "video/video_osd_simd.h"
#include "platform/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define OVIX_OSD_X86 1
#endif

namespace ovix {

#if OVIX_OSD_X86

namespace {

struct Lanes8 {
  __m256 nm, n;
};

__attribute__((target("avx2"))) inline Lanes8 Load(const OsdLanes& l) {
  return {_mm256_setr_ps(l.nm[0], l.nm[1], l.nm[2], l.nm[3], l.nm[0], l.nm[1], l.nm[2], l.nm[3]),
          _mm256_setr_ps(l.n[0], l.n[1], l.n[2], l.n[3], l.n[0], l.n[1], l.n[2], l.n[3])};
}

// trunc(nm + old x n + 0.5), in that order of operations.
__attribute__((target("avx2"))) inline __m256i Mix(__m256i old, const Lanes8& l, __m256 half) {
  const __m256 f = _mm256_cvtepi32_ps(old);
  return _mm256_cvttps_epi32(_mm256_add_ps(_mm256_add_ps(l.nm, _mm256_mul_ps(f, l.n)), half));
}

template <bool kTwice>
__attribute__((target("avx2"))) void Span(uint8_t* p, size_t bytes, const OsdLanes& first, const OsdLanes* second) {
  const Lanes8 a = Load(first);
  const Lanes8 b = kTwice ? Load(*second) : a;
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (size_t i = 0; i + 32 <= bytes; i += 32) {
    __m256i r[4];
    for (int k = 0; k < 4; ++k) {
      const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i + 8 * k));
      r[k] = Mix(_mm256_cvtepu8_epi32(eight), a, half);
      if (kTwice) r[k] = Mix(r[k], b, half);
    }
    // Packing works within 128-bit halves; the permutation puts the four
    // groups of eight back in order.
    const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(r[0], r[1]), _mm256_packs_epi32(r[2], r[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + i), _mm256_permutevar8x32_epi32(packed, order));
  }
}

}  // namespace

bool OsdSimdAvailable() { return platform::HasAvx2(); }

void OsdMixSpan(uint8_t* p, size_t bytes, const OsdLanes& first, const OsdLanes* second) {
  if (!OsdSimdAvailable()) return;
  if (second)
    Span<true>(p, bytes, first, second);
  else
    Span<false>(p, bytes, first, nullptr);
}

#else

bool OsdSimdAvailable() { return false; }
void OsdMixSpan(uint8_t*, size_t, const OsdLanes&, const OsdLanes*) {}

#endif

}  // namespace ovix
