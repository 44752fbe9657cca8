#include "video/video_osd_item.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "platform/sys.h"
#include "platform/text_rasteriser.h"

namespace ovix {
namespace {

template <size_t N>
std::u16string FieldText(const OvixWChar (&field)[N]) {
  return std::u16string(field, sys::Utf16Length(field, N));
}

}  // namespace

OsdItem BuildOsdItem(const OvixOsdItem& record, int32_t kind) {
  OsdItem item;
  item.id = record.id;
  item.visible = record.visible != 0 ? 1 : 0;
  item.kind = kind;
  item.layer = record.layer;
  item.x = record.x;
  item.y = record.y;
  item.width = record.width;
  item.height = record.height;
  // A NaN opacity would reach the pixel arithmetic as NaN; it draws nothing.
  item.opacity = std::isnan(record.opacity) ? 0.0f : std::clamp(record.opacity, 0.0f, 1.0f);
  item.color = record.color == 0 ? kOsdDefaultColor : record.color;
  item.backColor = record.backColor == 0 ? kOsdDefaultBackColor : record.backColor;
  item.transparent = record.transparent != 0 ? 1 : 0;
  item.size = record.size > 0 ? record.size : (kind == OVIX_OSD_RECT ? kOsdDefaultRectThickness : kOsdDefaultTextSize);
  item.text = FieldText(record.text);
  item.fontName = FieldText(record.fontName);
  if (item.fontName.empty()) {
    const std::string_view face = platform::kDefaultOverlayFace;
    item.fontName.assign(face.begin(), face.end());
  }
  item.imagePath = FieldText(record.imagePath);
  return item;
}

OsdItemList::ItemPtr OsdItemList::Listed(OsdItem item) {
  if (item.id <= 0) {
    item.id = nextItemId_;
    nextItemId_ = nextItemId_ == INT32_MAX ? 1 : nextItemId_ + 1;
  }
  return std::make_shared<const OsdItem>(std::move(item));
}

void OsdItemList::Replace(OsdItem item) {
  std::lock_guard lock(mutex_);
  const int32_t kind = item.kind;
  items_.erase(std::remove_if(items_.begin(), items_.end(), [kind](const ItemPtr& p) { return p->kind == kind; }),
               items_.end());
  items_.push_back(Listed(std::move(item)));
}

void OsdItemList::Add(OsdItem item) {
  std::lock_guard lock(mutex_);
  items_.push_back(Listed(std::move(item)));
}

bool OsdItemList::UpdateText(int32_t id, std::u16string text) {
  std::lock_guard lock(mutex_);
  for (ItemPtr& p : items_) {
    if (p->id != id || p->kind != OVIX_OSD_TEXT) continue;
    auto changed = std::make_shared<OsdItem>(*p);
    changed->text = std::move(text);
    p = std::move(changed);
    return true;
  }
  return false;
}

bool OsdItemList::Remove(int32_t id) {
  std::lock_guard lock(mutex_);
  const auto end = std::remove_if(items_.begin(), items_.end(), [id](const ItemPtr& p) { return p->id == id; });
  const bool removed = end != items_.end();
  items_.erase(end, items_.end());
  return removed;
}

void OsdItemList::Clear() {
  std::lock_guard lock(mutex_);
  items_.clear();
}

std::vector<OsdItemList::ItemPtr> OsdItemList::Snapshot() const {
  std::lock_guard lock(mutex_);
  return items_;
}

}  // namespace ovix
