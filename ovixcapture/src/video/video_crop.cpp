#include "video/video_crop.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/api_guard.h"
#include "core/library_state.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/port_registry.h"

namespace ovix {

namespace {

// Grows a buffer to at least n bytes; it never shrinks, so a steady stream
// of frames allocates nothing.
uint8_t* Reserve(std::vector<uint8_t>& buffer, size_t n) {
  if (buffer.size() < n) buffer.resize(n);
  return buffer.data();
}

void CopyRows(uint8_t* dst, const uint8_t* src, ptrdiff_t srcStride, size_t rowBytes, int rows) {
  for (int i = 0; i < rows; ++i) std::memcpy(dst + rowBytes * static_cast<size_t>(i), src + srcStride * i, rowBytes);
}

}  // namespace

void OvixVideoCrop::SetRect(const OvixCropRect& rect) {
  {
    std::lock_guard lock(cropLock_);
    rect_ = rect;
  }
  OVIX_LOG(kTagVideoCrop, "VideoCrop set rect x=%d y=%d w=%d h=%d", rect.x, rect.y, rect.w, rect.h);
}

void OvixVideoCrop::Enable(bool enable) {
  {
    std::lock_guard lock(cropLock_);
    enabled_ = enable;
  }
  OVIX_LOG(kTagVideoCrop, "VideoCrop enable=%d", enable ? 1 : 0);
}

int OvixVideoCrop::OnVideoFrame(const OvixVideoFrame* frame) {
  if (!frame) return OVIX_ERR_INVALID_ARG;
  bool enabled;
  OvixCropRect rect;
  {
    std::lock_guard lock(cropLock_);
    enabled = enabled_;
    rect = rect_;
  }
  if (!enabled) {
    DeliverVideo(frame);
    return OVIX_OK;
  }

  const int64_t W = frame->width, H = frame->height;
  const int32_t fmt = frame->format;
  int64_t x = std::max<int64_t>(rect.x, 0), y = std::max<int64_t>(rect.y, 0);
  const bool valid = W > 0 && H > 0 && x < W && y < H;
  int64_t w = rect.w < 1 || x + rect.w > W ? W - x : rect.w;
  int64_t h = rect.h < 1 || y + rect.h > H ? H - y : rect.h;
  if (fmt == OVIX_FORMAT_YUY2) {
    x &= ~int64_t{1};
    w &= ~int64_t{1};
  } else if (fmt == OVIX_FORMAT_NV12) {
    x &= ~int64_t{1};
    w &= ~int64_t{1};
    y &= ~int64_t{1};
    h &= ~int64_t{1};
  }
  // A frame without pixels, or a cut too wide for a 32-bit stride, is not
  // cut either.
  if (!valid || w <= 0 || h <= 0 || !frame->data[0] || 4 * w > INT32_MAX) {
    OVIX_LOG(kTagVideoCrop, "VideoCrop invalid rect, bypass frame %dx%d fmt=%d", frame->width, frame->height, fmt);
    DeliverVideo(frame);
    return OVIX_OK;
  }

  int64_t bytesPerPixel;
  switch (fmt) {
    case OVIX_FORMAT_YUY2: bytesPerPixel = 2; break;
    case OVIX_FORMAT_NV12: bytesPerPixel = 1; break;
    case OVIX_FORMAT_RGB24: bytesPerPixel = 3; break;
    case OVIX_FORMAT_RGB32: bytesPerPixel = 4; break;
    default:
      OVIX_LOG(kTagVideoCrop, "VideoCrop unsupported format=%d, bypass", fmt);
      DeliverVideo(frame);
      return OVIX_OK;
  }

  const ptrdiff_t s0 = frame->stride[0];
  const size_t rowBytes = static_cast<size_t>(bytesPerPixel * w);
  const int rows = static_cast<int>(h);
  OvixVideoFrame out = *frame;
  try {
    uint8_t* dst0 = Reserve(plane0_, rowBytes * static_cast<size_t>(rows));
    CopyRows(dst0, frame->data[0] + s0 * y + bytesPerPixel * x, s0, rowBytes, rows);
    out.data[0] = dst0;
    out.data[1] = nullptr;
    if (fmt == OVIX_FORMAT_NV12) {
      const uint8_t* chroma = frame->data[1] ? frame->data[1] : frame->data[0] + s0 * H;
      const ptrdiff_t s1 = frame->stride[1] != 0 ? frame->stride[1] : s0;
      uint8_t* dst1 = Reserve(plane1_, rowBytes * static_cast<size_t>(rows / 2));
      CopyRows(dst1, chroma + s1 * (y / 2) + x, s1, rowBytes, rows / 2);
      out.data[1] = dst1;
    }
  } catch (const std::bad_alloc&) {
    // Delivering half a cut would hand corrupt pixels downstream; the frame
    // is dropped and the source's thread lives on.
    OVIX_LOG(kTagVideoCrop, "VideoCrop out of memory, drop frame %dx%d fmt=%d", frame->width, frame->height, fmt);
    return OVIX_ERR_FAILED;
  }
  out.data[2] = out.data[3] = nullptr;
  out.stride[0] = static_cast<int32_t>(rowBytes);
  out.stride[1] = fmt == OVIX_FORMAT_NV12 ? static_cast<int32_t>(w) : 0;
  out.stride[2] = out.stride[3] = 0;
  out.width = static_cast<int32_t>(w);
  out.height = rows;
  DeliverVideo(&out);
  return OVIX_OK;
}

}  // namespace ovix

using namespace ovix;

extern "C" {

OvixPortHandle OVIX_CreateVideoCrop(void) {
  if (!library_state::IsInitialised()) return nullptr;
  OvixVideoCrop* port = MakePort<OvixVideoCrop>();
  return port ? port->Handle() : nullptr;
}

int OVIX_SetVideoCropRect(OvixPortHandle port, const OvixCropRect* rect) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* crop = LivePortAs<OvixVideoCrop>(port);
    if (!crop || !rect) return OVIX_ERR_INVALID_ARG;
    crop->SetRect(*rect);
    return OVIX_OK;
  });
}

int OVIX_EnableVideoCrop(OvixPortHandle port, int enable) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* crop = LivePortAs<OvixVideoCrop>(port);
    if (!crop) return OVIX_ERR_INVALID_ARG;
    crop->Enable(enable != 0);
    return OVIX_OK;
  });
}

}  // extern "C"
