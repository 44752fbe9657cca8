// Arbitrary bytes as an overlay image file, through the image item's path:
// decoded, drawn scaled into its clipped box and mixed into a YUY2, an NV12
// and an RGB work picture. Its last bytes also choose the item's geometry.
// It must never crash, never take memory without bound, and the mixed
// pictures must keep their size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/image_decoder.h"
#include "video/video_osd_item.h"
#include "video/video_osd_picture.h"
#include "video/video_osd_prepared.h"

namespace {

constexpr int kWidth = 37, kHeight = 23;

struct Frames {
  std::vector<uint8_t> pixels;
  OvixVideoFrame yuy2{}, nv12{}, rgb{};
  Frames() : pixels(static_cast<size_t>(kWidth + 1) * kHeight * 4) {
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 37);
    for (OvixVideoFrame* f : {&yuy2, &nv12, &rgb}) {
      f->data[0] = pixels.data();
      f->width = kWidth;
      f->height = kHeight;
    }
    yuy2.format = OVIX_FORMAT_YUY2;
    nv12.format = OVIX_FORMAT_NV12;
    rgb.format = OVIX_FORMAT_RGB32;
  }
};

int Byte(const uint8_t* data, size_t size, size_t fromEnd) { return size > fromEnd ? data[size - 1 - fromEnd] : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Frames frames;
  ovix::platform::DecodedImage image;
  if (!ovix::platform::ImageDecoder::DecodeMemory(data, size, image)) return 0;
  if (image.width <= 0 || image.height <= 0 ||
      image.argb.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height))
    std::abort();

  ovix::OsdItem item;
  item.kind = OVIX_OSD_IMAGE;
  item.visible = 1;
  item.x = Byte(data, size, 0) % 48 - 16;
  item.y = Byte(data, size, 1) % 32 - 12;
  item.width = Byte(data, size, 2) % 80 - 8;  // 0 or below: the image's own size
  item.height = Byte(data, size, 3) % 60 - 8;
  item.opacity = static_cast<float>(Byte(data, size, 4)) / 200.0f;
  item.transparent = Byte(data, size, 5) & 1;
  item.backColor = image.argb[0];
  item.imagePath = u"fuzz";

  for (const OvixVideoFrame* f : {&frames.yuy2, &frames.nv12, &frames.rgb}) {
    ovix::OsdWorkPicture picture;
    picture.Prepare(*f);
    const auto map = ovix::PrepareOsdImage(image, item, kWidth, kHeight, picture.IsYuv());
    if (map) map->Apply(picture);
    if (picture.Width() != kWidth || picture.Height() != kHeight) std::abort();
  }
  return 0;
}
