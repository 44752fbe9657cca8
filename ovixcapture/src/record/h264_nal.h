// The H.264 pieces the MP4 writer needs: an access unit in any of the forms a
// device delivers (Annex-B, 4-byte length-prefixed, one bare NAL unit) turned
// into length-prefixed NAL units, the avcC record, and the few SPS fields
// that record carries (also logged by the direct recording path).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ovix {

// Profiles whose SPS carries chroma format and bit depths (and whose avcC
// carries them too).
bool IsHighProfileIdc(int32_t profileIdc);

// The next start code (00 00 01, or 00 00 00 01) at or after `from`:
// returns its position and sets *codeLength to 3 or 4, or returns `size`
// when there is none. A code must start before the input's last three bytes,
// so a 3-byte code in the last three bytes does not count.
size_t FindStartCode(const uint8_t* data, size_t size, size_t from, size_t* codeLength);

// True when the input is a chain of NAL units, each behind a non-zero 4-byte
// big-endian length that fits, ending exactly at the end of the input.
bool IsLengthPrefixedChain(const uint8_t* data, size_t size);

struct NalUnitSpan {
  const uint8_t* data;
  size_t size;
};

// Where the bytes of the length-prefixed form come from, so the writer can
// stream them straight from the caller's buffer without an intermediate copy.
struct LengthPrefixedPlan {
  // The input is already length-prefixed and goes out unchanged.
  bool passThrough = false;
  // Otherwise each unit goes out behind its 4-byte length.
  std::vector<NalUnitSpan> units;
  // Bytes of the length-prefixed form.
  size_t outputSize = 0;
};

// Fills `plan` (reusing its storage). False for null or empty input and when
// no unit results. Input with a start code is read as Annex-B even when it
// would also be a valid length chain: start codes are looked for first.
bool PlanLengthPrefixed(const uint8_t* data, size_t size, LengthPrefixedPlan& plan);

// The access unit as 4-byte length-prefixed NAL units in `out`.
bool ConvertToLengthPrefixed(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

// AVCDecoderConfigurationRecord for one SPS and one PPS (each with its NAL
// header byte, no start code); empty when the SPS is shorter than 4 bytes or
// the PPS is empty.
std::vector<uint8_t> BuildAvcDecoderConfig(std::span<const uint8_t> sps, std::span<const uint8_t> pps);

struct SpsInfo {
  int32_t profileIdc = 0;
  int32_t levelIdc = 0;
  int32_t chromaFormatIdc = 1;
  int32_t bitDepthLuma = 8;
  int32_t bitDepthChroma = 8;
  // Every field above was read before the data ran out.
  bool parsed = false;
};

// Reads an SPS NAL unit (header byte first) up to the bit depths.
SpsInfo ParseSps(std::span<const uint8_t> sps);

}  // namespace ovix
