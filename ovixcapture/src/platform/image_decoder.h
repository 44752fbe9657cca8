// The image decoder of the platform layer: BMP, PNG, JPEG and GIF (first
// frame) files into non-premultiplied ARGB pixels, and the scaled draw of a
// decoded image onto an ARGB surface with bilinear filtering.
//
// Files come from the application and may be anything: the header is read
// first and images above the pixel limit are refused before any pixel memory
// is taken, and the decoder's own allocations stay within a budget derived
// from that header, so a hostile file costs bounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/text_rasteriser.h"

namespace ovix::platform {

struct DecodedImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> argb;  // rows top-down, alpha in the top byte
};

class ImageDecoder {
 public:
  // Largest picture decoded, in pixels, and per side.
  static constexpr int64_t kMaxPixels = int64_t{1} << 24;
  static constexpr int kMaxSide = 1 << 15;
  // Largest file read.
  static constexpr size_t kMaxFileBytes = size_t{256} << 20;

  // False for an unreadable, unknown, corrupt or too large picture; error
  // (when given) then says why.
  static bool DecodeMemory(const uint8_t* data, size_t size, DecodedImage& out, std::string* error = nullptr);
  // path is UTF-8.
  static bool DecodeFile(const std::string& path, DecodedImage& out, std::string* error = nullptr);
};

// Draws image scaled into the rectangle (x, y, width, height) of the
// surface, source-over, sampling bilinearly between pixel centres (edges
// clamp). Pixels outside the surface's window are skipped.
void DrawImageScaled(ArgbSurface& surface, const DecodedImage& image, int x, int y, int width, int height);

}  // namespace ovix::platform
