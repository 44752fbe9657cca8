// The audio capture port: one capture thread per started input reads an
// endpoint's shared-mode stream in its mix format, converts every packet to
// interleaved 16-bit PCM and delivers it, time-stamped from the running
// sample count.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "audio/pcm_convert.h"
#include "core/port_base.h"
#include "platform/audio_endpoint_provider.h"

namespace ovix {

class OvixAudioInput final : public OvixPortBase {
 public:
  OvixAudioInput() : OvixPortBase(OVIX_PORT_AUDIO_INPUT) {}
  ~OvixAudioInput() override;

  int Start() override;
  int Stop() override;

  bool IsRunning() const { return running_.load(std::memory_order_acquire); }

  // Configuration, read when the input starts.
  int32_t deviceIndex = 0;
  int32_t sampleRate = 48000;  // requested; frames carry the endpoint's mix rate
  int32_t channels = 2;
  int32_t bitsPerSample = 16;

 private:
  // What one run of the capture thread works with, fixed at Start.
  struct RunSettings {
    int32_t deviceIndex;
    int32_t channels;
  };
  struct Counters {
    uint64_t packets = 0, frames = 0, bytes = 0, silentPackets = 0, errors = 0;
  };

  void CaptureThread(RunSettings run);
  int OpenAudioCaptureEndpoint(int32_t index, std::unique_ptr<platform::AudioEndpoint>& out);
  void CaptureLoop(platform::AudioClient& client, platform::AudioCaptureClient& capture, platform::WaitEvent& event,
                   const platform::WaveFormat& mix, const RunSettings& run, Counters& counters);
  void ConvertAndDeliver(const uint8_t* data, uint32_t frames, const platform::WaveFormat& mix,
                         const MixSampleLayout& layout, int32_t outChannels, int64_t timestamp);

  std::atomic<bool> running_{false};
  std::thread thread_;
  // Touched by the capture thread only; Stop joins it before a new run starts.
  int64_t sampleCursor_ = 0;
  std::vector<int16_t> conversion_;
  std::vector<uint8_t> silence_;
  int32_t lastPeak_ = 0;
};

}  // namespace ovix
