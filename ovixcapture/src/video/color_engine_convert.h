// One frame through the colour engine: the fixed-point path for RGB24, RGB32
// and YUY2 output, the floating-point path for NV12 output, row by row into
// buffers the caller owns and reuses.
#pragma once

#include <cstdint>
#include <vector>

#include "ovixcapture.h"
#include "video/color_engine_fixed_lut.h"
#include "video/cube_lut.h"

namespace ovix {

struct ColorConversion {
  int32_t outFormat = 0;   // 1..4
  int32_t colorSpace = 0;  // 1..3, already resolved
  bool fullRange = false;
  float strength = 1.0f;
  const Ovix3DLutData* lut = nullptr;  // the active LUT, or null
  const color::ColorEngineFixedLut* fixedLut = nullptr;  // its fixed-point form
};

struct ColorEngineBuffers {
  std::vector<uint8_t> plane0, plane1;
  std::vector<uint8_t> rowA, rowB;
  std::vector<float> floats;
};

// in: a frame of format 1..4 with width and height of at least 1. Fills out
// with a copy of in that points into buffers.
void ConvertColorFrame(const OvixVideoFrame& in, const ColorConversion& job, ColorEngineBuffers& buffers,
                       OvixVideoFrame& out);

}  // namespace ovix
