#include "audio/audio_render.h"

#include <cmath>
#include <cstring>

#include "audio/pcm_convert.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "platform/media_runtime.h"
#include "platform/sys.h"

namespace ovix {
namespace {

using platform::AudioDeviceEnumerator;
using platform::AudioFlow;
using platform::WaveFormat;

constexpr int64_t kBufferDuration = 10'000'000;  // one second, 100-ns units
constexpr uint32_t kRenderStreamFlags = platform::kStreamFlagsAutoConvertPcm | platform::kStreamFlagsSrcDefaultQuality;
constexpr uint64_t kStatsIntervalMs = 5000;

inline unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

}  // namespace

OvixAudioRender::~OvixAudioRender() {
  std::lock_guard lock(mutex_);
  if (running_) StopLocked();
}

int OvixAudioRender::Start() {
  std::lock_guard lock(mutex_);
  if (!running_) {
    receivedFrames_ = writtenFrames_ = droppedFrames_ = silenceFrames_ = 0;
    statsTickMs_ = sys::TickCountMs();
    running_ = true;
    OVIX_LOG(kTagAudioRender, "Audio render start");
  }
  return OVIX_OK;
}

int OvixAudioRender::Stop() {
  std::lock_guard lock(mutex_);
  if (running_) StopLocked();
  return OVIX_OK;
}

int OvixAudioRender::StopLocked() {
  running_ = false;
  OVIX_LOG(kTagAudioRender, "Audio render stop receivedFrames=%llu writtenFrames=%llu droppedFrames=%llu silenceFrames=%llu",
           static_cast<unsigned long long>(receivedFrames_), static_cast<unsigned long long>(writtenFrames_),
           static_cast<unsigned long long>(droppedFrames_), static_cast<unsigned long long>(silenceFrames_));
  CloseRenderEndpoint();
  return OVIX_OK;
}

int OvixAudioRender::Flush() {
  std::lock_guard lock(mutex_);
  if (!client_ || !clientStarted_) return OVIX_OK;
  HRESULT hr = client_->Stop();
  bool ok = Succeeded(hr);
  if (ok) {
    hr = client_->Reset();
    ok = Succeeded(hr);
  }
  if (ok && running_ && !paused_) {
    hr = client_->Start();
    ok = Succeeded(hr);
  }
  // Paused, the stream stays stopped but counts as started, so that the
  // resume starts it again.
  clientStarted_ = ok && running_;
  OVIX_LOG(kTagAudioRender, "Audio render flush hr=0x%08X", Hex(hr));
  return ok ? OVIX_OK : OVIX_ERR_FAILED;
}

int OvixAudioRender::SetPaused(bool paused) {
  std::lock_guard lock(mutex_);
  paused_ = paused;
  if (!client_ || !clientStarted_) return OVIX_OK;
  const HRESULT hr = paused ? client_->Stop() : client_->Start();
  OVIX_LOG(kTagAudioRender, "Audio render pause=%d hr=0x%08X", paused ? 1 : 0, Hex(hr));
  return Succeeded(hr) ? OVIX_OK : OVIX_ERR_FAILED;
}

int OvixAudioRender::UseDefaultDevice() {
  std::lock_guard lock(mutex_);
  selectedDevice_ = -1;
  deviceId_.clear();
  CloseRenderEndpoint();
  OVIX_LOG(kTagAudioRender, "Audio render use default playback device");
  return OVIX_OK;
}

int OvixAudioRender::SelectDevice(int index, const std::string& id, const std::string& name) {
  std::lock_guard lock(mutex_);
  selectedDevice_ = index;
  deviceId_ = index < 0 ? std::string() : id;
  CloseRenderEndpoint();
  OVIX_LOG(kTagAudioRender, "Audio render select playback device index=%d name=%s", index,
           index < 0 ? "Windows default" : name.c_str());
  return OVIX_OK;
}

int OvixAudioRender::SetVolume(float volume) {
  std::lock_guard lock(mutex_);
  if (std::isnan(volume) || volume <= 0.0f) volume_ = 0.0f;
  else if (volume > 1.0f) volume_ = 1.0f;
  else volume_ = volume;
  return OVIX_OK;
}

int OvixAudioRender::SetMute(bool mute) {
  std::lock_guard lock(mutex_);
  mute_ = mute;
  return OVIX_OK;
}

void OvixAudioRender::CloseRenderEndpoint() {
  if (clientStarted_ && client_) {
    const HRESULT hr = client_->Stop();
    OVIX_LOG(kTagAudioRender, "Audio render client Stop hr=0x%08X", Hex(hr));
  }
  clientStarted_ = false;
  writer_.reset();
  client_.reset();
  endpoint_.reset();
  streamFormat_.reset();
  bufferFrames_ = 0;
}

int OvixAudioRender::OpenRenderEndpoint() {
  std::unique_ptr<AudioDeviceEnumerator> enumerator;
  HRESULT hr = AudioDeviceEnumerator::Create(enumerator);
  if (Failed(hr) || !enumerator) {
    OVIX_LOG(kTagAudioRender, "Audio render CoCreateInstance(MMDeviceEnumerator) failed hr=0x%08X", Hex(hr));
    return OVIX_ERR_FAILED;
  }
  const auto openDefault = [&] { return enumerator->GetDefaultAudioEndpoint(AudioFlow::Render, endpoint_); };
  if (selectedDevice_ < 0) {
    hr = openDefault();
  } else {
    hr = deviceId_.empty() ? E_INVALIDARG : enumerator->GetDevice(deviceId_, endpoint_);
    if (Failed(hr) || !endpoint_) {
      OVIX_LOG(kTagAudioRender, "Audio render selected endpoint unavailable index=%d; fallback to Windows default",
               selectedDevice_);
      selectedDevice_ = -1;
      deviceId_.clear();
      endpoint_.reset();
      hr = openDefault();
    }
  }
  enumerator.reset();
  if (Failed(hr) || !endpoint_) {
    OVIX_LOG(kTagAudioRender, "Audio render open endpoint failed index=%d hr=0x%08X", selectedDevice_, Hex(hr));
    endpoint_.reset();
    return OVIX_ERR_FAILED;
  }
  hr = endpoint_->Activate(client_);
  if (Failed(hr) || !client_) {
    OVIX_LOG(kTagAudioRender, "Audio render Activate IAudioClient failed hr=0x%08X", Hex(hr));
    client_.reset();
    return OVIX_ERR_FAILED;
  }

  // The block uses 16-bit arithmetic, as the format record's field does.
  const auto block = static_cast<uint16_t>(sourceBits_ * sourceChannels_ / 8);
  OVIX_LOG(kTagAudioRender, "Audio render source format=%u Hz ch=%u bits=%u block=%u tag=0x%X",
           static_cast<unsigned>(sourceRate_), static_cast<unsigned>(sourceChannels_),
           static_cast<unsigned>(sourceBits_), static_cast<unsigned>(block), static_cast<unsigned>(platform::kWaveFormatPcm));
  if (!platform::MediaRuntime::TaskMemAllocSucceeds()) {
    OVIX_LOG(kTagAudioRender, "Audio render CoTaskMemAlloc source format failed");
    return OVIX_ERR_FAILED;
  }
  streamFormat_ = std::make_unique<WaveFormat>();
  streamFormat_->formatTag = platform::kWaveFormatPcm;
  streamFormat_->channels = static_cast<uint16_t>(sourceChannels_);
  streamFormat_->samplesPerSec = static_cast<uint32_t>(sourceRate_);
  streamFormat_->bitsPerSample = static_cast<uint16_t>(sourceBits_);
  streamFormat_->blockAlign = block;
  streamFormat_->avgBytesPerSec = static_cast<uint32_t>(sourceRate_) * block;
  streamFormat_->cbSize = 0;

  WaveFormat mix{};
  hr = client_->GetMixFormat(mix);
  if (Succeeded(hr)) {
    OVIX_LOG(kTagAudioRender, "Audio render endpoint mix=%u Hz ch=%u bits=%u block=%u tag=0x%X", mix.samplesPerSec,
             mix.channels, mix.bitsPerSample, mix.blockAlign, mix.formatTag);
  } else {
    OVIX_LOG(kTagAudioRender, "Audio render GetMixFormat failed hr=0x%08X; continue with shared-mode auto conversion",
             Hex(hr));
  }

  hr = client_->Initialize(platform::kShareModeShared, kRenderStreamFlags, kBufferDuration, 0, *streamFormat_);
  if (Failed(hr)) {
    OVIX_LOG(kTagAudioRender,
             "Audio render Initialize auto-convert failed hr=0x%08X source=%u Hz ch=%u bits=%u tag=0x%X flags=0x%08X",
             Hex(hr), streamFormat_->samplesPerSec, streamFormat_->channels, streamFormat_->bitsPerSample,
             streamFormat_->formatTag, kRenderStreamFlags);
    return OVIX_ERR_FAILED;
  }
  hr = client_->GetBufferSize(bufferFrames_);
  if (Failed(hr) || bufferFrames_ == 0) {
    OVIX_LOG(kTagAudioRender, "Audio render GetBufferSize failed hr=0x%08X frames=%u", Hex(hr), bufferFrames_);
    bufferFrames_ = 0;
    return OVIX_ERR_FAILED;
  }
  hr = client_->GetRenderClient(writer_);
  if (Failed(hr) || !writer_) {
    OVIX_LOG(kTagAudioRender, "Audio render GetService IAudioRenderClient failed hr=0x%08X", Hex(hr));
    writer_.reset();
    return OVIX_ERR_FAILED;
  }
  hr = client_->Start();
  if (Failed(hr)) {
    OVIX_LOG(kTagAudioRender, "Audio render client Start failed hr=0x%08X", Hex(hr));
    return OVIX_ERR_FAILED;
  }
  clientStarted_ = true;
  OVIX_LOG(kTagAudioRender, "Audio render ready source=%u Hz ch=%u bits=%u block=%u bufferFrames=%u autoConvert=1",
           streamFormat_->samplesPerSec, streamFormat_->channels, streamFormat_->bitsPerSample,
           streamFormat_->blockAlign, bufferFrames_);
  return OVIX_OK;
}

int OvixAudioRender::OnAudioFrame(const OvixAudioFrame* frame) {
  if (!frame || !frame->data || frame->size <= 0) {
    OVIX_LOG(kTagAudioRender, "Audio render received invalid audio frame");
    return OVIX_ERR_INVALID_ARG;
  }
  std::lock_guard lock(mutex_);
  if (!running_ || IsDestroyed()) return OVIX_OK;

  const int32_t block = frame->channels * frame->bitsPerSample / 8;
  if (block <= 0) {
    OVIX_LOG(kTagAudioRender, "Audio render invalid input block align channels=%d bits=%d", frame->channels,
             frame->bitsPerSample);
    return OVIX_ERR_FAILED;
  }
  const uint32_t frames = static_cast<uint32_t>(frame->size) / static_cast<uint32_t>(block);
  if (frames == 0) return OVIX_OK;
  receivedFrames_ += frames;

  if (!writer_ || !client_ || !streamFormat_ || frame->sampleRate != sourceRate_ || frame->channels != sourceChannels_ ||
      frame->bitsPerSample != sourceBits_) {
    OVIX_LOG(kTagAudioRender, "Audio render configure from input=%d Hz ch=%d bits=%d dataSize=%d", frame->sampleRate,
             frame->channels, frame->bitsPerSample, frame->size);
    CloseRenderEndpoint();
    sourceRate_ = frame->sampleRate < 1 ? 48000 : frame->sampleRate;
    sourceChannels_ = frame->channels < 1 ? 2 : frame->channels;
    sourceBits_ = 16;
    if (OpenRenderEndpoint() != OVIX_OK) {
      // Whatever the failed open created goes now, so the next frame opens
      // again instead of writing into a stream that never started.
      CloseRenderEndpoint();
      droppedFrames_ += frames;
      OVIX_LOG(kTagAudioRender, "Audio render EnsureFormat failed input=%d Hz ch=%d bits=%d frames=%u",
               frame->sampleRate, frame->channels, frame->bitsPerSample, frames);
      return OVIX_ERR_FAILED;
    }
  }

  uint32_t padding = 0;
  if (HRESULT hr = client_->GetCurrentPadding(padding); Failed(hr)) {
    OVIX_LOG(kTagAudioRender, "Audio render GetCurrentPadding failed hr=0x%08X", Hex(hr));
    padding = 0;
  }

  if (padding >= bufferFrames_) {
    droppedFrames_ += frames;
  } else {
    const uint32_t available = bufferFrames_ - padding;
    const uint32_t write = frames < available ? frames : available;
    droppedFrames_ += frames - write;
    uint8_t* buffer = nullptr;
    HRESULT hr = writer_->GetBuffer(write, buffer);
    if (Failed(hr) || !buffer) {
      droppedFrames_ += write;
      OVIX_LOG(kTagAudioRender, "Audio render GetBuffer failed hr=0x%08X writeFrames=%u available=%u padding=%u",
               Hex(hr), write, available, padding);
      return OVIX_ERR_FAILED;
    }
    const WaveFormat& f = *streamFormat_;
    const bool matches = f.formatTag == platform::kWaveFormatPcm && f.bitsPerSample == 16 &&
                         static_cast<int32_t>(f.channels) == frame->channels &&
                         static_cast<int32_t>(f.samplesPerSec) == frame->sampleRate &&
                         static_cast<int32_t>(f.blockAlign) == block;
    const size_t bytes = static_cast<size_t>(write) * static_cast<size_t>(block);
    if (matches) {
      if (mute_) std::memset(buffer, 0, bytes);
      else if (volume_ >= 0.999f) std::memcpy(buffer, frame->data, bytes);
      else
        ScalePcm16(frame->data, buffer, bytes / 2, volume_);
      hr = writer_->ReleaseBuffer(write, 0);
      if (Failed(hr)) OVIX_LOG(kTagAudioRender, "Audio render ReleaseBuffer failed hr=0x%08X writeFrames=%u", Hex(hr), write);
      else writtenFrames_ += write;
    } else {
      std::memset(buffer, 0, static_cast<size_t>(write) * f.blockAlign);
      hr = writer_->ReleaseBuffer(write, platform::kBufferFlagsSilent);
      droppedFrames_ += write;
      silenceFrames_ += write;
      OVIX_LOG(kTagAudioRender,
               "Audio render internal source mismatch input=%dHz/%dch/%dbit/block%d client=%uHz/%uch/%ubit/block%u "
               "hr=0x%08X",
               frame->sampleRate, frame->channels, frame->bitsPerSample, block, f.samplesPerSec, f.channels,
               f.bitsPerSample, f.blockAlign, Hex(hr));
      return OVIX_ERR_FAILED;
    }
  }

  const uint64_t now = sys::TickCountMs();
  if (now - statsTickMs_ >= kStatsIntervalMs) {
    const int32_t peak = frame->bitsPerSample == 16
                             ? PeakPcm16(frame->data, static_cast<size_t>(frame->size) / 2)
                             : 0;
    const WaveFormat& f = *streamFormat_;
    OVIX_LOG(kTagAudioRender,
             "Audio render stats receivedFrames=%llu writtenFrames=%llu droppedFrames=%llu silenceFrames=%llu peak=%d "
             "input=%dHz/%dch/%dbit client=%uHz/%uch/%ubit/tag0x%X buffer=%u padding=%u",
             static_cast<unsigned long long>(receivedFrames_), static_cast<unsigned long long>(writtenFrames_),
             static_cast<unsigned long long>(droppedFrames_), static_cast<unsigned long long>(silenceFrames_), peak,
             frame->sampleRate, frame->channels, frame->bitsPerSample, f.samplesPerSec, f.channels, f.bitsPerSample,
             f.formatTag, bufferFrames_, padding);
    statsTickMs_ = now;
  }
  return OVIX_OK;
}

}  // namespace ovix
