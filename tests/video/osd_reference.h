// A plain, pixel-by-pixel rendition of the overlay's drawing rules, written
// straight from their definition and sharing no code with the port's fast
// path but the platform's rasteriser and decoder. The tests compare the
// port's output with it byte for byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ovixcapture.h"
#include "platform/image_decoder.h"
#include "platform/sys.h"
#include "platform/text_rasteriser.h"

namespace ovix::test::osdref {

struct Picture {
  int w = 0, h = 0;
  int format = 0;             // 1 YUY2, 2 NV12, 4 RGB32
  std::vector<uint8_t> main;  // RGB32, YUY2 or the NV12 Y plane
  std::vector<uint8_t> uv;    // NV12 chroma plane
  int Wc() const { return (w + 1) & ~1; }
};

inline Picture Prepare(const OvixVideoFrame& f) {
  Picture p;
  p.w = f.width;
  p.h = f.height;
  const int W = p.w, H = p.h, Wc = p.Wc();
  if (f.format == OVIX_FORMAT_YUY2) {
    p.format = 1;
    p.main.assign(static_cast<size_t>(H) * 2 * Wc, 128);
    const int S = f.stride[0] > 0 ? f.stride[0] : 2 * W;
    for (int i = 0; i < H; ++i)
      for (int b = 0; b < std::min(S, 2 * Wc); ++b) p.main[static_cast<size_t>(i) * 2 * Wc + b] = f.data[0][S * i + b];
  } else if (f.format == OVIX_FORMAT_NV12) {
    p.format = 2;
    p.main.assign(static_cast<size_t>(H) * W, 16);
    p.uv.assign(static_cast<size_t>((H + 1) / 2) * Wc, 128);
    const int S0 = f.stride[0] > 0 ? f.stride[0] : W;
    for (int i = 0; i < H; ++i)
      for (int b = 0; b < std::min(S0, W); ++b) p.main[static_cast<size_t>(i) * W + b] = f.data[0][S0 * i + b];
    const uint8_t* src = f.data[1] ? f.data[1] : f.data[0] + H * S0;
    const int S1 = f.stride[1] > 0 ? f.stride[1] : (f.data[1] ? Wc : S0);
    for (int i = 0; i < (H + 1) / 2; ++i)
      for (int b = 0; b < std::min(S1, Wc); ++b) p.uv[static_cast<size_t>(i) * Wc + b] = src[S1 * i + b];
  } else {
    p.format = 4;
    p.main.assign(static_cast<size_t>(W) * H * 4, 0);
    const int bpp = f.format == OVIX_FORMAT_RGB24 ? 3 : 4;
    const int S = f.stride[0] > 0 ? f.stride[0] : W * bpp;
    for (int row = 0; row < H; ++row)
      for (int col = 0; col < W; ++col) {
        const uint8_t* s = f.data[0] + S * row + bpp * col;
        uint8_t* d = &p.main[(static_cast<size_t>(row) * W + col) * 4];
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
        d[3] = bpp == 3 ? 255 : s[3];
      }
  }
  return p;
}

inline void BlendPixel(Picture& p, int px, int py, int B, int G, int R, int A, float opacity) {
  if (px < 0 || py < 0 || px >= p.w || py >= p.h) return;
  const float a = A / 255.0f * opacity;
  if (a <= 0) return;
  const float m = std::min(a, 1.0f);
  const float n = 1.0f - m;
  auto mix = [&](uint8_t& old, int value) { old = static_cast<uint8_t>(static_cast<int>(value * m + old * n + 0.5f)); };
  if (p.format == 4) {
    uint8_t* q = &p.main[(static_cast<size_t>(py) * p.w + px) * 4];
    mix(q[0], B);
    mix(q[1], G);
    mix(q[2], R);
    q[3] = 255;
    return;
  }
  const int Y = std::clamp(((66 * R + 129 * G + 25 * B + 128) >> 8) + 16, 0, 255);
  const int U = std::clamp(((-38 * R - 74 * G + 112 * B + 128) >> 8) + 128, 0, 255);
  const int V = std::clamp(((112 * R - 94 * G - 18 * B + 128) >> 8) + 128, 0, 255);
  if (p.format == 1) {
    const size_t pair = static_cast<size_t>(py) * 2 * p.Wc() + static_cast<size_t>(px & ~1) * 2;
    mix(p.main[pair + ((px & 1) ? 2 : 0)], Y);
    mix(p.main[pair + 1], U);
    mix(p.main[pair + 3], V);
  } else {
    mix(p.main[static_cast<size_t>(py) * p.w + px], Y);
    const size_t c = static_cast<size_t>(p.Wc()) * (py / 2) + static_cast<size_t>(px / 2) * 2;
    mix(p.uv[c], U);
    mix(p.uv[c + 1], V);
  }
}

inline uint32_t Opaque0(uint32_t argb) { return (argb >> 24) == 0 ? argb | 0xFF000000u : argb; }

// Every pixel of [x0, x1) x [y0, y1) of a frame-sized surface.
inline void BlendRegion(Picture& p, const platform::ArgbSurface& s, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                        float opacity, bool keyed, uint32_t key) {
  x0 = std::max<int64_t>(x0, 0);
  y0 = std::max<int64_t>(y0, 0);
  x1 = std::min<int64_t>(x1, p.w);
  y1 = std::min<int64_t>(y1, p.h);
  for (int64_t y = y0; y < y1; ++y)
    for (int64_t x = x0; x < x1; ++x) {
      const uint32_t c = s.Pixel(static_cast<int>(x), static_cast<int>(y));
      int A = static_cast<int>(c >> 24);
      if (keyed && (c & 0xFFFFFF) == (key & 0xFFFFFF)) A = 0;
      BlendPixel(p, static_cast<int>(x), static_cast<int>(y), c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF, A, opacity);
    }
}

inline std::u16string Field(const OvixWChar* s, size_t n) { return std::u16string(s, sys::Utf16Length(s, n)); }

inline float StoredOpacity(float o) { return o != o ? 0.0f : std::clamp(o, 0.0f, 1.0f); }

inline void DrawText(Picture& p, const OvixOsdItem& it, platform::TextRasteriser& rasteriser) {
  const std::u16string text = Field(it.text, OVIX_OSD_TEXT_SIZE);
  if (!it.visible || text.empty()) return;
  const int size = it.size > 0 ? it.size : 36;
  const int64_t BW = it.width > 0 ? it.width : int64_t{p.w} - it.x;
  const int64_t BH = it.height > 0 ? it.height : int64_t{2} * size;
  if (BW <= 0 || BH <= 0) return;
  platform::ArgbSurface s(p.w, p.h);
  if (!it.transparent)
    s.FillRect(it.x, it.y, static_cast<double>(BW), static_cast<double>(BH),
               Opaque0(it.backColor ? it.backColor : 0x80000000u));
  std::u16string face = Field(it.fontName, OVIX_OSD_FONT_NAME_SIZE);
  if (face.empty()) face = u"Microsoft YaHei UI";
  std::string face8;
  sys::Utf16ToUtf8(face, face8);
  rasteriser.DrawText(
      s, text, {face8, std::clamp(size, 1, 512), Opaque0(it.color ? it.color : 0xFFFFFFFFu)},
      {static_cast<double>(it.x), static_cast<double>(it.y), static_cast<double>(BW), static_cast<double>(BH)});
  BlendRegion(p, s, it.x, it.y, it.x + BW, it.y + BH, StoredOpacity(it.opacity), false, 0);
}

inline void DrawImage(Picture& p, const OvixOsdItem& it) {
  std::string path;
  if (!it.visible || !sys::Utf16ToUtf8(Field(it.imagePath, OVIX_PATH_SIZE), path) || path.empty()) return;
  platform::DecodedImage img;
  if (!platform::ImageDecoder::DecodeFile(path, img)) return;
  const int DW = it.width > 0 ? it.width : img.width;
  const int DH = it.height > 0 ? it.height : img.height;
  platform::ArgbSurface s(p.w, p.h);
  platform::DrawImageScaled(s, img, it.x, it.y, DW, DH);
  BlendRegion(p, s, it.x, it.y, int64_t{it.x} + DW, int64_t{it.y} + DH, StoredOpacity(it.opacity), it.transparent != 0,
              it.backColor ? it.backColor : 0x80000000u);
}

inline void DrawRect(Picture& p, const OvixOsdItem& it) {
  if (!it.visible) return;
  const int64_t ax = it.x, bx = int64_t{it.x} + it.width, ay = it.y, by = int64_t{it.y} + it.height;
  const int64_t x0 = std::clamp<int64_t>(std::min(ax, bx), 0, p.w - 1),
                x1 = std::clamp<int64_t>(std::max(ax, bx), 0, p.w - 1);
  const int64_t y0 = std::clamp<int64_t>(std::min(ay, by), 0, p.h - 1),
                y1 = std::clamp<int64_t>(std::max(ay, by), 0, p.h - 1);
  if (!(x0 < x1 && y0 < y1)) return;
  const int T = std::min(it.size > 0 ? it.size : 3, 32);
  const uint32_t c = Opaque0(it.color ? it.color : 0xFFFFFFFFu);
  const int B = c & 0xFF, G = (c >> 8) & 0xFF, R = (c >> 16) & 0xFF, A = c >> 24;
  const float o = StoredOpacity(it.opacity);
  for (int i = 0; i < T; ++i) {
    if (y0 + i <= y1)
      for (int64_t x = x0; x <= x1; ++x) BlendPixel(p, static_cast<int>(x), static_cast<int>(y0 + i), B, G, R, A, o);
    if (y1 - i >= y0 && y1 - i != y0 + i)
      for (int64_t x = x0; x <= x1; ++x) BlendPixel(p, static_cast<int>(x), static_cast<int>(y1 - i), B, G, R, A, o);
    if (x0 + i <= x1)
      for (int64_t y = y0; y <= y1; ++y) BlendPixel(p, static_cast<int>(x0 + i), static_cast<int>(y), B, G, R, A, o);
    if (x1 - i >= x0 && x1 - i != x0 + i)
      for (int64_t y = y0; y <= y1; ++y) BlendPixel(p, static_cast<int>(x1 - i), static_cast<int>(y), B, G, R, A, o);
  }
}

}  // namespace ovix::test::osdref
