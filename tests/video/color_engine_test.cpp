// The CPU colour engine: when it passes frames through, every conversion and
// LUT path against the plain reference, the colour-space choice, its setters,
// loaders and concurrency.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ovixcapture.h"
#include "platform/sys.h"
#include "support/temp_dir.h"
#include "support/log_capture.h"
#include "support/test_ports.h"
#include "video/color_reference.h"
#include "video/cube_lut.h"
#include "video/cube_parser.h"

namespace ovix::test {
namespace {

constexpr int32_t kRawFormats[] = {OVIX_FORMAT_YUY2, OVIX_FORMAT_NV12, OVIX_FORMAT_RGB24, OVIX_FORMAT_RGB32};

int PackedRow(int32_t format, int w) {
  switch (format) {
    case OVIX_FORMAT_YUY2: return 2 * w;
    case OVIX_FORMAT_RGB24: return 3 * w;
    case OVIX_FORMAT_RGB32: return 4 * w;
    default: return w;
  }
}

// A frame in memory: rows padded by pad bytes, or strides left 0 (the
// engine then takes packed rows); NV12 chroma follows the luma rows and is
// reached through data[1] or, without it, through the luma plane.
struct Picture {
  std::vector<uint8_t> bytes;
  OvixVideoFrame frame{};
};

struct Layout {
  int pad = 0;
  bool zeroStrides = false;
  bool chromaPointer = true;
};

Picture RandomPicture(int32_t format, int w, int h, uint32_t seed, Layout layout = {}) {
  Picture p;
  const int stride = PackedRow(format, w) + layout.pad;
  const int chromaStride = (w + 1) / 2 * 2 + layout.pad;
  const size_t lumaBytes = static_cast<size_t>(stride) * h;
  const size_t chromaBytes = format == OVIX_FORMAT_NV12 ? static_cast<size_t>(chromaStride) * ((h + 1) / 2) : 0;
  p.bytes.resize(lumaBytes + chromaBytes);
  std::mt19937 rng(seed);
  for (uint8_t& b : p.bytes) b = static_cast<uint8_t>(rng());
  p.frame.data[0] = p.bytes.data();
  p.frame.stride[0] = layout.zeroStrides ? 0 : stride;
  if (format == OVIX_FORMAT_NV12) {
    p.frame.data[1] = layout.chromaPointer ? p.bytes.data() + lumaBytes : nullptr;
    p.frame.stride[1] = layout.zeroStrides ? 0 : chromaStride;
  }
  p.frame.width = w;
  p.frame.height = h;
  p.frame.format = format;
  p.frame.timestamp = 4242;
  p.frame.frameIndex = seed;
  return p;
}

testing::AssertionResult SamePicture(const RefPicture& got, const RefPicture& want) {
  if (got.format != want.format || got.width != want.width || got.height != want.height ||
      got.stride0 != want.stride0 || got.stride1 != want.stride1)
    return testing::AssertionFailure() << "record fmt=" << got.format << " " << got.width << "x" << got.height
                                       << " strides " << got.stride0 << "/" << got.stride1 << ", want fmt="
                                       << want.format << " " << want.width << "x" << want.height << " strides "
                                       << want.stride0 << "/" << want.stride1;
  for (int plane = 0; plane < 2; ++plane) {
    const std::vector<uint8_t>& a = plane ? got.plane1 : got.plane0;
    const std::vector<uint8_t>& b = plane ? want.plane1 : want.plane0;
    if (a.size() != b.size()) return testing::AssertionFailure() << "plane " << plane << " size " << a.size();
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i] != b[i])
        return testing::AssertionFailure() << "plane " << plane << " byte " << i << " is " << int{a[i]}
                                           << ", want " << int{b[i]};
  }
  return testing::AssertionSuccess();
}

// What reached the engine's frame callback.
struct Sink {
  std::vector<const OvixVideoFrame*> records;
  std::vector<OvixVideoFrame> frames;
  std::vector<RefPicture> pictures;
  static void Take(const OvixVideoFrame* f, void* user) {
    auto* s = static_cast<Sink*>(user);
    s->records.push_back(f);
    s->frames.push_back(*f);
    const bool raw = f->format >= OVIX_FORMAT_YUY2 && f->format <= OVIX_FORMAT_RGB32;
    s->pictures.push_back(raw && f->stride[0] > 0 ? CopyPicture(*f) : RefPicture{});
  }
  void Clear() {
    records.clear();
    frames.clear();
    pictures.clear();
  }
};

std::u16string U16(const std::string& s) {
  std::u16string out;
  sys::Utf8ToUtf16(s, out);
  return out;
}

// A random table with every kind of entry the parser clamps, and a domain
// with one inverted channel (the engine accepts it).
std::string RandomCube(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-0.1f, 1.1f);
  std::string text = "TITLE \"random\"\nLUT_3D_SIZE " + std::to_string(n) +
                     "\nDOMAIN_MIN 0.1 -0.2 1.0\nDOMAIN_MAX 0.9 1.0 0.0\n";
  char line[96];
  for (int i = 0; i < n * n * n; ++i) {
    std::snprintf(line, sizeof line, "%.6f %.6f %.6f\n", value(rng), value(rng), value(rng));
    text += line;
  }
  return text;
}

std::string IdentityCube() {
  std::string text = "LUT_3D_SIZE 2\n";
  for (int b = 0; b < 2; ++b)
    for (int g = 0; g < 2; ++g)
      for (int r = 0; r < 2; ++r) text += std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b) + "\n";
  return text;
}

std::shared_ptr<const Ovix3DLutData> TableOf(const std::string& text) {
  CubeParseResult parsed;
  EXPECT_TRUE(ParseCube(text.c_str(), CubeDomainRule::kColorEngine, parsed));
  return BuildColorEngineLut(parsed);
}

class ColorEngine : public testing::Test {
 public:  // the callbacks of some tests call back into the fixture
  void SetUp() override {
    ASSERT_EQ(OVIX_Init(), OVIX_OK);
    engine_ = OVIX_CreateVideoColorEngine();
    ASSERT_NE(engine_, nullptr);
    OVIX_SetVideoFrameCallback(engine_, &Sink::Take, &sink_);
  }
  void TearDown() override { OVIX_DestroyPort(engine_); }

  int Configure(uint32_t processor, int enable, uint32_t outFmt, int cs = 0, int range = 0, float strength = 1.0f) {
    const OvixColorConfig c{processor, enable, outFmt, cs, range, strength};
    return OVIX_SetVideoColorEngineConfig(engine_, &c);
  }
  int Push(const OvixVideoFrame& f) { return OvixPortBase::FromHandle(engine_)->OnVideoFrame(&f); }

  std::string WriteFile(const std::string& name, const std::string& text) { return temp_.Write(name, text); }
  int Load(const std::string& path) { return OVIX_LoadVideoColorEngineCubeFile(engine_, U16(path).c_str()); }

  // The engine's output for in under a config, as a copy.
  RefPicture Run(const OvixVideoFrame& in) {
    sink_.Clear();
    EXPECT_EQ(Push(in), OVIX_OK);
    EXPECT_EQ(sink_.pictures.size(), 1u);
    return sink_.pictures.empty() ? RefPicture{} : sink_.pictures.back();
  }

  OvixPortHandle engine_ = nullptr;
  Sink sink_;
  TempDir temp_{"ovix_color"};
};

TEST_F(ColorEngine, PassesFramesThroughUnlessItHasWorkToDo) {
  const std::string cube = WriteFile("lut.cube", RandomCube(3, 1));
  const struct {
    const char* what;
    bool configure;
    uint32_t processor;
    int enable;
    uint32_t outFmt;
    bool loadLut;
    int32_t format;
    bool passes;
  } cases[] = {
      {"new engine", false, 0, 0, 0, false, OVIX_FORMAT_YUY2, true},
      {"processor 0", true, 0, 1, 4, true, OVIX_FORMAT_YUY2, true},
      {"processor 2", true, 2, 1, 4, true, OVIX_FORMAT_YUY2, true},
      {"no LUT, same format", true, 1, 0, 0, true, OVIX_FORMAT_RGB32, true},
      {"no LUT, outFmt names the input format", true, 3, 0, 4, true, OVIX_FORMAT_RGB32, true},
      {"enabled but nothing loaded", true, 1, 1, 0, false, OVIX_FORMAT_NV12, true},
      {"MJPG is never processed", true, 1, 1, 4, true, OVIX_FORMAT_MJPG, true},
      {"H264 is never processed", true, 3, 1, 0, true, OVIX_FORMAT_H264, true},
      {"processor 1 converts", true, 1, 0, 4, false, OVIX_FORMAT_YUY2, false},
      {"processor 3 converts", true, 3, 0, 3, false, OVIX_FORMAT_NV12, false},
      {"processor 1 applies a loaded LUT", true, 1, 1, 0, true, OVIX_FORMAT_RGB24, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(OVIX_ClearVideoColorEngineLut(engine_), OVIX_OK);
    if (c.loadLut) {
      ASSERT_EQ(Load(cube), OVIX_OK);
    }
    if (c.configure) {
      ASSERT_EQ(Configure(c.processor, c.enable, c.outFmt), OVIX_OK);
    }
    Picture p = RandomPicture(c.format == OVIX_FORMAT_MJPG || c.format == OVIX_FORMAT_H264 ? OVIX_FORMAT_RGB32 : c.format,
                              8, 4, 7);
    p.frame.format = c.format;
    sink_.Clear();
    ASSERT_EQ(Push(p.frame), OVIX_OK);
    ASSERT_EQ(sink_.records.size(), 1u);
    EXPECT_EQ(sink_.records[0] == &p.frame, c.passes);
    EXPECT_EQ(sink_.frames[0].data[0] == p.frame.data[0], c.passes);
    EXPECT_EQ(sink_.frames[0].timestamp, 4242);
  }
}

TEST_F(ColorEngine, EveryFormatPairMatchesTheReference) {
  const std::string text = RandomCube(5, 2);
  ASSERT_EQ(Load(WriteFile("lut.cube", text)), OVIX_OK);
  const auto lut = TableOf(text);
  const struct {
    int w, h;
    Layout layout;
  } sizes[] = {
      {1, 1, {}}, {3, 3, {5, false, false}}, {17, 2, {0, true, true}}, {35, 5, {3, false, true}},
      {48, 4, {0, true, false}}, {67, 3, {1, false, false}},
  };
  const struct {
    int cs, range;
  } matrices[] = {{1, 1}, {1, 2}, {2, 1}, {2, 2}, {3, 1}, {3, 2}};
  const struct {
    bool lut;
    float strength;
  } grades[] = {{false, 1.0f}, {true, 1.0f}, {true, 0.6f}};
  int checked = 0;
  for (int32_t in : kRawFormats)
    for (int32_t out : kRawFormats)
      for (const auto& g : grades)
        for (const auto& m : matrices)
          for (const auto& s : sizes) {
            SCOPED_TRACE(testing::Message() << "in=" << in << " out=" << out << " lut=" << g.lut << " strength="
                                            << g.strength << " cs=" << m.cs << " range=" << m.range << " " << s.w
                                            << "x" << s.h);
            ASSERT_EQ(Configure(1, g.lut, static_cast<uint32_t>(out), m.cs, m.range, g.strength), OVIX_OK);
            const Picture p = RandomPicture(in, s.w, s.h, static_cast<uint32_t>(checked), s.layout);
            sink_.Clear();
            ASSERT_EQ(Push(p.frame), OVIX_OK);
            ASSERT_EQ(sink_.records.size(), 1u);
            if (in == out && !g.lut) {
              EXPECT_EQ(sink_.records[0], &p.frame);
              continue;
            }
            const RefPicture want =
                ReferenceConvert(p.frame, {out, m.cs, m.range == 1, g.strength, g.lut ? lut.get() : nullptr});
            ASSERT_TRUE(SamePicture(sink_.pictures[0], want));
            EXPECT_EQ(sink_.frames[0].frameIndex, p.frame.frameIndex);
            EXPECT_EQ(sink_.frames[0].data[2], nullptr);
            ++checked;
          }
  EXPECT_EQ(checked, (16 - 4) * 3 * 6 * 6 + 4 * 2 * 6 * 6);
}

TEST_F(ColorEngine, FixedPointConversionHoldsForEveryYuvTriple) {
  // Every (Y, U, V) of both ranges and matrices: row U * 256 + V, pixel Y.
  constexpr int kRows = 4096;
  Picture p = RandomPicture(OVIX_FORMAT_YUY2, 256, kRows, 0);
  for (const auto& [cs, range] : {std::pair{1, 1}, std::pair{1, 2}, std::pair{2, 1}, std::pair{2, 2}}) {
    ASSERT_EQ(Configure(1, 0, OVIX_FORMAT_RGB32, cs, range), OVIX_OK);
    for (int part = 0; part < 65536 / kRows; ++part) {
      SCOPED_TRACE(testing::Message() << "cs=" << cs << " range=" << range << " part " << part);
      for (int row = 0; row < kRows; ++row) {
        const int uv = part * kRows + row;
        uint8_t* q = p.bytes.data() + static_cast<size_t>(row) * 512;
        for (int k = 0; k < 128; ++k) {
          q[4 * k] = static_cast<uint8_t>(2 * k);
          q[4 * k + 1] = static_cast<uint8_t>(uv >> 8);
          q[4 * k + 2] = static_cast<uint8_t>(2 * k + 1);
          q[4 * k + 3] = static_cast<uint8_t>(uv);
        }
      }
      ASSERT_TRUE(SamePicture(Run(p.frame), ReferenceConvert(p.frame, {OVIX_FORMAT_RGB32, cs, range == 1, 1.0f, nullptr})));
    }
  }
}

TEST_F(ColorEngine, IdentityLutGivesEveryColourBack) {
  ASSERT_EQ(Load(WriteFile("identity.cube", IdentityCube())), OVIX_OK);
  ASSERT_EQ(Configure(1, 1, 0), OVIX_OK);
  // 2^24 colours in 16 frames of 4096 x 256, alpha 0 on the way in.
  constexpr int kW = 4096, kH = 256;
  Picture p = RandomPicture(OVIX_FORMAT_RGB32, kW, kH, 0);
  for (uint32_t part = 0; part < 16; ++part) {
    for (uint32_t i = 0; i < kW * kH; ++i) {
      const uint32_t c = part * kW * kH + i;
      p.bytes[4 * i] = static_cast<uint8_t>(c);
      p.bytes[4 * i + 1] = static_cast<uint8_t>(c >> 8);
      p.bytes[4 * i + 2] = static_cast<uint8_t>(c >> 16);
      p.bytes[4 * i + 3] = 0;
    }
    const RefPicture got = Run(p.frame);
    ASSERT_EQ(got.plane0.size(), p.bytes.size());
    for (uint32_t i = 0; i < kW * kH; ++i) {
      const uint32_t want = (part * kW * kH + i) | 0xFF000000u;
      const uint32_t have = got.plane0[4 * i] | (got.plane0[4 * i + 1] << 8) | (got.plane0[4 * i + 2] << 16) |
                            (static_cast<uint32_t>(got.plane0[4 * i + 3]) << 24);
      ASSERT_EQ(have, want) << "colour " << std::hex << (want & 0xFFFFFF);
    }
  }
}

TEST_F(ColorEngine, StrengthZeroKeepsTheInputColours) {
  ASSERT_EQ(Load(WriteFile("lut.cube", RandomCube(4, 3))), OVIX_OK);
  for (int32_t format : {OVIX_FORMAT_RGB24, OVIX_FORMAT_RGB32}) {
    SCOPED_TRACE(format);
    ASSERT_EQ(Configure(1, 1, 0, 0, 0, 0.0f), OVIX_OK);
    Picture p = RandomPicture(format, 37, 5, 9);
    if (format == OVIX_FORMAT_RGB32)
      for (size_t i = 3; i < p.bytes.size(); i += 4) p.bytes[i] = 255;
    const RefPicture got = Run(p.frame);
    EXPECT_NE(sink_.frames[0].data[0], p.frame.data[0]);  // processed, not passed through
    EXPECT_EQ(got.plane0, p.bytes);
    // A strength that rounds to 1/256 does change colours.
    ASSERT_EQ(Configure(1, 1, 0, 0, 0, 0.5f), OVIX_OK);
    EXPECT_NE(Run(p.frame).plane0, p.bytes);
  }
}

TEST_F(ColorEngine, AutomaticColourSpaceFollowsTheFrameSize) {
  const struct {
    int w, h, cs;
  } cases[] = {{1920, 1080, 2}, {720, 576, 1}, {720, 577, 2}, {1280, 2, 2}, {1279, 576, 1}};
  ASSERT_EQ(Configure(1, 0, OVIX_FORMAT_RGB32, 0, 2), OVIX_OK);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    const Picture p = RandomPicture(OVIX_FORMAT_YUY2, c.w, c.h, 11);
    const RefPicture got = Run(p.frame);
    EXPECT_TRUE(SamePicture(got, ReferenceConvert(p.frame, {OVIX_FORMAT_RGB32, c.cs, false, 1.0f, nullptr})));
    EXPECT_FALSE(SamePicture(got, ReferenceConvert(p.frame, {OVIX_FORMAT_RGB32, 3 - c.cs, false, 1.0f, nullptr})));
  }
}

TEST_F(ColorEngine, Bt2020OnlyInTheFloatingPointPath) {
  const Picture yuy2 = RandomPicture(OVIX_FORMAT_YUY2, 40, 6, 5);
  const Picture rgb = RandomPicture(OVIX_FORMAT_RGB24, 40, 6, 6);
  auto output = [&](const Picture& p, uint32_t out, int cs) {
    EXPECT_EQ(Configure(1, 0, out, cs, 1), OVIX_OK);
    return Run(p.frame);
  };
  const RefPicture nv12 = output(yuy2, OVIX_FORMAT_NV12, 3);
  EXPECT_TRUE(SamePicture(nv12, ReferenceConvert(yuy2.frame, {OVIX_FORMAT_NV12, 3, true, 1.0f, nullptr})));
  EXPECT_FALSE(SamePicture(nv12, output(yuy2, OVIX_FORMAT_NV12, 2)));
  // The fixed-point path knows BT.601 and BT.709 only: 3 reads as 709.
  for (const auto& [p, out] : {std::pair{&yuy2, OVIX_FORMAT_RGB32}, std::pair{&rgb, OVIX_FORMAT_YUY2}}) {
    SCOPED_TRACE(out);
    const RefPicture fixed = output(*p, out, 3);
    EXPECT_TRUE(SamePicture(fixed, output(*p, out, 2)));
    EXPECT_FALSE(SamePicture(fixed, output(*p, out, 1)));
  }
}

TEST_F(ColorEngine, OddSizes) {
  // YUY2, 3 wide: the last pixel has Y and U but no V byte; it takes V = 128.
  Picture yuy2 = RandomPicture(OVIX_FORMAT_YUY2, 3, 1, 0);
  const uint8_t bytes[] = {100, 50, 150, 200, 120, 90};
  std::copy(std::begin(bytes), std::end(bytes), yuy2.bytes.begin());
  ASSERT_EQ(Configure(1, 0, OVIX_FORMAT_RGB24, 1, 1), OVIX_OK);
  const RefPicture rgb = Run(yuy2.frame);
  ASSERT_EQ(rgb.stride0, 9);
  // Y 120, u -38, v 0: R = 120, G = 120 - ((88 * -38 + 128) >> 8) = 133, B = 120 + ((454 * -38 + 128) >> 8) = 53.
  EXPECT_EQ(std::vector<uint8_t>(rgb.plane0.begin() + 6, rgb.plane0.end()), (std::vector<uint8_t>{53, 133, 120}));

  // NV12, odd height, converted to NV12 through a LUT: the last chroma row
  // averages only the pixels of the last luma row.
  ASSERT_EQ(Load(WriteFile("identity.cube", IdentityCube())), OVIX_OK);
  for (const auto& [w, h] : {std::pair{2, 3}, std::pair{5, 5}, std::pair{33, 7}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    ASSERT_EQ(Configure(1, 1, 0, 2, 2), OVIX_OK);
    const Picture nv12 = RandomPicture(OVIX_FORMAT_NV12, w, h, 3);
    const RefPicture got = Run(nv12.frame);
    EXPECT_EQ(got.stride1, (w + 1) / 2 * 2);
    EXPECT_EQ(got.plane1.size(), static_cast<size_t>(got.stride1) * ((h + 1) / 2));
    EXPECT_TRUE(SamePicture(got, ReferenceConvert(nv12.frame, {OVIX_FORMAT_NV12, 2, false, 1.0f,
                                                              TableOf(IdentityCube()).get()})));
  }
}

TEST_F(ColorEngine, ConfigSetterResultCodesInTheirOrder) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  OvixPortHandle crop = OVIX_CreateVideoCrop();
  const float nan = std::nanf("");
  const struct {
    const char* what;
    OvixPortHandle port;
    OvixColorConfig cfg;
    int result;
  } cases[] = {
      {"not an engine", crop, {1, 0, 0, 0, 0, 1.0f}, OVIX_ERR_INVALID_ARG},
      {"null port", nullptr, {1, 0, 0, 0, 0, 1.0f}, OVIX_ERR_INVALID_ARG},
      {"outFmt 5", engine_, {1, 0, 5, 0, 0, 1.0f}, OVIX_ERR_UNSUPPORTED},
      {"outFmt before processor", engine_, {4, 0, 5, 0, 0, 1.0f}, OVIX_ERR_UNSUPPORTED},
      {"outFmt before strength", engine_, {1, 0, 0xFFFFFFFFu, 0, 0, 2.0f}, OVIX_ERR_UNSUPPORTED},
      {"processor 4", engine_, {4, 0, 0, 0, 0, 1.0f}, OVIX_ERR_INVALID_ARG},
      {"strength 1.5", engine_, {1, 0, 0, 0, 0, 1.5f}, OVIX_ERR_INVALID_ARG},
      {"strength below 0", engine_, {1, 0, 0, 0, 0, -0.01f}, OVIX_ERR_INVALID_ARG},
      {"strength NaN", engine_, {1, 0, 0, 0, 0, nan}, OVIX_ERR_INVALID_ARG},
      {"cs and range are not checked", engine_, {3, 7, 4, 99, -5, 0.25f}, OVIX_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(OVIX_SetVideoColorEngineConfig(c.port, &c.cfg), c.result);
  }
  EXPECT_EQ(OVIX_SetVideoColorEngineConfig(engine_, nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(CountLogLines("ColorEngine config "), 1);
  EXPECT_EQ(CountLogLines("ColorEngine config processor=3 enable=7 outFmt=4 strength=0.250 cs=99 range=-5"), 1);

  OvixColorConfig got{};
  ASSERT_EQ(OVIX_GetVideoColorEngineConfig(engine_, &got), OVIX_OK);
  EXPECT_EQ(got.processor, 3u);
  EXPECT_EQ(got.enable, 7);
  EXPECT_EQ(got.outFmt, 4u);
  EXPECT_EQ(got.cs, 99);
  EXPECT_EQ(got.range, -5);
  EXPECT_EQ(got.strength, 0.25f);
  EXPECT_EQ(OVIX_GetVideoColorEngineConfig(engine_, nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_GetVideoColorEngineConfig(crop, &got), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_ClearVideoColorEngineLut(crop), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_LoadVideoColorEngineCubeFile(crop, u"x.cube"), OVIX_ERR_INVALID_ARG);
  OVIX_DestroyPort(crop);
}

TEST_F(ColorEngine, LoadsReplacesAndClearsTheTable) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  const std::string first = WriteFile("first.cube", RandomCube(3, 4));
  const std::string second = WriteFile("second.cube", RandomCube(6, 5));
  const std::string broken = WriteFile("broken.cube", "LUT_3D_SIZE 3\n0 0 0\n");
  const Picture p = RandomPicture(OVIX_FORMAT_RGB32, 20, 3, 8);
  auto graded = [&](const std::string& text) {
    return ReferenceConvert(p.frame, {OVIX_FORMAT_RGB32, 1, false, 1.0f, TableOf(text).get()});
  };

  EXPECT_EQ(OVIX_LoadVideoColorEngineCubeFile(engine_, nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_LoadVideoColorEngineCubeFile(engine_, u""), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(CountLogLines("ColorEngine load cube"), 0);

  ASSERT_EQ(Load(first), OVIX_OK);
  EXPECT_EQ(CountLogLines("ColorEngine cube loaded path=" + first + " dim=3"), 1);
  OvixColorConfig cfg{};
  ASSERT_EQ(OVIX_GetVideoColorEngineConfig(engine_, &cfg), OVIX_OK);
  EXPECT_EQ(cfg.enable, 0);  // loading does not enable
  ASSERT_EQ(Configure(1, 1, 0), OVIX_OK);
  EXPECT_TRUE(SamePicture(Run(p.frame), graded(RandomCube(3, 4))));

  // Failed loads keep the table in force.
  EXPECT_EQ(Load(temp_.Path() + "/missing.cube"), OVIX_ERR_FAILED);
  EXPECT_EQ(CountLogLines("ColorEngine load cube failed: open file failed path=" + temp_.Path() + "/missing.cube"), 1);
  EXPECT_EQ(Load(temp_.Path()), OVIX_ERR_FAILED);  // a folder is not a file
  EXPECT_EQ(CountLogLines("ColorEngine load cube failed: open file failed path=" + temp_.Path()), 2);
  EXPECT_EQ(Load(broken), OVIX_ERR_FAILED);
  EXPECT_EQ(CountLogLines("ColorEngine load cube failed: parse error path=" + broken), 1);
  EXPECT_TRUE(SamePicture(Run(p.frame), graded(RandomCube(3, 4))));

  ASSERT_EQ(Load(second), OVIX_OK);
  EXPECT_EQ(CountLogLines("dim=6"), 1);
  EXPECT_TRUE(SamePicture(Run(p.frame), graded(RandomCube(6, 5))));

  ASSERT_EQ(OVIX_ClearVideoColorEngineLut(engine_), OVIX_OK);
  EXPECT_EQ(CountLogLines("ColorEngine LUT cleared"), 1);
  sink_.Clear();
  ASSERT_EQ(Push(p.frame), OVIX_OK);
  EXPECT_EQ(sink_.records.at(0), &p.frame);

  // A path beyond the ASCII range goes to the file system and the log as UTF-8.
  const std::string named = WriteFile("gr\xC3\xBCn \xE2\x9C\x93.cube", RandomCube(2, 6));
  ASSERT_EQ(Load(named), OVIX_OK);
  EXPECT_EQ(CountLogLines("ColorEngine cube loaded path=" + named + " dim=2"), 1);
}

TEST_F(ColorEngine, RefusesEmptyFramesOnlyWhenItProcesses) {
  EXPECT_EQ(OvixPortBase::FromHandle(engine_)->OnVideoFrame(nullptr), OVIX_ERR_INVALID_ARG);
  Picture p = RandomPicture(OVIX_FORMAT_YUY2, 4, 2, 1);
  p.frame.width = 0;
  sink_.Clear();
  EXPECT_EQ(Push(p.frame), OVIX_OK);  // passed through: nothing to do
  EXPECT_EQ(sink_.records.size(), 1u);
  ASSERT_EQ(Configure(1, 0, OVIX_FORMAT_RGB32), OVIX_OK);
  for (const auto& [w, h] : {std::pair{0, 2}, std::pair{4, 0}, std::pair{-3, 2}}) {
    p.frame.width = w;
    p.frame.height = h;
    EXPECT_EQ(Push(p.frame), OVIX_ERR_INVALID_ARG);
  }
  // Nothing to read, or rows beyond a 32-bit stride: refused, not read.
  p.frame.height = 2;
  p.frame.width = 4;
  p.frame.data[0] = nullptr;
  EXPECT_EQ(Push(p.frame), OVIX_ERR_INVALID_ARG);
  p.frame.data[0] = p.bytes.data();
  p.frame.width = INT32_MAX / 4 + 1;
  EXPECT_EQ(Push(p.frame), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(sink_.records.size(), 1u);
}

TEST_F(ColorEngine, ReusesItsBuffersFrameToFrame) {
  ASSERT_EQ(Configure(1, 0, OVIX_FORMAT_NV12), OVIX_OK);
  const Picture big = RandomPicture(OVIX_FORMAT_RGB24, 64, 16, 1);
  const Picture small = RandomPicture(OVIX_FORMAT_RGB24, 30, 9, 2);
  for (const Picture* p : {&big, &small, &big}) Push(p->frame);
  ASSERT_EQ(sink_.frames.size(), 3u);
  for (int plane = 0; plane < 2; ++plane) {
    EXPECT_EQ(sink_.frames[1].data[plane], sink_.frames[0].data[plane]);
    EXPECT_EQ(sink_.frames[2].data[plane], sink_.frames[0].data[plane]);
  }
  EXPECT_TRUE(SamePicture(sink_.pictures[1], ReferenceConvert(small.frame, {OVIX_FORMAT_NV12, 1, false, 1.0f, nullptr})));
}

TEST_F(ColorEngine, SettersWorkFromInsideItsOwnDelivery) {
  // No lock is held while the engine delivers: a consumer may reconfigure
  // and reload it from its callback; the frame it holds is unaffected.
  const std::string cube = WriteFile("lut.cube", RandomCube(3, 7));
  ASSERT_EQ(Load(cube), OVIX_OK);
  ASSERT_EQ(Configure(1, 1, OVIX_FORMAT_RGB32), OVIX_OK);
  struct Context {
    ColorEngine* self;
    std::string cube;
    RefPicture seen;
    int results = 0;
  } ctx{this, cube, {}, 0};
  OVIX_SetVideoFrameCallback(
      engine_,
      [](const OvixVideoFrame* f, void* u) {
        auto* c = static_cast<Context*>(u);
        c->results |= OVIX_ClearVideoColorEngineLut(c->self->engine_);
        c->results |= c->self->Load(c->cube);
        c->results |= c->self->Configure(1, 0, OVIX_FORMAT_RGB24);
        c->seen = CopyPicture(*f);
      },
      &ctx);
  const Picture p = RandomPicture(OVIX_FORMAT_YUY2, 24, 4, 3);
  ASSERT_EQ(Push(p.frame), OVIX_OK);
  EXPECT_EQ(ctx.results, 0);
  EXPECT_TRUE(SamePicture(ctx.seen, ReferenceConvert(p.frame, {OVIX_FORMAT_RGB32, 1, false, 1.0f,
                                                               TableOf(RandomCube(3, 7)).get()})));
  ASSERT_EQ(Push(p.frame), OVIX_OK);
  EXPECT_EQ(ctx.seen.format, OVIX_FORMAT_RGB24);
}

TEST_F(ColorEngine, ConfigAndTableMayChangeWhileFramesFlow) {
  const std::string text = RandomCube(4, 8);
  const std::string cube = WriteFile("lut.cube", text);
  ASSERT_EQ(Load(cube), OVIX_OK);
  const Picture p = RandomPicture(OVIX_FORMAT_YUY2, 64, 8, 4);
  // Every frame comes out as one of the states the other thread sets.
  const RefPicture plain = ReferenceConvert(p.frame, {OVIX_FORMAT_RGB32, 1, false, 1.0f, nullptr});
  const RefPicture graded = ReferenceConvert(p.frame, {OVIX_FORMAT_RGB32, 1, false, 1.0f, TableOf(text).get()});
  ASSERT_EQ(Configure(1, 1, OVIX_FORMAT_RGB32), OVIX_OK);
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; !done.load(); ++i) {
      if (i % 3 == 0) OVIX_ClearVideoColorEngineLut(engine_);
      if (i % 3 == 1) Load(cube);
      Configure(i % 4 == 3 ? 0 : 1, 1, OVIX_FORMAT_RGB32);
    }
  });
  constexpr int kFrames = 300;
  int passed = 0, plainSeen = 0, gradedSeen = 0;
  for (int i = 0; i < kFrames; ++i) {
    sink_.Clear();
    ASSERT_EQ(Push(p.frame), OVIX_OK);
    ASSERT_EQ(sink_.records.size(), 1u);
    if (sink_.records[0] == &p.frame)
      ++passed;
    else if (SamePicture(sink_.pictures[0], plain))
      ++plainSeen;
    else if (SamePicture(sink_.pictures[0], graded))
      ++gradedSeen;
  }
  done = true;
  changer.join();
  EXPECT_EQ(passed + plainSeen + gradedSeen, kFrames);
}

}  // namespace
}  // namespace ovix::test
