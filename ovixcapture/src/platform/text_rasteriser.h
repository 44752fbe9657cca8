// The text rasteriser of the platform layer: a 32-bit ARGB drawing surface,
// filled rectangles, and anti-aliased text in a named face at a pixel size,
// wrapped at word boundaries inside a layout box as a layout-rectangle text
// draw does. The face is found by name; when no installed face carries that
// name, the overlay's default face is tried, then the system's default sans.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ovix::platform {

// Pixels [x0, x1) x [y0, y1).
struct PixelRect {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool Empty() const { return x0 >= x1 || y0 >= y1; }
  int Width() const { return x1 - x0; }
  int Height() const { return y1 - y0; }
};

// A width x height surface of non-premultiplied ARGB pixels (alpha in the
// top byte, then red, green, blue). Only its window is stored: a caller that
// reads back just one region draws into a surface whose window is that
// region, and whatever falls outside it is discarded, exactly as if it had
// been drawn and never read.
class ArgbSurface {
 public:
  ArgbSurface(int width, int height);
  // The window is clipped to the surface.
  ArgbSurface(int width, int height, PixelRect window);

  int Width() const { return width_; }
  int Height() const { return height_; }
  const PixelRect& Window() const { return window_; }

  // Every pixel becomes 0 (transparent black).
  void Clear();
  // 0 outside the window.
  uint32_t Pixel(int x, int y) const;
  void SetPixel(int x, int y, uint32_t argb);
  // Source-over of argb at coverage 0..255 onto the pixel.
  void CompositeOver(int x, int y, uint32_t argb, unsigned coverage);
  // Source-over fill of the pixels whose centres lie inside the rectangle.
  void FillRect(double x, double y, double width, double height, uint32_t argb);
  // The stored pixels of row y (y inside the window), from x0 of the window.
  const uint32_t* WindowRow(int y) const { return pixels_.data() + static_cast<size_t>(y - window_.y0) * stride_; }

 private:
  bool Inside(int x, int y) const { return x >= window_.x0 && x < window_.x1 && y >= window_.y0 && y < window_.y1; }
  uint32_t& At(int x, int y) {
    return pixels_[static_cast<size_t>(y - window_.y0) * stride_ + static_cast<size_t>(x - window_.x0)];
  }

  int width_, height_;
  PixelRect window_;
  size_t stride_;
  std::vector<uint32_t> pixels_;
};

// Source-over of src (non-premultiplied ARGB) onto dst at coverage 0..255.
uint32_t CompositeArgb(uint32_t dst, uint32_t src, unsigned coverage);

struct TextStyle {
  std::string face;   // family name, UTF-8
  int pixelSize = 0;  // em size in pixels, 1..512
  uint32_t argb = 0;  // colour, used as given (an alpha of 0 draws nothing)
};

// Layout box: top-left corner and size in surface pixels. Lines wrap inside
// its width; text is not clipped to it.
struct LayoutBox {
  double x = 0, y = 0, width = 0, height = 0;
};

class TextRasteriser {
 public:
  virtual ~TextRasteriser() = default;
  // Draws text (UTF-16; a lone surrogate draws as U+FFFD) onto the surface.
  // False when no face at all could be loaded; nothing is drawn then.
  virtual bool DrawText(ArgbSurface& surface, std::u16string_view text, const TextStyle& style,
                        const LayoutBox& box) = 0;
  // Family name of the face that a request for this name draws with; empty
  // when none can be loaded.
  virtual std::string ResolveFace(const std::string& name) = 0;
};

// Face tried when the requested one is not installed.
inline constexpr char kDefaultOverlayFace[] = "Microsoft YaHei UI";

// The process's rasteriser. The first holder starts the font machinery, the
// last one to let go shuts it down. Safe to use from several threads.
std::shared_ptr<TextRasteriser> AcquireTextRasteriser();

}  // namespace ovix::platform
