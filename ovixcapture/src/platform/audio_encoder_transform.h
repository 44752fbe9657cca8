// The audio encoder transform of the platform layer: encoders found by
// enumeration for an input/output type pair, activated into a transform that
// takes PCM samples in and hands compressed samples out, driven by stream
// messages. Shaped after what the AAC encoder wrapper needs of it: the types
// it configures, the stream ids and output buffer rules it reads, and the
// results it acts on (MF_E_NOTACCEPTING, MF_E_TRANSFORM_NEED_MORE_INPUT,
// MF_E_TRANSFORM_STREAM_CHANGE).
//
// Every transform handed out by EnumAudioEncoders passes its calls through
// fault points named after them ("MFTEnumEx", "ActivateObject",
// "GetStreamCount", "GetStreamIDs", "SetInputType", "SetOutputType",
// "GetOutputStreamInfo", "ProcessInput", "ProcessOutput"), whatever backend
// stands behind it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/hresult.h"
#include "platform/media_type.h"

namespace ovix::platform {

// A block of memory with a valid length within its capacity.
class MediaBuffer {
 public:
  explicit MediaBuffer(uint32_t maxLength) : bytes_(maxLength) {}

  // The memory stays valid while the buffer lives; Lock only pairs with
  // Unlock so callers keep the order the design asks for.
  HRESULT Lock(uint8_t*& data, uint32_t* maxLength, uint32_t* currentLength);
  HRESULT Unlock();
  uint32_t MaxLength() const { return static_cast<uint32_t>(bytes_.size()); }
  uint32_t CurrentLength() const { return length_; }
  // E_INVALIDARG beyond the capacity.
  HRESULT SetCurrentLength(uint32_t length);
  uint8_t* Data() { return bytes_.data(); }
  const uint8_t* Data() const { return bytes_.data(); }

 private:
  std::vector<uint8_t> bytes_;
  uint32_t length_ = 0;
  int locks_ = 0;
};

// A media sample: buffers in order, an optional time and duration (100 ns).
class MediaSample {
 public:
  void AddBuffer(std::shared_ptr<MediaBuffer> buffer) { buffers_.push_back(std::move(buffer)); }
  size_t BufferCount() const { return buffers_.size(); }
  std::shared_ptr<MediaBuffer> Buffer(size_t index) const {
    return index < buffers_.size() ? buffers_[index] : nullptr;
  }
  uint32_t TotalLength() const;
  // The sample's bytes in one buffer: the only buffer as it is, several
  // joined into a new one that then replaces them. E_FAIL without buffers.
  HRESULT ConvertToContiguousBuffer(std::shared_ptr<MediaBuffer>& out);

  void SetSampleTime(int64_t t) { time_ = t; }
  void SetSampleDuration(int64_t d) { duration_ = d; }
  std::optional<int64_t> SampleTime() const { return time_; }
  std::optional<int64_t> SampleDuration() const { return duration_; }

 private:
  std::vector<std::shared_ptr<MediaBuffer>> buffers_;
  std::optional<int64_t> time_;
  std::optional<int64_t> duration_;
};

// A sample holding one new buffer of capacity bytes, optionally filled.
std::shared_ptr<MediaSample> CreateSampleWithBuffer(uint32_t capacity, const void* data = nullptr,
                                                    uint32_t length = 0);

enum class AudioSubtype : uint32_t { Null = 0, Pcm, Float, Aac };

// The attributes of an audio media type; 0 means not set.
struct AudioMediaType {
  MajorType major = MajorType::Null;
  AudioSubtype subtype = AudioSubtype::Null;
  uint32_t bitsPerSample = 0;
  uint32_t samplesPerSecond = 0;
  uint32_t numChannels = 0;
  uint32_t blockAlignment = 0;
  uint32_t avgBytesPerSecond = 0;
  uint32_t allSamplesIndependent = 0;
  uint32_t aacProfileLevelIndication = 0;
};

// What an enumeration matches on: a major type and a subtype.
struct TypeFilter {
  MajorType major = MajorType::Null;
  AudioSubtype subtype = AudioSubtype::Null;
};

// Enumeration flags.
inline constexpr uint32_t kMftEnumSyncMft = 0x01;
inline constexpr uint32_t kMftEnumAsyncMft = 0x02;
inline constexpr uint32_t kMftEnumHardware = 0x04;
inline constexpr uint32_t kMftEnumFieldOfUse = 0x08;
inline constexpr uint32_t kMftEnumLocalMft = 0x10;
inline constexpr uint32_t kMftEnumTranscodeOnly = 0x20;
inline constexpr uint32_t kMftEnumAll = 0x3F;

// Output stream info flags.
inline constexpr uint32_t kMftOutputStreamWholeSamples = 0x001;
inline constexpr uint32_t kMftOutputStreamSingleSamplePerBuffer = 0x002;
inline constexpr uint32_t kMftOutputStreamFixedSampleSize = 0x004;
inline constexpr uint32_t kMftOutputStreamProvidesSamples = 0x100;

// Output data buffer status: more output is waiting.
inline constexpr uint32_t kMftOutputDataBufferIncomplete = 0x01000000;

struct OutputStreamInfo {
  uint32_t flags = 0;
  uint32_t size = 0;  // bytes an output buffer needs
  uint32_t alignment = 0;
};

enum class TransformMessage : uint32_t {
  CommandFlush = 0,
  CommandDrain = 1,
  NotifyBeginStreaming = 0x10000000,
  NotifyEndStreaming = 0x10000001,
  NotifyEndOfStream = 0x10000002,
  NotifyStartOfStream = 0x10000003,
};

struct MediaEvent {
  uint32_t type = 0;
  HRESULT status = S_OK;
};

// One output stream's record for ProcessOutput: the caller's sample (none
// when the transform provides its own), replaced by the transform's sample
// when it provides one; status and events are the transform's to set.
struct OutputDataBuffer {
  uint32_t streamId = 0;
  std::shared_ptr<MediaSample> sample;
  uint32_t status = 0;
  std::vector<MediaEvent> events;
};

class AudioEncoderTransform {
 public:
  virtual ~AudioEncoderTransform() = default;
  virtual HRESULT GetStreamCount(uint32_t& inputStreams, uint32_t& outputStreams) = 0;
  // E_NOTIMPL when the ids are simply 0 .. count-1.
  virtual HRESULT GetStreamIDs(std::span<uint32_t> inputIds, std::span<uint32_t> outputIds) = 0;
  virtual HRESULT SetInputType(uint32_t streamId, const AudioMediaType& type) = 0;
  virtual HRESULT SetOutputType(uint32_t streamId, const AudioMediaType& type) = 0;
  virtual HRESULT GetOutputStreamInfo(uint32_t streamId, OutputStreamInfo& info) = 0;
  virtual HRESULT ProcessMessage(TransformMessage message, uintptr_t param) = 0;
  // MF_E_NOTACCEPTING while output is waiting to be taken.
  virtual HRESULT ProcessInput(uint32_t streamId, const std::shared_ptr<MediaSample>& sample) = 0;
  // MF_E_TRANSFORM_NEED_MORE_INPUT when no output is ready.
  virtual HRESULT ProcessOutput(uint32_t flags, OutputDataBuffer& buffer, uint32_t& status) = 0;
};

// One enumeration result: creates its transform.
class TransformActivate {
 public:
  virtual ~TransformActivate() = default;
  virtual HRESULT ActivateObject(std::unique_ptr<AudioEncoderTransform>& out) = 0;
};

// The audio encoders that take input and produce output, best first; the
// list's size is the count. An error leaves the list empty.
HRESULT EnumAudioEncoders(uint32_t flags, const TypeFilter& input, const TypeFilter& output,
                          std::vector<std::unique_ptr<TransformActivate>>& out);

}  // namespace ovix::platform
