#include "video/color_engine_float.h"


namespace ovix::color {

FloatMatrix FloatMatrixFor(int cs, bool full) {
  switch (cs) {
    case 2: return {1.5748f, 0.187324f, 0.468124f, 1.8556f, 0.2126f, 0.7152f, 0.0722f, full};
    case 3: return {1.4746f, 0.16455f, 0.57135f, 1.8814f, 0.2627f, 0.678f, 0.0593f, full};
    default: return {1.402f, 0.344136f, 0.714136f, 1.772f, 0.299f, 0.587f, 0.114f, full};
  }
}

FloatYuvReader::FloatYuvReader(const FloatMatrix& m) {
  for (int i = 0; i < 256; ++i) {
    float y, c;
    if (m.full) {
      y = static_cast<float>(i) / 255.0f;
      c = static_cast<float>(i - 128) / 255.0f;
    } else {
      y = static_cast<float>(i - 16) / 219.0f;
      c = static_cast<float>(i - 128) / 224.0f;
    }
    luma_[i] = Clamp01(y);
    rv_[i] = m.kRv * c;
    gu_[i] = m.kGu * c;
    gv_[i] = m.kGv * c;
    bu_[i] = m.kBu * c;
  }
}

FloatLutSampler::FloatLutSampler(const Ovix3DLutData& lut, float strength)
    : table_(lut.table.data()), n_(lut.size), strength_(Clamp01(strength)) {
  last_ = static_cast<size_t>(n_) * n_ * n_ - 1;
  for (int c = 0; c < 3; ++c) lastEntry_[c] = table_[last_ * 3 + c];
  for (int c = 0; c < 3; ++c) {
    min_[c] = lut.domainMin[c];
    range_[c] = lut.domainMax[c] - lut.domainMin[c];
  }
}

FloatLutSampler::Coord FloatLutSampler::CoordOf(float x, int channel) const {
  const float n = Clamp01((x - min_[channel]) / range_[channel]) * static_cast<float>(n_ - 1);
  Coord c;
  c.i0 = static_cast<size_t>(n);  // n >= 0: truncation is floor
  c.i1 = c.i0 + 1 < static_cast<size_t>(n_) ? c.i0 + 1 : c.i0;
  c.f = n - static_cast<float>(c.i0);
  return c;
}

void FloatLutSampler::Apply(float& r, float& g, float& b) const {
  const Coord cr = CoordOf(r, 0), cg = CoordOf(g, 1), cb = CoordOf(b, 2);
  const size_t n = static_cast<size_t>(n_);
  const float r0 = 1.0f - cr.f, r1 = cr.f, g0 = 1.0f - cg.f, g1 = cg.f, b0 = 1.0f - cb.f, b1 = cb.f;
  // Corners in the order (r, g, b) = 000, 100, 010, 110, 001, 101, 011, 111;
  // each weight is (wr * wg) * wb and the sum runs in that order.
  const float w[8] = {r0 * g0 * b0, r1 * g0 * b0, r0 * g1 * b0, r1 * g1 * b0,
                      r0 * g0 * b1, r1 * g0 * b1, r0 * g1 * b1, r1 * g1 * b1};
  const size_t row00 = (cb.i0 * n + cg.i0) * n, row10 = (cb.i0 * n + cg.i1) * n;
  const size_t row01 = (cb.i1 * n + cg.i0) * n, row11 = (cb.i1 * n + cg.i1) * n;
  const size_t corner[8] = {row00 + cr.i0, row00 + cr.i1, row10 + cr.i0, row10 + cr.i1,
                            row01 + cr.i0, row01 + cr.i1, row11 + cr.i0, row11 + cr.i1};
  float out[4];
#if defined(__SSE__)
  // The three channels side by side: the same products and sums per lane. A
  // fourth lane reads the next entry's red, except at the last entry, which
  // has a padded copy.
  auto term = [&](int k) {
    const float* e = corner[k] == last_ ? lastEntry_ : table_ + corner[k] * 3;
    return _mm_mul_ps(_mm_set1_ps(w[k]), _mm_loadu_ps(e));
  };
  __m128 sum = term(0);
#pragma GCC unroll 8
  for (int k = 1; k < 8; ++k) sum = _mm_add_ps(sum, term(k));
  _mm_storeu_ps(out, sum);
#else
  for (int c = 0; c < 3; ++c) {
    float acc = w[0] * table_[corner[0] * 3 + c];
    for (int k = 1; k < 8; ++k) acc = acc + w[k] * table_[corner[k] * 3 + c];
    out[c] = acc;
  }
#endif
  const float s = strength_;
  r = Clamp01(r + (out[0] - r) * s);
  g = Clamp01(g + (out[1] - g) * s);
  b = Clamp01(b + (out[2] - b) * s);
}

void FloatRowToYuv8(const float* r, const float* g, const float* b, int count, const FloatMatrix& m, uint8_t* y8,
                    uint8_t* u8, uint8_t* v8) {
  for (int x = FloatRowToYuv8Vector(r, g, b, count, m, y8, u8, v8); x < count; ++x) {
    int yy, uu, vv;
    FloatRgbToYuv8(r[x], g[x], b[x], m, yy, uu, vv);
    y8[x] = static_cast<uint8_t>(yy);
    u8[x] = static_cast<uint8_t>(uu);
    v8[x] = static_cast<uint8_t>(vv);
  }
}

void FloatLutSampler::ApplyRow(float* r, float* g, float* b, int count) const {
  for (int x = ApplyRowVector(r, g, b, count); x < count; ++x) Apply(r[x], g[x], b[x]);
}

}  // namespace ovix::color
