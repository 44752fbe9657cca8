// The MJPG -> RGB32 decoder that intelligent connect inserts between a
// device offering only MJPG and a destination asking for RGB32. It delivers
// bottom-up BGRA pictures (a positive height), as the system decompressor
// does, and drops any buffer that is not a whole JPEG of the connected size.
#pragma once

#include <memory>

#include "platform/capture_filter.h"

namespace ovix::platform {

std::shared_ptr<Filter> MakeMjpegDecoderFilter();

}  // namespace ovix::platform
