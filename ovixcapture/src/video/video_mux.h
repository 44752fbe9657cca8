// Video fan-out: every frame goes on unchanged, on the same thread, to the
// mux's callback and its downstream ports.
#pragma once

#include "core/port_base.h"

namespace ovix {

class OvixVideoMux final : public OvixPortBase {
 public:
  OvixVideoMux() : OvixPortBase(OVIX_PORT_VIDEO_MUX) {}
  int OnVideoFrame(const OvixVideoFrame* frame) override {
    if (!frame) return OVIX_ERR_INVALID_ARG;
    DeliverVideo(frame);
    return OVIX_OK;
  }
};

}  // namespace ovix
