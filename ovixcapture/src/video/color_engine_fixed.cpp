#include "video/color_engine_fixed.h"

namespace ovix::color {

namespace {

inline void Store(uint8_t* p, int r, int g, int b) {
  p[0] = static_cast<uint8_t>(b);
  p[1] = static_cast<uint8_t>(g);
  p[2] = static_cast<uint8_t>(r);
  p[3] = 255;
}

}  // namespace

void Yuy2RowToBgra(const uint8_t* src, int width, FixedMatrix m, uint8_t* bgra) {
  int x = Yuy2RowToBgraVector(src, width, m, bgra);
  int r, g, b;
  for (; x + 1 < width; x += 2) {
    const uint8_t* p = src + 2 * x;
    FixedYuvToRgb(p[0], p[1], p[3], m, r, g, b);
    Store(bgra + 4 * x, r, g, b);
    FixedYuvToRgb(p[2], p[1], p[3], m, r, g, b);
    Store(bgra + 4 * x + 4, r, g, b);
  }
  if (x < width) {
    const uint8_t* p = src + 2 * x;
    FixedYuvToRgb(p[0], p[1], 128, m, r, g, b);
    Store(bgra + 4 * x, r, g, b);
  }
}

void Nv12RowToBgra(const uint8_t* luma, const uint8_t* chroma, int width, FixedMatrix m, uint8_t* bgra) {
  int x = Nv12RowToBgraVector(luma, chroma, width, m, bgra);
  int r, g, b;
  for (; x < width; ++x) {
    const uint8_t* uv = chroma + (x / 2) * 2;
    FixedYuvToRgb(luma[x], uv[0], uv[1], m, r, g, b);
    Store(bgra + 4 * x, r, g, b);
  }
}

void Rgb24RowToBgra(const uint8_t* src, int width, uint8_t* bgra) {
  for (int x = Rgb24RowToBgraVector(src, width, bgra); x < width; ++x) {
    bgra[4 * x] = src[3 * x];
    bgra[4 * x + 1] = src[3 * x + 1];
    bgra[4 * x + 2] = src[3 * x + 2];
    bgra[4 * x + 3] = 255;
  }
}

void BgraRowToRgb24(const uint8_t* bgra, int width, uint8_t* dst) {
  for (int x = BgraRowToRgb24Vector(bgra, width, dst); x < width; ++x) {
    dst[3 * x] = bgra[4 * x];
    dst[3 * x + 1] = bgra[4 * x + 1];
    dst[3 * x + 2] = bgra[4 * x + 2];
  }
}

void BgraRowToRgb32(const uint8_t* bgra, int width, uint8_t* dst) {
  for (int x = BgraRowToRgb32Vector(bgra, width, dst); x < width; ++x) {
    dst[4 * x] = bgra[4 * x];
    dst[4 * x + 1] = bgra[4 * x + 1];
    dst[4 * x + 2] = bgra[4 * x + 2];
    dst[4 * x + 3] = 255;
  }
}

void BgraRowToYuy2(const uint8_t* bgra, int width, FixedMatrix m, uint8_t* dst) {
  for (int x = BgraRowToYuy2Vector(bgra, width, m, dst); x < width; x += 2) {
    const uint8_t* p0 = bgra + 4 * x;
    const uint8_t* p1 = x + 1 < width ? p0 + 4 : p0;
    int y0, u0, v0, y1, u1, v1;
    FixedRgbToYuv(p0[2], p0[1], p0[0], m, y0, u0, v0);
    FixedRgbToYuv(p1[2], p1[1], p1[0], m, y1, u1, v1);
    uint8_t* q = dst + 2 * x;
    q[0] = static_cast<uint8_t>(y0);
    q[1] = static_cast<uint8_t>((u0 + u1 + 1) >> 1);
    q[2] = static_cast<uint8_t>(y1);
    q[3] = static_cast<uint8_t>((v0 + v1 + 1) >> 1);
  }
}

}  // namespace ovix::color
