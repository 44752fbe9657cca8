// The colour engine's 8-bit fixed-point engine: YUV<->RGB in 32-bit integer
// arithmetic with two matrices (BT.601 for colour space 1, BT.709 for every
// other), and the row kernels built on it. Rows of RGB travel between the
// stages as B, G, R, A bytes, the memory order of RGB32.
#pragma once

#include <cstdint>

namespace ovix::color {

struct FixedMatrix {
  bool bt601;  // colour space 1; else BT.709
  bool full;   // full range; else limited
};

inline int Clamp255(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

// One pixel, exactly as the formulas read; the row kernels must agree with
// these byte for byte.
inline void FixedYuvToRgb(int Y, int U, int V, FixedMatrix m, int& r, int& g, int& b) {
  const int u = U - 128, v = V - 128;
  if (m.full) {
    if (m.bt601) {
      r = Y + ((359 * v + 128) >> 8);
      g = Y - ((88 * u + 183 * v + 128) >> 8);
      b = Y + ((454 * u + 128) >> 8);
    } else {
      r = Y + ((403 * v + 128) >> 8);
      g = Y - ((48 * u + 120 * v + 128) >> 8);
      b = Y + ((475 * u + 128) >> 8);
    }
  } else {
    const int y2 = 298 * (Y - 16 > 0 ? Y - 16 : 0);
    if (m.bt601) {
      r = (y2 + 409 * v + 128) >> 8;
      g = (y2 - 100 * u - 208 * v + 128) >> 8;
      b = (y2 + 516 * u + 128) >> 8;
    } else {
      r = (y2 + 459 * v + 128) >> 8;
      g = (y2 - 55 * u - 136 * v + 128) >> 8;
      b = (y2 + 541 * u + 128) >> 8;
    }
  }
  r = Clamp255(r);
  g = Clamp255(g);
  b = Clamp255(b);
}

inline void FixedRgbToYuv(int r, int g, int b, FixedMatrix m, int& y, int& u, int& v) {
  if (m.full) {
    if (m.bt601) {
      y = (77 * r + 150 * g + 29 * b + 128) >> 8;
      u = ((-43 * r - 85 * g + 128 * b + 128) >> 8) + 128;
      v = ((128 * r - 107 * g - 21 * b + 128) >> 8) + 128;
    } else {
      y = (54 * r + 183 * g + 18 * b + 128) >> 8;
      u = ((-29 * r - 99 * g + 128 * b + 128) >> 8) + 128;
      v = ((128 * r - 116 * g - 12 * b + 128) >> 8) + 128;
    }
  } else {
    if (m.bt601) {
      y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
      u = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
      v = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
    } else {
      y = ((47 * r + 157 * g + 16 * b + 128) >> 8) + 16;
      u = ((-26 * r - 87 * g + 112 * b + 128) >> 8) + 128;
      v = ((112 * r - 102 * g - 10 * b + 128) >> 8) + 128;
    }
  }
  y = Clamp255(y);
  u = Clamp255(u);
  v = Clamp255(v);
}

// Row kernels. width is in pixels; every output row is packed.

// YUY2 row -> BGRA; a last, unpaired pixel of an odd width uses V = 128.
void Yuy2RowToBgra(const uint8_t* src, int width, FixedMatrix m, uint8_t* bgra);
// NV12 luma row and its chroma row -> BGRA.
void Nv12RowToBgra(const uint8_t* luma, const uint8_t* chroma, int width, FixedMatrix m, uint8_t* bgra);
void Rgb24RowToBgra(const uint8_t* src, int width, uint8_t* bgra);
void BgraRowToRgb24(const uint8_t* bgra, int width, uint8_t* dst);
// Copies B, G, R and writes A = 255.
void BgraRowToRgb32(const uint8_t* bgra, int width, uint8_t* dst);
// Pixel pairs -> Y0 U Y1 V with the pair's U and V averaged; an unpaired last
// pixel is paired with itself.
void BgraRowToYuy2(const uint8_t* bgra, int width, FixedMatrix m, uint8_t* dst);

// The vector forms of the row kernels, where the processor has them: the
// number of leading pixels converted (0 without AVX2; whole pixel pairs for
// YUY2 output). The caller converts the rest.
int Yuy2RowToBgraVector(const uint8_t* src, int width, FixedMatrix m, uint8_t* bgra);
int Nv12RowToBgraVector(const uint8_t* luma, const uint8_t* chroma, int width, FixedMatrix m, uint8_t* bgra);
int BgraRowToYuy2Vector(const uint8_t* bgra, int width, FixedMatrix m, uint8_t* dst);
int BgraRowToRgb24Vector(const uint8_t* bgra, int width, uint8_t* dst);
int Rgb24RowToBgraVector(const uint8_t* src, int width, uint8_t* bgra);
int BgraRowToRgb32Vector(const uint8_t* bgra, int width, uint8_t* dst);

}  // namespace ovix::color
