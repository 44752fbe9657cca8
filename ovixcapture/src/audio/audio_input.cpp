#include "audio/audio_input.h"

#include <algorithm>
#include <cstring>

#include "core/log.h"
#include "core/log_tags.h"
#include "platform/media_runtime.h"
#include "platform/sys.h"
#include "platform/thread_start.h"

namespace ovix {
namespace {

using platform::AudioCaptureClient;
using platform::AudioClient;
using platform::AudioDeviceEnumerator;
using platform::AudioEndpoint;
using platform::AudioEndpointCollection;
using platform::AudioFlow;
using platform::WaitEvent;
using platform::WaveFormat;

constexpr int64_t kBufferDuration = 10'000'000;  // one second, 100-ns units
constexpr int kWaitMs = 100;
constexpr uint64_t kStatsIntervalMs = 5000;

inline unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

int64_t TimestampOf(int64_t cursor, uint32_t rate) {
  return rate == 0 ? 0 : cursor * 10'000'000 / static_cast<int64_t>(rate);
}

}  // namespace

OvixAudioInput::~OvixAudioInput() {
  if (IsRunning()) Stop();
  // Only a port destroyed from its own callback still has its thread here;
  // that thread must not be joined from itself.
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    else thread_.join();
  }
}

int OvixAudioInput::Start() {
  if (IsRunning()) return OVIX_OK;
  if (thread_.joinable()) thread_.join();  // a run whose thread ended by itself and was never stopped
  const RunSettings run{deviceIndex, channels};
  running_.store(true, std::memory_order_release);
  if (const int err = platform::StartThread(thread_, [this, run] { CaptureThread(run); }); err != 0) {
    running_.store(false, std::memory_order_release);
    OVIX_LOG(kTagAudioInput, "Audio input start failed to create capture thread device=%d winerr=%d", run.deviceIndex,
             err);
    return OVIX_ERR_FAILED;
  }
  OVIX_LOG(kTagAudioInput, "Audio input start device=%d request=%d Hz %d ch %d bits", deviceIndex, sampleRate,
           channels, bitsPerSample);
  return OVIX_OK;
}

int OvixAudioInput::Stop() {
  if (!IsRunning()) return OVIX_OK;
  if (thread_.get_id() == std::this_thread::get_id()) {
    // Joining would wait for this very call to return.
    OVIX_LOG(kTagAudioInput, "Audio input stop refused on the capture thread device=%d", deviceIndex);
    return OVIX_ERR_FAILED;
  }
  running_.store(false, std::memory_order_release);
  if (thread_.joinable()) thread_.join();
  OVIX_LOG(kTagAudioInput, "Audio input stop device=%d", deviceIndex);
  return OVIX_OK;
}

int OvixAudioInput::OpenAudioCaptureEndpoint(int32_t index, std::unique_ptr<AudioEndpoint>& out) {
  out.reset();
  std::unique_ptr<AudioDeviceEnumerator> enumerator;
  HRESULT hr = AudioDeviceEnumerator::Create(enumerator);
  if (Failed(hr) || !enumerator) {
    OVIX_LOG(kTagAudioInput, "Audio input CoCreateInstance(MMDeviceEnumerator) failed hr=0x%08X", Hex(hr));
    return OVIX_ERR_FAILED;
  }
  std::unique_ptr<AudioEndpointCollection> endpoints;
  hr = enumerator->EnumAudioEndpoints(AudioFlow::Capture, endpoints);
  if (Failed(hr) || !endpoints) {
    OVIX_LOG(kTagAudioInput, "Audio input EnumAudioEndpoints failed hr=0x%08X", Hex(hr));
    return OVIX_ERR_FAILED;
  }
  uint32_t count = 0;
  hr = endpoints->GetCount(count);
  if (Failed(hr)) {
    OVIX_LOG(kTagAudioInput, "Audio input GetCount failed hr=0x%08X", Hex(hr));
    return OVIX_ERR_FAILED;
  }
  OVIX_LOG(kTagAudioInput, "Audio input active endpoint count=%u selectedIndex=%d", count, index);
  if (index < 0 || static_cast<uint32_t>(index) >= count) {
    OVIX_LOG(kTagAudioInput, "Audio input device index invalid index=%d count=%u", index, count);
    return OVIX_ERR_INVALID_ARG;
  }
  hr = endpoints->Item(static_cast<uint32_t>(index), out);
  if (Failed(hr) || !out) {
    OVIX_LOG(kTagAudioInput, "Audio input collection Item failed index=%d hr=0x%08X", index, Hex(hr));
    out.reset();
    return OVIX_ERR_FAILED;
  }
  return OVIX_OK;
}

void OvixAudioInput::CaptureThread(RunSettings run) {
  const HRESULT coHr = platform::MediaRuntime::InitializeWorkerApartment();
  OVIX_LOG(kTagAudioInput, "Audio input thread enter CoInitializeEx hr=0x%08X", Hex(coHr));
  Counters counters;

  // Released in the reverse order of creation when the thread ends.
  std::unique_ptr<AudioEndpoint> endpoint;
  std::unique_ptr<AudioClient> client;
  std::unique_ptr<AudioCaptureClient> capture;
  std::shared_ptr<WaitEvent> event;
  WaveFormat mix{};

  [&] {
    if (OpenAudioCaptureEndpoint(run.deviceIndex, endpoint) != OVIX_OK) {
      OVIX_LOG(kTagAudioInput, "Audio OpenDevice failed index=%d", run.deviceIndex);
      return;
    }
    HRESULT hr = endpoint->Activate(client);
    if (Failed(hr) || !client) {
      OVIX_LOG(kTagAudioInput, "Audio Activate IAudioClient failed hr=0x%08X", Hex(hr));
      return;
    }
    hr = client->GetMixFormat(mix);
    if (Failed(hr)) {
      OVIX_LOG(kTagAudioInput, "Audio GetMixFormat failed hr=0x%08X", Hex(hr));
      return;
    }
    if (const int err = WaitEvent::Create(event); err != 0 || !event) {
      OVIX_LOG(kTagAudioInput, "Audio CreateEvent failed winerr=%lu", static_cast<unsigned long>(err));
      return;
    }
    hr = client->Initialize(platform::kShareModeShared, platform::kStreamFlagsEventCallback, kBufferDuration, 0, mix);
    if (Failed(hr)) {
      OVIX_LOG(kTagAudioInput, "Audio Initialize failed hr=0x%08X", Hex(hr));
      return;
    }
    hr = client->SetEventHandle(event);
    if (Failed(hr)) OVIX_LOG(kTagAudioInput, "Audio SetEventHandle failed hr=0x%08X", Hex(hr));
    hr = client->GetCaptureClient(capture);
    if (Failed(hr) || !capture) {
      OVIX_LOG(kTagAudioInput, "Audio GetService IAudioCaptureClient failed hr=0x%08X", Hex(hr));
      capture.reset();
      return;
    }
    OVIX_LOG(kTagAudioInput, "Audio capture ready mix=%u Hz ch=%u bits=%u block=%u tag=0x%X -> SDK PCM=%u Hz ch=%d bits=16",
             mix.samplesPerSec, mix.channels, mix.bitsPerSample, mix.blockAlign, mix.formatTag, mix.samplesPerSec,
             run.channels);
    hr = client->Start();
    if (Failed(hr)) OVIX_LOG(kTagAudioInput, "Audio capture client Start failed hr=0x%08X", Hex(hr));
    else OVIX_LOG(kTagAudioInput, "Audio capture client started");

    CaptureLoop(*client, *capture, *event, mix, run, counters);

    hr = client->Stop();
    OVIX_LOG(kTagAudioInput, "Audio capture client stopped hr=0x%08X", Hex(hr));
  }();

  OVIX_LOG(kTagAudioInput, "Audio input thread exit packets=%llu frames=%llu bytes=%llu silentPackets=%llu errors=%llu",
           static_cast<unsigned long long>(counters.packets), static_cast<unsigned long long>(counters.frames),
           static_cast<unsigned long long>(counters.bytes), static_cast<unsigned long long>(counters.silentPackets),
           static_cast<unsigned long long>(counters.errors));
  capture.reset();
  client.reset();
  endpoint.reset();
  event.reset();
  if (Succeeded(coHr)) platform::MediaRuntime::UninitializeApartment();
}

void OvixAudioInput::CaptureLoop(AudioClient& client, AudioCaptureClient& capture, WaitEvent& event,
                                 const WaveFormat& mix, const RunSettings& run, Counters& counters) {
  (void)client;
  const MixSampleLayout layout = InterpretMixFormat(mix);
  uint64_t statsTick = sys::TickCountMs();
  int32_t statsPeak = 0;

  while (IsRunning()) {
    int error = 0;
    const WaitEvent::Result waited = event.Wait(kWaitMs, error);
    if (waited == WaitEvent::Result::Failed) {
      OVIX_LOG(kTagAudioInput, "Audio capture WaitForSingleObject failed winerr=%lu", static_cast<unsigned long>(error));
      ++counters.errors;
      break;
    }
    if (waited == WaitEvent::Result::Signaled) {
      while (IsRunning()) {
        uint32_t packetFrames = 0;
        HRESULT hr = capture.GetNextPacketSize(packetFrames);
        if (Failed(hr)) {
          OVIX_LOG(kTagAudioInput, "Audio GetNextPacketSize failed hr=0x%08X", Hex(hr));
          ++counters.errors;
          break;
        }
        if (packetFrames == 0) break;
        uint8_t* data = nullptr;
        uint32_t frames = 0, flags = 0;
        hr = capture.GetBuffer(data, frames, flags, nullptr, nullptr);
        if (Failed(hr)) {
          OVIX_LOG(kTagAudioInput, "Audio capture GetBuffer failed hr=0x%08X packetFrames=%u", Hex(hr), packetFrames);
          ++counters.errors;
          break;
        }
        if (frames > 0) {
          const int64_t timestamp = TimestampOf(sampleCursor_, mix.samplesPerSec);
          const size_t packetBytes = static_cast<size_t>(frames) * mix.blockAlign;
          if (flags & platform::kBufferFlagsSilent) {
            if (silence_.size() < packetBytes) silence_.resize(packetBytes);
            std::memset(silence_.data(), 0, packetBytes);
            ConvertAndDeliver(silence_.data(), frames, mix, layout, run.channels, timestamp);
            ++counters.silentPackets;
          } else {
            ConvertAndDeliver(data, frames, mix, layout, run.channels, timestamp);
          }
          sampleCursor_ += frames;
          ++counters.packets;
          counters.frames += frames;
          counters.bytes += packetBytes;
          statsPeak = std::max(statsPeak, lastPeak_);
        }
        if (data) {
          hr = capture.ReleaseBuffer(frames);
          if (Failed(hr)) {
            OVIX_LOG(kTagAudioInput, "Audio capture ReleaseBuffer failed hr=0x%08X frames=%u", Hex(hr), frames);
            ++counters.errors;
            break;
          }
        }
      }
    }
    const uint64_t now = sys::TickCountMs();
    if (now - statsTick >= kStatsIntervalMs) {
      OVIX_LOG(kTagAudioInput,
               "Audio capture stats packets=%llu frames=%llu bytes=%llu silentPackets=%llu errors=%llu peak=%d "
               "sampleCursor=%lld",
               static_cast<unsigned long long>(counters.packets), static_cast<unsigned long long>(counters.frames),
               static_cast<unsigned long long>(counters.bytes), static_cast<unsigned long long>(counters.silentPackets),
               static_cast<unsigned long long>(counters.errors), statsPeak, static_cast<long long>(sampleCursor_));
      statsPeak = 0;
      statsTick = now;
    }
  }
}

void OvixAudioInput::ConvertAndDeliver(const uint8_t* data, uint32_t frames, const WaveFormat& mix,
                                       const MixSampleLayout& layout, int32_t outChannels, int64_t timestamp) {
  if (!data || frames == 0 || layout.channels == 0 || layout.bytesPerSample == 0 || outChannels < 1) return;
  const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(outChannels);
  if (conversion_.size() < samples) conversion_.resize(samples);
  lastPeak_ = ConvertToPcm16(data, frames, layout, outChannels, conversion_.data());

  OvixAudioFrame frame{};
  frame.data = reinterpret_cast<uint8_t*>(conversion_.data());
  frame.size = static_cast<int32_t>(samples * sizeof(int16_t));
  frame.sampleRate = static_cast<int32_t>(mix.samplesPerSec);
  frame.channels = outChannels;
  frame.bitsPerSample = 16;
  frame.timestamp = timestamp;
  DeliverAudio(&frame);
}

}  // namespace ovix
