// The three forms in which H.264 frames reach the recorder: Annex-B access
// units (start codes), length-prefixed units (AVCC), or one bare NAL unit.
// Each frame is re-emitted as Annex-B with 4-byte start codes, and the
// parameter sets it carries are captured.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ovix {

enum class H264InputForm { None, AnnexB, Avcc, SingleNal };

const char* H264InputFormName(H264InputForm form);

struct H264Units {
  std::vector<uint8_t> annexB;  // every unit behind 00 00 00 01
  int nalCount = 0;
  int firstType = 0;  // of the first unit (header byte & 0x1F)
  bool key = false;   // an IDR unit (type 5) was seen
};

// Normalises one frame: a whole length-prefixed chain, else Annex-B, else
// the single unit form. A unit of type 7 replaces sps,
// one of type 8 replaces pps (header byte included, no start code).
// out.annexB is empty when the frame holds no unit.
H264InputForm NormalizeH264Frame(const uint8_t* data, size_t size, H264Units& out, std::vector<uint8_t>& sps,
                                 std::vector<uint8_t>& pps);

}  // namespace ovix
