// The H.264 encoder behind the virtual cameras' H.264 formats, shaped like a
// camera's hardware encoder: Annex B access units, one per picture, with the
// SPS and PPS in band before every IDR picture, an IDR every second and no
// B-frames, so that every buffer can be decoded on its own terms as soon as
// it arrives. libx264 (ultrafast, zero latency) when present, else any
// H.264 encoder libavcodec has.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/hresult.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace ovix::virt {

class H264TestEncoder {
 public:
  // width and height must be even. REGDB_E_CLASSNOTREG when libavcodec has
  // no H.264 encoder, E_FAIL when none would open with these settings.
  static HRESULT Open(int width, int height, int fps, std::unique_ptr<H264TestEncoder>& out);
  ~H264TestEncoder();
  H264TestEncoder(const H264TestEncoder&) = delete;
  H264TestEncoder& operator=(const H264TestEncoder&) = delete;

  // The I420 picture to fill before each Encode: planes 0 (Y), 1 (U), 2 (V).
  HRESULT BeginPicture();
  uint8_t* Plane(int plane) const;
  int Stride(int plane) const;

  // Encodes the picture into one access unit; S_FALSE with an empty
  // accessUnit when the encoder held the picture back.
  HRESULT Encode(std::vector<uint8_t>& accessUnit);

 private:
  H264TestEncoder() = default;
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  int64_t pts_ = 0;
};

}  // namespace ovix::virt
