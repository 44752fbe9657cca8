// libavcodec's native AAC encoder as an audio encoder transform.
//
// Input PCM is buffered and encoded eagerly, one 1024-sample frame at a time,
// inside ProcessInput; the packets wait in a queue for ProcessOutput. Like a
// Media Foundation transform, input is refused (MF_E_NOTACCEPTING) while any
// packet is still waiting, so output never piles up behind a caller that
// forgets to pull.
//
// Timing: the n-th packet after the stream (re)starts is stamped with the
// first input sample's time plus n x 1024 samples. The encoder's one-frame
// priming delay is deliberately not subtracted: stamps start exactly at the
// first input time and never go negative, and the decoded audio lags its
// input by those 1024 priming samples, as in any file without an edit list.
// Every packet's duration is 1024 samples in 100-ns units.
#include "platform/aac_transform_libav.h"

#include <cstring>
#include <deque>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace ovix::platform {
namespace {

constexpr uint32_t kOutputBufferSize = 8192;  // above the largest 8-channel AAC frame (6144 bytes)
constexpr int kFrameSamples = 1024;
constexpr int64_t kUnitsPerSecond = 10'000'000;

const AVCodec* AacCodec() {
  static const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  return codec;
}

// The encoder's own layout for a channel count; its order is the order the
// interleaved input is read in.
bool LayoutFor(int channels, AVChannelLayout& out) {
  const AVCodec* codec = AacCodec();
  if (!codec || channels < 1) return false;
  if (codec->ch_layouts) {
    for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels != 0; ++l) {
      if (l->nb_channels == channels) return av_channel_layout_copy(&out, l) == 0;
    }
    return false;
  }
  av_channel_layout_default(&out, channels);
  return true;
}

bool RateSupported(uint32_t rate) {
  const AVCodec* codec = AacCodec();
  if (!codec || rate == 0) return false;
  if (!codec->supported_samplerates) return true;
  for (const int* r = codec->supported_samplerates; *r != 0; ++r)
    if (static_cast<uint32_t>(*r) == rate) return true;
  return false;
}

HRESULT HrFromAv(int err) { return err == AVERROR(ENOMEM) ? E_OUTOFMEMORY : E_FAIL; }

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

class LibavAacTransform final : public AudioEncoderTransform {
 public:
  HRESULT GetStreamCount(uint32_t& inputs, uint32_t& outputs) override {
    inputs = 1;
    outputs = 1;
    return S_OK;
  }

  HRESULT GetStreamIDs(std::span<uint32_t>, std::span<uint32_t>) override { return E_NOTIMPL; }

  HRESULT SetInputType(uint32_t id, const AudioMediaType& t) override {
    if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
    AVChannelLayout layout{};
    const bool ok = t.major == MajorType::Audio && t.subtype == AudioSubtype::Pcm && t.bitsPerSample == 16 &&
                    RateSupported(t.samplesPerSecond) && LayoutFor(static_cast<int>(t.numChannels), layout) &&
                    (t.blockAlignment == 0 || t.blockAlignment == t.numChannels * 2) &&
                    (t.avgBytesPerSecond == 0 || t.avgBytesPerSecond == t.samplesPerSecond * t.numChannels * 2);
    av_channel_layout_uninit(&layout);
    if (!ok) return MF_E_INVALIDMEDIATYPE;
    // A new input type invalidates the output type that was chosen for the old one.
    EndStream();
    output_.reset();
    input_ = t;
    return S_OK;
  }

  HRESULT SetOutputType(uint32_t id, const AudioMediaType& t) override {
    if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!input_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (t.major != MajorType::Audio || t.subtype != AudioSubtype::Aac ||
        t.samplesPerSecond != input_->samplesPerSecond || t.numChannels != input_->numChannels ||
        (t.bitsPerSample != 0 && t.bitsPerSample != 16))
      return MF_E_INVALIDMEDIATYPE;
    EndStream();
    output_ = t;
    // Opening now lets a bit rate or layout the encoder refuses fail here
    // rather than at the first sample.
    if (Failed(Open())) {
      output_.reset();
      return MF_E_INVALIDMEDIATYPE;
    }
    return S_OK;
  }

  HRESULT GetOutputStreamInfo(uint32_t id, OutputStreamInfo& info) override {
    if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!output_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    info = OutputStreamInfo{kMftOutputStreamWholeSamples | kMftOutputStreamSingleSamplePerBuffer,
                            kOutputBufferSize, 0};
    return S_OK;
  }

  HRESULT ProcessMessage(TransformMessage message, uintptr_t) override {
    switch (message) {
      case TransformMessage::NotifyBeginStreaming:
        return output_ && !context_ ? Open() : S_OK;
      case TransformMessage::CommandFlush:
      case TransformMessage::NotifyEndStreaming:
        EndStream();
        ready_.clear();
        return S_OK;
      case TransformMessage::CommandDrain:
        if (!output_) return MF_E_TRANSFORM_TYPE_NOT_SET;
        return Drain();
      default:
        return S_OK;
    }
  }

  HRESULT ProcessInput(uint32_t id, const std::shared_ptr<MediaSample>& sample) override {
    if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!output_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (!sample) return E_POINTER;
    if (!ready_.empty()) return MF_E_NOTACCEPTING;
    if (!context_) {
      if (HRESULT hr = Open(); Failed(hr)) return hr;
    }
    std::shared_ptr<MediaBuffer> buffer;
    if (HRESULT hr = sample->ConvertToContiguousBuffer(buffer); Failed(hr)) return hr;
    if (!anchored_) {
      anchor_ = sample->SampleTime().value_or(0);
      anchored_ = true;
    }
    const size_t values = buffer->CurrentLength() / (Channels() * 2) * Channels();
    const size_t at = pending_.size();
    pending_.resize(at + values);
    std::memcpy(pending_.data() + at, buffer->Data(), values * sizeof(int16_t));

    const size_t frameValues = static_cast<size_t>(kFrameSamples) * Channels();
    size_t used = 0;
    HRESULT hr = S_OK;
    while (pending_.size() - used >= frameValues && Succeeded(hr)) {
      hr = EncodeFrame(pending_.data() + used, kFrameSamples);
      used += frameValues;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    return hr;
  }

  HRESULT ProcessOutput(uint32_t, OutputDataBuffer& buffer, uint32_t& status) override {
    status = 0;
    if (buffer.streamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!output_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (ready_.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;
    if (!buffer.sample) return E_INVALIDARG;
    std::shared_ptr<MediaBuffer> out;
    if (HRESULT hr = buffer.sample->ConvertToContiguousBuffer(out); Failed(hr)) return hr;
    const Encoded& e = ready_.front();
    if (out->MaxLength() < e.bytes.size()) return MF_E_BUFFERTOOSMALL;
    std::memcpy(out->Data(), e.bytes.data(), e.bytes.size());
    out->SetCurrentLength(static_cast<uint32_t>(e.bytes.size()));
    buffer.sample->SetSampleTime(e.time);
    buffer.sample->SetSampleDuration(e.duration);
    ready_.pop_front();
    buffer.status = ready_.empty() ? 0 : kMftOutputDataBufferIncomplete;
    return S_OK;
  }

 private:
  struct Encoded {
    std::vector<uint8_t> bytes;
    int64_t time = 0;
    int64_t duration = 0;
  };

  uint32_t Channels() const { return input_->numChannels; }
  int64_t Rate() const { return input_->samplesPerSecond; }

  HRESULT Open() {
    EndStream();
    const AVCodec* codec = AacCodec();
    if (!codec) return E_FAIL;
    std::unique_ptr<AVCodecContext, CodecContextFree> ctx(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!ctx || !frame || !packet) return E_OUTOFMEMORY;
    if (!LayoutFor(static_cast<int>(Channels()), ctx->ch_layout)) return MF_E_INVALIDMEDIATYPE;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->sample_rate = static_cast<int>(Rate());
    ctx->time_base = AVRational{1, ctx->sample_rate};
#ifdef AV_PROFILE_AAC_LOW
    ctx->profile = AV_PROFILE_AAC_LOW;
#else
    ctx->profile = FF_PROFILE_AAC_LOW;
#endif
    ctx->bit_rate = output_->avgBytesPerSecond > 0 ? int64_t{output_->avgBytesPerSecond} * 8 : 128'000;
    if (int err = avcodec_open2(ctx.get(), codec, nullptr); err < 0) return HrFromAv(err);
    if (ctx->frame_size != kFrameSamples) return MF_E_INVALIDMEDIATYPE;

    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = ctx->sample_rate;
    frame->nb_samples = kFrameSamples;
    if (av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout) < 0) return E_OUTOFMEMORY;
    if (int err = av_frame_get_buffer(frame.get(), 0); err < 0) return HrFromAv(err);

    context_ = std::move(ctx);
    frame_ = std::move(frame);
    packet_ = std::move(packet);
    return S_OK;
  }

  // Frees the encoder and forgets the stream's timeline; waiting packets stay.
  void EndStream() {
    context_.reset();
    frame_.reset();
    packet_.reset();
    pending_.clear();
    anchored_ = false;
    anchor_ = 0;
    framesIn_ = 0;
    packetsOut_ = 0;
  }

  // samples interleaved frames of PCM, zero-padded to a whole frame.
  HRESULT EncodeFrame(const int16_t* pcm, int samples) {
    if (int err = av_frame_make_writable(frame_.get()); err < 0) return HrFromAv(err);
    const int channels = static_cast<int>(Channels());
    for (int c = 0; c < channels; ++c) {
      auto* plane = reinterpret_cast<float*>(frame_->extended_data[c]);
      for (int i = 0; i < samples; ++i) plane[i] = static_cast<float>(pcm[i * channels + c]) * (1.0f / 32768.0f);
      for (int i = samples; i < kFrameSamples; ++i) plane[i] = 0.0f;
    }
    frame_->pts = framesIn_ * kFrameSamples;
    ++framesIn_;
    if (int err = avcodec_send_frame(context_.get(), frame_.get()); err < 0) return HrFromAv(err);
    return Receive();
  }

  HRESULT Receive() {
    for (;;) {
      const int err = avcodec_receive_packet(context_.get(), packet_.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return S_OK;
      if (err < 0) return HrFromAv(err);
      Encoded e;
      e.bytes.assign(packet_->data, packet_->data + packet_->size);
      e.time = anchor_ + packetsOut_ * kFrameSamples * kUnitsPerSecond / Rate();
      e.duration = kFrameSamples * kUnitsPerSecond / Rate();
      ++packetsOut_;
      av_packet_unref(packet_.get());
      ready_.push_back(std::move(e));
    }
  }

  // The partial frame (padded) and the frames the encoder still holds; the
  // encoder is then at its end, so the next input opens a fresh one.
  HRESULT Drain() {
    if (!context_) return S_OK;
    HRESULT hr = S_OK;
    if (!pending_.empty()) hr = EncodeFrame(pending_.data(), static_cast<int>(pending_.size() / Channels()));
    if (Succeeded(hr)) {
      const int err = avcodec_send_frame(context_.get(), nullptr);
      hr = err < 0 ? HrFromAv(err) : Receive();
    }
    EndStream();
    return hr;
  }

  std::optional<AudioMediaType> input_;
  std::optional<AudioMediaType> output_;
  std::unique_ptr<AVCodecContext, CodecContextFree> context_;
  std::unique_ptr<AVFrame, FrameFree> frame_;
  std::unique_ptr<AVPacket, PacketFree> packet_;
  std::vector<int16_t> pending_;  // interleaved PCM short of a whole frame
  std::deque<Encoded> ready_;
  bool anchored_ = false;
  int64_t anchor_ = 0;
  int64_t framesIn_ = 0;
  int64_t packetsOut_ = 0;
};

}  // namespace

bool LibavAacEncoderAvailable() { return AacCodec() != nullptr; }

std::unique_ptr<AudioEncoderTransform> CreateLibavAacTransform() {
  if (!LibavAacEncoderAvailable()) return nullptr;
  return std::make_unique<LibavAacTransform>();
}

}  // namespace ovix::platform
