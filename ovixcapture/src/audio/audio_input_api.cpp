// The audio input's exported functions: creation and configuration.
#include "audio/audio_input.h"
#include "core/api_guard.h"
#include "core/library_state.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/port_registry.h"

using namespace ovix;

extern "C" {

OvixPortHandle OVIX_CreateAudioInput(void) {
  if (!library_state::IsInitialised()) return nullptr;
  OvixAudioInput* port = MakePort<OvixAudioInput>();
  return port ? port->Handle() : nullptr;
}

int OVIX_SetAudioInputDevice(OvixPortHandle port, int index) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* in = LivePortAs<OvixAudioInput>(port);
    if (!in || index < 0) return OVIX_ERR_INVALID_ARG;
    in->deviceIndex = index;
    OVIX_LOG(kTagAudioInput, "Set audio input device index=%d", index);
    return OVIX_OK;
  });
}

int OVIX_SetAudioInputPCM(OvixPortHandle port, int sampleRate, int channels, int bitsPerSample) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* in = LivePortAs<OvixAudioInput>(port);
    if (!in || sampleRate <= 0 || channels <= 0 || bitsPerSample != 16) return OVIX_ERR_INVALID_ARG;
    in->sampleRate = sampleRate;
    in->channels = channels;
    in->bitsPerSample = bitsPerSample;
    OVIX_LOG(kTagAudioInput, "Set audio PCM %d Hz %d ch %d bits", sampleRate, channels, bitsPerSample);
    return OVIX_OK;
  });
}

}  // extern "C"
