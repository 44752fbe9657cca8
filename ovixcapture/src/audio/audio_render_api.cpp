// The audio render's exported functions: creation, endpoint choice, volume
// and mute.
#include <string>

#include "audio/audio_render.h"
#include "core/api_guard.h"
#include "core/device_registry.h"
#include "core/library_state.h"
#include "core/port_registry.h"

using namespace ovix;

extern "C" {

OvixPortHandle OVIX_CreateAudioRender(void) {
  if (!library_state::IsInitialised()) return nullptr;
  OvixAudioRender* port = MakePort<OvixAudioRender>();
  return port ? port->Handle() : nullptr;
}

int OVIX_SetAudioRenderDefaultDevice(OvixPortHandle port) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* render = LivePortAs<OvixAudioRender>(port);
    if (!render) return OVIX_ERR_INVALID_ARG;
    return render->UseDefaultDevice();
  });
}

int OVIX_SetAudioRenderDevice(OvixPortHandle port, int index) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* render = LivePortAs<OvixAudioRender>(port);
    if (!render) return OVIX_ERR_INVALID_ARG;
    const OvixDeviceRegistry& registry = device_registry::Get();
    if (index < -1 || index >= registry.AudioRenderCount()) return OVIX_ERR_INVALID_ARG;
    std::string id, name;
    if (index >= 0) {
      const OvixDeviceInfo* info = registry.AudioRender(index);
      id = info->id;
      name = info->name;
    }
    return render->SelectDevice(index, id, name);
  });
}

int OVIX_SetAudioRenderVolume(OvixPortHandle port, float volume) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* render = LivePortAs<OvixAudioRender>(port);
    if (!render) return OVIX_ERR_INVALID_ARG;
    return render->SetVolume(volume);
  });
}

int OVIX_SetAudioRenderMute(OvixPortHandle port, int mute) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* render = LivePortAs<OvixAudioRender>(port);
    if (!render) return OVIX_ERR_INVALID_ARG;
    return render->SetMute(mute != 0);
  });
}

}  // extern "C"
