// The video input's exported functions: creation and configuration.
#include "capture/video_input.h"
#include "core/api_guard.h"
#include "core/library_state.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/port_registry.h"

using namespace ovix;

namespace {

int ApplyFormat(OvixVideoInput& in, int width, int height, int fps, int format) {
  if (width <= 0 || height <= 0 || fps <= 0 || format == 0) return OVIX_ERR_INVALID_ARG;
  in.requestedWidth = in.selectedWidth = width;
  in.requestedHeight = in.selectedHeight = height;
  in.requestedFps = in.selectedFps = fps;
  in.requestedFormat = in.selectedFormat = format;
  OVIX_LOG(kTagVideoInput, "Set video format %dx%d fps=%d fmt=%d", width, height, fps, format);
  return OVIX_OK;
}

}  // namespace

extern "C" {

OvixPortHandle OVIX_CreateVideoInput(void) {
  if (!library_state::IsInitialised()) return nullptr;
  OvixVideoInput* port = MakePort<OvixVideoInput>();
  return port ? port->Handle() : nullptr;
}

int OVIX_SetVideoInputDevice(OvixPortHandle port, int index) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* in = LivePortAs<OvixVideoInput>(port);
    if (!in || index < 0) return OVIX_ERR_INVALID_ARG;
    in->deviceIndex = index;
    OVIX_LOG(kTagVideoInput, "Set video device index=%d", index);
    return OVIX_OK;
  });
}

int OVIX_SetVideoInputFormat(OvixPortHandle port, int width, int height, int fps, int format) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* in = LivePortAs<OvixVideoInput>(port);
    if (!in) return OVIX_ERR_INVALID_ARG;
    return ApplyFormat(*in, width, height, fps, format);
  });
}

int OVIX_SetVideoInputConfig(OvixPortHandle port, const OvixVideoInputConfig* config) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* in = LivePortAs<OvixVideoInput>(port);
    if (!in || !config || config->deviceIndex < 0) return OVIX_ERR_INVALID_ARG;
    in->deviceIndex = config->deviceIndex;
    OVIX_LOG(kTagVideoInput, "Set video device index=%d", config->deviceIndex);
    const int r = ApplyFormat(*in, config->width, config->height, config->fps, config->format);
    if (r != OVIX_OK) return r;
    in->colorSpace = config->colorSpace;
    in->range = config->range;
    in->buffers = config->buffers <= 0 ? 4 : config->buffers;
    OVIX_LOG(kTagVideoInput, "Set video config device=%d %dx%d fps=%d fmt=%d cs=%d range=%d buffers=%d",
             config->deviceIndex, config->width, config->height, config->fps, config->format, config->colorSpace,
             config->range, in->buffers);
    return OVIX_OK;
  });
}

}  // extern "C"
