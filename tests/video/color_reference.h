// A plain, slow colour engine written pixel by pixel from the formulas, with
// no tables and no shortcuts: the oracle the engine's fast paths must match
// byte for byte.
#pragma once

#include <cstdint>
#include <vector>

#include "ovixcapture.h"
#include "video/cube_lut.h"

namespace ovix::test {

struct RefPicture {
  int32_t format = 0;
  int width = 0, height = 0;
  int stride0 = 0, stride1 = 0;
  std::vector<uint8_t> plane0, plane1;
};

struct RefSettings {
  int32_t outFormat;  // 1..4
  int colorSpace;     // 1..3
  bool fullRange;
  float strength;
  const Ovix3DLutData* lut;  // null: no LUT
};

// What the engine delivers for in (format 1..4, size of at least 1x1) when it
// processes it with these settings.
RefPicture ReferenceConvert(const OvixVideoFrame& in, const RefSettings& s);

// The packed planes of a delivered frame, read through its strides.
RefPicture CopyPicture(const OvixVideoFrame& f);

}  // namespace ovix::test
