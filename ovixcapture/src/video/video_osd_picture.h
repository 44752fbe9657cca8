// The overlay's work picture: a copy of the incoming frame, in its own
// format for YUY2 and NV12 and as 32-bit B, G, R, A for RGB24 and RGB32,
// that the items are drawn into and that leaves on the overlay output.
#pragma once

#include <cstdint>
#include <vector>

#include "ovixcapture.h"

namespace ovix {

class OsdWorkPicture {
 public:
  // YUY2, NV12, RGB24 or RGB32 with pixels and a positive size whose rows
  // fit a 32-bit stride.
  static bool Supports(const OvixVideoFrame& frame);

  // Copies a supported frame in. The buffers are kept and reused while the
  // size stays the same. Throws std::bad_alloc when they cannot be had.
  void Prepare(const OvixVideoFrame& frame);
  // The frame that carries the picture: width, height, time stamp and frame
  // number of the input, every other field zero but the planes.
  OvixVideoFrame Output(const OvixVideoFrame& input) const;

  int Width() const { return width_; }
  int Height() const { return height_; }
  // Rows of a YUY2 picture and of the NV12 chroma plane are this many pixels
  // wide: the width rounded up to even.
  int ChromaWidth() const { return (width_ + 1) & ~1; }
  // OVIX_FORMAT_YUY2, OVIX_FORMAT_NV12 or OVIX_FORMAT_RGB32.
  int32_t Format() const { return format_; }
  bool IsYuv() const { return format_ != OVIX_FORMAT_RGB32; }

  uint8_t* Rgb() { return rgb_.data(); }  // width x height x 4
  uint8_t* Yuv() { return yuv_.data(); }  // YUY2 picture or NV12 Y plane
  uint8_t* Uv() { return uv_.data(); }    // NV12 interleaved U,V plane
  const uint8_t* Rgb() const { return rgb_.data(); }
  const uint8_t* Yuv() const { return yuv_.data(); }
  const uint8_t* Uv() const { return uv_.data(); }

 private:
  void PrepareYuy2(const OvixVideoFrame& f);
  void PrepareNv12(const OvixVideoFrame& f);
  void PrepareRgb(const OvixVideoFrame& f);

  std::vector<uint8_t> rgb_, yuv_, uv_;
  int width_ = 0, height_ = 0;
  int32_t format_ = OVIX_FORMAT_RGB32;
};

}  // namespace ovix
