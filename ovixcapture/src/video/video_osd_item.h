// The overlay's items: the internal copy of an OvixOsdItem record with the
// stored substitutions applied, and the port's list of them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ovixcapture.h"

namespace ovix {

inline constexpr uint32_t kOsdDefaultColor = 0xFFFFFFFFu;      // opaque white
inline constexpr uint32_t kOsdDefaultBackColor = 0x80000000u;  // black at alpha 128
inline constexpr int32_t kOsdDefaultRectThickness = 3;
inline constexpr int32_t kOsdDefaultTextSize = 36;

struct OsdItem {
  int32_t id = 0;
  int32_t visible = 0;  // 0 or 1
  int32_t kind = OVIX_OSD_TEXT;
  int32_t layer = 0;
  int32_t x = 0, y = 0;
  int32_t width = 0, height = 0;
  float opacity = 1.0f;  // 0..1
  uint32_t color = kOsdDefaultColor;
  uint32_t backColor = kOsdDefaultBackColor;
  int32_t transparent = 0;  // 0 or 1
  int32_t size = kOsdDefaultTextSize;
  std::u16string text;
  std::u16string fontName;
  std::u16string imagePath;
};

// A colour whose alpha byte is 0 draws opaque.
inline uint32_t OsdEffectiveColor(uint32_t argb) { return (argb >> 24) == 0 ? argb | 0xFF000000u : argb; }

// The item a record describes, as the given kind. The id is copied as it is;
// the list assigns one when it is 0 or below. Text fields are read up to
// their terminator or the end of their array.
OsdItem BuildOsdItem(const OvixOsdItem& record, int32_t kind);

// The port's items in the order they were added. Items are immutable once
// listed (a text update lists a changed copy), so a snapshot is a cheap copy
// of pointers that later changes cannot touch.
class OsdItemList {
 public:
  using ItemPtr = std::shared_ptr<const OsdItem>;

  // Removes every item of the new item's kind, then appends it.
  void Replace(OsdItem item);
  void Add(OsdItem item);
  // The first text item with this id gets the text; false when none has it.
  bool UpdateText(int32_t id, std::u16string text);
  // Removes every item with this id; false when none had it.
  bool Remove(int32_t id);
  void Clear();
  std::vector<ItemPtr> Snapshot() const;

 private:
  // Called with the lock held, so that items added at the same moment from
  // two threads never share an assigned id.
  ItemPtr Listed(OsdItem item);

  mutable std::mutex mutex_;
  std::vector<ItemPtr> items_;
  int32_t nextItemId_ = 1;
};

}  // namespace ovix
