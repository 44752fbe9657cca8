#include "record/mp4_boxes.h"

namespace ovix {

size_t DescriptorLengthSize(size_t length) {
  if (length < (size_t{1} << 7)) return 1;
  if (length < (size_t{1} << 14)) return 2;
  if (length < (size_t{1} << 21)) return 3;
  return 4;
}

size_t BoxBuilder::Begin(const char (&type)[5]) {
  const size_t mark = buf_.size();
  U32(0);
  FourCc(type);
  return mark;
}

size_t BoxBuilder::BeginFull(const char (&type)[5], uint8_t version, uint32_t flags) {
  const size_t mark = Begin(type);
  U8(version);
  U24(flags);
  return mark;
}

void BoxBuilder::End(size_t mark) { PatchU32(mark, static_cast<uint32_t>(buf_.size() - mark)); }

void BoxBuilder::DescriptorHeader(uint8_t tag, size_t length) {
  U8(tag);
  // Seven bits per byte, most significant group first; every byte but the
  // last has its top bit set. Four bytes hold 28 bits, the form's limit.
  const size_t n = DescriptorLengthSize(length);
  for (size_t i = n; i-- > 0;) U8(((length >> (7 * i)) & 0x7F) | (i ? 0x80 : 0));
}

}  // namespace ovix
