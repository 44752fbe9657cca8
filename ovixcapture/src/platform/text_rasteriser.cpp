// FreeType draws the glyphs, fontconfig finds the face files.
#include "platform/text_rasteriser.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace ovix::platform {

// ---------------------------------------------------------------------------
// Surface

ArgbSurface::ArgbSurface(int width, int height) : ArgbSurface(width, height, PixelRect{0, 0, width, height}) {}

ArgbSurface::ArgbSurface(int width, int height, PixelRect window)
    : width_(std::max(width, 0)), height_(std::max(height, 0)) {
  window_.x0 = std::clamp(window.x0, 0, width_);
  window_.y0 = std::clamp(window.y0, 0, height_);
  window_.x1 = std::clamp(window.x1, window_.x0, width_);
  window_.y1 = std::clamp(window.y1, window_.y0, height_);
  stride_ = static_cast<size_t>(window_.Width());
  pixels_.assign(stride_ * static_cast<size_t>(window_.Height()), 0u);
}

void ArgbSurface::Clear() { std::fill(pixels_.begin(), pixels_.end(), 0u); }

uint32_t ArgbSurface::Pixel(int x, int y) const {
  if (!Inside(x, y)) return 0;
  return pixels_[static_cast<size_t>(y - window_.y0) * stride_ + static_cast<size_t>(x - window_.x0)];
}

void ArgbSurface::SetPixel(int x, int y, uint32_t argb) {
  if (Inside(x, y)) At(x, y) = argb;
}

void ArgbSurface::CompositeOver(int x, int y, uint32_t argb, unsigned coverage) {
  if (!Inside(x, y)) return;
  uint32_t& p = At(x, y);
  p = CompositeArgb(p, argb, coverage);
}

void ArgbSurface::FillRect(double x, double y, double width, double height, uint32_t argb) {
  if (!(width > 0) || !(height > 0)) return;
  // Pixels whose centres lie in [x, x + width) x [y, y + height).
  const double fx0 = std::ceil(x - 0.5), fx1 = std::ceil(x + width - 0.5);
  const double fy0 = std::ceil(y - 0.5), fy1 = std::ceil(y + height - 0.5);
  const int x0 = static_cast<int>(std::clamp(fx0, static_cast<double>(window_.x0), static_cast<double>(window_.x1)));
  const int x1 = static_cast<int>(std::clamp(fx1, static_cast<double>(x0), static_cast<double>(window_.x1)));
  const int y0 = static_cast<int>(std::clamp(fy0, static_cast<double>(window_.y0), static_cast<double>(window_.y1)));
  const int y1 = static_cast<int>(std::clamp(fy1, static_cast<double>(y0), static_cast<double>(window_.y1)));
  for (int py = y0; py < y1; ++py)
    for (int px = x0; px < x1; ++px) {
      uint32_t& p = At(px, py);
      p = CompositeArgb(p, argb, 255);
    }
}

uint32_t CompositeArgb(uint32_t dst, uint32_t src, unsigned coverage) {
  const unsigned srcA = src >> 24;
  if (coverage == 0 || srcA == 0) return dst;
  const float sa = static_cast<float>(srcA) / 255.0f * static_cast<float>(std::min(coverage, 255u)) / 255.0f;
  if (sa >= 1.0f) return src;
  const float da = static_cast<float>(dst >> 24) / 255.0f;
  const float outA = sa + da * (1.0f - sa);
  if (outA <= 0.0f) return 0;
  const float dw = da * (1.0f - sa);
  uint32_t out = static_cast<uint32_t>(std::lround(outA * 255.0f)) << 24;
  for (int shift = 0; shift <= 16; shift += 8) {
    const float s = static_cast<float>((src >> shift) & 0xFFu);
    const float d = static_cast<float>((dst >> shift) & 0xFFu);
    const long c = std::lround((s * sa + d * dw) / outA);
    out |= static_cast<uint32_t>(std::clamp(c, 0L, 255L)) << shift;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Text

namespace {

constexpr char kSystemSans[] = "sans-serif";
// Distinct requested names remembered before the memo starts afresh.
constexpr size_t kResolvedNamesKept = 64;

std::vector<char32_t> CodePoints(std::u16string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      out.push_back(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out.push_back(0xFFFD);
    } else {
      out.push_back(u);
    }
  }
  return out;
}

bool IsCombiningMark(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
         (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200D || (c >= 0xFE00 && c <= 0xFE0F);
}

// Ideographic scripts wrap between any two characters.
bool BreaksAnywhere(char32_t c) {
  return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0x20000 && c <= 0x3FFFF);
}

bool IsSpace(char32_t c) { return c == U' ' || c == U'\t' || c == 0x3000; }
bool IsNewline(char32_t c) { return c == U'\n' || c == U'\r' || c == 0x2028 || c == 0x2029; }
bool IsControl(char32_t c) { return (c < 0x20 && !IsSpace(c) && !IsNewline(c)) || (c >= 0x7F && c < 0xA0); }

struct FaceFile {
  std::string file;
  int index = 0;
  std::string family;
};

struct LaidGlyph {
  char32_t cp = 0;
  FT_UInt index = 0;
  int advance = 0;  // pixels
  bool space = false, newline = false, mark = false, anywhere = false, drawn = false;
};

struct Line {
  size_t begin, end;
};

// Greedy wrapping: a line ends at its last break opportunity (after spaces,
// around ideographs) before the glyph that would overflow the box; a word
// wider than the box is broken between characters. Spaces at the end of a
// line hang past the box, spaces that start a wrapped line are dropped.
std::vector<Line> WrapLines(const std::vector<LaidGlyph>& g, double boxWidth) {
  std::vector<Line> lines;
  const size_t n = g.size();
  size_t i = 0;
  bool wrapped = false;
  while (i < n) {
    if (wrapped)
      while (i < n && g[i].space) ++i;
    if (i >= n) break;
    const size_t begin = i;
    double width = 0;
    std::optional<size_t> lastBreak;
    bool ended = false;
    while (i < n) {
      if (g[i].newline) {
        lines.push_back({begin, i});
        ++i;
        wrapped = false;
        ended = true;
        break;
      }
      if (g[i].space) {
        width += g[i].advance;
        ++i;
        lastBreak = i;
        continue;
      }
      size_t j = i + 1;
      double clusterWidth = g[i].advance;
      while (j < n && g[j].mark) clusterWidth += g[j++].advance;
      if (g[i].anywhere && i > begin) lastBreak = i;
      if (width + clusterWidth > boxWidth && i > begin) {
        const size_t cut = lastBreak ? *lastBreak : i;
        lines.push_back({begin, cut});
        i = cut;
        wrapped = true;
        ended = true;
        break;
      }
      width += clusterWidth;
      const bool anywhere = g[i].anywhere;
      i = j;
      if (anywhere) lastBreak = i;
    }
    if (!ended) lines.push_back({begin, n});
  }
  return lines;
}

class FreeTypeRasteriser final : public TextRasteriser {
 public:
  FreeTypeRasteriser() {
    if (FT_Init_FreeType(&library_) != 0) library_ = nullptr;
    config_ = FcInitLoadConfigAndFonts();
  }

  ~FreeTypeRasteriser() override {
    for (auto& [key, face] : faces_)
      if (face) FT_Done_Face(face);
    if (library_) FT_Done_FreeType(library_);
    if (config_) FcConfigDestroy(config_);
  }

  bool DrawText(ArgbSurface& surface, std::u16string_view text, const TextStyle& style, const LayoutBox& box) override {
    std::lock_guard lock(mutex_);
    const FaceFile* file = Resolve(style.face);
    FT_Face face = file ? Open(*file) : nullptr;
    if (!face) return false;
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(std::clamp(style.pixelSize, 1, 512))) != 0) return false;
    if (text.empty() || (style.argb >> 24) == 0) return true;

    const int ascender = static_cast<int>((face->size->metrics.ascender + 32) >> 6);
    int lineHeight = static_cast<int>((face->size->metrics.height + 32) >> 6);
    if (lineHeight <= 0) lineHeight = std::max(1, style.pixelSize * 6 / 5);

    std::vector<LaidGlyph> glyphs = Measure(face, CodePoints(text));
    const std::vector<Line> lines = WrapLines(glyphs, box.width);
    const PixelRect& window = surface.Window();
    const double top = std::round(box.y);
    const double left = std::round(box.x);
    for (size_t k = 0; k < lines.size(); ++k) {
      const double lineTop = top + static_cast<double>(k) * lineHeight;
      // Glyphs stay within about a line of their own line box.
      if (lineTop - lineHeight > window.y1) break;
      if (lineTop + 2.0 * lineHeight < window.y0) continue;
      const double baseline = lineTop + ascender;
      double pen = left;
      for (size_t i = lines[k].begin; i < lines[k].end; ++i) {
        const LaidGlyph& g = glyphs[i];
        if (g.drawn && pen - lineHeight < window.x1 && pen + 2.0 * lineHeight > window.x0)
          DrawGlyph(surface, face, g.index, pen, baseline, style.argb);
        pen += g.advance;
      }
    }
    return true;
  }

  std::string ResolveFace(const std::string& name) override {
    std::lock_guard lock(mutex_);
    const FaceFile* file = Resolve(name);
    return file && Open(*file) ? file->family : std::string();
  }

 private:
  std::vector<LaidGlyph> Measure(FT_Face face, const std::vector<char32_t>& cps) {
    std::vector<LaidGlyph> out;
    out.reserve(cps.size());
    std::unordered_map<FT_UInt, int> advances;
    for (size_t i = 0; i < cps.size(); ++i) {
      const char32_t c = cps[i];
      LaidGlyph g;
      g.cp = c;
      if (c == U'\r' && i + 1 < cps.size() && cps[i + 1] == U'\n') continue;
      if (IsNewline(c)) {
        g.newline = true;
        out.push_back(g);
        continue;
      }
      if (IsControl(c)) continue;
      g.space = IsSpace(c);
      g.mark = IsCombiningMark(c);
      g.anywhere = BreaksAnywhere(c);
      g.index = FT_Get_Char_Index(face, g.space ? U' ' : c);
      g.drawn = !g.space;
      auto it = advances.find(g.index);
      if (it == advances.end()) {
        int adv = 0;
        if (FT_Load_Glyph(face, g.index, FT_LOAD_DEFAULT) == 0)
          adv = static_cast<int>((face->glyph->advance.x + 32) >> 6);
        it = advances.emplace(g.index, adv).first;
      }
      g.advance = it->second;
      out.push_back(g);
    }
    return out;
  }

  static void DrawGlyph(ArgbSurface& surface, FT_Face face, FT_UInt index, double pen, double baseline, uint32_t argb) {
    if (FT_Load_Glyph(face, index, FT_LOAD_DEFAULT | FT_LOAD_TARGET_NORMAL) != 0) return;
    FT_GlyphSlot slot = face->glyph;
    if (slot->format != FT_GLYPH_FORMAT_BITMAP && FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0) return;
    const FT_Bitmap& bm = slot->bitmap;
    if (bm.pixel_mode != FT_PIXEL_MODE_GRAY && bm.pixel_mode != FT_PIXEL_MODE_MONO) return;
    const int originX = static_cast<int>(pen) + slot->bitmap_left;
    const int originY = static_cast<int>(baseline) - slot->bitmap_top;
    const int rows = static_cast<int>(bm.rows), cols = static_cast<int>(bm.width);
    const int pitch = bm.pitch;
    const PixelRect& w = surface.Window();
    if (originX >= w.x1 || originY >= w.y1 || originX + cols <= w.x0 || originY + rows <= w.y0) return;
    for (int r = 0; r < rows; ++r) {
      const unsigned char* row = pitch >= 0 ? bm.buffer + static_cast<ptrdiff_t>(r) * pitch
                                            : bm.buffer + static_cast<ptrdiff_t>(rows - 1 - r) * -pitch;
      const int py = originY + r;
      if (py < w.y0 || py >= w.y1) continue;
      for (int c = 0; c < cols; ++c) {
        const unsigned coverage = bm.pixel_mode == FT_PIXEL_MODE_GRAY
                                      ? row[c] * 255u / std::max(1u, static_cast<unsigned>(bm.num_grays - 1))
                                      : ((row[c >> 3] >> (7 - (c & 7))) & 1u) * 255u;
        if (coverage) surface.CompositeOver(originX + c, py, argb, std::min(coverage, 255u));
      }
    }
  }

  // A face whose family is name, or none.
  std::optional<FaceFile> Match(const std::string& name, bool exact) {
    if (!config_ || name.empty()) return std::nullopt;
    FcPattern* pattern = FcPatternCreate();
    if (!pattern) return std::nullopt;
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(name.c_str()));
    FcConfigSubstitute(config_, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(config_, pattern, &result);
    FcPatternDestroy(pattern);
    if (!match) return std::nullopt;
    std::optional<FaceFile> out;
    FcChar8* file = nullptr;
    if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file) {
      FcChar8* family = nullptr;
      std::string first;
      bool named = false;
      for (int i = 0; FcPatternGetString(match, FC_FAMILY, i, &family) == FcResultMatch; ++i) {
        if (i == 0) first = reinterpret_cast<const char*>(family);
        if (FcStrCmpIgnoreCase(family, reinterpret_cast<const FcChar8*>(name.c_str())) == 0) {
          named = true;
          first = reinterpret_cast<const char*>(family);
          break;
        }
      }
      int index = 0;
      FcPatternGetInteger(match, FC_INDEX, 0, &index);
      if (named || !exact) out = FaceFile{reinterpret_cast<const char*>(file), index, first};
    }
    FcPatternDestroy(match);
    return out;
  }

  // The requested face, else the overlay's default face, else the system's
  // default sans; remembered per requested name.
  const FaceFile* Resolve(const std::string& name) {
    auto it = resolved_.find(name);
    if (it == resolved_.end()) {
      if (resolved_.size() >= kResolvedNamesKept) resolved_.clear();
      std::optional<FaceFile> f = Match(name, true);
      if (!f) f = Match(kDefaultOverlayFace, true);
      if (!f) f = Match(kSystemSans, false);
      it = resolved_.emplace(name, std::move(f)).first;
    }
    return it->second ? &*it->second : nullptr;
  }

  FT_Face Open(const FaceFile& file) {
    if (!library_) return nullptr;
    const auto key = std::make_pair(file.file, file.index);
    auto it = faces_.find(key);
    if (it == faces_.end()) {
      FT_Face face = nullptr;
      if (FT_New_Face(library_, file.file.c_str(), file.index, &face) != 0) face = nullptr;
      it = faces_.emplace(key, face).first;
    }
    return it->second;
  }

  std::mutex mutex_;  // FreeType objects are not shared between threads
  FT_Library library_ = nullptr;
  FcConfig* config_ = nullptr;
  std::unordered_map<std::string, std::optional<FaceFile>> resolved_;
  std::map<std::pair<std::string, int>, FT_Face> faces_;
};

}  // namespace

std::shared_ptr<TextRasteriser> AcquireTextRasteriser() {
  static std::mutex mutex;
  static std::weak_ptr<TextRasteriser> current;
  std::lock_guard lock(mutex);
  std::shared_ptr<TextRasteriser> r = current.lock();
  if (!r) {
    r = std::make_shared<FreeTypeRasteriser>();
    current = r;
  }
  return r;
}

}  // namespace ovix::platform
