#include "capture/pixel_format.h"

namespace ovix {

int32_t SubtypeToPixelFormat(uint32_t sub) {
  using namespace platform::subtype;
  switch (sub) {
    case kYUY2: return OVIX_FORMAT_YUY2;
    case kNV12: return OVIX_FORMAT_NV12;
    case kRGB24: return OVIX_FORMAT_RGB24;
    case kRGB32: return OVIX_FORMAT_RGB32;
    case kMJPG: return OVIX_FORMAT_MJPG;
    case kH264:
    case kh264:
    case kAVC1:
    case kavc1: return OVIX_FORMAT_H264;
    default: return OVIX_FORMAT_UNKNOWN;
  }
}

uint32_t PixelFormatToSubtype(int32_t format) {
  using namespace platform::subtype;
  switch (format) {
    case OVIX_FORMAT_YUY2: return kYUY2;
    case OVIX_FORMAT_NV12: return kNV12;
    case OVIX_FORMAT_RGB24: return kRGB24;
    case OVIX_FORMAT_RGB32: return kRGB32;
    case OVIX_FORMAT_MJPG: return kMJPG;
    case OVIX_FORMAT_H264: return kH264;
    default: return kNull;
  }
}

}  // namespace ovix
