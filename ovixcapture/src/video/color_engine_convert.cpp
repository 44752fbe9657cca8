#include "video/color_engine_convert.h"

#include <cstddef>
#include <optional>

#include "video/color_engine_fixed.h"
#include "video/color_engine_float.h"

namespace ovix {

namespace {

using color::FixedMatrix;

struct Source {
  int32_t format;
  int width, height;
  const uint8_t* plane0;
  ptrdiff_t stride0;
  const uint8_t* plane1;  // NV12 chroma
  ptrdiff_t stride1;
  const uint8_t* Row(int y) const { return plane0 + stride0 * y; }
  const uint8_t* ChromaRow(int y) const { return plane1 + stride1 * (y / 2); }
};

size_t PackedRowBytes(int32_t format, int width) {
  const size_t w = static_cast<size_t>(width);
  switch (format) {
    case OVIX_FORMAT_YUY2: return w * 2;
    case OVIX_FORMAT_RGB24: return w * 3;
    case OVIX_FORMAT_RGB32: return w * 4;
    default: return w;
  }
}

Source Resolve(const OvixVideoFrame& in) {
  Source s{in.format, in.width, in.height, in.data[0], 0, nullptr, 0};
  s.stride0 = in.stride[0] > 0 ? in.stride[0] : static_cast<ptrdiff_t>(PackedRowBytes(in.format, in.width));
  if (in.format == OVIX_FORMAT_NV12) {
    s.plane1 = in.data[1] ? in.data[1] : in.data[0] + s.stride0 * in.height;
    // A chroma row of an odd width holds one pair more than half the width.
    s.stride1 = in.stride[1] > 0 ? in.stride[1] : (static_cast<ptrdiff_t>(in.width) + 1) & ~ptrdiff_t{1};
  }
  return s;
}

uint8_t* Reserve(std::vector<uint8_t>& buffer, size_t n) {
  if (buffer.size() < n) buffer.resize(n);
  return buffer.data();
}

// NV12 read by the floating-point reader, rounded to bytes (YUY2 output).
void Nv12RowToBgraByFloat(const uint8_t* luma, const uint8_t* chroma, int width, const color::FloatYuvReader& reader,
                          uint8_t* bgra) {
  for (int x = 0; x < width; ++x) {
    const uint8_t* uv = chroma + (x / 2) * 2;
    float r, g, b;
    reader.ToRgb(luma[x], uv[0], uv[1], r, g, b);
    bgra[4 * x] = static_cast<uint8_t>(static_cast<int>(color::Clamp01(b) * 255.0f + 0.5f));
    bgra[4 * x + 1] = static_cast<uint8_t>(static_cast<int>(color::Clamp01(g) * 255.0f + 0.5f));
    bgra[4 * x + 2] = static_cast<uint8_t>(static_cast<int>(color::Clamp01(r) * 255.0f + 0.5f));
    bgra[4 * x + 3] = 255;
  }
}

void ConvertFixed(const Source& src, const ColorConversion& job, ColorEngineBuffers& buffers, size_t outStride) {
  const int W = src.width, H = src.height;
  const int32_t F = job.outFormat;
  const FixedMatrix m{job.colorSpace == 1, job.fullRange};
  const int s8 = job.lut ? color::FixedStrength(job.strength) : 0;
  const bool useLut = job.fixedLut && s8 > 0;
  std::optional<color::FloatYuvReader> reader;
  if (src.format == OVIX_FORMAT_NV12 && F == OVIX_FORMAT_YUY2)
    reader.emplace(color::FloatMatrixFor(job.colorSpace, job.fullRange));

  uint8_t* plane0 = Reserve(buffers.plane0, outStride * static_cast<size_t>(H));
  uint8_t* rowA = Reserve(buffers.rowA, static_cast<size_t>(W) * 4);
  uint8_t* rowB = Reserve(buffers.rowB, static_cast<size_t>(W) * 4);
  for (int y = 0; y < H; ++y) {
    const uint8_t* in = src.Row(y);
    uint8_t* dst = plane0 + outStride * static_cast<size_t>(y);
    // Stages write straight into the output row where that is their last.
    uint8_t* first = F == OVIX_FORMAT_RGB32 && !useLut ? dst : rowA;
    const uint8_t* bgra = first;
    switch (src.format) {
      case OVIX_FORMAT_RGB32: bgra = in; break;
      case OVIX_FORMAT_RGB24: color::Rgb24RowToBgra(in, W, first); break;
      case OVIX_FORMAT_YUY2: color::Yuy2RowToBgra(in, W, m, first); break;
      default:
        if (reader)
          Nv12RowToBgraByFloat(in, src.ChromaRow(y), W, *reader, first);
        else
          color::Nv12RowToBgra(in, src.ChromaRow(y), W, m, first);
        break;
    }
    if (useLut) {
      uint8_t* graded = F == OVIX_FORMAT_RGB32 ? dst : rowB;
      job.fixedLut->ApplyRow(bgra, graded, W, s8);
      bgra = graded;
    }
    switch (F) {
      case OVIX_FORMAT_RGB32:
        if (bgra != dst) color::BgraRowToRgb32(bgra, W, dst);
        break;
      case OVIX_FORMAT_RGB24: color::BgraRowToRgb24(bgra, W, dst); break;
      default: color::BgraRowToYuy2(bgra, W, m, dst); break;
    }
  }
}

// One input row as 8-bit Y, U, V per pixel through the floating-point path:
// the row is read into floats first, so each stage is one tight loop.
class FloatRowConverter {
 public:
  FloatRowConverter(const Source& src, const ColorConversion& job, float* scratch)
      : src_(src), matrix_(color::FloatMatrixFor(job.colorSpace, job.fullRange)), reader_(matrix_),
        r_(scratch), g_(scratch + src.width), b_(scratch + 2 * static_cast<size_t>(src.width)) {
    if (job.lut) sampler_.emplace(*job.lut, job.strength);
  }

  void Convert(int y, uint8_t* y8, uint8_t* u8, uint8_t* v8) const {
    Read(y);
    const int W = src_.width;
    if (sampler_) sampler_->ApplyRow(r_, g_, b_, W);
    color::FloatRowToYuv8(r_, g_, b_, W, matrix_, y8, u8, v8);
  }

 private:
  void Read(int y) const {
    const uint8_t* in = src_.Row(y);
    const int W = src_.width;
    const float* unit = color::kByteToUnit.v;
    switch (src_.format) {
      case OVIX_FORMAT_RGB24:
      case OVIX_FORMAT_RGB32: {
        const int step = src_.format == OVIX_FORMAT_RGB24 ? 3 : 4;
        for (int x = 0; x < W; ++x, in += step) {
          r_[x] = unit[in[2]];
          g_[x] = unit[in[1]];
          b_[x] = unit[in[0]];
        }
        break;
      }
      case OVIX_FORMAT_YUY2: {
        int x = 0;
        for (; x + 1 < W; x += 2) {
          const uint8_t* pair = in + 2 * x;
          reader_.ToRgb(pair[0], pair[1], pair[3], r_[x], g_[x], b_[x]);
          reader_.ToRgb(pair[2], pair[1], pair[3], r_[x + 1], g_[x + 1], b_[x + 1]);
        }
        // The last pixel of an odd width has no V byte: neutral chroma, as in
        // the fixed-point reader.
        if (x < W) reader_.ToRgb(in[2 * x], in[2 * x + 1], 128, r_[x], g_[x], b_[x]);
        break;
      }
      default: {
        const uint8_t* chroma = src_.ChromaRow(y);
        for (int x = 0; x < W; ++x) {
          const uint8_t* uv = chroma + (x / 2) * 2;
          reader_.ToRgb(in[x], uv[0], uv[1], r_[x], g_[x], b_[x]);
        }
        break;
      }
    }
  }

  const Source& src_;
  color::FloatMatrix matrix_;
  color::FloatYuvReader reader_;
  std::optional<color::FloatLutSampler> sampler_;
  float* r_;
  float* g_;
  float* b_;
};

void ConvertFloat(const Source& src, const ColorConversion& job, ColorEngineBuffers& buffers, size_t chromaStride) {
  const int W = src.width, H = src.height;
  const size_t w = static_cast<size_t>(W);
  uint8_t* luma = Reserve(buffers.plane0, w * static_cast<size_t>(H));
  uint8_t* chroma = Reserve(buffers.plane1, chromaStride * static_cast<size_t>((H + 1) / 2));
  uint8_t* u = Reserve(buffers.rowA, w * 2);  // U of rows 2i and 2i + 1
  uint8_t* v = Reserve(buffers.rowB, w * 2);
  if (buffers.floats.size() < w * 3) buffers.floats.resize(w * 3);
  const FloatRowConverter rows(src, job, buffers.floats.data());
  for (int cy = 0; cy < (H + 1) / 2; ++cy) {
    const int count = 2 * cy + 1 < H ? 2 : 1;
    for (int k = 0; k < count; ++k) rows.Convert(2 * cy + k, luma + w * static_cast<size_t>(2 * cy + k), u + w * k, v + w * k);
    uint8_t* out = chroma + chromaStride * static_cast<size_t>(cy);
    for (int j = 0; 2 * j < W; ++j) {
      int su = 0, sv = 0, n = 0;
      for (int k = 0; k < count; ++k) {
        for (int x = 2 * j; x < 2 * j + 2 && x < W; ++x) {
          su += u[w * k + x];
          sv += v[w * k + x];
          ++n;
        }
      }
      out[2 * j] = static_cast<uint8_t>((su + n / 2) / n);
      out[2 * j + 1] = static_cast<uint8_t>((sv + n / 2) / n);
    }
  }
}

}  // namespace

void ConvertColorFrame(const OvixVideoFrame& in, const ColorConversion& job, ColorEngineBuffers& buffers,
                       OvixVideoFrame& out) {
  const Source src = Resolve(in);
  const int32_t F = job.outFormat;
  const size_t W = static_cast<size_t>(in.width);
  const size_t rowBytes = F == OVIX_FORMAT_YUY2 ? (W + 1) / 2 * 4 : PackedRowBytes(F, in.width);
  const size_t chromaStride = (W + 1) & ~size_t{1};
  out = in;
  if (F == OVIX_FORMAT_NV12) {
    ConvertFloat(src, job, buffers, chromaStride);
    out.data[1] = buffers.plane1.data();
  } else {
    ConvertFixed(src, job, buffers, rowBytes);
    out.data[1] = nullptr;
  }
  out.data[0] = buffers.plane0.data();
  out.data[2] = out.data[3] = nullptr;
  out.stride[0] = static_cast<int32_t>(rowBytes);
  out.stride[1] = F == OVIX_FORMAT_NV12 ? static_cast<int32_t>(chromaStride) : 0;
  out.stride[2] = out.stride[3] = 0;
  out.format = F;
}

}  // namespace ovix
