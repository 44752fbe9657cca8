// Media types as capture devices report them and as the capture graph
// connects pins with them: a major type, a subtype code (the first 32 bits of
// the subtype identifier: the FOURCC for YUV and compressed formats), a format
// block of a declared kind and length, and the bitmap-header fields of that
// block.
#pragma once

#include <cstdint>

namespace ovix::platform {

// Subtype codes. 0 is the wildcard (GUID_NULL).
namespace subtype {
constexpr uint32_t FourCC(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}
inline constexpr uint32_t kNull = 0;
inline constexpr uint32_t kYUY2 = FourCC('Y', 'U', 'Y', '2');
inline constexpr uint32_t kNV12 = FourCC('N', 'V', '1', '2');
inline constexpr uint32_t kMJPG = FourCC('M', 'J', 'P', 'G');
inline constexpr uint32_t kH264 = FourCC('H', '2', '6', '4');
inline constexpr uint32_t kh264 = FourCC('h', '2', '6', '4');
inline constexpr uint32_t kAVC1 = FourCC('A', 'V', 'C', '1');
inline constexpr uint32_t kavc1 = FourCC('a', 'v', 'c', '1');
inline constexpr uint32_t kI420 = FourCC('I', '4', '2', '0');
inline constexpr uint32_t kRGB24 = 0xE436EB7Du;  // the RGB subtypes are not FOURCC based
inline constexpr uint32_t kRGB32 = 0xE436EB7Eu;
}  // namespace subtype

enum class MajorType : int32_t { Null = 0, Video, Audio, Other };

// What kind of format block a media type carries.
enum class FormatKind : int32_t {
  Null = 0,    // GUID_NULL: no block (wildcard when asked for)
  VideoInfo,   // VIDEOINFOHEADER, 88 bytes
  VideoInfo2,  // VIDEOINFOHEADER2, 112 bytes
  Mpeg2Video,  // MPEG2VIDEOINFO, 136 bytes and more
  WaveFormatEx,
  Other,
};

inline constexpr uint32_t kVideoInfoSize = 88;
inline constexpr uint32_t kVideoInfo2Size = 112;
inline constexpr uint32_t kMpeg2VideoSize = 136;
inline constexpr int32_t kStreamConfigCapsSize = 128;  // VIDEO_STREAM_CONFIG_CAPS

struct MediaType {
  MajorType major = MajorType::Null;
  uint32_t subtype = subtype::kNull;
  FormatKind formatType = FormatKind::Null;
  uint32_t cbFormat = 0;       // declared length of the format block
  bool hasFormatBlock = false;  // pbFormat is not null
  // Bitmap header fields of the block (biWidth, biHeight: positive height is
  // a bottom-up picture for RGB) and the average frame time in 100 ns.
  int32_t width = 0;
  int32_t height = 0;
  int64_t avgTimePerFrame = 0;

  // A block of one of the three video kinds that is long enough to read.
  bool HasReadableVideoBlock() const {
    if (!hasFormatBlock) return false;
    switch (formatType) {
      case FormatKind::VideoInfo: return cbFormat >= kVideoInfoSize;
      case FormatKind::VideoInfo2: return cbFormat >= kVideoInfo2Size;
      case FormatKind::Mpeg2Video: return cbFormat >= kMpeg2VideoSize;
      default: return false;
    }
  }
};

// A video media type with a VIDEOINFOHEADER block.
inline MediaType VideoType(uint32_t sub, int32_t width, int32_t height, int64_t avgTimePerFrame = 0) {
  MediaType mt;
  mt.major = MajorType::Video;
  mt.subtype = sub;
  mt.formatType = FormatKind::VideoInfo;
  mt.cbFormat = kVideoInfoSize;
  mt.hasFormatBlock = true;
  mt.width = width;
  mt.height = height;
  mt.avgTimePerFrame = avgTimePerFrame;
  return mt;
}

// The capability structure that accompanies each stream capability.
struct StreamCaps {
  int64_t minFrameInterval = 0;
  int64_t maxFrameInterval = 0;
};

}  // namespace ovix::platform
