// PNG, BMP and GIF go to stb_image, JPEG to libjpeg-turbo: stb_image's JPEG
// reader (2.27, the system's) writes past its Huffman tables and shifts past
// its bit buffer on malformed files, and libjpeg-turbo is already the
// library's JPEG decoder. stb_image is compiled here, privately, so that every
// one of its allocations goes through a per-decode budget: a small file that
// claims a modest size can still ask for far more (a PNG's compressed stream
// expands without limit), and the budget turns that into a failed decode.
#include "platform/image_decoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace ovix::platform {
namespace {

// Bytes the decode running on this thread may still allocate.
thread_local size_t t_budget = 0;
// Each block remembers its size in front of it; 16 keeps malloc's alignment.
constexpr size_t kBlockHeader = 16;

void* BudgetMalloc(size_t size) {
  if (size > t_budget) return nullptr;
  auto* base = static_cast<unsigned char*>(std::malloc(size + kBlockHeader));
  if (!base) return nullptr;
  std::memcpy(base, &size, sizeof size);
  t_budget -= size;
  return base + kBlockHeader;
}

void BudgetFree(void* p) {
  if (!p) return;
  unsigned char* base = static_cast<unsigned char*>(p) - kBlockHeader;
  size_t size;
  std::memcpy(&size, base, sizeof size);
  t_budget += size;
  std::free(base);
}

void* BudgetRealloc(void* p, size_t size) {
  if (!p) return BudgetMalloc(size);
  unsigned char* base = static_cast<unsigned char*>(p) - kBlockHeader;
  size_t old;
  std::memcpy(&old, base, sizeof old);
  if (size > old && size - old > t_budget) return nullptr;
  auto* grown = static_cast<unsigned char*>(std::realloc(base, size + kBlockHeader));
  if (!grown) return nullptr;
  t_budget += old;
  t_budget -= size;
  std::memcpy(grown, &size, sizeof size);
  return grown + kBlockHeader;
}

}  // namespace
}  // namespace ovix::platform

#define STBI_MALLOC(sz) ::ovix::platform::BudgetMalloc(sz)
#define STBI_REALLOC(p, sz) ::ovix::platform::BudgetRealloc(p, sz)
#define STBI_FREE(p) ::ovix::platform::BudgetFree(p)
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_ONLY_GIF
#define STBI_MAX_DIMENSIONS (1 << 15)
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wunused-function"
#pragma clang diagnostic ignored "-Wsign-compare"
#pragma clang diagnostic ignored "-Wunused-parameter"
#elif defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
#include <stb_image.h>
#if defined(__clang__)
#pragma clang diagnostic pop
#elif defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace ovix::platform {
namespace {

// What stb_image may take beyond its output: per pixel, room for 16-bit
// samples decoded and converted and for the zlib buffer's doubling; per file
// byte, the gathered compressed stream.
constexpr size_t kBudgetPerPixel = 32;
constexpr size_t kBudgetSlack = size_t{1} << 20;

void SetError(std::string* error, const char* text) {
  if (error) *error = text && *text ? text : "corrupt picture";
}

bool SizeAllowed(int w, int h) {
  return w > 0 && h > 0 && w <= ImageDecoder::kMaxSide && h <= ImageDecoder::kMaxSide &&
         int64_t{w} * h <= ImageDecoder::kMaxPixels;
}

bool IsJpeg(const uint8_t* d, size_t n) { return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF; }

bool DecodeJpeg(const uint8_t* data, size_t size, DecodedImage& out, std::string* error) {
  struct Handle {
    tjhandle h = tjInitDecompress();
    ~Handle() {
      if (h) tjDestroy(h);
    }
  } tj;
  if (!tj.h) {
    SetError(error, "no JPEG decoder");
    return false;
  }
  int w = 0, h = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(tj.h, data, static_cast<unsigned long>(size), &w, &h, &subsampling, &colorspace) != 0) {
    SetError(error, tjGetErrorStr2(tj.h));
    return false;
  }
  if (!SizeAllowed(w, h)) {
    SetError(error, "picture too large");
    return false;
  }
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * static_cast<size_t>(h) * 4);
  // A damaged file is refused rather than drawn in part; the scan limit
  // keeps a progressive file from taking unbounded time.
  if (tjDecompress2(tj.h, data, static_cast<unsigned long>(size), rgba.data(), w, w * 4, h, TJPF_RGBA,
                    TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) != 0) {
    SetError(error, tjGetErrorStr2(tj.h));
    return false;
  }
  out.width = w;
  out.height = h;
  out.argb.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
  for (size_t i = 0; i < out.argb.size(); ++i) {
    const uint8_t* p = rgba.data() + 4 * i;
    out.argb[i] = 0xFF000000u | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
  }
  return true;
}

}  // namespace

bool ImageDecoder::DecodeMemory(const uint8_t* data, size_t size, DecodedImage& out, std::string* error) {
  out = DecodedImage{};
  if (!data || size == 0) {
    SetError(error, "empty file");
    return false;
  }
  if (size > kMaxFileBytes || size > static_cast<size_t>(INT32_MAX)) {
    SetError(error, "file too large");
    return false;
  }
  if (IsJpeg(data, size)) return DecodeJpeg(data, size, out, error);
  const int len = static_cast<int>(size);
  int w = 0, h = 0, channels = 0;
  t_budget = kBudgetSlack + 2 * size;
  if (!stbi_info_from_memory(data, len, &w, &h, &channels)) {
    SetError(error, stbi_failure_reason());
    return false;
  }
  if (!SizeAllowed(w, h)) {
    SetError(error, "picture too large");
    return false;
  }
  const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  t_budget = pixels * kBudgetPerPixel + 2 * size + kBudgetSlack;
  int dw = 0, dh = 0;
  stbi_uc* rgba = stbi_load_from_memory(data, len, &dw, &dh, &channels, 4);
  if (!rgba) {
    SetError(error, stbi_failure_reason());
    return false;
  }
  if (dw != w || dh != h) {
    stbi_image_free(rgba);
    SetError(error, "picture size changed while decoding");
    return false;
  }
  out.width = w;
  out.height = h;
  out.argb.resize(pixels);
  for (size_t i = 0; i < pixels; ++i) {
    const stbi_uc* p = rgba + 4 * i;
    out.argb[i] = (uint32_t{p[3]} << 24) | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
  }
  stbi_image_free(rgba);
  return true;
}

bool ImageDecoder::DecodeFile(const std::string& path, DecodedImage& out, std::string* error) {
  out = DecodedImage{};
  if (path.empty()) {
    SetError(error, "no path");
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, std::strerror(errno));
    return false;
  }
  struct stat st {};
  std::vector<uint8_t> bytes;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) SetError(error, "not a regular file");
  if (ok && (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > kMaxFileBytes)) {
    SetError(error, st.st_size <= 0 ? "empty file" : "file too large");
    ok = false;
  }
  if (ok) {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    bytes.resize(done);
  }
  ::close(fd);
  if (!ok) return false;
  return DecodeMemory(bytes.data(), bytes.size(), out, error);
}

namespace {

// Where destination pixel d of a span of n samples from a source of size s
// reads: the two neighbours and the weight of the second.
struct Tap {
  int i0, i1;
  float f;
};

std::vector<Tap> Taps(int64_t first, int64_t last, int64_t origin, int64_t span, int source) {
  std::vector<Tap> taps;
  taps.reserve(static_cast<size_t>(last - first));
  const double scale = static_cast<double>(source) / static_cast<double>(span);
  for (int64_t d = first; d < last; ++d) {
    double s = (static_cast<double>(d - origin) + 0.5) * scale - 0.5;
    s = std::clamp(s, 0.0, static_cast<double>(source - 1));
    const int i0 = static_cast<int>(s);
    taps.push_back({i0, std::min(i0 + 1, source - 1), static_cast<float>(s - i0)});
  }
  return taps;
}

}  // namespace

void DrawImageScaled(ArgbSurface& surface, const DecodedImage& image, int x, int y, int width, int height) {
  if (width <= 0 || height <= 0 || image.width <= 0 || image.height <= 0 ||
      image.argb.size() < static_cast<size_t>(image.width) * static_cast<size_t>(image.height))
    return;
  const PixelRect& win = surface.Window();
  const int64_t dx0 = std::max<int64_t>(x, win.x0), dx1 = std::min<int64_t>(int64_t{x} + width, win.x1);
  const int64_t dy0 = std::max<int64_t>(y, win.y0), dy1 = std::min<int64_t>(int64_t{y} + height, win.y1);
  if (dx0 >= dx1 || dy0 >= dy1) return;
  const std::vector<Tap> cols = Taps(dx0, dx1, x, width, image.width);
  const std::vector<Tap> rows = Taps(dy0, dy1, y, height, image.height);

  // Interpolated premultiplied, so that transparent neighbours lend no colour.
  auto premultiplied = [](uint32_t p, float out[4]) {
    const float a = static_cast<float>(p >> 24);
    out[0] = a;
    out[1] = static_cast<float>((p >> 16) & 0xFFu) * a / 255.0f;
    out[2] = static_cast<float>((p >> 8) & 0xFFu) * a / 255.0f;
    out[3] = static_cast<float>(p & 0xFFu) * a / 255.0f;
  };
  for (int64_t dy = dy0; dy < dy1; ++dy) {
    const Tap& r = rows[static_cast<size_t>(dy - dy0)];
    const uint32_t* row0 = image.argb.data() + static_cast<size_t>(r.i0) * static_cast<size_t>(image.width);
    const uint32_t* row1 = image.argb.data() + static_cast<size_t>(r.i1) * static_cast<size_t>(image.width);
    for (int64_t dx = dx0; dx < dx1; ++dx) {
      const Tap& c = cols[static_cast<size_t>(dx - dx0)];
      float p00[4], p01[4], p10[4], p11[4], v[4];
      premultiplied(row0[c.i0], p00);
      premultiplied(row0[c.i1], p01);
      premultiplied(row1[c.i0], p10);
      premultiplied(row1[c.i1], p11);
      for (int k = 0; k < 4; ++k) {
        const float top = p00[k] + (p01[k] - p00[k]) * c.f;
        const float bottom = p10[k] + (p11[k] - p10[k]) * c.f;
        v[k] = top + (bottom - top) * r.f;
      }
      const long a = std::clamp(std::lround(v[0]), 0L, 255L);
      if (a == 0) continue;
      uint32_t argb = static_cast<uint32_t>(a) << 24;
      for (int k = 1; k < 4; ++k) {
        const long ch = std::clamp(std::lround(v[k] * 255.0f / v[0]), 0L, 255L);
        argb |= static_cast<uint32_t>(ch) << (8 * (3 - k));
      }
      surface.CompositeOver(static_cast<int>(dx), static_cast<int>(dy), argb, 255);
    }
  }
}

}  // namespace ovix::platform
