// Library start-up and shut-down, versions, the default pipeline mode and the
// log switch.
#include "capture/capture_registry.h"
#include "core/api_guard.h"
#include "core/device_registry.h"
#include "core/library_state.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "ovixcapture.h"
#include "platform/media_runtime.h"

using namespace ovix;
using platform::MediaRuntime;

namespace {

constexpr const char kVersionText[] = "6.2.3";
constexpr uint32_t kMediaVersion = 0x20070;  // full start-up of the media runtime
constexpr uint32_t kMediaStartupFull = 0;

}  // namespace

extern "C" {

int OVIX_Init(void) {
  return Guarded(OVIX_ERR_FAILED, []() -> int {
    const HRESULT hrCom = MediaRuntime::InitializeApartment();
    if (Succeeded(hrCom)) library_state::SetComStartedByLibrary(true);
    else if (hrCom != RPC_E_CHANGED_MODE) return OVIX_ERR_FAILED;

    log::OpenIfEnabled();
    OVIX_LOG(kTagCore, "OVIX_Init version=%s defaultPipelineMode=%d", kVersionText,
             library_state::DefaultPipelineMode() == 1 ? 1 : 0);

    const HRESULT hrMedia = MediaRuntime::Startup(kMediaVersion, kMediaStartupFull);
    if (Failed(hrMedia)) {
      OVIX_LOG(kTagCore, "MFStartup failed hr=0x%08X", static_cast<unsigned>(hrMedia));
      if (library_state::ComStartedByLibrary()) {
        MediaRuntime::UninitializeApartment();
        library_state::SetComStartedByLibrary(false);
      }
      log::CloseFile();
      return OVIX_ERR_FAILED;
    }

    library_state::SetInitialised(true);
    capture_registry::Create();

    OvixDeviceRegistry& devices = device_registry::Get();
    devices.Enumerate();
    OVIX_LOG(kTagCore, "Device enum completed video=%d audioInput=%d audioRender=%d", devices.VideoCount(),
             devices.AudioInputCount(), devices.AudioRenderCount());
    return OVIX_OK;
  });
}

int OVIX_Shutdown(void) {
  return Guarded(OVIX_OK, []() -> int {
    capture_registry::Destroy();
    device_registry::Destroy();
    OVIX_LOG(kTagCore, "OVIX_Shutdown");
    if (library_state::IsInitialised()) {
      MediaRuntime::Shutdown();
      MediaRuntime::FreeUnusedLibraries();
      if (library_state::ComStartedByLibrary()) {
        MediaRuntime::UninitializeApartment();
        library_state::SetComStartedByLibrary(false);
      }
    }
    library_state::SetInitialised(false);
    log::CloseFile();
    return OVIX_OK;
  });
}

const char* OVIX_GetVersion(void) { return kVersionText; }

void OVIX_GetVersionEx(OvixVersion* out) {
  if (!out) return;
  out->major = 6;
  out->minor = 2;
  out->patch = 3;
}

int OVIX_GetApiVersion(void) { return 6 * 10000 + 2 * 100 + 3; }

int OVIX_EnableLog(int enable) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int { return log::Enable(enable); });
}

int OVIX_SetDefaultPipelineMode(int mode) {
  if (static_cast<unsigned>(mode) > 1u) return OVIX_ERR_INVALID_ARG;
  library_state::SetDefaultPipelineMode(mode);
  OVIX_LOG(kTagCore, "Set default SDK pipeline mode=%d", mode);
  return OVIX_OK;
}

int OVIX_GetDefaultPipelineMode(void) { return library_state::DefaultPipelineMode() == 1 ? 1 : 0; }

}  // extern "C"
