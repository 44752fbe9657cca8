#include "record/h264_nal.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "record/bit_reader.h"

namespace ovix {

namespace {

uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace

bool IsHighProfileIdc(int32_t profileIdc) {
  switch (profileIdc) {
    case 44: case 83: case 86: case 100: case 110: case 118:
    case 122: case 128: case 134: case 138: case 139: case 244:
      return true;
    default:
      return false;
  }
}

size_t FindStartCode(const uint8_t* data, size_t size, size_t from, size_t* codeLength) {
  // A code starts at p with p + 3 < size and begins with 00 00. Pairs of
  // zero bytes are rare inside slice data, so candidates are found 16
  // positions at a time and only those are examined, in rising order.
  if (size < 4 || from > size - 4) return size;
  const size_t last = size - 4;
  const auto codeAt = [&](size_t p) -> bool {
    if (data[p + 2] == 1) {
      *codeLength = 3;
      return true;
    }
    if (data[p + 2] == 0 && data[p + 3] == 1) {
      *codeLength = 4;
      return true;
    }
    return false;
  };
  size_t p = from;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; p + 17 <= size; p += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + 1));
    unsigned pairs = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, zero), _mm_cmpeq_epi8(next, zero))));
    for (; pairs != 0; pairs &= pairs - 1) {
      const size_t c = p + static_cast<size_t>(__builtin_ctz(pairs));
      if (c > last) return size;
      if (codeAt(c)) return c;
    }
  }
#endif
  for (; p <= last; ++p) {
    if (data[p] == 0 && data[p + 1] == 0 && codeAt(p)) return p;
  }
  return size;
}

bool IsLengthPrefixedChain(const uint8_t* data, size_t size) {
  if (size < 4) return false;
  size_t pos = 0;
  while (pos < size) {
    if (size - pos < 4) return false;
    const uint32_t length = LoadBe32(data + pos);
    pos += 4;
    if (length == 0 || length > size - pos) return false;
    pos += length;
  }
  return true;
}

bool PlanLengthPrefixed(const uint8_t* data, size_t size, LengthPrefixedPlan& plan) {
  plan.passThrough = false;
  plan.units.clear();
  plan.outputSize = 0;
  if (!data || size < 1) return false;

  size_t codeLength = 0;
  size_t code = FindStartCode(data, size, 0, &codeLength);
  if (code == size) {
    if (IsLengthPrefixedChain(data, size)) {
      plan.passThrough = true;
      plan.outputSize = size;
    } else {
      plan.units.push_back({data, size});
      plan.outputSize = size + 4;
    }
    return true;
  }
  while (code < size) {
    const size_t begin = code + codeLength;
    code = FindStartCode(data, size, begin, &codeLength);
    size_t end = code;
    while (end > begin && data[end - 1] == 0) --end;
    if (end > begin) {
      plan.units.push_back({data + begin, end - begin});
      plan.outputSize += 4 + (end - begin);
    }
  }
  return !plan.units.empty();
}

bool ConvertToLengthPrefixed(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  out.clear();
  LengthPrefixedPlan plan;
  if (!PlanLengthPrefixed(data, size, plan)) return false;
  if (plan.passThrough) {
    out.assign(data, data + size);
    return true;
  }
  out.resize(plan.outputSize);
  uint8_t* p = out.data();
  for (const NalUnitSpan& unit : plan.units) {
    StoreBe32(p, static_cast<uint32_t>(unit.size));
    std::memcpy(p + 4, unit.data, unit.size);
    p += 4 + unit.size;
  }
  return true;
}

std::vector<uint8_t> BuildAvcDecoderConfig(std::span<const uint8_t> sps, std::span<const uint8_t> pps) {
  std::vector<uint8_t> out;
  if (sps.size() < 4 || pps.empty()) return out;
  out.reserve(11 + sps.size() + pps.size() + 4);
  out.insert(out.end(), {1, sps[1], sps[2], sps[3], 0xFF, 0xE1,
                         static_cast<uint8_t>(sps.size() >> 8), static_cast<uint8_t>(sps.size())});
  out.insert(out.end(), sps.begin(), sps.end());
  out.insert(out.end(), {1, static_cast<uint8_t>(pps.size() >> 8), static_cast<uint8_t>(pps.size())});
  out.insert(out.end(), pps.begin(), pps.end());
  if (IsHighProfileIdc(sps[1])) {
    const SpsInfo info = ParseSps(sps);
    const int32_t chroma = info.parsed ? info.chromaFormatIdc : 1;
    const auto depthByte = [](int32_t depth) {
      return static_cast<uint8_t>(depth <= 8 ? 0xF8 : (0xF8 | (depth - 8)));
    };
    out.insert(out.end(), {static_cast<uint8_t>(0xFC | chroma), depthByte(info.bitDepthLuma),
                           depthByte(info.bitDepthChroma), 0x00});
  }
  return out;
}

SpsInfo ParseSps(std::span<const uint8_t> sps) {
  SpsInfo info;
  if (sps.size() <= 3) return info;

  // The RBSP: emulation-prevention bytes (the 03 of 00 00 03) removed.
  std::vector<uint8_t> rbsp;
  rbsp.reserve(sps.size() - 1);
  int zeros = 0;
  for (size_t i = 1; i < sps.size(); ++i) {
    const uint8_t b = sps[i];
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    rbsp.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  if (rbsp.size() <= 2) return info;

  BitReader reader(rbsp.data(), rbsp.size());
  info.profileIdc = static_cast<int32_t>(reader.ReadBits(8));
  reader.SkipBits(8);  // constraint flags
  info.levelIdc = static_cast<int32_t>(reader.ReadBits(8));
  reader.ReadUe();  // seq_parameter_set_id
  if (reader.Exhausted()) return info;

  if (IsHighProfileIdc(info.profileIdc)) {
    info.chromaFormatIdc = static_cast<int32_t>(reader.ReadUe());
    if (info.chromaFormatIdc == 3) reader.SkipBits(1);  // separate_colour_plane_flag
    info.bitDepthLuma = static_cast<int32_t>(reader.ReadUe() + 8u);
    info.bitDepthChroma = static_cast<int32_t>(reader.ReadUe() + 8u);
  }
  info.parsed = !reader.Exhausted();
  return info;
}

}  // namespace ovix
