#include "video/video_osd_prepared.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "core/log.h"
#include "core/log_tags.h"
#include "platform/sys.h"

namespace ovix {
namespace {

platform::PixelRect Clip(int64_t x, int64_t y, int64_t w, int64_t h, int width, int height) {
  platform::PixelRect r;
  r.x0 = static_cast<int>(std::clamp<int64_t>(x, 0, width));
  r.y0 = static_cast<int>(std::clamp<int64_t>(y, 0, height));
  r.x1 = static_cast<int>(std::clamp<int64_t>(x + w, r.x0, width));
  r.y1 = static_cast<int>(std::clamp<int64_t>(y + h, r.y0, height));
  return r;
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  return sys::Utf16ToUtf8(text, out) ? out : std::string();
}

// A text box's size: as given, or the rest of the frame's width and two
// lines of the font size.
struct BoxSize {
  int64_t w, h;
};
BoxSize TextBoxSize(const OsdItem& item, int width) {
  return {item.width > 0 ? int64_t{item.width} : int64_t{width} - item.x,
          item.height > 0 ? int64_t{item.height} : int64_t{2} * item.size};
}

}  // namespace

platform::PixelRect OsdTextRegion(const OsdItem& item, int width, int height) {
  if (!item.visible || item.text.empty() || width <= 0 || height <= 0) return {};
  const BoxSize box = TextBoxSize(item, width);
  if (box.w <= 0 || box.h <= 0) return {};
  return Clip(item.x, item.y, box.w, box.h, width, height);
}

std::optional<OsdBlendMap> PrepareOsdText(platform::TextRasteriser* rasteriser, const OsdItem& item, int width,
                                          int height, bool yuv) {
  const platform::PixelRect region = OsdTextRegion(item, width, height);
  if (region.Empty()) return std::nullopt;
  const BoxSize size = TextBoxSize(item, width);
  platform::ArgbSurface surface(width, height, region);
  const platform::LayoutBox box{static_cast<double>(item.x), static_cast<double>(item.y), static_cast<double>(size.w),
                                static_cast<double>(size.h)};
  if (!item.transparent) surface.FillRect(box.x, box.y, box.width, box.height, OsdEffectiveColor(item.backColor));
  // Without a face the box is still drawn: the item is then partly drawn.
  if (rasteriser) {
    const platform::TextStyle style{Utf8(item.fontName), std::clamp(item.size, 1, 512), OsdEffectiveColor(item.color)};
    rasteriser->DrawText(surface, item.text, style, box);
  }
  return OsdBlendMap::Build(surface, item.opacity, yuv, std::nullopt);
}

std::optional<OsdBlendMap> PrepareOsdImage(const platform::DecodedImage& image, const OsdItem& item, int width,
                                           int height, bool yuv) {
  if (!item.visible || width <= 0 || height <= 0) return std::nullopt;
  const int drawW = item.width > 0 ? item.width : image.width;
  const int drawH = item.height > 0 ? item.height : image.height;
  if (drawW <= 0 || drawH <= 0) return std::nullopt;
  const platform::PixelRect region = Clip(item.x, item.y, drawW, drawH, width, height);
  if (region.Empty()) return std::nullopt;
  platform::ArgbSurface surface(width, height, region);
  platform::DrawImageScaled(surface, image, item.x, item.y, drawW, drawH);
  std::optional<uint32_t> key;
  if (item.transparent) key = item.backColor;
  return OsdBlendMap::Build(surface, item.opacity, yuv, key);
}

std::optional<OsdPreparedItems::FileStamp> OsdPreparedItems::StampOf(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  FileStamp s;
  s.device = st.st_dev;
  s.inode = st.st_ino;
  s.size = st.st_size;
  s.modifiedNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  s.changedNs = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}

void OsdPreparedItems::Build(Entry& e, const std::string& imagePath) {
  e.map.reset();
  const OsdItem& item = *e.item;
  if (item.kind != OVIX_OSD_IMAGE) {
    e.map = PrepareOsdText(rasteriser_, item, e.width, e.height, e.yuv);
    return;
  }
  if (!e.stamp) return;
  platform::DecodedImage image;
  std::string error;
  if (!platform::ImageDecoder::DecodeFile(imagePath, image, &error)) {
    OVIX_LOG(kTagVideoOsd, "OSD image not drawn path=%s reason=%s", imagePath.c_str(), error.c_str());
    return;
  }
  e.map = PrepareOsdImage(image, item, e.width, e.height, e.yuv);
}

const OsdBlendMap* OsdPreparedItems::Get(const OsdItemList::ItemPtr& item, int width, int height, bool yuv) {
  if (!item->visible || width <= 0 || height <= 0) return nullptr;
  const bool image = item->kind == OVIX_OSD_IMAGE;
  if (image && item->imagePath.empty()) return nullptr;
  if (!image && item->text.empty()) return nullptr;
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return e.item == item && e.width == width && e.height == height && e.yuv == yuv;
  });
  // The file is looked at on every frame, as if it were read every frame:
  // a file replaced on disk shows from the next frame, a file gone draws
  // nothing.
  std::string path;
  std::optional<FileStamp> stamp;
  if (image) {
    path = Utf8(item->imagePath);
    stamp = StampOf(path);
  }
  if (it == entries_.end()) {
    Entry e;
    e.item = item;
    e.width = width;
    e.height = height;
    e.yuv = yuv;
    e.stamp = stamp;
    entries_.push_back(std::move(e));
    it = entries_.end() - 1;
    Build(*it, path);
  } else if (image && it->stamp != stamp) {
    it->stamp = stamp;
    Build(*it, path);
  }
  it->used = true;
  return it->map ? &*it->map : nullptr;
}

void OsdPreparedItems::Sweep() {
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.used; }),
                 entries_.end());
  for (Entry& e : entries_) e.used = false;
}

}  // namespace ovix
