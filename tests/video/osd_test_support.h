// Frames, items and image files for the overlay tests.
#pragma once

#include <stb_image_write.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ovixcapture.h"

namespace ovix::test {

// A frame that owns its pixels; rows may carry padding beyond the picture.
struct OwnedFrame {
  std::vector<uint8_t> plane0, plane1;
  OvixVideoFrame frame{};
};

// Bytes per row a format needs at least.
inline int MinStride(int32_t format, int w) {
  switch (format) {
    case OVIX_FORMAT_YUY2:
      return ((w + 1) & ~1) * 2;
    case OVIX_FORMAT_NV12:
      return w;
    case OVIX_FORMAT_RGB24:
      return w * 3;
    default:
      return w * 4;
  }
}

// stride 0 keeps the natural one; separateChroma places the NV12 chroma
// plane in a buffer of its own (else behind the luma plane).
inline OwnedFrame MakeFrame(int32_t format, int w, int h, int stride, uint32_t seed, bool separateChroma = true,
                            int64_t index = 0) {
  OwnedFrame f;
  const int s0 = stride > 0 ? stride : MinStride(format, w);
  const int wc = (w + 1) & ~1;
  const int chromaRows = (h + 1) / 2;
  std::mt19937 rng(seed);
  auto fill = [&](std::vector<uint8_t>& v) {
    for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
  };
  if (format == OVIX_FORMAT_NV12 && !separateChroma) {
    f.plane0.resize(static_cast<size_t>(s0) * (h + chromaRows));
  } else {
    f.plane0.resize(static_cast<size_t>(s0) * h);
  }
  fill(f.plane0);
  f.frame.data[0] = f.plane0.data();
  f.frame.stride[0] = stride;
  if (format == OVIX_FORMAT_NV12 && separateChroma) {
    const int s1 = stride > 0 ? std::max(stride, wc) : wc;
    f.plane1.resize(static_cast<size_t>(s1) * chromaRows);
    fill(f.plane1);
    f.frame.data[1] = f.plane1.data();
    f.frame.stride[1] = stride > 0 ? s1 : 0;
  }
  f.frame.width = w;
  f.frame.height = h;
  f.frame.format = format;
  f.frame.timestamp = index * 400000;
  f.frame.frameIndex = index;
  return f;
}

// One RGB32 frame of a single colour (B, G, R, A bytes).
inline OwnedFrame SolidRgb32(int w, int h, uint32_t argb, int64_t index = 0) {
  OwnedFrame f;
  f.plane0.resize(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < f.plane0.size(); i += 4) {
    f.plane0[i] = argb & 0xFF;
    f.plane0[i + 1] = (argb >> 8) & 0xFF;
    f.plane0[i + 2] = (argb >> 16) & 0xFF;
    f.plane0[i + 3] = argb >> 24;
  }
  f.frame.data[0] = f.plane0.data();
  f.frame.stride[0] = w * 4;
  f.frame.width = w;
  f.frame.height = h;
  f.frame.format = OVIX_FORMAT_RGB32;
  f.frame.frameIndex = index;
  return f;
}

// A copy of a delivered frame's record and planes.
struct Captured {
  OvixVideoFrame meta{};
  const OvixVideoFrame* record = nullptr;
  std::vector<uint8_t> plane0, plane1;

  // B, G, R, A of an RGB32 picture.
  const uint8_t* Rgb(int x, int y) const { return &plane0[static_cast<size_t>(y) * meta.stride[0] + x * 4]; }
};

inline Captured Capture(const OvixVideoFrame* f) {
  Captured c;
  c.record = f;
  c.meta = *f;
  if (f->data[0] && f->stride[0] > 0)
    c.plane0.assign(f->data[0], f->data[0] + static_cast<size_t>(f->stride[0]) * f->height);
  if (f->data[1] && f->stride[1] > 0)
    c.plane1.assign(f->data[1], f->data[1] + static_cast<size_t>(f->stride[1]) * ((f->height + 1) / 2));
  return c;
}

inline void SetText(OvixWChar* field, size_t capacity, std::u16string_view text) {
  std::memset(field, 0, capacity * sizeof(OvixWChar));
  std::memcpy(field, text.data(), std::min(text.size(), capacity) * sizeof(OvixWChar));
}

inline OvixOsdItem NewItem(int x, int y, int w, int h) {
  OvixOsdItem it{};
  it.visible = 1;
  it.x = x;
  it.y = y;
  it.width = w;
  it.height = h;
  it.opacity = 1.0f;
  return it;
}

inline OvixOsdItem TextItem(int x, int y, int w, int h, std::u16string_view text, uint32_t color = 0,
                            uint32_t backColor = 0, int size = 0) {
  OvixOsdItem it = NewItem(x, y, w, h);
  SetText(it.text, OVIX_OSD_TEXT_SIZE, text);
  SetText(it.fontName, OVIX_OSD_FONT_NAME_SIZE, u"DejaVu Sans");
  it.color = color;
  it.backColor = backColor;
  it.size = size;
  return it;
}

inline OvixOsdItem RectItem(int x, int y, int w, int h, uint32_t color, int size) {
  OvixOsdItem it = NewItem(x, y, w, h);
  it.color = color;
  it.size = size;
  return it;
}

inline OvixOsdItem ImageItem(int x, int y, int w, int h, const std::string& path) {
  OvixOsdItem it = NewItem(x, y, w, h);
  std::u16string p(path.begin(), path.end());
  SetText(it.imagePath, OVIX_PATH_SIZE, p);
  return it;
}

// A folder of its own under the system's temporary folder, removed with it.
class TempDir {
 public:
  TempDir() {
    static int n = 0;
    path_ =
        std::filesystem::temp_directory_path() / ("ovix_osd_" + std::to_string(::getpid()) + "_" + std::to_string(++n));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Pixels as ARGB, rows top-down.
struct Image {
  int w, h;
  std::vector<uint32_t> argb;
  std::vector<uint8_t> Bytes(int comp) const {
    std::vector<uint8_t> out;
    for (uint32_t p : argb) {
      out.push_back((p >> 16) & 0xFF);
      out.push_back((p >> 8) & 0xFF);
      out.push_back(p & 0xFF);
      if (comp == 4) out.push_back(p >> 24);
    }
    return out;
  }
};

inline Image PatternImage(int w, int h, uint32_t seed, bool withAlpha) {
  Image img{w, h, {}};
  std::mt19937 rng(seed);
  for (int i = 0; i < w * h; ++i) {
    const uint32_t a = withAlpha ? (i % 3 == 0 ? 0u : static_cast<uint32_t>(rng() & 0xFF)) : 0xFFu;
    img.argb.push_back((a << 24) | (rng() & 0xFFFFFF));
  }
  return img;
}

inline bool WritePng(const std::string& path, const Image& img) {
  const std::vector<uint8_t> b = img.Bytes(4);
  return stbi_write_png(path.c_str(), img.w, img.h, 4, b.data(), img.w * 4) != 0;
}

inline bool WriteBmp(const std::string& path, const Image& img) {
  const std::vector<uint8_t> b = img.Bytes(3);
  return stbi_write_bmp(path.c_str(), img.w, img.h, 3, b.data()) != 0;
}

inline bool WriteJpg(const std::string& path, const Image& img) {
  const std::vector<uint8_t> b = img.Bytes(3);
  return stbi_write_jpg(path.c_str(), img.w, img.h, 3, b.data(), 95) != 0;
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace ovix::test
