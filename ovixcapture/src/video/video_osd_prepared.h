// Text and image items made ready to draw: rasterised (text) or decoded and
// scaled (image) into their clipped box and turned into a blend map. That
// is done when an item, the picture's size or kind, or an image's file
// changes, and kept between frames otherwise.
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

#include "platform/image_decoder.h"
#include "platform/text_rasteriser.h"
#include "video/video_osd_blend.h"
#include "video/video_osd_item.h"

namespace ovix {

// The region of a text item's box inside a width x height picture; empty
// when it draws nothing there.
platform::PixelRect OsdTextRegion(const OsdItem& item, int width, int height);

// The blend map of a text item; none when it draws nothing.
std::optional<OsdBlendMap> PrepareOsdText(platform::TextRasteriser* rasteriser, const OsdItem& item, int width,
                                          int height, bool yuv);
// The blend map of an image item whose file decoded to image.
std::optional<OsdBlendMap> PrepareOsdImage(const platform::DecodedImage& image, const OsdItem& item, int width,
                                           int height, bool yuv);

class OsdPreparedItems {
 public:
  explicit OsdPreparedItems(platform::TextRasteriser* rasteriser) : rasteriser_(rasteriser) {}

  // What a text or image item draws on a width x height picture; null when
  // it draws nothing.
  const OsdBlendMap* Get(const OsdItemList::ItemPtr& item, int width, int height, bool yuv);
  // Forgets the items not asked for since the last sweep.
  void Sweep();

 private:
  // Identifies one version of a file.
  struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedNs = 0, changedNs = 0;
    bool operator==(const FileStamp&) const = default;
  };
  struct Entry {
    OsdItemList::ItemPtr item;
    int width = 0, height = 0;
    bool yuv = false;
    std::optional<FileStamp> stamp;
    std::optional<OsdBlendMap> map;
    bool used = false;
  };

  static std::optional<FileStamp> StampOf(const std::string& path);
  void Build(Entry& entry, const std::string& imagePath);

  platform::TextRasteriser* rasteriser_;
  std::vector<Entry> entries_;
};

}  // namespace ovix
