#include "video/video_osd_picture.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace ovix {
namespace {

// Rows of min(srcPitch, rowBytes) bytes each, the rest of every row filled.
void CopyRows(uint8_t* dst, size_t rowBytes, const uint8_t* src, int64_t srcPitch, int rows, uint8_t fill) {
  const size_t take = static_cast<size_t>(std::min<int64_t>(srcPitch, static_cast<int64_t>(rowBytes)));
  if (take == rowBytes && srcPitch == static_cast<int64_t>(rowBytes)) {
    std::memcpy(dst, src, rowBytes * static_cast<size_t>(rows));
    return;
  }
  for (int i = 0; i < rows; ++i) {
    std::memcpy(dst + rowBytes * static_cast<size_t>(i), src + srcPitch * i, take);
    std::memset(dst + rowBytes * static_cast<size_t>(i) + take, fill, rowBytes - take);
  }
}

}  // namespace

bool OsdWorkPicture::Supports(const OvixVideoFrame& f) {
  if (f.format != OVIX_FORMAT_YUY2 && f.format != OVIX_FORMAT_NV12 && f.format != OVIX_FORMAT_RGB24 &&
      f.format != OVIX_FORMAT_RGB32)
    return false;
  return f.data[0] && f.width > 0 && f.height > 0 && f.width <= INT32_MAX / 4;
}

void OsdWorkPicture::Prepare(const OvixVideoFrame& f) {
  width_ = f.width;
  height_ = f.height;
  switch (f.format) {
    case OVIX_FORMAT_YUY2:
      PrepareYuy2(f);
      break;
    case OVIX_FORMAT_NV12:
      PrepareNv12(f);
      break;
    default:
      PrepareRgb(f);
      break;
  }
}

void OsdWorkPicture::PrepareYuy2(const OvixVideoFrame& f) {
  format_ = OVIX_FORMAT_YUY2;
  const size_t rowBytes = static_cast<size_t>(ChromaWidth()) * 2;
  yuv_.resize(rowBytes * static_cast<size_t>(height_));
  const int64_t pitch = f.stride[0] > 0 ? f.stride[0] : int64_t{width_} * 2;
  CopyRows(yuv_.data(), rowBytes, f.data[0], pitch, height_, 128);
}

void OsdWorkPicture::PrepareNv12(const OvixVideoFrame& f) {
  format_ = OVIX_FORMAT_NV12;
  const size_t lumaRow = static_cast<size_t>(width_);
  const size_t chromaRow = static_cast<size_t>(ChromaWidth());
  const int chromaRows = (height_ + 1) / 2;
  yuv_.resize(lumaRow * static_cast<size_t>(height_));
  uv_.resize(chromaRow * static_cast<size_t>(chromaRows));
  const int64_t lumaPitch = f.stride[0] > 0 ? f.stride[0] : int64_t{width_};
  CopyRows(yuv_.data(), lumaRow, f.data[0], lumaPitch, height_, 16);
  // A chroma plane that follows the luma plane in one buffer has the luma
  // pitch unless the frame names its own.
  const uint8_t* chroma = f.data[1] ? f.data[1] : f.data[0] + lumaPitch * height_;
  const int64_t chromaPitch = f.stride[1] > 0 ? f.stride[1] : (f.data[1] ? int64_t{ChromaWidth()} : lumaPitch);
  CopyRows(uv_.data(), chromaRow, chroma, chromaPitch, chromaRows, 128);
}

void OsdWorkPicture::PrepareRgb(const OvixVideoFrame& f) {
  format_ = OVIX_FORMAT_RGB32;
  const size_t rowBytes = static_cast<size_t>(width_) * 4;
  rgb_.resize(rowBytes * static_cast<size_t>(height_));
  if (f.format == OVIX_FORMAT_RGB32) {
    const int64_t pitch = f.stride[0] > 0 ? f.stride[0] : static_cast<int64_t>(rowBytes);
    CopyRows(rgb_.data(), rowBytes, f.data[0], pitch, height_, 0);
    return;
  }
  const int64_t pitch = f.stride[0] > 0 ? f.stride[0] : int64_t{width_} * 3;
  for (int row = 0; row < height_; ++row) {
    const uint8_t* s = f.data[0] + pitch * row;
    uint8_t* d = rgb_.data() + rowBytes * static_cast<size_t>(row);
    for (int col = 0; col < width_; ++col, s += 3, d += 4) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
      d[3] = 255;
    }
  }
}

OvixVideoFrame OsdWorkPicture::Output(const OvixVideoFrame& input) const {
  OvixVideoFrame out{};
  switch (format_) {
    case OVIX_FORMAT_YUY2:
      out.data[0] = const_cast<uint8_t*>(yuv_.data());
      out.stride[0] = ChromaWidth() * 2;
      break;
    case OVIX_FORMAT_NV12:
      out.data[0] = const_cast<uint8_t*>(yuv_.data());
      out.stride[0] = width_;
      out.data[1] = const_cast<uint8_t*>(uv_.data());
      out.stride[1] = ChromaWidth();
      break;
    default:
      out.data[0] = const_cast<uint8_t*>(rgb_.data());
      out.stride[0] = width_ * 4;
      break;
  }
  out.width = input.width;
  out.height = input.height;
  out.format = format_;
  out.timestamp = input.timestamp;
  out.frameIndex = input.frameIndex;
  return out;
}

}  // namespace ovix
