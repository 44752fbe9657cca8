// The AAC encoder of the direct H.264 path: 16-bit interleaved PCM in, raw
// AAC-LC frames with their times out, plus the AudioSpecificConfig the MP4
// writer needs. Wraps the platform's audio encoder transform, splitting ADTS
// output into raw frames. Not thread-safe: the recorder's configuration lock
// guards it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio_encoder_transform.h"
#include "platform/hresult.h"

namespace ovix {

struct AacPacket {
  std::vector<uint8_t> data;  // one raw AAC frame, no ADTS header
  int64_t pts = 0;            // 100-ns units
  int64_t duration = 0;       // 100-ns units
};

class OvixAacEncoder {
 public:
  static constexpr uint32_t kMinOutputBufferSize = 16384;
  static constexpr int32_t kBitRate = 128000;

  OvixAacEncoder() = default;
  ~OvixAacEncoder();
  OvixAacEncoder(const OvixAacEncoder&) = delete;
  OvixAacEncoder& operator=(const OvixAacEncoder&) = delete;

  bool Init(int32_t sampleRate, int32_t channels);
  // Feeds one PCM block; packets receives every frame the transform has
  // ready. 0 or a negative result code.
  HRESULT Encode(const uint8_t* pcm, int32_t size, int64_t pts, int64_t duration, std::vector<AacPacket>& packets);
  // At segment end: the frames still inside the transform. Returns what the
  // last pull returned (MF_E_TRANSFORM_NEED_MORE_INPUT when all went well).
  HRESULT Drain(std::vector<AacPacket>& packets);

  bool ready() const { return ready_; }
  int32_t sampleRate() const { return sampleRate_; }
  int32_t channels() const { return channels_; }
  int32_t bitRate() const { return bitRate_; }
  const std::vector<uint8_t>& audioSpecificConfig() const { return audioSpecificConfig_; }
  uint32_t inputStreamId() const { return inputStreamId_; }
  uint32_t outputStreamId() const { return outputStreamId_; }
  uint32_t outputBufferSize() const { return outputBufferSize_; }
  bool providesSamples() const { return providesSamples_; }

  // AAC LC, the ISO/IEC 14496-3 sampling-frequency index (3 for an unlisted
  // rate), channel configuration = channels.
  static std::array<uint8_t, 2> BuildAudioSpecificConfig(int32_t sampleRate, int32_t channels);

 private:
  HRESULT ConfigureTypes();
  HRESULT PullOutput(std::vector<AacPacket>& packets);
  void ReleaseTransform();

  std::unique_ptr<platform::AudioEncoderTransform> transform_;
  uint32_t inputStreamId_ = 0;
  uint32_t outputStreamId_ = 0;
  uint32_t outputBufferSize_ = kMinOutputBufferSize;
  bool providesSamples_ = false;
  bool ready_ = false;
  int32_t sampleRate_ = 48000;
  int32_t channels_ = 2;
  int32_t bitRate_ = kBitRate;
  std::vector<uint8_t> audioSpecificConfig_;
};

}  // namespace ovix
