#include "video/video_frame_source.h"

#include "core/api_guard.h"
#include "core/library_state.h"
#include "core/port_registry.h"

using namespace ovix;

extern "C" {

OvixPortHandle OVIX_CreateVideoFrameSource(void) {
  if (!library_state::IsInitialised()) return nullptr;
  OvixVideoFrameSource* port = MakePort<OvixVideoFrameSource>();
  return port ? port->Handle() : nullptr;
}

int OVIX_PushVideoFrame(OvixPortHandle port, const OvixVideoFrame* frame) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* source = LivePortAs<OvixVideoFrameSource>(port);
    if (!source || !frame || frame->width <= 0 || frame->height <= 0 || frame->format == OVIX_FORMAT_UNKNOWN ||
        !frame->data[0])
      return OVIX_ERR_INVALID_ARG;
    if (frame->format < OVIX_FORMAT_YUY2 || frame->format > OVIX_FORMAT_H264) return OVIX_ERR_UNSUPPORTED;
    source->Push(frame);
    return OVIX_OK;
  });
}

}  // extern "C"
