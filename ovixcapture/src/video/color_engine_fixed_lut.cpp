#include "video/color_engine_fixed_lut.h"

namespace ovix::color {

int FixedStrength(float strength) {
  const int s8 = static_cast<int>(strength * 256.0f + 0.5f);
  return s8 < 0 ? 0 : (s8 > 256 ? 256 : s8);
}

ColorEngineFixedLut::ColorEngineFixedLut(const Ovix3DLutData& lut) : n_(lut.size) {
  const int n = n_;
  int i0[256], i1[256], f[256];
  for (int x = 0; x < 256; ++x) {
    const int t = FixedGridPosition(x, n);
    i0[x] = t >> 8;
    i1[x] = i0[x] < n - 1 ? i0[x] + 1 : i0[x];
    f[x] = t & 255;
  }
  pairs_.assign((static_cast<size_t>(n) + 1) * 256 * n, 0);
  std::vector<uint8_t> red(static_cast<size_t>(n + 1) * 3);  // one red-interpolated green row, plus green N
  for (int b = 0; b < n; ++b) {
    for (int r = 0; r < 256; ++r) {
      for (int g = 0; g < n; ++g) {
        const uint8_t* row = lut.bytes.data() + (static_cast<size_t>(b) * n + g) * n * 3;
        for (int c = 0; c < 3; ++c)
          red[g * 3 + c] = static_cast<uint8_t>(FixedLerp(row[i0[r] * 3 + c], row[i1[r] * 3 + c], f[r]));
      }
      uint64_t* dst = pairs_.data() + (static_cast<size_t>(b) * 256 + r) * n;
      for (int g = 0; g < n; ++g) {
        const uint8_t* lo = red.data() + g * 3;
        const uint8_t* hi = lo + 3;
        dst[g] = uint64_t{lo[2]} | uint64_t{hi[2]} << 8 | uint64_t{lo[1]} << 16 | uint64_t{hi[1]} << 24 |
                 uint64_t{lo[0]} << 32 | uint64_t{hi[0]} << 40;
      }
    }
  }
}

void ColorEngineFixedLut::ApplyRow(const uint8_t* in, uint8_t* out, int width, int s8) const {
  const int n = n_;
  const size_t slice = static_cast<size_t>(256) * n;
  for (int x = ApplyRowVector(in, out, width, s8); x < width; ++x) {
    const uint8_t* p = in + 4 * x;
    const int tg = FixedGridPosition(p[1], n), tb = FixedGridPosition(p[0], n);
    const int fg = tg & 255, fb = tb & 255;
    const uint64_t* e0 = pairs_.data() + (static_cast<size_t>(tb >> 8) * 256 + p[2]) * n + (tg >> 8);
    const uint64_t pair0 = e0[0], pair1 = e0[slice];
    uint8_t* q = out + 4 * x;
    for (int c = 0; c < 3; ++c) {  // B, G, R
      const int shift = 16 * c;
      const int v0 = FixedLerp(static_cast<int>((pair0 >> shift) & 255), static_cast<int>((pair0 >> (shift + 8)) & 255), fg);
      const int v1 = FixedLerp(static_cast<int>((pair1 >> shift) & 255), static_cast<int>((pair1 >> (shift + 8)) & 255), fg);
      int v = FixedLerp(v0, v1, fb);
      if (s8 < 256) v = (((v - p[c]) * s8 + 128) >> 8) + p[c];
      q[c] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
    }
    q[3] = 255;
  }
}

}  // namespace ovix::color
