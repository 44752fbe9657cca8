#include "record/aac_encoder.h"

#include <algorithm>

#include "core/log.h"
#include "core/log_tags.h"

namespace ovix {
namespace {

using platform::AudioMediaType;
using platform::AudioSubtype;
using platform::MajorType;
using platform::TransformMessage;

constexpr int64_t kUnitsPerSecond = 10'000'000;
constexpr int64_t kFrameUnitsTimesRate = 1024 * kUnitsPerSecond;  // 1024 samples x rate
constexpr uint32_t kAacProfileLevel = 0x29;

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

int SamplingFrequencyIndex(int32_t rate) {
  static constexpr int32_t kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                       22050, 16000, 12000, 11025, 8000,  7350};
  for (int i = 0; i < static_cast<int>(std::size(kRates)); ++i)
    if (kRates[i] == rate) return i;
  return 3;
}

bool IsSyncWord(const uint8_t* p) { return p[0] == 0xFF && (p[1] & 0xF0) == 0xF0; }

// Splits ADTS output into raw frames, stamped one frame duration apart from
// time. Stops at the first header that does not describe a whole frame.
void SplitAdts(const uint8_t* data, uint32_t length, int64_t time, int64_t frameDuration,
               std::vector<AacPacket>& packets) {
  uint32_t p = 0;
  int64_t k = 0;
  while (length - p >= 7 && IsSyncWord(data + p)) {
    const uint32_t header = (data[p + 1] & 1) ? 7 : 9;
    const uint32_t frame = ((data[p + 3] & 3u) << 11) | (uint32_t{data[p + 4]} << 3) | (data[p + 5] >> 5);
    if (frame <= header || frame > length - p) break;
    AacPacket packet;
    packet.data.assign(data + p + header, data + p + frame);
    packet.pts = time + k * frameDuration;
    packet.duration = frameDuration;
    packets.push_back(std::move(packet));
    ++k;
    p += frame;
  }
}

}  // namespace

OvixAacEncoder::~OvixAacEncoder() {
  ReleaseTransform();
  ready_ = false;
  audioSpecificConfig_.clear();
}

std::array<uint8_t, 2> OvixAacEncoder::BuildAudioSpecificConfig(int32_t sampleRate, int32_t channels) {
  const uint32_t bits = (2u << 11) | (static_cast<uint32_t>(SamplingFrequencyIndex(sampleRate)) << 7) |
                        ((static_cast<uint32_t>(channels) & 0xFu) << 3);
  return {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits & 0xFF)};
}

void OvixAacEncoder::ReleaseTransform() {
  if (!transform_) return;
  transform_->ProcessMessage(TransformMessage::NotifyEndStreaming, 0);
  transform_.reset();
}

bool OvixAacEncoder::Init(int32_t sampleRate, int32_t channels) {
  ReleaseTransform();
  ready_ = false;
  if (sampleRate <= 0 || channels <= 0) return false;
  sampleRate_ = sampleRate;
  channels_ = channels;
  bitRate_ = kBitRate;
  const auto asc = BuildAudioSpecificConfig(sampleRate, channels);
  audioSpecificConfig_.assign(asc.begin(), asc.end());

  std::vector<std::unique_ptr<platform::TransformActivate>> activates;
  HRESULT hr = platform::EnumAudioEncoders(platform::kMftEnumAll, {MajorType::Audio, AudioSubtype::Pcm},
                                           {MajorType::Audio, AudioSubtype::Aac}, activates);
  if (Failed(hr) || activates.empty()) {
    OVIX_LOG(kTagRecorder, "AAC encoder MFTEnumEx failed hr=0x%08X count=%u", Hex(hr),
             static_cast<unsigned>(activates.size()));
    return false;
  }

  hr = activates.front()->ActivateObject(transform_);
  activates.clear();
  if (Failed(hr) || !transform_) {
    transform_.reset();
    OVIX_LOG(kTagRecorder, "AAC encoder ActivateObject failed hr=0x%08X", Hex(hr));
    return false;
  }

  inputStreamId_ = 0;
  outputStreamId_ = 0;
  uint32_t inputs = 0, outputs = 0;
  if (Succeeded(transform_->GetStreamCount(inputs, outputs)) && inputs == 1 && outputs == 1) {
    uint32_t in = 0, out = 0;
    if (Succeeded(transform_->GetStreamIDs({&in, 1}, {&out, 1}))) {
      inputStreamId_ = in;
      outputStreamId_ = out;
    }
  }

  hr = ConfigureTypes();
  if (Failed(hr)) {
    OVIX_LOG(kTagRecorder, "AAC encoder ConfigureTypes failed hr=0x%08X sr=%d ch=%d bitrate=%d", Hex(hr),
             sampleRate_, channels_, bitRate_);
    transform_.reset();
    return false;
  }

  platform::OutputStreamInfo info;
  if (Succeeded(transform_->GetOutputStreamInfo(outputStreamId_, info))) {
    providesSamples_ = (info.flags & platform::kMftOutputStreamProvidesSamples) != 0;
    outputBufferSize_ = std::max(info.size, kMinOutputBufferSize);
  }

  transform_->ProcessMessage(TransformMessage::NotifyBeginStreaming, 0);
  transform_->ProcessMessage(TransformMessage::NotifyStartOfStream, 0);
  ready_ = true;
  OVIX_LOG(kTagRecorder, "AAC encoder ready sr=%d ch=%d bitrate=%d asc=%02X%02X outBuf=%u provides=%d", sampleRate_,
           channels_, bitRate_, audioSpecificConfig_[0], audioSpecificConfig_[1], outputBufferSize_,
           providesSamples_ ? 1 : 0);
  return true;
}

HRESULT OvixAacEncoder::ConfigureTypes() {
  const auto rate = static_cast<uint32_t>(sampleRate_);
  const auto ch = static_cast<uint32_t>(channels_);
  AudioMediaType in;
  in.major = MajorType::Audio;
  in.subtype = AudioSubtype::Pcm;
  in.bitsPerSample = 16;
  in.samplesPerSecond = rate;
  in.numChannels = ch;
  in.blockAlignment = ch * 2;
  in.avgBytesPerSecond = ch * rate * 2;
  in.allSamplesIndependent = 1;

  AudioMediaType out;
  out.major = MajorType::Audio;
  out.subtype = AudioSubtype::Aac;
  out.bitsPerSample = 16;
  out.samplesPerSecond = rate;
  out.numChannels = ch;
  out.avgBytesPerSecond = static_cast<uint32_t>(bitRate_ / 8);
  out.blockAlignment = 1;
  out.aacProfileLevelIndication = kAacProfileLevel;

  HRESULT hr = transform_->SetInputType(inputStreamId_, in);
  if (Failed(hr)) return hr;
  return transform_->SetOutputType(outputStreamId_, out);
}

HRESULT OvixAacEncoder::Encode(const uint8_t* pcm, int32_t size, int64_t pts, int64_t duration,
                               std::vector<AacPacket>& packets) {
  packets.clear();
  if (!ready_ || !transform_ || !pcm || size < 1) return E_INVALIDARG;

  auto sample = platform::CreateSampleWithBuffer(static_cast<uint32_t>(size), pcm, static_cast<uint32_t>(size));
  sample->SetSampleTime(std::max<int64_t>(pts, 0));
  int64_t d = 0;
  if (duration > 0) {
    d = duration;
  } else if (channels_ > 0 && sampleRate_ > 0) {
    d = int64_t{size / (channels_ * 2)} * kUnitsPerSecond / sampleRate_;
  }
  sample->SetSampleDuration(d);

  HRESULT hr = transform_->ProcessInput(inputStreamId_, sample);
  if (hr == MF_E_NOTACCEPTING) {
    // The transform still held output: take it. The refused block is lost.
    PullOutput(packets);
    hr = PullOutput(packets);
  } else if (Failed(hr)) {
    return hr;
  } else {
    hr = PullOutput(packets);
  }
  return hr == MF_E_TRANSFORM_NEED_MORE_INPUT ? S_OK : hr;
}

HRESULT OvixAacEncoder::Drain(std::vector<AacPacket>& packets) {
  packets.clear();
  if (!ready_) return S_OK;
  transform_->ProcessMessage(TransformMessage::CommandDrain, 0);
  return PullOutput(packets);
}

HRESULT OvixAacEncoder::PullOutput(std::vector<AacPacket>& packets) {
  for (;;) {
    if (!transform_) return E_FAIL;
    std::shared_ptr<platform::MediaSample> supplied;
    if (!providesSamples_) supplied = platform::CreateSampleWithBuffer(outputBufferSize_);

    platform::OutputDataBuffer out;
    out.streamId = outputStreamId_;
    out.sample = supplied;
    uint32_t status = 0;
    const HRESULT hr = transform_->ProcessOutput(0, out, status);
    out.events.clear();
    if (hr == MF_E_TRANSFORM_STREAM_CHANGE) continue;
    if (Failed(hr)) return hr;

    const std::shared_ptr<platform::MediaSample> sample = out.sample ? out.sample : supplied;
    std::shared_ptr<platform::MediaBuffer> buffer;
    if (!sample || Failed(sample->ConvertToContiguousBuffer(buffer)) || !buffer) continue;
    uint8_t* data = nullptr;
    uint32_t length = 0;
    if (Failed(buffer->Lock(data, nullptr, &length))) continue;
    if (data && length > 0) {
      const int64_t time = sample->SampleTime().value_or(0);
      const int64_t frameDuration = kFrameUnitsTimesRate / (sampleRate_ > 0 ? sampleRate_ : 48000);
      const int64_t ownDuration = sample->SampleDuration().value_or(0);
      bool done = false;
      if (length >= 7 && IsSyncWord(data)) {
        SplitAdts(data, length, time, frameDuration, packets);
        // An ADTS-looking output that yields nothing is taken as one raw
        // frame, but only while this call has collected nothing else.
        done = !packets.empty();
      }
      if (!done) {
        AacPacket packet;
        packet.data.assign(data, data + length);
        packet.pts = std::max<int64_t>(time, 0);
        packet.duration = ownDuration >= 1 ? ownDuration : frameDuration;
        packets.push_back(std::move(packet));
      }
    }
    buffer->Unlock();
  }
}

}  // namespace ovix
