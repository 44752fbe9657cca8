#include "record/h264_input_form.h"

#include "record/h264_nal.h"

namespace ovix {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

void TakeUnit(const uint8_t* unit, size_t length, H264Units& out, std::vector<uint8_t>& sps, std::vector<uint8_t>& pps) {
  const int type = unit[0] & 0x1F;
  if (out.nalCount++ == 0) out.firstType = type;
  if (type == 5) out.key = true;
  if (type == 7) sps.assign(unit, unit + length);
  if (type == 8) pps.assign(unit, unit + length);
  out.annexB.insert(out.annexB.end(), kStartCode, kStartCode + 4);
  out.annexB.insert(out.annexB.end(), unit, unit + length);
}

void Clear(H264Units& out) {
  out.annexB.clear();
  out.nalCount = 0;
  out.firstType = 0;
  out.key = false;
}

bool ParseAnnexB(const uint8_t* data, size_t size, H264Units& out, std::vector<uint8_t>& sps,
                 std::vector<uint8_t>& pps) {
  Clear(out);
  if (!data || size <= 3) return false;
  size_t codeLength = 0;
  if (FindStartCode(data, size, 0, &codeLength) == size) return false;
  LengthPrefixedPlan plan;  // with a start code present, the plan's units are the Annex-B units
  if (!PlanLengthPrefixed(data, size, plan)) return false;
  for (const NalUnitSpan& unit : plan.units) TakeUnit(unit.data, unit.size, out, sps, pps);
  return !out.annexB.empty();
}

uint32_t ReadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

bool ParseLengthPrefixed(const uint8_t* data, size_t size, H264Units& out, std::vector<uint8_t>& sps,
                         std::vector<uint8_t>& pps) {
  Clear(out);
  if (!data || size < 5 || !IsLengthPrefixedChain(data, size)) return false;
  for (size_t offset = 0; offset < size;) {
    const uint32_t length = ReadBe32(data + offset);
    TakeUnit(data + offset + 4, length, out, sps, pps);
    offset += 4 + length;
  }
  return true;
}

}  // namespace

const char* H264InputFormName(H264InputForm form) {
  switch (form) {
    case H264InputForm::AnnexB: return "AnnexB";
    case H264InputForm::Avcc: return "AVCC";
    case H264InputForm::SingleNal: return "SingleNAL";
    default: return "None";
  }
}

H264InputForm NormalizeH264Frame(const uint8_t* data, size_t size, H264Units& out, std::vector<uint8_t>& sps,
                                 std::vector<uint8_t>& pps) {
  Clear(out);
  if (!data || size == 0) return H264InputForm::None;
  // A whole valid length chain is taken as one before start codes are looked
  // for: a unit of 256 to 511 bytes has 00 00 01 in its length field, which
  // the start-code search would take for Annex-B and cut apart. An Annex-B
  // frame practically never tiles exactly into length fields. The chain is
  // checked whole before any unit is taken, so a frame that only starts
  // like one leaves no units or parameter sets behind.
  if (ParseLengthPrefixed(data, size, out, sps, pps)) return H264InputForm::Avcc;
  if (ParseAnnexB(data, size, out, sps, pps)) return H264InputForm::AnnexB;
  Clear(out);
  TakeUnit(data, size, out, sps, pps);
  return H264InputForm::SingleNal;
}

}  // namespace ovix
