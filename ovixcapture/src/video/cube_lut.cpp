#include "video/cube_lut.h"

#include <cstring>

namespace ovix {

std::shared_ptr<const Ovix3DLutData> BuildColorEngineLut(const CubeParseResult& parsed) {
  auto lut = std::make_shared<Ovix3DLutData>();
  lut->size = parsed.size;
  std::memcpy(lut->domainMin, parsed.domainMin, sizeof lut->domainMin);
  std::memcpy(lut->domainMax, parsed.domainMax, sizeof lut->domainMax);
  lut->table = parsed.entries;
  lut->bytes.resize(parsed.entries.size());
  for (size_t i = 0; i < parsed.entries.size(); ++i)
    lut->bytes[i] = static_cast<uint8_t>(static_cast<int>(parsed.entries[i] * 255.0f + 0.5f));
  return lut;
}

std::shared_ptr<const OvixRenderLutData> BuildRenderLut(const CubeParseResult& parsed) {
  auto lut = std::make_shared<OvixRenderLutData>();
  lut->size = parsed.size;
  std::memcpy(lut->domainMin, parsed.domainMin, sizeof lut->domainMin);
  std::memcpy(lut->domainMax, parsed.domainMax, sizeof lut->domainMax);
  const size_t count = parsed.entries.size() / 3;
  lut->texels.resize(count * 4);
  for (size_t i = 0; i < count; ++i) {
    for (size_t c = 0; c < 3; ++c)
      lut->texels[i * 4 + c] = static_cast<uint16_t>(static_cast<int>(parsed.entries[i * 3 + c] * 65535.0f + 0.5f));
    lut->texels[i * 4 + 3] = 65535;
  }
  return lut;
}

}  // namespace ovix
