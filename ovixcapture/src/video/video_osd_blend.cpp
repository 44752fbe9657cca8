#include "video/video_osd_blend.h"

#include <algorithm>
#include <unordered_map>

#include "video/video_osd_simd.h"

namespace ovix {
namespace {

// Beyond this many colours in one item the tables are not built.
constexpr size_t kMaxTables = 1024;
constexpr uint32_t kSkipped = UINT32_MAX;
// Runs of one colour shorter than this are drawn pixel by pixel, together
// with their neighbours: a run costs more to set up than a pixel to draw.
constexpr int kLongRun = 8;

// Applies a colour's rule to a stored byte: by the rule itself, or by the
// table that holds its results. Both give the same bytes.
struct RuleMixer {
  const OsdMix& mix;
  uint8_t Once(int k, uint8_t v) const { return OsdMixByte(mix.nm[k], mix.n, v); }
  uint8_t Twice(int k, uint8_t v) const { return Once(k, Once(k, v)); }
  const OsdMix* Wide() const { return nullptr; }
};

// Holds the table rows themselves, by value: the pixel stores are byte
// stores, which the compiler must assume can change anything reached
// through a reference. Long runs go to the wide rule instead.
struct TableMixer {
  TableMixer(const OsdMixTable& t, const OsdMix& m)
      : once{t.once[0], t.once[1], t.once[2]}, twice{nullptr, t.twice[0], t.twice[1]}, mix(&m) {}
  uint8_t Once(int k, uint8_t v) const { return once[k][v]; }
  uint8_t Twice(int k, uint8_t v) const { return twice[k][v]; }
  const OsdMix* Wide() const { return OsdSimdAvailable() ? mix : nullptr; }
  const uint8_t* once[3];
  const uint8_t* twice[3];
  const OsdMix* mix;
};

constexpr OsdLanes Lanes(float a, float b, float c, float d, float na, float nb, float nc, float nd) {
  return {{a, b, c, d}, {na, nb, nc, nd}};
}

// Mixes the longest multiple of the wide step from p; returns the bytes done.
size_t WideSpan(uint8_t* p, size_t bytes, const OsdLanes& first, const OsdLanes* second) {
  const size_t wide = bytes / kOsdSimdBytes * kOsdSimdBytes;
  if (wide) OsdMixSpan(p, wide, first, second);
  return wide;
}

// count pixels of one colour from pixel p on.
template <typename Mixer>
void RunRgb(uint8_t* p, int count, const Mixer m) {
  if (const OsdMix* w = m.Wide()) {
    // The alpha lane gives trunc(255 + old x 0 + 0.5) = 255.
    const OsdLanes lanes = Lanes(w->nm[0], w->nm[1], w->nm[2], 255.0f, w->n, w->n, w->n, 0.0f);
    const size_t done = WideSpan(p, static_cast<size_t>(count) * 4, lanes, nullptr);
    p += done;
    count -= static_cast<int>(done / 4);
  }
  for (int i = 0; i < count; ++i, p += 4) {
    p[0] = m.Once(0, p[0]);
    p[1] = m.Once(1, p[1]);
    p[2] = m.Once(2, p[2]);
    p[3] = 255;
  }
}

// Pixels [x, x + count) of a YUY2 row. A pair both of whose pixels are in
// the run has its chroma mixed twice.
template <typename Mixer>
void RunYuy2(uint8_t* row, int x, int count, const Mixer m) {
  const int end = x + count;
  if (x & 1) {
    uint8_t* pair = row + static_cast<size_t>(x - 1) * 2;
    pair[2] = m.Once(0, pair[2]);
    pair[1] = m.Once(1, pair[1]);
    pair[3] = m.Once(2, pair[3]);
    ++x;
  }
  if (const OsdMix* w = m.Wide(); w && x + 1 < end) {
    const OsdLanes once = Lanes(w->nm[0], w->nm[1], w->nm[0], w->nm[2], w->n, w->n, w->n, w->n);
    const OsdLanes again = Lanes(0.0f, w->nm[1], 0.0f, w->nm[2], 1.0f, w->n, 1.0f, w->n);
    const size_t pairs = static_cast<size_t>(end - x) / 2;
    x += static_cast<int>(WideSpan(row + static_cast<size_t>(x) * 2, pairs * 4, once, &again) / 2);
  }
  for (; x + 1 < end; x += 2) {
    uint8_t* pair = row + static_cast<size_t>(x) * 2;
    pair[0] = m.Once(0, pair[0]);
    pair[2] = m.Once(0, pair[2]);
    pair[1] = m.Twice(1, pair[1]);
    pair[3] = m.Twice(2, pair[3]);
  }
  if (x < end) {
    uint8_t* pair = row + static_cast<size_t>(x) * 2;
    pair[0] = m.Once(0, pair[0]);
    pair[1] = m.Once(1, pair[1]);
    pair[3] = m.Once(2, pair[3]);
  }
}

// Pixels [x, x + count) of an NV12 luma row and the chroma row under it.
template <typename Mixer>
void RunNv12(uint8_t* luma, uint8_t* chroma, int x, int count, const Mixer m) {
  const int end = x + count;
  int i = x;
  const OsdMix* w = m.Wide();
  if (w) {
    const OsdLanes y = Lanes(w->nm[0], w->nm[0], w->nm[0], w->nm[0], w->n, w->n, w->n, w->n);
    i += static_cast<int>(WideSpan(luma + i, static_cast<size_t>(count), y, nullptr));
  }
  for (; i < end; ++i) luma[i] = m.Once(0, luma[i]);
  if (x & 1) {
    uint8_t* uv = chroma + static_cast<size_t>(x - 1);
    uv[0] = m.Once(1, uv[0]);
    uv[1] = m.Once(2, uv[1]);
    ++x;
  }
  if (w && x + 1 < end) {
    const OsdLanes uv = Lanes(w->nm[1], w->nm[2], w->nm[1], w->nm[2], w->n, w->n, w->n, w->n);
    x += static_cast<int>(WideSpan(chroma + x, static_cast<size_t>(end - x) / 2 * 2, uv, &uv));
  }
  for (; x + 1 < end; x += 2) {
    uint8_t* uv = chroma + static_cast<size_t>(x);
    uv[0] = m.Twice(1, uv[0]);
    uv[1] = m.Twice(2, uv[1]);
  }
  if (x < end) {
    uint8_t* uv = chroma + static_cast<size_t>(x);
    uv[0] = m.Once(1, uv[0]);
    uv[1] = m.Once(2, uv[1]);
  }
}

// One colour over pixels [x, x + count) of row y.
template <typename Mixer>
void RunAt(OsdWorkPicture& pic, int x, int y, int count, const Mixer& m) {
  const size_t row = static_cast<size_t>(y);
  switch (pic.Format()) {
    case OVIX_FORMAT_YUY2:
      RunYuy2(pic.Yuv() + row * static_cast<size_t>(pic.ChromaWidth()) * 2, x, count, m);
      break;
    case OVIX_FORMAT_NV12:
      RunNv12(pic.Yuv() + row * static_cast<size_t>(pic.Width()),
              pic.Uv() + static_cast<size_t>(pic.ChromaWidth()) * (row / 2), x, count, m);
      break;
    default:
      RunRgb(pic.Rgb() + (row * static_cast<size_t>(pic.Width()) + static_cast<size_t>(x)) * 4, count, m);
      break;
  }
}

}  // namespace

OsdYuv OsdRgbToYuv(int r, int g, int b) {
  const int y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
  const int u = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
  const int v = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
  return {std::clamp(y, 0, 255), std::clamp(u, 0, 255), std::clamp(v, 0, 255)};
}

bool OsdMixFor(uint32_t argb, float opacity, bool yuv, OsdMix& out) {
  const float a = static_cast<float>(argb >> 24) / 255.0f * opacity;
  if (!(a > 0.0f)) return false;
  const float m = std::min(a, 1.0f);
  const int r = static_cast<int>((argb >> 16) & 0xFFu), g = static_cast<int>((argb >> 8) & 0xFFu),
            b = static_cast<int>(argb & 0xFFu);
  int c[3] = {b, g, r};
  if (yuv) {
    const OsdYuv t = OsdRgbToYuv(r, g, b);
    c[0] = t.y;
    c[1] = t.u;
    c[2] = t.v;
  }
  for (int k = 0; k < 3; ++k) out.nm[k] = static_cast<float>(c[k]) * m;
  out.n = 1.0f - m;
  return true;
}

OsdMixTable OsdMixTable::For(const OsdMix& mix) {
  OsdMixTable t;
  for (int v = 0; v < 256; ++v)
    for (int k = 0; k < 3; ++k) t.once[k][v] = OsdMixByte(mix.nm[k], mix.n, static_cast<uint8_t>(v));
  for (int v = 0; v < 256; ++v)
    for (int k = 0; k < 2; ++k) t.twice[k][v] = t.once[k + 1][t.once[k + 1][v]];
  return t;
}

OsdBlendMap OsdBlendMap::Build(const platform::ArgbSurface& surface, float opacity, bool yuv,
                               std::optional<uint32_t> keyRgb) {
  OsdBlendMap map;
  map.yuv_ = yuv;
  std::unordered_map<uint32_t, uint32_t> colourOf;  // ARGB -> index, or kSkipped
  auto colourIndex = [&](uint32_t argb) {
    auto it = colourOf.find(argb);
    if (it == colourOf.end()) {
      OsdMix mix;
      uint32_t index = kSkipped;
      if (OsdMixFor(argb, opacity, yuv, mix)) {
        index = static_cast<uint32_t>(map.mixes_.size());
        map.mixes_.push_back(mix);
      }
      it = colourOf.emplace(argb, index).first;
    }
    return it->second;
  };
  const platform::PixelRect& w = surface.Window();
  std::vector<uint32_t> colours(static_cast<size_t>(w.Width()));
  for (int y = w.y0; y < w.y1; ++y) {
    const uint32_t* row = surface.WindowRow(y);
    uint32_t lastArgb = 0, lastColour = kSkipped;
    for (int x = w.x0; x < w.x1; ++x) {
      uint32_t argb = row[x - w.x0];
      if (keyRgb && (argb & 0xFFFFFFu) == (*keyRgb & 0xFFFFFFu)) argb &= 0xFFFFFFu;
      if (x == w.x0 || argb != lastArgb) lastColour = colourIndex(argb);
      lastArgb = argb;
      colours[static_cast<size_t>(x - w.x0)] = lastColour;
    }
    // Runs of one colour, the short ones gathered into mixed stretches.
    int x = 0;
    const int width = w.Width();
    while (x < width) {
      if (colours[x] == kSkipped) {
        ++x;
        continue;
      }
      int end = x + 1;
      while (end < width && colours[end] == colours[x]) ++end;
      if (end - x >= kLongRun) {
        map.runs_.push_back({w.x0 + x, y, end - x, false, colours[x]});
        x = end;
        continue;
      }
      // Extend over following short runs.
      while (end < width && colours[end] != kSkipped) {
        int next = end + 1;
        while (next < width && colours[next] == colours[end]) ++next;
        if (next - end >= kLongRun) break;
        end = next;
      }
      map.runs_.push_back({w.x0 + x, y, end - x, true, static_cast<uint32_t>(map.pixelColours_.size())});
      for (int i = x; i < end; ++i) map.pixelColours_.push_back(colours[i]);
      x = end;
    }
  }
  if (map.mixes_.size() <= kMaxTables) {
    map.tables_.reserve(map.mixes_.size());
    for (const OsdMix& mix : map.mixes_) map.tables_.push_back(OsdMixTable::For(mix));
  }
  return map;
}

namespace {

// A stretch of pixels in colours of their own, one pixel after the other.
template <typename MixerOf>
void RunMixed(OsdWorkPicture& pic, int x, int y, int count, const uint32_t* colours, MixerOf mixerOf) {
  const size_t row = static_cast<size_t>(y);
  switch (pic.Format()) {
    case OVIX_FORMAT_YUY2: {
      uint8_t* line = pic.Yuv() + row * static_cast<size_t>(pic.ChromaWidth()) * 2;
      for (int i = 0; i < count; ++i, ++x) {
        const auto m = mixerOf(colours[i]);
        uint8_t* pair = line + static_cast<size_t>(x & ~1) * 2;
        uint8_t& luma = pair[(x & 1) * 2];
        luma = m.Once(0, luma);
        pair[1] = m.Once(1, pair[1]);
        pair[3] = m.Once(2, pair[3]);
      }
      break;
    }
    case OVIX_FORMAT_NV12: {
      uint8_t* luma = pic.Yuv() + row * static_cast<size_t>(pic.Width());
      uint8_t* chroma = pic.Uv() + static_cast<size_t>(pic.ChromaWidth()) * (row / 2);
      for (int i = 0; i < count; ++i, ++x) {
        const auto m = mixerOf(colours[i]);
        luma[x] = m.Once(0, luma[x]);
        uint8_t* uv = chroma + static_cast<size_t>(x & ~1);
        uv[0] = m.Once(1, uv[0]);
        uv[1] = m.Once(2, uv[1]);
      }
      break;
    }
    default: {
      uint8_t* p = pic.Rgb() + (row * static_cast<size_t>(pic.Width()) + static_cast<size_t>(x)) * 4;
      for (int i = 0; i < count; ++i, p += 4) {
        const auto m = mixerOf(colours[i]);
        p[0] = m.Once(0, p[0]);
        p[1] = m.Once(1, p[1]);
        p[2] = m.Once(2, p[2]);
        p[3] = 255;
      }
      break;
    }
  }
}

// One table's rows, straight from the table.
struct TableRows {
  const OsdMixTable* t;
  uint8_t Once(int k, uint8_t v) const { return t->once[k][v]; }
};

}  // namespace

void OsdBlendMap::Apply(OsdWorkPicture& pic) const {
  const uint32_t* colours = pixelColours_.data();
  if (!tables_.empty()) {
    const OsdMixTable* tables = tables_.data();
    for (const Run& run : runs_) {
      if (run.mixed)
        RunMixed(pic, run.x, run.y, run.count, colours + run.colour,
                 [tables](uint32_t c) { return TableRows{tables + c}; });
      else
        RunAt(pic, run.x, run.y, run.count, TableMixer(tables_[run.colour], mixes_[run.colour]));
    }
    return;
  }
  const OsdMix* mixes = mixes_.data();
  for (const Run& run : runs_) {
    if (run.mixed)
      RunMixed(pic, run.x, run.y, run.count, colours + run.colour, [mixes](uint32_t c) { return RuleMixer{mixes[c]}; });
    else
      RunAt(pic, run.x, run.y, run.count, RuleMixer{mixes_[run.colour]});
  }
}

void DrawOsdRect(OsdWorkPicture& pic, const OsdItem& item) {
  const int64_t w = pic.Width(), h = pic.Height();
  if (w <= 0 || h <= 0) return;
  const int64_t xa = item.x, xb = int64_t{item.x} + item.width;
  const int64_t ya = item.y, yb = int64_t{item.y} + item.height;
  const int x0 = static_cast<int>(std::clamp(std::min(xa, xb), int64_t{0}, w - 1));
  const int x1 = static_cast<int>(std::clamp(std::max(xa, xb), int64_t{0}, w - 1));
  const int y0 = static_cast<int>(std::clamp(std::min(ya, yb), int64_t{0}, h - 1));
  const int y1 = static_cast<int>(std::clamp(std::max(ya, yb), int64_t{0}, h - 1));
  if (!(x0 < x1 && y0 < y1)) return;
  OsdMix mix;
  if (!OsdMixFor(OsdEffectiveColor(item.color), item.opacity, pic.IsYuv(), mix)) return;
  const OsdMixTable table = OsdMixTable::For(mix);
  const TableMixer m(table, mix);
  const int thickness = std::min(item.size, 32);
  auto column = [&](int x) {
    for (int y = y0; y <= y1; ++y) RunAt(pic, x, y, 1, m);
  };
  for (int i = 0; i < thickness; ++i) {
    if (y0 + i <= y1) RunAt(pic, x0, y0 + i, x1 - x0 + 1, m);
    if (y1 - i >= y0 && y1 - i != y0 + i) RunAt(pic, x0, y1 - i, x1 - x0 + 1, m);
    if (x0 + i <= x1) column(x0 + i);
    if (x1 - i >= x0 && x1 - i != x0 + i) column(x1 - i);
  }
}

}  // namespace ovix
