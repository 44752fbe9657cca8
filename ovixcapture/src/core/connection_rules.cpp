#include "core/connection_rules.h"

#include <algorithm>
#include <initializer_list>

#include "ovixcapture.h"

namespace ovix {
namespace {

bool OneOf(int32_t v, std::initializer_list<int32_t> set) { return std::find(set.begin(), set.end(), v) != set.end(); }

}  // namespace

bool ConnectionAllowed(int32_t src, int32_t dst) {
  switch (src) {
    case OVIX_PORT_VIDEO_INPUT:
    case OVIX_PORT_VIDEO_FRAME_SOURCE:
    case OVIX_PORT_FILE_VIDEO_OUTPUT:
      return OneOf(dst, {OVIX_PORT_VIDEO_RENDER, OVIX_PORT_VIDEO_MUX, OVIX_PORT_VIDEO_OSD, OVIX_PORT_VIDEO_CROP,
                         OVIX_PORT_VIDEO_COLOR_ENGINE, OVIX_PORT_RECORDER});
    case OVIX_PORT_VIDEO_COLOR_ENGINE:
      return OneOf(dst, {OVIX_PORT_VIDEO_RENDER, OVIX_PORT_VIDEO_MUX, OVIX_PORT_VIDEO_OSD, OVIX_PORT_VIDEO_CROP,
                         OVIX_PORT_RECORDER});
    case OVIX_PORT_VIDEO_MUX:
      return OneOf(dst, {OVIX_PORT_VIDEO_RENDER, OVIX_PORT_VIDEO_OSD, OVIX_PORT_VIDEO_CROP,
                         OVIX_PORT_VIDEO_COLOR_ENGINE, OVIX_PORT_RECORDER});
    case OVIX_PORT_VIDEO_CROP:
      return OneOf(dst, {OVIX_PORT_VIDEO_RENDER, OVIX_PORT_VIDEO_OSD, OVIX_PORT_VIDEO_COLOR_ENGINE, OVIX_PORT_RECORDER});
    case OVIX_PORT_VIDEO_OSD:
      return OneOf(dst, {OVIX_PORT_VIDEO_RENDER, OVIX_PORT_VIDEO_COLOR_ENGINE, OVIX_PORT_RECORDER});
    case OVIX_PORT_AUDIO_INPUT:
    case OVIX_PORT_FILE_AUDIO_OUTPUT:
      return OneOf(dst, {OVIX_PORT_VIDEO_RENDER, OVIX_PORT_AUDIO_RENDER, OVIX_PORT_AUDIO_MUX, OVIX_PORT_RECORDER});
    case OVIX_PORT_AUDIO_MUX:
      return OneOf(dst, {OVIX_PORT_VIDEO_RENDER, OVIX_PORT_AUDIO_RENDER, OVIX_PORT_RECORDER});
    default:
      return false;  // file source, renders, recorder and unknown types feed nothing
  }
}

}  // namespace ovix
