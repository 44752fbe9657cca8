#include "platform/virtual/test_pattern.h"

#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/virtual/h264_test_encoder.h"

namespace ovix::virt {
namespace {

namespace st = platform::subtype;

enum Colour : int { kWhite75, kYellow, kCyan, kGreen, kMagenta, kRed, kBlue, kBlack, kWhite, kGrey, kColourCount };

struct Rgb {
  int r, g, b;
};
constexpr Rgb kRgb[kColourCount] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},     {191, 0, 191},
                                    {191, 0, 0},     {0, 0, 191},   {0, 0, 0},     {255, 255, 255}, {48, 48, 48}};

// BT.601, limited range: what cameras deliver and what the library's colour
// engine assumes for YUV input.
uint8_t LumaOf(Rgb c) { return static_cast<uint8_t>(((66 * c.r + 129 * c.g + 25 * c.b + 128) >> 8) + 16); }
uint8_t CbOf(Rgb c) { return static_cast<uint8_t>(((-38 * c.r - 74 * c.g + 112 * c.b + 128) >> 8) + 128); }
uint8_t CrOf(Rgb c) { return static_cast<uint8_t>(((112 * c.r - 94 * c.g - 18 * c.b + 128) >> 8) + 128); }
// JPEG (JFIF) YCbCr is full range.
uint8_t FullLumaOf(Rgb c) { return static_cast<uint8_t>((77 * c.r + 150 * c.g + 29 * c.b + 128) >> 8); }
uint8_t FullCbOf(Rgb c) {
  return static_cast<uint8_t>(std::clamp(((-43 * c.r - 85 * c.g + 128 * c.b + 128) >> 8) + 128, 0, 255));
}
uint8_t FullCrOf(Rgb c) {
  return static_cast<uint8_t>(std::clamp(((128 * c.r - 107 * c.g - 21 * c.b + 128) >> 8) + 128, 0, 255));
}

// How one plane stores a run of pixels: unitPixels pixels in unitBytes bytes.
enum class PlaneKind { Yuy2, Luma, CbCr, Cb, Cr, FullLuma, FullCb, FullCr, Bgr, Bgra };

struct PlaneShape {
  PlaneKind kind;
  int unitPixels, unitBytes;
  int vsub;  // picture rows per plane row
};

void UnitOf(PlaneKind kind, Rgb c, uint8_t* u) {
  switch (kind) {
    case PlaneKind::Yuy2:
      u[0] = u[2] = LumaOf(c);
      u[1] = CbOf(c);
      u[3] = CrOf(c);
      break;
    case PlaneKind::Luma:
      u[0] = LumaOf(c);
      break;
    case PlaneKind::CbCr:
      u[0] = CbOf(c);
      u[1] = CrOf(c);
      break;
    case PlaneKind::Cb:
      u[0] = CbOf(c);
      break;
    case PlaneKind::Cr:
      u[0] = CrOf(c);
      break;
    case PlaneKind::FullLuma:
      u[0] = FullLumaOf(c);
      break;
    case PlaneKind::FullCb:
      u[0] = FullCbOf(c);
      break;
    case PlaneKind::FullCr:
      u[0] = FullCrOf(c);
      break;
    case PlaneKind::Bgr:
      u[0] = static_cast<uint8_t>(c.b);
      u[1] = static_cast<uint8_t>(c.g);
      u[2] = static_cast<uint8_t>(c.r);
      break;
    case PlaneKind::Bgra:
      u[0] = static_cast<uint8_t>(c.b);
      u[1] = static_cast<uint8_t>(c.g);
      u[2] = static_cast<uint8_t>(c.r);
      u[3] = 255;
      break;
  }
}

struct Rect {
  int x0, y0, x1, y1;
  Colour colour;
};

// One plane of the picture: a full row of every colour, and the two
// background rows (bars, strip), so that painting a row is a few memcpys.
struct Plane {
  PlaneShape shape;
  int rows = 0;
  int rowBytes = 0;
  std::array<std::vector<uint8_t>, kColourCount> colourRows;
  std::vector<uint8_t> barsRow, stripRow;

  void FillSpan(uint8_t* row, int x0, int x1, Colour c) const {
    const int b0 = x0 / shape.unitPixels * shape.unitBytes;
    const int b1 = std::min(rowBytes, (x1 + shape.unitPixels - 1) / shape.unitPixels * shape.unitBytes);
    if (b1 > b0) std::memcpy(row + b0, colourRows[c].data() + b0, static_cast<size_t>(b1 - b0));
  }
};

constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
constexpr int kDigits = 6;

// The picture in one planar or packed layout.
class Picture {
 public:
  Picture(std::vector<PlaneShape> shapes, const std::vector<int>& rowBytes, int width, int height)
      : width_(width), height_(height), barsBottom_(height * 3 / 4) {
    for (size_t i = 0; i < shapes.size(); ++i) {
      Plane p;
      p.shape = shapes[i];
      p.rows = (height + p.shape.vsub - 1) / p.shape.vsub;
      p.rowBytes = rowBytes[i];
      const int units = (width + p.shape.unitPixels - 1) / p.shape.unitPixels;
      for (int c = 0; c < kColourCount; ++c) {
        std::vector<uint8_t> row(static_cast<size_t>(units) * p.shape.unitBytes);
        uint8_t unit[4];
        UnitOf(p.shape.kind, kRgb[c], unit);
        for (int u = 0; u < units; ++u) std::memcpy(row.data() + u * p.shape.unitBytes, unit, p.shape.unitBytes);
        row.resize(static_cast<size_t>(p.rowBytes));
        p.colourRows[c] = std::move(row);
      }
      p.barsRow = p.colourRows[kBlack];
      for (int bar = 0; bar < 7; ++bar)
        p.FillSpan(p.barsRow.data(), bar * width / 7, (bar + 1) * width / 7, static_cast<Colour>(kWhite75 + bar));
      p.stripRow = p.colourRows[kGrey];
      planes_.push_back(std::move(p));
    }
  }

  size_t PlaneCount() const { return planes_.size(); }
  int Rows(size_t plane) const { return planes_[plane].rows; }

  // flip: the first plane row in memory is the bottom picture row.
  void Render(uint64_t frame, uint8_t* const* dst, const int* strides, bool flip) {
    Layout(frame);
    for (size_t i = 0; i < planes_.size(); ++i) RenderPlane(planes_[i], dst[i], strides[i], flip);
  }

 private:
  void AddRect(int x0, int y0, int x1, int y1, Colour c) {
    x0 = std::clamp(x0, 0, width_);
    x1 = std::clamp(x1, 0, width_);
    y0 = std::clamp(y0, 0, height_);
    y1 = std::clamp(y1, 0, height_);
    if (x1 > x0 && y1 > y0) rects_.push_back({x0, y0, x1, y1, c});
  }

  // The rectangles of this frame over the two background bands, and the
  // rows where what a row looks like changes.
  void Layout(uint64_t frame) {
    rects_.clear();
    const int w = width_, h = height_;
    // The moving block: one step per frame, back to the left at the end.
    const int blockW = std::max(2, w / 24);
    const int step = std::max(2, w / 64);
    const int travel = std::max(1, w - blockW + 1);
    const int x = static_cast<int>((frame * static_cast<uint64_t>(step)) % static_cast<uint64_t>(travel));
    const int stripH = h - barsBottom_;
    AddRect(x, barsBottom_ + stripH / 4, x + blockW, h - stripH / 4, kWhite);

    // The counter, most significant digit first, on a black box.
    const int dh = std::max(7, h / 5), dw = std::max(4, dh / 2), t = std::max(1, dh / 8);
    const int gap = std::max(1, dw / 3), margin = 2 * t;
    const int ox = w / 20, oy = h / 16;
    AddRect(ox, oy, ox + 2 * margin + kDigits * dw + (kDigits - 1) * gap, oy + 2 * margin + dh, kBlack);
    uint64_t n = frame;
    for (int k = kDigits - 1; k >= 0; --k, n /= 10) {
      const uint8_t seg = kSegments[n % 10];
      const int dx = ox + margin + k * (dw + gap), dy = oy + margin;
      const int mid0 = (dh - t) / 2, mid1 = (dh + t) / 2;
      const Rect segs[7] = {{0, 0, dw, t, kWhite},       {dw - t, 0, dw, mid1, kWhite}, {dw - t, mid0, dw, dh, kWhite},
                            {0, dh - t, dw, dh, kWhite}, {0, mid0, t, dh, kWhite},      {0, 0, t, mid1, kWhite},
                            {0, mid0, dw, mid1, kWhite}};
      for (int s = 0; s < 7; ++s)
        if (seg & (1 << s)) AddRect(dx + segs[s].x0, dy + segs[s].y0, dx + segs[s].x1, dy + segs[s].y1, kWhite);
    }

    breaks_ = {0, barsBottom_, h};
    for (const Rect& r : rects_) {
      breaks_.push_back(r.y0);
      breaks_.push_back(r.y1);
    }
    std::sort(breaks_.begin(), breaks_.end());
    breaks_.erase(std::unique(breaks_.begin(), breaks_.end()), breaks_.end());
  }

  // Rows between two breaks look alike: paint the first, copy the rest.
  void RenderPlane(const Plane& p, uint8_t* base, int stride, bool flip) const {
    size_t band = 0;
    size_t lastBand = SIZE_MAX;
    const uint8_t* last = nullptr;
    for (int r = 0; r < p.rows; ++r) {
      const int y = r * p.shape.vsub;
      while (band + 1 < breaks_.size() && breaks_[band + 1] <= y) ++band;
      uint8_t* row = base + static_cast<ptrdiff_t>(flip ? p.rows - 1 - r : r) * stride;
      if (band == lastBand) {
        std::memcpy(row, last, static_cast<size_t>(p.rowBytes));
      } else {
        std::memcpy(row, (y < barsBottom_ ? p.barsRow : p.stripRow).data(), static_cast<size_t>(p.rowBytes));
        for (const Rect& rc : rects_)
          if (y >= rc.y0 && y < rc.y1) p.FillSpan(row, rc.x0, rc.x1, rc.colour);
        lastBand = band;
      }
      last = row;
    }
  }

  int width_, height_, barsBottom_;
  std::vector<Plane> planes_;
  std::vector<Rect> rects_;
  std::vector<int> breaks_;
};

bool IsH264(uint32_t s) { return s == st::kH264 || s == st::kh264 || s == st::kAVC1 || s == st::kavc1; }

const PlaneShape kYuy2{PlaneKind::Yuy2, 2, 4, 1};
const PlaneShape kLuma{PlaneKind::Luma, 1, 1, 1};
const PlaneShape kCbCr{PlaneKind::CbCr, 2, 2, 2};
const PlaneShape kCb{PlaneKind::Cb, 2, 1, 2};
const PlaneShape kCr{PlaneKind::Cr, 2, 1, 2};
const PlaneShape kFullLuma{PlaneKind::FullLuma, 1, 1, 1};
const PlaneShape kFullCb{PlaneKind::FullCb, 2, 1, 2};
const PlaneShape kFullCr{PlaneKind::FullCr, 2, 1, 2};
const PlaneShape kBgr{PlaneKind::Bgr, 1, 3, 1};
const PlaneShape kBgra{PlaneKind::Bgra, 1, 4, 1};

// The planes of a raw subtype and their tightly packed row lengths.
bool RawLayout(uint32_t s, int w, std::vector<PlaneShape>& shapes, std::vector<int>& rowBytes) {
  const int cw = (w + 1) / 2;
  if (s == st::kYUY2)
    shapes = {kYuy2}, rowBytes = {w * 2};
  else if (s == st::kNV12)
    shapes = {kLuma, kCbCr}, rowBytes = {w, w};
  else if (s == st::kI420)
    shapes = {kLuma, kCb, kCr}, rowBytes = {w, cw, cw};
  else if (s == st::kRGB24)
    shapes = {kBgr}, rowBytes = {w * 3};
  else if (s == st::kRGB32)
    shapes = {kBgra}, rowBytes = {w * 4};
  else
    return false;
  return true;
}

}  // namespace

size_t TestPattern::FrameBytes(uint32_t s, int32_t width, int32_t height) {
  const int64_t w = width, h = std::abs(static_cast<int64_t>(height));
  if (w <= 0 || h <= 0) return 0;
  if (s == st::kYUY2) return static_cast<size_t>(w * h * 2);
  if (s == st::kNV12) return static_cast<size_t>(w * (h + (h + 1) / 2));
  if (s == st::kI420) return static_cast<size_t>(w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2));
  if (s == st::kRGB24) return static_cast<size_t>(w * h * 3);
  if (s == st::kRGB32) return static_cast<size_t>(w * h * 4);
  return 0;
}

struct TestPattern::Impl {
  enum class Output { Raw, Jpeg, H264, Unsupported };

  std::mutex mutex;
  uint32_t subtype = 0;
  int width = 0, height = 0, fps = 30;
  bool bottomUp = false;
  Output output = Output::Unsupported;
  std::unique_ptr<Picture> picture;  // made on first use
  uint64_t frame = 0;

  tjhandle jpeg = nullptr;
  std::vector<uint8_t> i420;
  std::unique_ptr<H264TestEncoder> h264;
  HRESULT openResult = S_OK;

  ~Impl() {
    if (jpeg) tjDestroy(jpeg);
  }

  HRESULT Prepare() {
    if (picture) return S_OK;
    if (Failed(openResult)) return openResult;
    if (width <= 0 || height <= 0) return openResult = E_INVALIDARG;
    std::vector<PlaneShape> shapes;
    std::vector<int> rowBytes;
    const int cw = (width + 1) / 2;
    switch (output) {
      case Output::Raw:
        RawLayout(subtype, width, shapes, rowBytes);
        break;
      case Output::Jpeg:
        if (!(jpeg = tjInitCompress())) return openResult = E_OUTOFMEMORY;
        shapes = {kFullLuma, kFullCb, kFullCr}, rowBytes = {width, cw, cw};
        i420.resize(TestPattern::FrameBytes(st::kI420, width, height));
        break;
      case Output::H264:
        if (HRESULT hr = H264TestEncoder::Open(width, height, fps, h264); Failed(hr)) return openResult = hr;
        shapes = {kLuma, kCb, kCr}, rowBytes = {width, cw, cw};
        break;
      case Output::Unsupported:
        return openResult = E_NOTIMPL;
    }
    picture = std::make_unique<Picture>(std::move(shapes), rowBytes, width, height);
    return S_OK;
  }

  HRESULT Raw(std::vector<uint8_t>& out) {
    std::vector<PlaneShape> shapes;
    std::vector<int> rowBytes;
    RawLayout(subtype, width, shapes, rowBytes);
    out.resize(TestPattern::FrameBytes(subtype, width, height));
    uint8_t* planes[3] = {};
    size_t offset = 0;
    for (size_t i = 0; i < picture->PlaneCount(); ++i) {
      planes[i] = out.data() + offset;
      offset += static_cast<size_t>(rowBytes[i]) * picture->Rows(i);
    }
    picture->Render(frame, planes, rowBytes.data(), bottomUp);
    return S_OK;
  }

  HRESULT Jpeg(std::vector<uint8_t>& out) {
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    uint8_t* planes[3] = {i420.data(), i420.data() + static_cast<size_t>(width) * height,
                          i420.data() + static_cast<size_t>(width) * height + static_cast<size_t>(cw) * ch};
    const int strides[3] = {width, cw, cw};
    picture->Render(frame, planes, strides, false);
    out.resize(tjBufSize(width, height, TJSAMP_420));
    unsigned char* buf = out.data();
    unsigned long size = static_cast<unsigned long>(out.size());
    const unsigned char* src[3] = {planes[0], planes[1], planes[2]};
    if (tjCompressFromYUVPlanes(jpeg, src, width, strides, height, TJSAMP_420, &buf, &size, 85,
                                TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0)
      return E_FAIL;
    out.resize(size);
    return S_OK;
  }

  HRESULT H264(std::vector<uint8_t>& out) {
    if (HRESULT hr = h264->BeginPicture(); Failed(hr)) return hr;
    uint8_t* planes[3] = {h264->Plane(0), h264->Plane(1), h264->Plane(2)};
    const int strides[3] = {h264->Stride(0), h264->Stride(1), h264->Stride(2)};
    picture->Render(frame, planes, strides, false);
    return h264->Encode(out);
  }
};

TestPattern::TestPattern(const platform::MediaType& type) : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.subtype = type.subtype;
  m.width = type.width;
  m.height = std::abs(type.height);
  m.bottomUp = type.height > 0 && (type.subtype == st::kRGB24 || type.subtype == st::kRGB32);
  if (type.avgTimePerFrame > 0)
    m.fps = static_cast<int>(std::max<int64_t>(1, (10'000'000 + type.avgTimePerFrame / 2) / type.avgTimePerFrame));
  std::vector<PlaneShape> shapes;
  std::vector<int> rowBytes;
  if (type.subtype == st::kMJPG)
    m.output = Impl::Output::Jpeg;
  else if (IsH264(type.subtype))
    m.output = Impl::Output::H264;
  else if (RawLayout(type.subtype, 2, shapes, rowBytes))
    m.output = Impl::Output::Raw;
}

TestPattern::~TestPattern() = default;

HRESULT TestPattern::Next(std::vector<uint8_t>& out) {
  Impl& m = *impl_;
  std::lock_guard lock(m.mutex);
  if (HRESULT hr = m.Prepare(); Failed(hr)) {
    out.clear();
    return hr;
  }
  HRESULT hr = E_NOTIMPL;
  switch (m.output) {
    case Impl::Output::Raw:
      hr = m.Raw(out);
      break;
    case Impl::Output::Jpeg:
      hr = m.Jpeg(out);
      break;
    case Impl::Output::H264:
      hr = m.H264(out);
      break;
    case Impl::Output::Unsupported:
      break;
  }
  if (Failed(hr))
    out.clear();
  else
    ++m.frame;
  return hr;
}

}  // namespace ovix::virt
