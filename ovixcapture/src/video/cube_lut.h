// The two in-memory tables built from a parsed .cube file: the colour
// engine's (floats and bytes) and the renderer's (16-bit texels of a 3D
// texture). Both are immutable once built and shared by reference count, so
// a table replaced while a frame or an upload still uses it stays alive
// until that user lets it go.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "video/cube_parser.h"

namespace ovix {

// Entry (r, g, b) of an N-point grid lives at ((b * N + g) * N + r).
struct Ovix3DLutData {
  int32_t size = 0;
  float domainMin[3] = {0.0f, 0.0f, 0.0f};
  float domainMax[3] = {1.0f, 1.0f, 1.0f};
  std::vector<float> table;   // N^3 x (R, G, B), each in [0, 1]
  std::vector<uint8_t> bytes;  // the same entries as (int)(v * 255 + 0.5)
};

struct OvixRenderLutData {
  int32_t size = 0;
  float domainMin[3] = {0.0f, 0.0f, 0.0f};
  float domainMax[3] = {1.0f, 1.0f, 1.0f};
  // N^3 x (R, G, B, A) as (int)(v * 65535 + 0.5), A = 65535: the initial data
  // of an N x N x N texture with four 16-bit normalised channels.
  std::vector<uint16_t> texels;
};

std::shared_ptr<const Ovix3DLutData> BuildColorEngineLut(const CubeParseResult& parsed);
std::shared_ptr<const OvixRenderLutData> BuildRenderLut(const CubeParseResult& parsed);

}  // namespace ovix
