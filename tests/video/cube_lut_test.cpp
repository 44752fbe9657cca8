// .cube files: the parser's rules on small texts, the two tables built from a
// parse, and files that are broken, binary or enormous.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ovixcapture.h"
#include "platform/sys.h"
#include "support/temp_dir.h"
#include "support/log_capture.h"
#include "video/cube_file.h"
#include "video/cube_lut.h"
#include "video/cube_parser.h"

namespace ovix::test {
namespace {

// count data lines, entry k = (k/64, 0.5, 1 - k/64).
std::string Data(int count, const char* eol = "\n") {
  std::string text;
  char line[64];
  for (int k = 0; k < count; ++k) {
    std::snprintf(line, sizeof line, "%g 0.5 %g%s", k / 64.0, 1 - k / 64.0, eol);
    text += line;
  }
  return text;
}

std::optional<CubeParseResult> Parse(const std::string& text, CubeDomainRule rule = CubeDomainRule::kColorEngine) {
  CubeParseResult r;
  if (!ParseCube(text.c_str(), rule, r)) return std::nullopt;
  return r;
}

std::vector<float> Triple(const CubeParseResult& r, int k) {
  return {r.entries[3 * k], r.entries[3 * k + 1], r.entries[3 * k + 2]};
}

TEST(CubeParser, RulesOnSmallTexts) {
  const std::string spaces1023(1023, ' ');
  const struct {
    const char* what;
    std::string text;
    int engineSize;    // 0: the colour engine's parse fails
    int rendererSize;  // 0: the renderer's parse fails
  } cases[] = {
      {"size 2, eight data lines", "LUT_3D_SIZE 2\n" + Data(8), 2, 2},
      {"size 2, a ninth data line is ignored", "LUT_3D_SIZE 2\n" + Data(9), 2, 2},
      {"no size line, 27 entries make 3", Data(27), 3, 3},
      {"no size line, 28 entries are no cube", Data(28), 0, 0},
      {"no size line, one entry", Data(1), 0, 0},
      {"size 1 (ignoring it would infer 2)", "LUT_3D_SIZE 1\n" + Data(8), 0, 0},
      {"size 129", "LUT_3D_SIZE 129\n" + Data(8), 0, 0},
      {"size 2000000000", "LUT_3D_SIZE 2000000000\n" + Data(8), 0, 0},
      {"size beyond 64 bits", "LUT_3D_SIZE 18446744073709551618\n" + Data(8), 0, 0},
      {"size line without a number is ignored", "LUT_3D_SIZE two\n" + Data(8), 2, 2},
      {"keywords are case-sensitive", "lut_3d_size 3\n" + Data(8), 2, 2},
      {"a later size line replaces an earlier", "LUT_3D_SIZE 3\n" + Data(8) + "LUT_3D_SIZE 2\n", 2, 2},
      {"too few entries", "LUT_3D_SIZE 3\n" + Data(26), 0, 0},
      {"entries beyond N^3 are ignored", "LUT_3D_SIZE 2\n" + Data(27), 2, 2},
      {"other keywords and free text are ignored",
       "TITLE 1 2 3\nLUT_1D_SIZE 16\nLUT_3D_INPUT_RANGE 0 1\nhello world\nDOMAIN_MAX 1\n# 1 2 3\n\n  \t\n" + Data(8), 2,
       2},
      {"the last line needs no line end", "LUT_3D_SIZE 2\n" + Data(7) + "1 1 1", 2, 2},
      {"NaN entry", "LUT_3D_SIZE 2\n" + Data(7) + "0.5 nan 0.5\n", 0, 0},
      {"infinite entry", "LUT_3D_SIZE 2\n" + Data(7) + "-inf 0 0\n", 0, 0},
      {"entry beyond float", "LUT_3D_SIZE 2\n" + Data(7) + "1e39 0 0\n", 0, 0},
      {"entry below float's smallest is 0", "LUT_3D_SIZE 2\n" + Data(7) + "1e-50 0 0\n", 2, 2},
      {"NaN domain", "DOMAIN_MAX 1 nan 1\n" + Data(8), 0, 0},
      {"two-number domain line is ignored", "DOMAIN_MIN 1 1\n" + Data(8), 2, 2},
      {"inverted domain", "DOMAIN_MIN 1 1 1\nDOMAIN_MAX 0 0 0\n" + Data(8), 2, 0},
      {"one inverted channel", "DOMAIN_MIN 0 1 0\nDOMAIN_MAX 1 0 1\n" + Data(8), 2, 0},
      {"one empty channel", "DOMAIN_MIN 0 0.5 0\nDOMAIN_MAX 1 0.5 1\n" + Data(8), 0, 0},
      {"a 2000-character line keeps its first 1023 characters, the rest is no line",
       spaces1023 + "1 1 1" + std::string(972, ' ') + "\n" + Data(8), 2, 2},
      {"a line of exactly 1023 characters is whole", std::string(1018, ' ') + "1 1 1\n" + Data(7), 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto engine = Parse(c.text, CubeDomainRule::kColorEngine);
    const auto renderer = Parse(c.text, CubeDomainRule::kRenderer);
    EXPECT_EQ(engine ? engine->size : 0, c.engineSize);
    EXPECT_EQ(renderer ? renderer->size : 0, c.rendererSize);
    if (engine) {
      EXPECT_EQ(engine->entries.size(), static_cast<size_t>(3 * c.engineSize * c.engineSize * c.engineSize));
    }
  }
}

TEST(CubeParser, EntriesDomainsAndLineEnds) {
  // A ninth entry is ignored; the first eight stay in file order.
  const auto nine = Parse("LUT_3D_SIZE 2\n" + Data(9));
  ASSERT_TRUE(nine);
  EXPECT_EQ(Triple(*nine, 7), (std::vector<float>{7 / 64.0f, 0.5f, 1 - 7 / 64.0f}));

  // Clamped to [0, 1], the comment dropped.
  const auto clamped = Parse("LUT_3D_SIZE 2\n  1.2 -0.5 0.5 # not 0.7\n" + Data(7));
  ASSERT_TRUE(clamped);
  EXPECT_EQ(Triple(*clamped, 0), (std::vector<float>{1.0f, 0.0f, 0.5f}));

  // CRLF lines parse exactly like LF lines.
  const std::string lf = "TITLE \"t\"\nLUT_3D_SIZE 2\nDOMAIN_MIN 0.1 0.2 0.3\n" + Data(8);
  std::string crlf = "TITLE \"t\"\r\nLUT_3D_SIZE 2\r\nDOMAIN_MIN 0.1 0.2 0.3\r\n" + Data(8, "\r\n");
  const auto a = Parse(lf), b = Parse(crlf);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->entries, b->entries);
  EXPECT_EQ(std::vector<float>(b->domainMin, b->domainMin + 3), (std::vector<float>{0.1f, 0.2f, 0.3f}));

  // A two-number domain line leaves the default domain in force.
  const auto two = Parse("DOMAIN_MIN 0.2 0.3\nDOMAIN_MAX 0.9 0.8\n" + Data(8));
  ASSERT_TRUE(two);
  EXPECT_EQ(std::vector<float>(two->domainMin, two->domainMin + 3), (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(std::vector<float>(two->domainMax, two->domainMax + 3), (std::vector<float>{1, 1, 1}));

  // The 1023 characters of an overlong line are matched like a line.
  const auto longLine = Parse("LUT_3D_SIZE 2\n0.25 0.5 0.75" + std::string(1987, ' ') + "junk\n" + Data(7));
  ASSERT_TRUE(longLine);
  EXPECT_EQ(Triple(*longLine, 0), (std::vector<float>{0.25f, 0.5f, 0.75f}));

  // scanf's reading of numbers: signs, no white space needed, hexadecimal,
  // anything after the third number ignored; in the "C" locale always.
  const auto numbers = Parse("LUT_3D_SIZE2\n+0.5-0.25 0x1p-2 trailing\n" + Data(7));
  ASSERT_TRUE(numbers);
  EXPECT_EQ(Triple(*numbers, 0), (std::vector<float>{0.5f, 0.0f, 0.25f}));
}

TEST(CubeParser, PiecesParseLikeTheWhole) {
  const std::string text = "# lut\r\nLUT_3D_SIZE 2\r\n" + std::string(1500, '5') + " 1 1\n" + std::string(1023, ' ') +
                           "\n" + Data(8, "\r\n") + "DOMAIN_MAX 2 2 2";
  const auto whole = Parse(text);
  ASSERT_TRUE(whole);
  for (size_t piece : {1u, 2u, 3u, 7u, 1022u, 1023u, 1024u, 1025u}) {
    SCOPED_TRACE(piece);
    CubeParser parser;
    for (size_t at = 0; at < text.size(); at += piece) parser.Feed(text.data() + at, std::min(piece, text.size() - at));
    CubeParseResult r;
    ASSERT_TRUE(parser.Finish(CubeDomainRule::kColorEngine, r));
    EXPECT_EQ(r.entries, whole->entries);
    EXPECT_EQ(r.domainMax[2], 2.0f);
  }
  // The text ends at its first NUL byte, wherever the piece boundary is.
  CubeParser cut;
  const std::string withNul = "LUT_3D_SIZE 2\n" + Data(8) + std::string(1, '\0') + "LUT_3D_SIZE 1\n";
  cut.Feed(withNul.data(), 5);
  cut.Feed(withNul.data() + 5, withNul.size() - 5);
  EXPECT_TRUE(cut.Done());
  CubeParseResult r;
  EXPECT_TRUE(cut.Finish(CubeDomainRule::kColorEngine, r));
}

TEST(CubeTables, BothTablesFromOneParse) {
  std::string text = "LUT_3D_SIZE 2\nDOMAIN_MIN -0.5 0 0.25\nDOMAIN_MAX 1.5 2 0.75\n0.5 0 1\n";
  text += "0.1 0.2 0.3\n0.998 0.002 0.25\n" + Data(5);
  const auto parsed = Parse(text);
  ASSERT_TRUE(parsed);
  const auto engine = BuildColorEngineLut(*parsed);
  const auto render = BuildRenderLut(*parsed);
  EXPECT_EQ(engine->size, 2);
  EXPECT_EQ(render->size, 2);
  EXPECT_EQ(engine->domainMin[0], -0.5f);
  EXPECT_EQ(render->domainMax[1], 2.0f);
  EXPECT_EQ(engine->table, parsed->entries);
  ASSERT_EQ(engine->bytes.size(), 24u);
  ASSERT_EQ(render->texels.size(), 32u);
  EXPECT_EQ(std::vector<uint8_t>(engine->bytes.begin(), engine->bytes.begin() + 9),
            (std::vector<uint8_t>{128, 0, 255, 26, 51, 77, 254, 1, 64}));
  EXPECT_EQ(std::vector<uint16_t>(render->texels.begin(), render->texels.begin() + 12),
            (std::vector<uint16_t>{32768, 0, 65535, 65535, 6554, 13107, 19661, 65535, 65404, 131, 16384, 65535}));
  for (size_t i = 3; i < render->texels.size(); i += 4) EXPECT_EQ(render->texels[i], 65535);
}

// Files through the colour engine's loader, which logs the failure.
class CubeFiles : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OVIX_Init(), OVIX_OK);
    ASSERT_EQ(OVIX_EnableLog(1), 0);
    engine_ = OVIX_CreateVideoColorEngine();
  }
  void TearDown() override { OVIX_DestroyPort(engine_); }
  std::string Path(const std::string& name) { return temp_.File(name); }
  std::string Write(const std::string& name, const std::string& text) { return temp_.Write(name, text); }
  int Load(const std::string& path) {
    std::u16string wide;
    sys::Utf8ToUtf16(path, wide);
    return OVIX_LoadVideoColorEngineCubeFile(engine_, wide.c_str());
  }
  bool RefusedAsParseError(const std::string& path) {
    return Load(path) == OVIX_ERR_FAILED &&
           CountLogLines("ColorEngine load cube failed: parse error path=" + path) == 1;
  }
  OvixPortHandle engine_ = nullptr;
  TempDir temp_{"ovix_cube"};
};

TEST_F(CubeFiles, BrokenFilesFailWithTheParseErrorLine) {
  std::string full = "LUT_3D_SIZE 17\n" + Data(17 * 17 * 17);
  ASSERT_EQ(Load(Write("whole.cube", full)), OVIX_OK);
  EXPECT_TRUE(RefusedAsParseError(Write("truncated.cube", full.substr(0, full.size() / 2))));

  std::mt19937 rng(1);
  std::string binary(1 << 16, '\0');
  for (char& c : binary) c = static_cast<char>(rng());
  binary[0] = '1';  // text up to the first NUL: not a table
  EXPECT_TRUE(RefusedAsParseError(Write("binary.cube", binary)));
  EXPECT_TRUE(RefusedAsParseError(Write("nan.cube", "LUT_3D_SIZE 2\n" + Data(4) + "NAN 0 0\n" + Data(3))));
  EXPECT_TRUE(RefusedAsParseError(Write("inf.cube", "LUT_3D_SIZE 2\n" + Data(4) + "0 INFINITY 0\n" + Data(3))));
  EXPECT_TRUE(RefusedAsParseError(Write("huge_size.cube", "LUT_3D_SIZE 2000000000\n" + Data(8))));
  // Eight lines of 100,000 characters, each a single long number.
  std::string longLines = "LUT_3D_SIZE 2\n";
  for (int i = 0; i < 8; ++i) longLines += "0." + std::string(99998, '5') + "\n";
  EXPECT_TRUE(RefusedAsParseError(Write("long_lines.cube", longLines)));
  EXPECT_TRUE(RefusedAsParseError(Write("empty.cube", "")));

  // The renderer's loader refuses what the colour engine accepts.
  const std::string inverted = Write("inverted.cube", "DOMAIN_MIN 1 1 1\nDOMAIN_MAX 0 0 0\n" + Data(8));
  EXPECT_EQ(Load(inverted), OVIX_OK);
  std::u16string wide;
  sys::Utf8ToUtf16(inverted, wide);
  CubeParseResult parsed;
  EXPECT_EQ(LoadCubeFile(wide.c_str(), CubeDomainRule::kRenderer, parsed), CubeLoadStatus::kParseError);
  EXPECT_EQ(LoadCubeFile(wide.c_str(), CubeDomainRule::kColorEngine, parsed), CubeLoadStatus::kOk);
  EXPECT_EQ(LoadCubeFile(u"", CubeDomainRule::kRenderer, parsed), CubeLoadStatus::kInvalidPath);
  EXPECT_EQ(LoadCubeFile(u"/no/such/file.cube", CubeDomainRule::kRenderer, parsed), CubeLoadStatus::kOpenFailed);
  const char16_t loneSurrogate[] = {u'/', 0xD800, u'x', 0};
  EXPECT_EQ(LoadCubeFile(loneSurrogate, CubeDomainRule::kRenderer, parsed), CubeLoadStatus::kOpenFailed);
  EXPECT_EQ(CubePathForLog(loneSurrogate), "/?x");
}

long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

TEST_F(CubeFiles, AnEnormousFileFailsInBoundedMemory) {
  // 259^3 entries, about 208 MB: a whole cube, but larger than any grid.
  const std::string path = Path("enormous.cube");
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::string block;
    for (int i = 0; i < 1 << 16; ++i) block += "0.5 0.5 0.5\n";
    const long long lines = 259LL * 259 * 259;
    for (long long done = 0; done < lines; done += 1 << 16) {
      const long long n = std::min<long long>(1 << 16, lines - done);
      ASSERT_EQ(std::fwrite(block.data(), 12, static_cast<size_t>(n), f), static_cast<size_t>(n));
    }
    std::fclose(f);
  }
  const long fileKb = 259L * 259 * 259 * 12 / 1024;
  const long before = PeakRssKb();
  EXPECT_TRUE(RefusedAsParseError(path));
  // At most the largest grid's entries are held, never the file: the peak
  // grows by less than the file's size even with a sanitizer's shadow memory.
  EXPECT_LT(PeakRssKb() - before, fileKb);
}

}  // namespace
}  // namespace ovix::test
