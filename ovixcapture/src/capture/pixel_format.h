// Capture media subtypes as pixel formats, and the formats' byte layout.
#pragma once

#include <cstdint>

#include "ovixcapture.h"
#include "platform/media_type.h"

namespace ovix {

// 1..6 for the subtypes the library handles; 0 marks a format it cannot use.
int32_t SubtypeToPixelFormat(uint32_t subtype);
// The subtype asked for a pixel format (0, the wildcard, for any other value).
uint32_t PixelFormatToSubtype(int32_t format);

}  // namespace ovix
