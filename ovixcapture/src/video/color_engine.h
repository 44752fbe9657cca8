// The CPU colour engine: applies a 3D LUT from a .cube file to every frame
// and can convert it to another uncompressed format at the same time, on the
// delivering thread, into buffers of its own.
#pragma once

#include <memory>
#include <mutex>

#include "core/port_base.h"
#include "video/color_engine_convert.h"
#include "video/color_engine_fixed_lut.h"
#include "video/cube_lut.h"

namespace ovix {

// A loaded table together with its fixed-point form, built once per load on
// the loading thread.
struct ColorEngineLut {
  std::shared_ptr<const Ovix3DLutData> table;
  std::shared_ptr<const color::ColorEngineFixedLut> fixed;
};

class OvixVideoColorEngine final : public OvixPortBase {
 public:
  OvixVideoColorEngine() : OvixPortBase(OVIX_PORT_VIDEO_COLOR_ENGINE) {}
  ~OvixVideoColorEngine() override = default;

  int OnVideoFrame(const OvixVideoFrame* frame) override;

  int SetConfig(const OvixColorConfig& config);
  OvixColorConfig Config() const;
  // Replaces the table; the one it replaces lives on while a frame uses it.
  void SetLut(ColorEngineLut lut);
  int32_t LutSize() const;

 private:
  mutable std::mutex engineLock_;  // config and table; held only to copy them
  OvixColorConfig config_{0, 0, 0, 0, 0, 1.0f};
  ColorEngineLut lut_;
  // Frames reach a port from one thread at a time, so these need no lock.
  ColorEngineBuffers buffers_;
};

}  // namespace ovix
