// The MP4 writer's H.264 helpers: access units to length-prefixed NAL units,
// the Exp-Golomb reader, the SPS fields and the avcC record, on hand-made
// units and on real SPS units from libx264.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "record/av_test_streams.h"
#include "record/bit_reader.h"
#include "record/h264_nal.h"

namespace ovix {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Convert(const Bytes& in) {
  Bytes out;
  EXPECT_TRUE(ConvertToLengthPrefixed(in.data(), in.size(), out));
  return out;
}

struct ConvertCase {
  const char* name;
  Bytes in, out;
};

TEST(ConvertToLengthPrefixed, Forms) {
  Bytes avccShort = {0, 0, 0, 2, 0x41, 0xAA, 0, 0, 0, 3, 0x65, 0xBB, 0xCC};
  // A length-prefixed unit of 256..511 bytes has 00 00 01 in its length
  // field: start codes are looked for first, so it is read as Annex-B.
  Bytes avcc261 = {0, 0, 1, 5};
  avcc261.insert(avcc261.end(), 261, 0x41);
  Bytes avcc261Out = {0, 0, 1, 6, 5};
  avcc261Out.insert(avcc261Out.end(), 261, 0x41);

  const ConvertCase cases[] = {
      {"sps 4-byte, pps 3-byte, idr 4-byte code",
       {0, 0, 0, 1, 0x67, 0x42, 0x1E, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88, 0x84},
       {0, 0, 0, 3, 0x67, 0x42, 0x1E, 0, 0, 0, 2, 0x68, 0xCE, 0, 0, 0, 3, 0x65, 0x88, 0x84}},
      {"zero before a start code is not part of the unit",
       {0, 0, 1, 0x41, 0xAA, 0, 0, 0, 0, 1, 0x41, 0xBB},
       {0, 0, 0, 2, 0x41, 0xAA, 0, 0, 0, 2, 0x41, 0xBB}},
      {"trailing zeros at the end dropped", {0, 0, 1, 0x65, 0x11, 0, 0}, {0, 0, 0, 2, 0x65, 0x11}},
      {"bytes before the first start code dropped", {0xAA, 0xBB, 0, 0, 1, 0x65, 0x11}, {0, 0, 0, 2, 0x65, 0x11}},
      {"empty units skipped", {0, 0, 1, 0, 0, 1, 0x65, 0x11}, {0, 0, 0, 2, 0x65, 0x11}},
      {"3-byte code in the last three bytes is payload",
       {0, 0, 0, 1, 0x65, 0x11, 0, 0, 1},
       {0, 0, 0, 5, 0x65, 0x11, 0, 0, 1}},
      {"4-byte code at the end ends the unit", {0, 0, 0, 1, 0x65, 0x11, 0, 0, 0, 1}, {0, 0, 0, 2, 0x65, 0x11}},
      {"emulation-prevented payload kept", {0, 0, 1, 0x65, 0, 0, 3, 1, 0x22}, {0, 0, 0, 6, 0x65, 0, 0, 3, 1, 0x22}},
      {"already length-prefixed is unchanged", avccShort, avccShort},
      {"length-prefixed with 00 00 01 in a length", avcc261, avcc261Out},
      {"one byte", {0x65}, {0, 0, 0, 1, 0x65}},
      {"two bytes", {0x65, 0x88}, {0, 0, 0, 2, 0x65, 0x88}},
      {"three bytes, even a start code", {0, 0, 1}, {0, 0, 0, 3, 0, 0, 1}},
      {"bare NAL unit", {0x65, 0x88, 0x84, 0x21, 0xA0}, {0, 0, 0, 5, 0x65, 0x88, 0x84, 0x21, 0xA0}},
      {"length beyond the end: one unit", {0, 0, 0, 5, 0x41, 0xAA}, {0, 0, 0, 6, 0, 0, 0, 5, 0x41, 0xAA}},
      {"zero length: one unit", {0, 0, 0, 0, 0x41}, {0, 0, 0, 5, 0, 0, 0, 0, 0x41}},
      {"chain with stray tail: one unit", {0, 0, 0, 2, 0x41, 0xAA, 7}, {0, 0, 0, 7, 0, 0, 0, 2, 0x41, 0xAA, 7}},
  };
  for (const ConvertCase& c : cases) EXPECT_EQ(Convert(c.in), c.out) << c.name;
}

TEST(ConvertToLengthPrefixed, RefusesEmptyAndUnitless) {
  Bytes out = {9};
  const uint8_t one = 0x65;
  EXPECT_FALSE(ConvertToLengthPrefixed(nullptr, 4, out));
  EXPECT_FALSE(ConvertToLengthPrefixed(&one, 0, out));
  const Bytes onlyCodes = {0, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_FALSE(ConvertToLengthPrefixed(onlyCodes.data(), onlyCodes.size(), out));
  EXPECT_TRUE(out.empty());
}

// The rule written out position by position, as a reference for the
// library's faster scan.
Bytes ReferenceConvert(const Bytes& in) {
  const size_t n = in.size();
  const auto codeAt = [&](size_t p, size_t* len) {
    if (in[p] != 0 || in[p + 1] != 0) return false;
    if (in[p + 2] == 1) return *len = 3, true;
    if (in[p + 2] == 0 && in[p + 3] == 1 && p + 4 <= n) return *len = 4, true;
    return false;
  };
  const auto find = [&](size_t from, size_t* len) {
    for (size_t p = from; p + 3 < n; ++p)
      if (codeAt(p, len)) return p;
    return n;
  };
  const auto prefixed = [](Bytes& out, const uint8_t* d, size_t len) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(len >> s));
    out.insert(out.end(), d, d + len);
  };
  Bytes out;
  size_t len = 0;
  size_t p = find(0, &len);
  if (p == n) {
    bool chain = n >= 4;
    for (size_t at = 0; chain && at < n;) {
      if (n - at < 4) {
        chain = false;
        break;
      }
      const size_t l = (size_t{in[at]} << 24) | (in[at + 1] << 16) | (in[at + 2] << 8) | in[at + 3];
      at += 4;
      if (l == 0 || l > n - at) chain = false;
      at += l;
    }
    if (chain) return in;
    prefixed(out, in.data(), n);
    return out;
  }
  while (p < n) {
    const size_t begin = p + len;
    p = find(begin, &len);
    size_t end = p;
    while (end > begin && in[end - 1] == 0) --end;
    if (end > begin) prefixed(out, in.data() + begin, end - begin);
  }
  return out;
}

TEST(ConvertToLengthPrefixed, MatchesThePositionByPositionRule) {
  // Inputs dense in 00, 01 and 03 bytes hit every start-code corner; sparse
  // ones have codes far apart, across the scan's 16-byte steps.
  std::mt19937 rng(7);
  const uint8_t dense[] = {0, 0, 0, 1, 3, 0x41};
  const uint8_t sparse[] = {0, 0, 1, 3, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41};
  for (int i = 0; i < 6000; ++i) {
    Bytes in(1 + rng() % 100);
    for (uint8_t& b : in) b = i % 2 ? sparse[rng() % sizeof sparse] : dense[rng() % sizeof dense];
    Bytes got;
    const bool ok = ConvertToLengthPrefixed(in.data(), in.size(), got);
    const Bytes want = ReferenceConvert(in);
    ASSERT_EQ(ok, !want.empty()) << ::testing::PrintToString(in);
    ASSERT_EQ(got, ok ? want : Bytes{}) << ::testing::PrintToString(in);
  }
}

// Bytes from a string of '0'/'1' (spaces ignored); its length is a
// multiple of 8.
Bytes FromBits(const std::string& bits) {
  Bytes out;
  int n = 0;
  for (char c : bits) {
    if (c == ' ') continue;
    if (n % 8 == 0) out.push_back(0);
    if (c == '1') out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
    ++n;
  }
  EXPECT_EQ(n % 8, 0) << bits;
  return out;
}

struct UeCase {
  const char* bits;
  std::vector<uint32_t> values;  // successive ReadUe results
  bool exhausted;
};

TEST(BitReader, ReadUe) {
  const std::string zeros31(31, '0'), ones31(31, '1');
  const std::string longest = zeros31 + "1" + ones31 + "1";
  const UeCase cases[] = {
      {"1010 0110", {0, 1, 2, 0}, true},           // 1, 010, 011, then a lone 0 runs out
      {"0000 0001 1111 1110", {254, 0}, true},     // 7 zeros + 1111111; the last 0 runs out
      {"0001 0000", {7, 0}, true},                 // 0001 000, then nothing
      {"0000 0010", {63, 0, 0}, true},             // suffix runs out: 2^6 - 1, then stays exhausted
      {longest.c_str(), {0xFFFFFFFEu, 0}, false},  // 31 zeros: the longest code
      {"0000 0000 0000 0000 0000 0000 0000 0000 1000 0000", {0, 0}, true},  // 32 zeros
      {"0000 0000", {0}, true},
  };
  for (const UeCase& c : cases) {
    const Bytes data = FromBits(c.bits);
    BitReader r(data.data(), data.size());
    std::vector<uint32_t> got;
    for (size_t i = 0; i < c.values.size(); ++i) got.push_back(r.ReadUe());
    EXPECT_EQ(got, c.values) << c.bits;
    EXPECT_EQ(r.Exhausted(), c.exhausted) << c.bits;
  }
  // Once exhausted, fixed-width reads give 0 too and consume nothing.
  const Bytes one = {0xFF};
  BitReader r(one.data(), one.size());
  EXPECT_EQ(r.ReadBits(4), 0xFu);
  EXPECT_EQ(r.ReadBits(5), 0u);
  EXPECT_TRUE(r.Exhausted());
  EXPECT_EQ(r.ReadBits(1), 0u);
}

// An SPS NAL unit (header 0x67) from fields: fixed-width (w > 0) and ue(v)
// (w == 0), padded with a stop bit.
Bytes MakeSps(std::initializer_list<std::pair<int, uint32_t>> fields) {
  std::string bits;
  for (auto [w, v] : fields) {
    if (w > 0) {
      for (int i = w - 1; i >= 0; --i) bits += (v >> i) & 1 ? '1' : '0';
    } else {
      const uint64_t code = uint64_t{v} + 1;
      int n = 0;
      while ((code >> (n + 1)) != 0) ++n;
      bits += std::string(n, '0');
      for (int i = n; i >= 0; --i) bits += (code >> i) & 1 ? '1' : '0';
    }
  }
  bits += '1';
  while (bits.size() % 8) bits += '0';
  Bytes sps = {0x67};
  const Bytes body = FromBits(bits);
  sps.insert(sps.end(), body.begin(), body.end());
  return sps;
}

void ExpectSps(const SpsInfo& got, const SpsInfo& want, const std::string& name) {
  EXPECT_EQ(got.profileIdc, want.profileIdc) << name;
  EXPECT_EQ(got.levelIdc, want.levelIdc) << name;
  EXPECT_EQ(got.chromaFormatIdc, want.chromaFormatIdc) << name;
  EXPECT_EQ(got.bitDepthLuma, want.bitDepthLuma) << name;
  EXPECT_EQ(got.bitDepthChroma, want.bitDepthChroma) << name;
  EXPECT_EQ(got.parsed, want.parsed) << name;
}

struct SpsCase {
  const char* name;
  Bytes sps;
  SpsInfo want;
};

TEST(ParseSps, HandMadeUnits) {
  constexpr int ue = 0;
  Bytes high10Cut = MakeSps({{8, 110}, {8, 0}, {8, 40}, {ue, 0}, {ue, 1}, {ue, 100}});
  high10Cut.resize(6);  // ends inside the luma depth's 6-bit suffix: 2^6 - 1
  const SpsCase cases[] = {
      {"baseline", MakeSps({{8, 66}, {8, 0xC0}, {8, 30}, {ue, 0}, {ue, 5}}), {66, 30, 1, 8, 8, true}},
      {"high 4:2:0 8-bit", MakeSps({{8, 100}, {8, 0}, {8, 31}, {ue, 0}, {ue, 1}, {ue, 0}, {ue, 0}}),
       {100, 31, 1, 8, 8, true}},
      {"high 4:4:4 with separate colour plane flag, 10/12 bits",
       MakeSps({{8, 244}, {8, 0}, {8, 50}, {ue, 3}, {ue, 3}, {1, 1}, {ue, 2}, {ue, 4}}), {244, 50, 3, 10, 12, true}},
      {"high 4:2:2 sps id 31", MakeSps({{8, 122}, {8, 0}, {8, 41}, {ue, 31}, {ue, 2}, {ue, 0}, {ue, 0}}),
       {122, 41, 2, 8, 8, true}},
      {"suffix runs out in the luma depth", high10Cut, {110, 40, 1, 63 + 8, 8, false}},
      {"emulation prevention byte removed", {0x67, 0x64, 0x00, 0x00, 0x03, 0xAC, 0x80}, {100, 0, 1, 8, 8, true}},
      {"4:2:2 read, depths run out", {0x67, 0x7A, 0x00, 0x28, 0xB0}, {122, 40, 2, 8, 8, false}},
      {"only profile, constraints, level", {0x67, 0x64, 0x00, 0x1F}, {100, 31, 1, 8, 8, false}},
      {"32 zero bits for the sps id", {0x67, 0x4D, 0x40, 0x1E, 0, 0, 0, 0, 0x80}, {77, 30, 1, 8, 8, false}},
      {"three bytes", {0x67, 0x64, 0x00}, {}},
      {"rbsp of two bytes", {0x67, 0x00, 0x00, 0x03}, {}},
      {"empty", {}, {}},
  };
  for (const SpsCase& c : cases) ExpectSps(ParseSps(c.sps), c.want, c.name);
}

struct X264Profile {
  const char* profile;
  const char* pixelFormat;
  int profileIdc, chroma, depth;
  Bytes avcCTail;  // the four extension bytes of high profiles
};

const X264Profile kX264Profiles[] = {
    {"baseline", "yuv420p", 66, 1, 8, {}},
    {"main", "yuv420p", 77, 1, 8, {}},
    {"high", "yuv420p", 100, 1, 8, {0xFD, 0xF8, 0xF8, 0x00}},
    {"high10", "yuv420p10le", 110, 1, 10, {0xFD, 0xFA, 0xFA, 0x00}},
    {"high422", "yuv422p", 122, 2, 8, {0xFE, 0xF8, 0xF8, 0x00}},
    {"high444", "yuv444p", 244, 3, 8, {0xFF, 0xF8, 0xF8, 0x00}},
};

class X264Sps : public ::testing::TestWithParam<X264Profile> {};

TEST_P(X264Sps, ParsedAndRecorded) {
  const X264Profile& p = GetParam();
  test::H264Options options;
  options.profile = p.profile;
  options.pixelFormat = p.pixelFormat;
  options.frames = 1;
  options.width = 64;
  options.height = 48;
  std::string error;
  const test::H264Stream stream = test::EncodeH264(options, error);
  ASSERT_EQ(error, "");
  const Bytes& sps = stream.sps;

  const SpsInfo full = ParseSps(sps);
  ExpectSps(full, {p.profileIdc, sps[3], p.chroma, p.depth, p.depth, true}, p.profile);

  // Cut short anywhere, the parser never reports fields it did not read.
  for (size_t n = 0; n <= sps.size(); ++n) {
    const SpsInfo cut = ParseSps({sps.data(), n});
    const std::string name = std::string(p.profile) + " cut to " + std::to_string(n);
    if (n <= 3) ExpectSps(cut, {}, name);
    if (n >= 4) {
      EXPECT_EQ(cut.profileIdc, full.profileIdc) << name;
      EXPECT_EQ(cut.levelIdc, full.levelIdc) << name;
    }
    if (cut.parsed) ExpectSps(cut, full, name);
  }

  const Bytes avcC = BuildAvcDecoderConfig(sps, stream.pps);
  Bytes want = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1, 0, static_cast<uint8_t>(sps.size())};
  want.insert(want.end(), sps.begin(), sps.end());
  want.insert(want.end(), {1, 0, static_cast<uint8_t>(stream.pps.size())});
  want.insert(want.end(), stream.pps.begin(), stream.pps.end());
  want.insert(want.end(), p.avcCTail.begin(), p.avcCTail.end());
  EXPECT_EQ(avcC, want);
}

INSTANTIATE_TEST_SUITE_P(Profiles, X264Sps, ::testing::ValuesIn(kX264Profiles),
                         [](const auto& info) { return std::string(info.param.profile); });

TEST(BuildAvcDecoderConfig, EdgeCases) {
  const Bytes pps = {0x68, 0xCE, 0x38, 0x80};
  EXPECT_TRUE(BuildAvcDecoderConfig(Bytes{0x67, 0x42, 0x1E}, pps).empty());
  EXPECT_TRUE(BuildAvcDecoderConfig(Bytes{0x67, 0x42, 0xC0, 0x1E}, {}).empty());
  // A high profile SPS that cannot be read to the end says 4:2:0 8-bit,
  // even when it got as far as another chroma format.
  for (const Bytes& sps : {Bytes{0x67, 0x64, 0x00, 0x1F}, Bytes{0x67, 0x7A, 0x00, 0x28, 0xB0}}) {
    const Bytes cut = BuildAvcDecoderConfig(sps, pps);
    ASSERT_GE(cut.size(), 4u);
    EXPECT_EQ(Bytes(cut.end() - 4, cut.end()), (Bytes{0xFD, 0xF8, 0xF8, 0x00})) << sps.size();
  }
  // Lengths are 16-bit big-endian.
  Bytes longSps = {0x67, 0x42, 0xC0, 0x1E};
  longSps.resize(300, 0x55);
  const Bytes avcC = BuildAvcDecoderConfig(longSps, pps);
  ASSERT_EQ(avcC.size(), 8 + 300 + 3 + pps.size());
  EXPECT_EQ(avcC[6], 0x01);
  EXPECT_EQ(avcC[7], 0x2C);
  EXPECT_EQ(avcC[8 + 300], 1);
  EXPECT_EQ(avcC[8 + 300 + 2], pps.size());
}

}  // namespace
}  // namespace ovix
