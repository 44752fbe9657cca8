#include "video/color_reference.h"

#include <algorithm>
#include <cmath>

namespace ovix::test {

namespace {

int Clamp255(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }
float Clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

struct Rgb8 {
  int r, g, b;
};
struct RgbF {
  float r, g, b;
};

// ---- fixed point -----------------------------------------------------------

Rgb8 FixedToRgb(int Y, int U, int V, int cs, bool full) {
  const int u = U - 128, v = V - 128;
  const bool bt601 = cs == 1;
  int r, g, b;
  if (full) {
    r = Y + (((bt601 ? 359 : 403) * v + 128) >> 8);
    g = Y - (((bt601 ? 88 : 48) * u + (bt601 ? 183 : 120) * v + 128) >> 8);
    b = Y + (((bt601 ? 454 : 475) * u + 128) >> 8);
  } else {
    const int yy = 298 * std::max(Y - 16, 0);
    r = (yy + (bt601 ? 409 : 459) * v + 128) >> 8;
    g = (yy - (bt601 ? 100 : 55) * u - (bt601 ? 208 : 136) * v + 128) >> 8;
    b = (yy + (bt601 ? 516 : 541) * u + 128) >> 8;
  }
  return {Clamp255(r), Clamp255(g), Clamp255(b)};
}

void FixedToYuv(Rgb8 c, int cs, bool full, int& y, int& u, int& v) {
  const int R = c.r, G = c.g, B = c.b;
  if (cs == 1) {
    if (full) {
      y = (77 * R + 150 * G + 29 * B + 128) >> 8;
      u = ((-43 * R - 85 * G + 128 * B + 128) >> 8) + 128;
      v = ((128 * R - 107 * G - 21 * B + 128) >> 8) + 128;
    } else {
      y = ((66 * R + 129 * G + 25 * B + 128) >> 8) + 16;
      u = ((-38 * R - 74 * G + 112 * B + 128) >> 8) + 128;
      v = ((112 * R - 94 * G - 18 * B + 128) >> 8) + 128;
    }
  } else {
    if (full) {
      y = (54 * R + 183 * G + 18 * B + 128) >> 8;
      u = ((-29 * R - 99 * G + 128 * B + 128) >> 8) + 128;
      v = ((128 * R - 116 * G - 12 * B + 128) >> 8) + 128;
    } else {
      y = ((47 * R + 157 * G + 16 * B + 128) >> 8) + 16;
      u = ((-26 * R - 87 * G + 112 * B + 128) >> 8) + 128;
      v = ((112 * R - 102 * G - 10 * B + 128) >> 8) + 128;
    }
  }
  y = Clamp255(y);
  u = Clamp255(u);
  v = Clamp255(v);
}

int Lerp8(int a, int b, int f) { return a + ((f * (b - a) + 128) >> 8); }

Rgb8 FixedLut(const Ovix3DLutData& lut, Rgb8 in, float strength) {
  int s8 = static_cast<int>(strength * 256.0f + 0.5f);
  s8 = std::min(std::max(s8, 0), 256);
  if (s8 == 0) return in;
  const int N = lut.size;
  int i0[3], i1[3], f[3];
  const int x[3] = {in.r, in.g, in.b};
  for (int c = 0; c < 3; ++c) {
    const int t = (x[c] * (N - 1) * 256 + 127) / 255;
    i0[c] = t >> 8;
    if (i0[c] < N - 1) {
      i1[c] = i0[c] + 1;
      f[c] = t & 255;
    } else {
      i0[c] = i1[c] = N - 1;
      f[c] = 0;
    }
  }
  auto at = [&](int r, int g, int b, int ch) { return lut.bytes[((b * N + g) * N + r) * 3 + ch]; };
  int out[3];
  for (int ch = 0; ch < 3; ++ch) {
    int alongRed[2][2];  // [g][b]
    for (int gi = 0; gi < 2; ++gi)
      for (int bi = 0; bi < 2; ++bi) {
        const int g = gi ? i1[1] : i0[1], b = bi ? i1[2] : i0[2];
        alongRed[gi][bi] = Lerp8(at(i0[0], g, b, ch), at(i1[0], g, b, ch), f[0]);
      }
    const int alongGreen0 = Lerp8(alongRed[0][0], alongRed[1][0], f[1]);
    const int alongGreen1 = Lerp8(alongRed[0][1], alongRed[1][1], f[1]);
    out[ch] = Lerp8(alongGreen0, alongGreen1, f[2]);
  }
  if (s8 < 256)
    for (int ch = 0; ch < 3; ++ch) out[ch] = (((out[ch] - x[ch]) * s8 + 128) >> 8) + x[ch];
  return {Clamp255(out[0]), Clamp255(out[1]), Clamp255(out[2])};
}

// ---- floating point ----------------------------------------------------------

RgbF FloatToRgb(int Y, int U, int V, int cs, bool full) {
  float kRv = 1.402f, kGu = 0.344136f, kGv = 0.714136f, kBu = 1.772f;
  if (cs == 2) kRv = 1.5748f, kGu = 0.187324f, kGv = 0.468124f, kBu = 1.8556f;
  if (cs == 3) kRv = 1.4746f, kGu = 0.16455f, kGv = 0.57135f, kBu = 1.8814f;
  float y, cb, cr;
  if (full) {
    y = static_cast<float>(Y) / 255.0f;
    cb = static_cast<float>(U - 128) / 255.0f;
    cr = static_cast<float>(V - 128) / 255.0f;
  } else {
    y = static_cast<float>(Y - 16) / 219.0f;
    cb = static_cast<float>(U - 128) / 224.0f;
    cr = static_cast<float>(V - 128) / 224.0f;
  }
  y = Clamp01(y);
  return {Clamp01(y + kRv * cr), Clamp01(y - kGu * cb - kGv * cr), Clamp01(y + kBu * cb)};
}

int Round255(float v) { return Clamp255(static_cast<int>(v + 0.5f)); }

void FloatToYuv(RgbF c, int cs, bool full, int& y8, int& u8, int& v8) {
  float kr = 0.299f, kg = 0.587f, kb = 0.114f;
  if (cs == 2) kr = 0.2126f, kg = 0.7152f, kb = 0.0722f;
  if (cs == 3) kr = 0.2627f, kg = 0.678f, kb = 0.0593f;
  const float R = Clamp01(c.r), G = Clamp01(c.g), B = Clamp01(c.b);
  const float y = kr * R + kg * G + kb * B;
  const float cb = (B - y) / (2.0f * (1.0f - kb));
  const float cr = (R - y) / (2.0f * (1.0f - kr));
  if (full) {
    y8 = Round255(255.0f * y);
    u8 = Round255(255.0f * cb + 128.0f);
    v8 = Round255(255.0f * cr + 128.0f);
  } else {
    y8 = Round255(219.0f * y + 16.0f);
    u8 = Round255(224.0f * cb + 128.0f);
    v8 = Round255(224.0f * cr + 128.0f);
  }
}

RgbF FloatLut(const Ovix3DLutData& lut, RgbF in, float strength) {
  const int N = lut.size;
  const float x[3] = {in.r, in.g, in.b};
  int i0[3], i1[3];
  float f[3];
  for (int c = 0; c < 3; ++c) {
    const float n = Clamp01((x[c] - lut.domainMin[c]) / (lut.domainMax[c] - lut.domainMin[c])) *
                    static_cast<float>(N - 1);
    i0[c] = static_cast<int>(std::floor(n));
    i1[c] = i0[c] + 1 < N ? i0[c] + 1 : i0[c];
    f[c] = n - static_cast<float>(i0[c]);
  }
  float out[3] = {0, 0, 0};
  bool first = true;
  for (int bi = 0; bi < 2; ++bi)
    for (int gi = 0; gi < 2; ++gi)
      for (int ri = 0; ri < 2; ++ri) {
        const float w = (ri ? f[0] : 1.0f - f[0]) * (gi ? f[1] : 1.0f - f[1]) * (bi ? f[2] : 1.0f - f[2]);
        const int r = ri ? i1[0] : i0[0], g = gi ? i1[1] : i0[1], b = bi ? i1[2] : i0[2];
        for (int ch = 0; ch < 3; ++ch) {
          const float e = lut.table[((b * N + g) * N + r) * 3 + ch];
          out[ch] = first ? w * e : out[ch] + w * e;
        }
        first = false;
      }
  const float s = Clamp01(strength);
  return {Clamp01(x[0] + (out[0] - x[0]) * s), Clamp01(x[1] + (out[1] - x[1]) * s),
          Clamp01(x[2] + (out[2] - x[2]) * s)};
}

// ---- reading the input ---------------------------------------------------------

struct Input {
  const OvixVideoFrame& f;
  int W, H;
  int s0, s1;
  const uint8_t* chroma;

  explicit Input(const OvixVideoFrame& frame) : f(frame), W(frame.width), H(frame.height) {
    int packed = W;
    if (f.format == OVIX_FORMAT_YUY2) packed = 2 * W;
    if (f.format == OVIX_FORMAT_RGB24) packed = 3 * W;
    if (f.format == OVIX_FORMAT_RGB32) packed = 4 * W;
    s0 = f.stride[0] > 0 ? f.stride[0] : packed;
    s1 = f.stride[1] > 0 ? f.stride[1] : (W + 1) / 2 * 2;
    chroma = f.data[1] ? f.data[1] : f.data[0] + static_cast<size_t>(H) * s0;
  }
  const uint8_t* At(int x, int y, int bytesPerPixel) const {
    return f.data[0] + static_cast<size_t>(y) * s0 + static_cast<size_t>(x) * bytesPerPixel;
  }
  // YUY2 bytes of the pair holding x: Y of x, U, V (128 for the last,
  // unpaired pixel of an odd width).
  void Yuy2(int x, int y, int& Y, int& U, int& V) const {
    const uint8_t* pair = At(x / 2 * 2, y, 2);
    Y = pair[x % 2 ? 2 : 0];
    U = pair[1];
    V = (x % 2 == 0 && x + 1 == W) ? 128 : pair[3];
  }
  void Nv12(int x, int y, int& Y, int& U, int& V) const {
    Y = *At(x, y, 1);
    const uint8_t* uv = chroma + static_cast<size_t>(y / 2) * s1 + x / 2 * 2;
    U = uv[0];
    V = uv[1];
  }

  Rgb8 Fixed(int x, int y, int cs, bool full, bool nv12ByFloat) const {
    int Y, U, V;
    switch (f.format) {
      case OVIX_FORMAT_RGB24: {
        const uint8_t* p = At(x, y, 3);
        return {p[2], p[1], p[0]};
      }
      case OVIX_FORMAT_RGB32: {
        const uint8_t* p = At(x, y, 4);
        return {p[2], p[1], p[0]};
      }
      case OVIX_FORMAT_YUY2:
        Yuy2(x, y, Y, U, V);
        return FixedToRgb(Y, U, V, cs, full);
      default:
        Nv12(x, y, Y, U, V);
        if (nv12ByFloat) {
          const RgbF c = FloatToRgb(Y, U, V, cs, full);
          return {static_cast<int>(Clamp01(c.r) * 255.0f + 0.5f), static_cast<int>(Clamp01(c.g) * 255.0f + 0.5f),
                  static_cast<int>(Clamp01(c.b) * 255.0f + 0.5f)};
        }
        return FixedToRgb(Y, U, V, cs, full);
    }
  }

  RgbF Float(int x, int y, int cs, bool full) const {
    int Y, U, V;
    switch (f.format) {
      case OVIX_FORMAT_RGB24: {
        const uint8_t* p = At(x, y, 3);
        return {p[2] / 255.0f, p[1] / 255.0f, p[0] / 255.0f};
      }
      case OVIX_FORMAT_RGB32: {
        const uint8_t* p = At(x, y, 4);
        return {p[2] / 255.0f, p[1] / 255.0f, p[0] / 255.0f};
      }
      case OVIX_FORMAT_YUY2: Yuy2(x, y, Y, U, V); break;
      default: Nv12(x, y, Y, U, V); break;
    }
    return FloatToRgb(Y, U, V, cs, full);
  }
};

}  // namespace

RefPicture ReferenceConvert(const OvixVideoFrame& frame, const RefSettings& s) {
  const Input in(frame);
  const int W = in.W, H = in.H, F = s.outFormat, cs = s.colorSpace;
  RefPicture out;
  out.format = F;
  out.width = W;
  out.height = H;
  if (F == OVIX_FORMAT_NV12) {
    out.stride0 = W;
    out.stride1 = (W + 1) / 2 * 2;
    out.plane0.resize(static_cast<size_t>(W) * H);
    out.plane1.resize(static_cast<size_t>(out.stride1) * ((H + 1) / 2));
    std::vector<int> u(static_cast<size_t>(W) * H), v(u.size());
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        RgbF c = in.Float(x, y, cs, s.fullRange);
        if (s.lut) c = FloatLut(*s.lut, c, s.strength);
        int Y, U, V;
        FloatToYuv(c, cs, s.fullRange, Y, U, V);
        out.plane0[static_cast<size_t>(y) * W + x] = static_cast<uint8_t>(Y);
        u[static_cast<size_t>(y) * W + x] = U;
        v[static_cast<size_t>(y) * W + x] = V;
      }
    for (int i = 0; 2 * i < H; ++i)
      for (int j = 0; 2 * j < W; ++j) {
        int su = 0, sv = 0, k = 0;
        for (int y = 2 * i; y < 2 * i + 2 && y < H; ++y)
          for (int x = 2 * j; x < 2 * j + 2 && x < W; ++x) {
            su += u[static_cast<size_t>(y) * W + x];
            sv += v[static_cast<size_t>(y) * W + x];
            ++k;
          }
        out.plane1[static_cast<size_t>(i) * out.stride1 + 2 * j] = static_cast<uint8_t>((su + k / 2) / k);
        out.plane1[static_cast<size_t>(i) * out.stride1 + 2 * j + 1] = static_cast<uint8_t>((sv + k / 2) / k);
      }
    return out;
  }

  const bool nv12ByFloat = F == OVIX_FORMAT_YUY2;
  auto pixel = [&](int x, int y) {
    Rgb8 c = in.Fixed(x, y, cs, s.fullRange, nv12ByFloat);
    return s.lut ? FixedLut(*s.lut, c, s.strength) : c;
  };
  out.stride0 = F == OVIX_FORMAT_RGB24 ? 3 * W : F == OVIX_FORMAT_RGB32 ? 4 * W : (W + 1) / 2 * 4;
  out.plane0.resize(static_cast<size_t>(out.stride0) * H);
  for (int y = 0; y < H; ++y) {
    uint8_t* row = out.plane0.data() + static_cast<size_t>(y) * out.stride0;
    if (F == OVIX_FORMAT_YUY2) {
      for (int x = 0; x < W; x += 2) {
        const Rgb8 c0 = pixel(x, y);
        const Rgb8 c1 = x + 1 < W ? pixel(x + 1, y) : c0;
        int y0, u0, v0, y1, u1, v1;
        FixedToYuv(c0, cs, s.fullRange, y0, u0, v0);
        FixedToYuv(c1, cs, s.fullRange, y1, u1, v1);
        row[2 * x] = static_cast<uint8_t>(y0);
        row[2 * x + 1] = static_cast<uint8_t>((u0 + u1 + 1) >> 1);
        row[2 * x + 2] = static_cast<uint8_t>(y1);
        row[2 * x + 3] = static_cast<uint8_t>((v0 + v1 + 1) >> 1);
      }
      continue;
    }
    const int bpp = F == OVIX_FORMAT_RGB24 ? 3 : 4;
    for (int x = 0; x < W; ++x) {
      const Rgb8 c = pixel(x, y);
      row[bpp * x] = static_cast<uint8_t>(c.b);
      row[bpp * x + 1] = static_cast<uint8_t>(c.g);
      row[bpp * x + 2] = static_cast<uint8_t>(c.r);
      if (bpp == 4) row[bpp * x + 3] = 255;
    }
  }
  return out;
}

RefPicture CopyPicture(const OvixVideoFrame& f) {
  RefPicture p;
  p.format = f.format;
  p.width = f.width;
  p.height = f.height;
  p.stride0 = f.stride[0];
  p.stride1 = f.stride[1];
  p.plane0.assign(f.data[0], f.data[0] + static_cast<size_t>(f.stride[0]) * f.height);
  if (f.format == OVIX_FORMAT_NV12 && f.data[1])
    p.plane1.assign(f.data[1], f.data[1] + static_cast<size_t>(f.stride[1]) * ((f.height + 1) / 2));
  return p;
}

}  // namespace ovix::test
