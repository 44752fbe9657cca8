#include "record/av_test_streams.h"

#include <cmath>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace ovix::test {

namespace {

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

std::string AvError(const char* what, int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, text, sizeof text);
  return std::string(what) + ": " + text;
}

// Sends one frame (null drains) and collects what comes out.
template <class OnPacket>
int EncodeStep(AVCodecContext* ctx, const AVFrame* frame, AVPacket* pkt, OnPacket&& onPacket) {
  int err = avcodec_send_frame(ctx, frame);
  if (err < 0) return err;
  for (;;) {
    err = avcodec_receive_packet(ctx, pkt);
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return 0;
    if (err < 0) return err;
    onPacket(*pkt);
    av_packet_unref(pkt);
  }
}

// A moving gradient with fresh noise in every picture, so inter pictures
// stay large and every NAL unit is well over the 511 bytes that would make
// a 4-byte length read as a start code.
void FillPicture(AVFrame* f, const AVPixFmtDescriptor* desc, int index, uint32_t& seed) {
  const bool wide = desc->comp[0].depth > 8;
  const int shift = wide ? desc->comp[0].depth - 8 : 0;
  for (int p = 0; p < 3; ++p) {
    const int w = p == 0 ? f->width : AV_CEIL_RSHIFT(f->width, desc->log2_chroma_w);
    const int h = p == 0 ? f->height : AV_CEIL_RSHIFT(f->height, desc->log2_chroma_h);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        seed = seed * 1664525u + 1013904223u;
        const int noise = static_cast<int>(seed >> 27);  // 0..31
        int v = p == 0 ? ((x + y + 4 * index) & 0xFF) : 96 + ((x * 2 + index) & 63);
        v = std::min(255, v / 2 + noise * 3);
        if (wide) {
          reinterpret_cast<uint16_t*>(f->data[p] + y * f->linesize[p])[x] = static_cast<uint16_t>(v << shift);
        } else {
          f->data[p][y * f->linesize[p] + x] = static_cast<uint8_t>(v);
        }
      }
    }
  }
}

}  // namespace

std::vector<std::span<const uint8_t>> SplitAnnexB(std::span<const uint8_t> au) {
  std::vector<std::span<const uint8_t>> units;
  size_t begin = SIZE_MAX;
  size_t i = 0;
  while (i + 3 <= au.size()) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      if (begin != SIZE_MAX) {
        size_t end = i;
        while (end > begin && au[end - 1] == 0) --end;
        units.push_back(au.subspan(begin, end - begin));
      }
      i += 3;
      begin = i;
    } else {
      ++i;
    }
  }
  if (begin != SIZE_MAX && begin < au.size()) units.push_back(au.subspan(begin));
  return units;
}

H264Stream EncodeH264(const H264Options& o, std::string& error) {
  av_log_set_level(AV_LOG_ERROR);  // no encoder statistics in the test log
  H264Stream out;
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) {
    error = "libavcodec has no libx264 encoder";
    return out;
  }
  const AVPixelFormat format = av_get_pix_fmt(o.pixelFormat);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  ctx->width = o.width;
  ctx->height = o.height;
  ctx->pix_fmt = format;
  ctx->time_base = {1, 30};
  ctx->framerate = {30, 1};
  ctx->gop_size = o.gop;
  ctx->keyint_min = o.gop;
  ctx->max_b_frames = 0;
  ctx->thread_count = 1;  // one slice per picture: a picture is one NAL unit
  av_opt_set(ctx->priv_data, "profile", o.profile, 0);
  av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  av_opt_set(ctx->priv_data, "x264-params", "annexb=1:scenecut=0:sliced-threads=0", 0);
  if (int err = avcodec_open2(ctx.get(), codec, nullptr); err < 0) {
    error = AvError("libx264 open", err);
    return out;
  }
  FramePtr frame(av_frame_alloc());
  frame->format = format;
  frame->width = o.width;
  frame->height = o.height;
  if (int err = av_frame_get_buffer(frame.get(), 0); err < 0) {
    error = AvError("frame buffer", err);
    return out;
  }
  PacketPtr pkt(av_packet_alloc());
  const auto take = [&](const AVPacket& p) {
    out.accessUnits.emplace_back(p.data, p.data + p.size);
    out.keys.push_back((p.flags & AV_PKT_FLAG_KEY) != 0);
  };
  uint32_t seed = 12345;
  for (int i = 0; i < o.frames; ++i) {
    av_frame_make_writable(frame.get());
    FillPicture(frame.get(), desc, i, seed);
    frame->pts = i;
    if (int err = EncodeStep(ctx.get(), frame.get(), pkt.get(), take); err < 0) {
      error = AvError("libx264 encode", err);
      return out;
    }
  }
  if (int err = EncodeStep(ctx.get(), nullptr, pkt.get(), take); err < 0) {
    error = AvError("libx264 drain", err);
    return out;
  }
  if (!out.accessUnits.empty()) {
    for (std::span<const uint8_t> nal : SplitAnnexB(out.accessUnits.front())) {
      const int type = nal[0] & 0x1F;
      if (type == 7 && out.sps.empty()) out.sps.assign(nal.begin(), nal.end());
      if (type == 8 && out.pps.empty()) out.pps.assign(nal.begin(), nal.end());
    }
  }
  if (static_cast<int>(out.accessUnits.size()) != o.frames || out.sps.empty() || out.pps.empty()) {
    error = "libx264 gave " + std::to_string(out.accessUnits.size()) + " access units";
  }
  return out;
}

AacStream EncodeAacSine(int sampleRate, int channels, int64_t pcmFrames, std::string& error) {
  av_log_set_level(AV_LOG_ERROR);
  AacStream out;
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (!codec) {
    error = "libavcodec has no native aac encoder";
    return out;
  }
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  ctx->sample_rate = sampleRate;
  av_channel_layout_default(&ctx->ch_layout, channels);
  ctx->bit_rate = 128000;
  ctx->time_base = {1, sampleRate};
  ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (int err = avcodec_open2(ctx.get(), codec, nullptr); err < 0) {
    error = AvError("aac open", err);
    return out;
  }
  out.audioSpecificConfig.assign(ctx->extradata, ctx->extradata + ctx->extradata_size);
  FramePtr frame(av_frame_alloc());
  frame->format = ctx->sample_fmt;
  frame->nb_samples = ctx->frame_size;
  frame->sample_rate = sampleRate;
  av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
  if (int err = av_frame_get_buffer(frame.get(), 0); err < 0) {
    error = AvError("audio frame buffer", err);
    return out;
  }
  PacketPtr pkt(av_packet_alloc());
  const auto take = [&](const AVPacket& p) { out.frames.emplace_back(p.data, p.data + p.size); };
  for (int64_t done = 0; done < pcmFrames;) {
    const int n = static_cast<int>(std::min<int64_t>(ctx->frame_size, pcmFrames - done));
    av_frame_make_writable(frame.get());
    frame->nb_samples = n;
    for (int c = 0; c < channels; ++c) {
      float* s = reinterpret_cast<float*>(frame->data[c]);
      for (int i = 0; i < n; ++i) s[i] = 0.5f * std::sin(2.0 * M_PI * 440.0 * (done + i) / sampleRate + c);
    }
    frame->pts = done;
    if (int err = EncodeStep(ctx.get(), frame.get(), pkt.get(), take); err < 0) {
      error = AvError("aac encode", err);
      return out;
    }
    done += n;
  }
  if (int err = EncodeStep(ctx.get(), nullptr, pkt.get(), take); err < 0) {
    error = AvError("aac drain", err);
    return out;
  }
  out.pcmFrames = pcmFrames;
  return out;
}

}  // namespace ovix::test
