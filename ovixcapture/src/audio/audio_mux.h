// Audio fan-out: every PCM block goes on unchanged, on the same thread, to
// the mux's callback and its downstream ports; blocks are never mixed.
#pragma once

#include "core/port_base.h"

namespace ovix {

class OvixAudioMux final : public OvixPortBase {
 public:
  OvixAudioMux() : OvixPortBase(OVIX_PORT_AUDIO_MUX) {}
  int OnAudioFrame(const OvixAudioFrame* frame) override {
    if (!frame) return OVIX_ERR_INVALID_ARG;  // no source of the library passes one
    DeliverAudio(frame);
    return OVIX_OK;
  }
};

}  // namespace ovix
