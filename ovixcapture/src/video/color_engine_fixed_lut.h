// The fixed-point 3D LUT of the colour engine: trilinear interpolation on
// the table's bytes, red first, then green, then blue, with 8-bit weights,
// then the blend by strength. The input 0..255 spans the whole grid; the
// table's domain does not take part.
//
// The red step depends only on the red byte and the grid's (g, b) point, so
// it is done once per table for all 256 red values. The results are stored
// in pairs along green, so that one 8-byte read gives both green neighbours
// of a pixel: two reads and the green and blue steps per pixel, the same
// integers as interpolating all eight corners.
#pragma once

#include <cstdint>
#include <vector>

#include "video/cube_lut.h"

namespace ovix::color {

// (int)(strength * 256 + 0.5) clamped to 0..256; 0 leaves colours unchanged.
int FixedStrength(float strength);

// a + ((f * (b - a) + 128) >> 8), f in 0..255.
inline int FixedLerp(int a, int b, int f) { return a + ((f * (b - a) + 128) >> 8); }

// t = (x * (N - 1) * 256 + 127) / 255 of the formulas: grid point t >> 8,
// weight of the next point t & 255 (0 for x = 255, whose point is N - 1).
inline int FixedGridPosition(int x, int n) { return (x * (n - 1) * 256 + 127) / 255; }

class ColorEngineFixedLut {
 public:
  explicit ColorEngineFixedLut(const Ovix3DLutData& lut);

  // BGRA row in -> BGRA row out (A = 255); s8 in 1..256.
  void ApplyRow(const uint8_t* in, uint8_t* out, int width, int s8) const;

 private:
  // The vector form: the number of leading pixels done (a multiple of 8, 0
  // without AVX2).
  int ApplyRowVector(const uint8_t* in, uint8_t* out, int width, int s8) const;

  int n_;
  // At ((b * 256 + r) * N + g): bytes B(g), B(g + 1), G(g), G(g + 1), R(g),
  // R(g + 1), 0, 0 of the red-interpolated corners at green g and g + 1 of
  // blue slice b for red value r. Green N and the blue slice N are zeros: the
  // next point of the last one, read with weight 0.
  std::vector<uint64_t> pairs_;
};

}  // namespace ovix::color
