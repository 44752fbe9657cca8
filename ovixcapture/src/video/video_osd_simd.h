// The overlay's mixing rule on many bytes at once, for long runs of one
// colour: the same single-precision operations (multiply, add, add 0.5,
// truncate) on eight lanes, so every byte comes out as the scalar rule
// gives it. Used only where the processor has AVX2.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ovix {

// Lane constants of a byte pattern that repeats every 4 bytes: byte i of the
// span is mixed with new x m = nm[i % 4] and n = n[i % 4]. A lane with
// nm 0 and n 1 is left as it is.
struct OsdLanes {
  float nm[4];
  float n[4];
};

bool OsdSimdAvailable();

// Mixes bytes [0, bytes) of p (bytes a multiple of 32) with first, then, if
// second is given, with second. Returns without effect when OsdSimdAvailable
// is false.
void OsdMixSpan(uint8_t* p, size_t bytes, const OsdLanes& first, const OsdLanes* second);

inline constexpr size_t kOsdSimdBytes = 32;

}  // namespace ovix
