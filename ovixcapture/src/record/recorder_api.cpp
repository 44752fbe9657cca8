// The recorder's exported functions.
#include <cstring>
#include <string>

#include "core/api_guard.h"
#include "core/library_state.h"
#include "core/port_registry.h"
#include "platform/sys.h"
#include "record/recorder.h"

using namespace ovix;

extern "C" {

OvixPortHandle OVIX_CreateRecorder(const char* filePath) {
  if (!library_state::IsInitialised()) return nullptr;
  // The narrow path is UTF-8 on this platform; text that is not becomes an
  // empty path, which Start refuses.
  std::u16string path;
  if (filePath && *filePath) sys::Utf8ToUtf16(filePath, path);
  OvixRecorder* port = MakePort<OvixRecorder>(std::move(path));
  return port ? port->Handle() : nullptr;
}

int OVIX_SetRecorderConfig(OvixPortHandle recorder, const OvixRecorderConfig* config) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* r = LivePortAs<OvixRecorder>(recorder);
    if (!r || !config) return OVIX_ERR_INVALID_ARG;
    return r->SetConfig(*config);
  });
}

int OVIX_GetRecorderStats(OvixPortHandle recorder, OvixRecorderStats* out) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* r = LivePortAs<OvixRecorder>(recorder);
    if (!r || !out) return OVIX_ERR_INVALID_ARG;
    return r->GetStats(*out);
  });
}

int OVIX_SetRecorderVideoCallback(OvixPortHandle recorder, OvixEncodedVideoCallback fn, void* user) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* r = LivePortAs<OvixRecorder>(recorder);
    if (!r) return OVIX_ERR_INVALID_ARG;
    return r->SetVideoCallback(fn, user);
  });
}

int OVIX_SetRecorderAudioCallback(OvixPortHandle recorder, OvixEncodedAudioCallback fn, void* user) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* r = LivePortAs<OvixRecorder>(recorder);
    if (!r) return OVIX_ERR_INVALID_ARG;
    return r->SetAudioCallback(fn, user);
  });
}

}  // extern "C"
