#include "video/video_mux.h"

#include "core/library_state.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/port_registry.h"

using namespace ovix;

extern "C" OvixPortHandle OVIX_CreateVideoMux(void) {
  if (!library_state::IsInitialised()) return nullptr;
  OvixVideoMux* port = MakePort<OvixVideoMux>();
  if (!port) return nullptr;
  OVIX_LOG(kTagVideoMux, "Create video mux");
  return port->Handle();
}
