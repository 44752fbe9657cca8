// The device lists.
#include <cstring>

#include "core/api_guard.h"
#include "core/device_registry.h"
#include "core/library_state.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "ovixcapture.h"

using namespace ovix;

namespace {

using Lookup = const OvixDeviceInfo* (OvixDeviceRegistry::*)(int) const;

int CopyDeviceInfo(Lookup lookup, int index, OvixDeviceInfo* out) {
  if (!library_state::IsInitialised()) return OVIX_ERR_NOT_INITIALIZED;
  if (!out || index < 0) return OVIX_ERR_INVALID_ARG;
  const OvixDeviceInfo* info = (device_registry::Get().*lookup)(index);
  if (!info) return OVIX_ERR_INVALID_ARG;
  std::memcpy(out, info, sizeof *out);
  return OVIX_OK;
}

}  // namespace

extern "C" {

int OVIX_RefreshDeviceList(void) {
  return Guarded(OVIX_ERR_FAILED, []() -> int {
    if (!library_state::IsInitialised()) return OVIX_ERR_NOT_INITIALIZED;
    OVIX_LOG(kTagCore, "OVIX_RefreshDeviceList");
    OvixDeviceRegistry& devices = device_registry::Get();
    devices.Enumerate();
    OVIX_LOG(kTagCore, "Device refresh completed video=%d audioInput=%d audioRender=%d", devices.VideoCount(),
             devices.AudioInputCount(), devices.AudioRenderCount());
    return OVIX_OK;
  });
}

int OVIX_GetVideoDeviceCount(void) {
  return library_state::IsInitialised() ? Guarded(0, []() -> int { return device_registry::Get().VideoCount(); }) : 0;
}

int OVIX_GetAudioInputDeviceCount(void) {
  return library_state::IsInitialised() ? Guarded(0, []() -> int { return device_registry::Get().AudioInputCount(); }) : 0;
}

int OVIX_GetAudioRenderDeviceCount(void) {
  return library_state::IsInitialised() ? Guarded(0, []() -> int { return device_registry::Get().AudioRenderCount(); }) : 0;
}

int OVIX_GetVideoDeviceInfo(int index, OvixDeviceInfo* out) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int { return CopyDeviceInfo(&OvixDeviceRegistry::Video, index, out); });
}

int OVIX_GetAudioInputDeviceInfo(int index, OvixDeviceInfo* out) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int { return CopyDeviceInfo(&OvixDeviceRegistry::AudioInput, index, out); });
}

int OVIX_GetAudioRenderDeviceInfo(int index, OvixDeviceInfo* out) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int { return CopyDeviceInfo(&OvixDeviceRegistry::AudioRender, index, out); });
}

}  // extern "C"
