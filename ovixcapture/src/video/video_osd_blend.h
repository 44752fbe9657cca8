// The overlay's pixel arithmetic. Every drawn pixel is mixed into the work
// picture by one rule (BlendPixel):
//   a = A / 255 x opacity (float); a <= 0: skipped; m = min(a, 1), n = 1 - m;
//   each target byte becomes trunc(new x m + old x n + 0.5);
// on RGB work pictures new is B, G, R and the alpha byte becomes 255; on YUV
// work pictures new is the BT.601 limited-range Y, U, V of the colour, and
// chroma shared by several pixels is mixed once for each of them.
//
// A text or image item is drawn from a blend map: the runs of equal colour
// in its box, each colour's rule worked out once for every possible stored
// byte when the item is prepared. A frame then costs a table look-up per
// byte, or, along long runs, the rule itself on eight bytes at once; both
// give exactly what the rule gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/text_rasteriser.h"
#include "video/video_osd_item.h"
#include "video/video_osd_picture.h"

namespace ovix {

struct OsdYuv {
  int y, u, v;
};
OsdYuv OsdRgbToYuv(int r, int g, int b);

// One overlay colour's contribution: new x m for the three target bytes
// (B, G, R or Y, U, V) and n.
struct OsdMix {
  float nm[3];
  float n;
};

// False when the pixel is skipped (a <= 0).
bool OsdMixFor(uint32_t argb, float opacity, bool yuv, OsdMix& out);

// Two statements, so that no compiler fuses the multiply and the add: the
// rule rounds after each operation.
inline uint8_t OsdMixByte(float nm, float n, uint8_t old) {
  const float kept = static_cast<float>(old) * n;
  return static_cast<uint8_t>(static_cast<int>(nm + kept + 0.5f));
}

// What one colour makes of every stored byte value: once for each target
// byte, and twice for the chroma bytes that both pixels of a pair mix.
struct OsdMixTable {
  uint8_t once[3][256];
  uint8_t twice[2][256];  // once[1] and once[2] applied twice
  static OsdMixTable For(const OsdMix& mix);
};

class OsdBlendMap {
 public:
  // From the window of the surface (the item's clipped box), for a YUV or
  // an RGB work picture. With a key, pixels whose R, G, B equal the key's
  // count as transparent.
  static OsdBlendMap Build(const platform::ArgbSurface& surface, float opacity, bool yuv,
                           std::optional<uint32_t> keyRgb);
  // Mixes the map into the picture, row by row, left to right. The picture
  // has the size and the kind (YUV or RGB) the map was built for.
  void Apply(OsdWorkPicture& picture) const;
  bool IsYuv() const { return yuv_; }
  size_t RunCount() const { return runs_.size(); }

 private:
  // Pixels [x, x + count) of row y: in one colour, or, for a stretch of
  // short runs (anti-aliased edges), in the colours listed from first on.
  struct Run {
    int32_t x, y, count;
    bool mixed;
    uint32_t colour;  // one colour: index into mixes_ (and tables_); mixed: into pixelColours_
  };
  std::vector<Run> runs_;
  std::vector<uint32_t> pixelColours_;
  std::vector<OsdMix> mixes_;
  // One per colour; left empty for a picture of so many colours that the
  // tables would outweigh the pixels (the rule is then applied directly).
  std::vector<OsdMixTable> tables_;
  bool yuv_ = false;
};

// A rectangle item's outline, straight into the picture.
void DrawOsdRect(OsdWorkPicture& picture, const OsdItem& item);

}  // namespace ovix
