// The colour engine's floating-point engine: YUV<->RGB with BT.601, BT.709
// and BT.2020 numbers, and the trilinear LUT on the float table with its
// domain. Every value is a float and every expression is evaluated in the
// order the formulas give, so the per-value tables below hold exactly the
// numbers the formulas would compute.
#pragma once

#include <algorithm>
#include <cstdint>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "video/cube_lut.h"

namespace ovix::color {

struct FloatMatrix {
  // YUV -> RGB
  float kRv, kGu, kGv, kBu;
  // RGB -> YUV
  float kr, kg, kb;
  bool full;
};

// cs 2 BT.709, 3 BT.2020, any other BT.601.
FloatMatrix FloatMatrixFor(int cs, bool full);

// v < 0 ? 0 : (v > 1 ? 1 : v), branch-free: maxss(0, v) and minss(1, v)
// return v itself for NaN and for zeros of either sign, as the comparisons do.
inline float Clamp01(float v) {
#if defined(__SSE__)
  return _mm_cvtss_f32(_mm_min_ss(_mm_set_ss(1.0f), _mm_max_ss(_mm_setzero_ps(), _mm_set_ss(v))));
#else
  return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
#endif
}
inline int RoundClamp255(float v) { return std::min(std::max(static_cast<int>(v + 0.5f), 0), 255); }

// Per 8-bit value tables of the YUV -> RGB terms.
class FloatYuvReader {
 public:
  explicit FloatYuvReader(const FloatMatrix& m);
  void ToRgb(int Y, int U, int V, float& r, float& g, float& b) const {
    const float y = luma_[Y];
    r = Clamp01(y + rv_[V]);
    g = Clamp01(y - gu_[U] - gv_[V]);
    b = Clamp01(y + bu_[U]);
  }

 private:
  float luma_[256], rv_[256], gu_[256], gv_[256], bu_[256];
};

inline void FloatRgbToYuv8(float r, float g, float b, const FloatMatrix& m, int& y8, int& u8, int& v8) {
  r = Clamp01(r);
  g = Clamp01(g);
  b = Clamp01(b);
  const float y = m.kr * r + m.kg * g + m.kb * b;
  const float cb = (b - y) / (2.0f * (1.0f - m.kb));
  const float cr = (r - y) / (2.0f * (1.0f - m.kr));
  if (m.full) {
    y8 = RoundClamp255(255.0f * y);
    u8 = RoundClamp255(255.0f * cb + 128.0f);
    v8 = RoundClamp255(255.0f * cr + 128.0f);
  } else {
    y8 = RoundClamp255(219.0f * y + 16.0f);
    u8 = RoundClamp255(224.0f * cb + 128.0f);
    v8 = RoundClamp255(224.0f * cr + 128.0f);
  }
}

// A row of float R, G, B -> 8-bit Y, U, V per pixel.
void FloatRowToYuv8(const float* r, const float* g, const float* b, int count, const FloatMatrix& m, uint8_t* y8,
                    uint8_t* u8, uint8_t* v8);
// The vector form: the number of leading pixels done (0 without AVX2).
int FloatRowToYuv8Vector(const float* r, const float* g, const float* b, int count, const FloatMatrix& m,
                         uint8_t* y8, uint8_t* u8, uint8_t* v8);

// The float LUT for one table and strength.
class FloatLutSampler {
 public:
  FloatLutSampler(const Ovix3DLutData& lut, float strength);
  // rgb in [0, 1] in place.
  void Apply(float& r, float& g, float& b) const;
  // The same for count pixels given as three arrays.
  void ApplyRow(float* r, float* g, float* b, int count) const;

 private:
  // The vector form: the number of leading pixels done (a multiple of 8, 0
  // without AVX2).
  int ApplyRowVector(float* r, float* g, float* b, int count) const;

  struct Coord {
    size_t i0, i1;
    float f;
  };
  Coord CoordOf(float x, int channel) const;

  const float* table_;
  int n_;
  size_t last_;
  float lastEntry_[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  float min_[3], range_[3];
  float strength_;
};

// The float reader of 8-bit RGB: byte / 255.
struct ByteToUnitTable {
  float v[256];
  constexpr ByteToUnitTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = static_cast<float>(i) / 255.0f;
  }
};
inline constexpr ByteToUnitTable kByteToUnit{};

}  // namespace ovix::color
