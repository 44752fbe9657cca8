#include "audio/audio_mux.h"

#include "core/library_state.h"
#include "core/port_registry.h"

using namespace ovix;

extern "C" OvixPortHandle OVIX_CreateAudioMux(void) {
  if (!library_state::IsInitialised()) return nullptr;
  OvixAudioMux* port = MakePort<OvixAudioMux>();
  return port ? port->Handle() : nullptr;
}
