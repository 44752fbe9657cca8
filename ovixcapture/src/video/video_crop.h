// A processor that cuts a rectangle out of every frame and delivers it as a
// tightly packed frame of its own; disabled, with a rectangle that does not
// fit, or for a format it cannot cut, it passes the frame on unchanged.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "core/port_base.h"

namespace ovix {

class OvixVideoCrop final : public OvixPortBase {
 public:
  OvixVideoCrop() : OvixPortBase(OVIX_PORT_VIDEO_CROP) {}
  ~OvixVideoCrop() override = default;

  int OnVideoFrame(const OvixVideoFrame* frame) override;

  void SetRect(const OvixCropRect& rect);
  void Enable(bool enable);

 private:
  std::mutex cropLock_;  // the rectangle and the flag; never held while copying or delivering
  OvixCropRect rect_{};
  bool enabled_ = false;
  // Output planes, reused frame to frame. Frames reach a port from one
  // thread at a time, so they need no lock.
  std::vector<uint8_t> plane0_;
  std::vector<uint8_t> plane1_;
};

}  // namespace ovix
