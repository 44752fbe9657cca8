#include "platform/virtual/h264_test_encoder.h"

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace ovix::virt {
namespace {

// libx264 first; any other H.264 encoder only as a fallback, since the
// private options below are libx264's.
const AVCodec* FindEncoder(bool& isX264) {
  if (const AVCodec* c = avcodec_find_encoder_by_name("libx264")) {
    isX264 = true;
    return c;
  }
  isX264 = false;
  return avcodec_find_encoder(AV_CODEC_ID_H264);
}

}  // namespace

HRESULT H264TestEncoder::Open(int width, int height, int fps, std::unique_ptr<H264TestEncoder>& out) {
  out.reset();
  if (width <= 0 || height <= 0 || (width & 1) || (height & 1)) return E_INVALIDARG;
  if (fps <= 0) fps = 30;
  bool isX264 = false;
  const AVCodec* codec = FindEncoder(isX264);
  if (!codec) return REGDB_E_CLASSNOTREG;

  std::unique_ptr<H264TestEncoder> enc(new H264TestEncoder);
  enc->context_ = avcodec_alloc_context3(codec);
  enc->frame_ = av_frame_alloc();
  enc->packet_ = av_packet_alloc();
  if (!enc->context_ || !enc->frame_ || !enc->packet_) return E_OUTOFMEMORY;

  AVCodecContext* c = enc->context_;
  c->width = width;
  c->height = height;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = AVRational{1, fps};
  c->framerate = AVRational{fps, 1};
  c->gop_size = fps;
  c->keyint_min = fps;
  c->max_b_frames = 0;
  c->thread_count = 1;                       // one picture in, one access unit out, on the caller's thread
  c->flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;  // headers in band, not in extradata
  if (isX264) {
    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    // log=0: errors only; the statistics of every session would fill the test logs.
    const std::string params = "repeat-headers=1:bframes=0:scenecut=0:log=0:keyint=" + std::to_string(fps) +
                               ":min-keyint=" + std::to_string(fps);
    av_opt_set(c->priv_data, "x264-params", params.c_str(), 0);
  }
  if (avcodec_open2(c, codec, nullptr) < 0) return E_FAIL;

  enc->frame_->format = AV_PIX_FMT_YUV420P;
  enc->frame_->width = width;
  enc->frame_->height = height;
  if (av_frame_get_buffer(enc->frame_, 0) < 0) return E_OUTOFMEMORY;
  out = std::move(enc);
  return S_OK;
}

H264TestEncoder::~H264TestEncoder() {
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&context_);
}

HRESULT H264TestEncoder::BeginPicture() {
  // The encoder may still hold a reference to the last picture.
  return av_frame_make_writable(frame_) < 0 ? E_OUTOFMEMORY : S_OK;
}

uint8_t* H264TestEncoder::Plane(int plane) const { return frame_->data[plane]; }
int H264TestEncoder::Stride(int plane) const { return frame_->linesize[plane]; }

HRESULT H264TestEncoder::Encode(std::vector<uint8_t>& accessUnit) {
  accessUnit.clear();
  frame_->pts = pts_++;
  if (avcodec_send_frame(context_, frame_) < 0) return E_FAIL;
  for (;;) {
    const int r = avcodec_receive_packet(context_, packet_);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) return E_FAIL;
    accessUnit.insert(accessUnit.end(), packet_->data, packet_->data + packet_->size);
    av_packet_unref(packet_);
  }
  return accessUnit.empty() ? S_FALSE : S_OK;
}

}  // namespace ovix::virt
