// The virtual cameras' picture: colour bars, a block that moves one step per
// frame along a strip at the bottom, and the frame counter as 7-segment
// digits, made in the connected format (YUY2, NV12, I420, RGB24, RGB32 with
// bottom-up rows when the height is positive, MJPG, H.264).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/hresult.h"
#include "platform/media_type.h"

namespace ovix::virt {

class TestPattern {
 public:
  // Bytes of one uncompressed frame with tightly packed rows; 0 for the
  // compressed subtypes and for sizes that are not positive.
  static size_t FrameBytes(uint32_t subtype, int32_t width, int32_t height);

  // type: subtype, width and signed height; its frame time sets the
  // encoder's rate (30 frames a second when 0).
  explicit TestPattern(const platform::MediaType& type);
  ~TestPattern();
  TestPattern(const TestPattern&) = delete;
  TestPattern& operator=(const TestPattern&) = delete;

  // The next frame into out (resized to the frame's length). Safe to call
  // from several threads; frames are numbered in the order made. Encoders
  // open on first use: E_NOTIMPL for a subtype that cannot be made,
  // E_INVALIDARG for an unusable size, REGDB_E_CLASSNOTREG when no H.264
  // encoder exists.
  HRESULT Next(std::vector<uint8_t>& out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ovix::virt
