// Which port type may feed which. Every pair not allowed here is refused.
#pragma once

#include <cstdint>

namespace ovix {

bool ConnectionAllowed(int32_t srcType, int32_t dstType);

}  // namespace ovix
