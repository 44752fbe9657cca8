// A source fed by the application: each pushed frame is delivered unchanged
// on the pushing thread.
#pragma once

#include "core/port_base.h"

namespace ovix {

class OvixVideoFrameSource final : public OvixPortBase {
 public:
  OvixVideoFrameSource() : OvixPortBase(OVIX_PORT_VIDEO_FRAME_SOURCE) {}
  void Push(const OvixVideoFrame* frame) { DeliverVideo(frame); }
};

}  // namespace ovix
