#include "platform/audio_encoder_transform.h"

#include <cstring>
#include <mutex>

#include "platform/aac_transform_libav.h"
#include "platform/audio_encoder_override.h"
#include "platform/fault_points.h"

namespace ovix::platform {

HRESULT MediaBuffer::Lock(uint8_t*& data, uint32_t* maxLength, uint32_t* currentLength) {
  data = bytes_.data();
  if (maxLength) *maxLength = MaxLength();
  if (currentLength) *currentLength = length_;
  ++locks_;
  return S_OK;
}

HRESULT MediaBuffer::Unlock() {
  if (locks_ == 0) return E_UNEXPECTED;
  --locks_;
  return S_OK;
}

HRESULT MediaBuffer::SetCurrentLength(uint32_t length) {
  if (length > MaxLength()) return E_INVALIDARG;
  length_ = length;
  return S_OK;
}

uint32_t MediaSample::TotalLength() const {
  uint32_t total = 0;
  for (const auto& b : buffers_) total += b->CurrentLength();
  return total;
}

HRESULT MediaSample::ConvertToContiguousBuffer(std::shared_ptr<MediaBuffer>& out) {
  out.reset();
  if (buffers_.empty()) return E_FAIL;
  if (buffers_.size() > 1) {
    auto joined = std::make_shared<MediaBuffer>(TotalLength());
    uint32_t at = 0;
    for (const auto& b : buffers_) {
      if (b->CurrentLength() > 0) std::memcpy(joined->Data() + at, b->Data(), b->CurrentLength());
      at += b->CurrentLength();
    }
    joined->SetCurrentLength(at);
    buffers_.assign(1, std::move(joined));
  }
  out = buffers_.front();
  return S_OK;
}

std::shared_ptr<MediaSample> CreateSampleWithBuffer(uint32_t capacity, const void* data, uint32_t length) {
  auto buffer = std::make_shared<MediaBuffer>(capacity);
  if (data && length > 0 && length <= capacity) {
    std::memcpy(buffer->Data(), data, length);
    buffer->SetCurrentLength(length);
  }
  auto sample = std::make_shared<MediaSample>();
  sample->AddBuffer(std::move(buffer));
  return sample;
}

namespace {

// Puts the fault points in front of any backend, so the wrapper's failure
// paths are reachable with the real encoder as well as with fakes.
class FaultPointTransform final : public AudioEncoderTransform {
 public:
  explicit FaultPointTransform(std::unique_ptr<AudioEncoderTransform> inner) : inner_(std::move(inner)) {}

  HRESULT GetStreamCount(uint32_t& inputs, uint32_t& outputs) override {
    if (HRESULT hr = FaultCheck("GetStreamCount"); Failed(hr)) return hr;
    return inner_->GetStreamCount(inputs, outputs);
  }
  HRESULT GetStreamIDs(std::span<uint32_t> inputIds, std::span<uint32_t> outputIds) override {
    if (HRESULT hr = FaultCheck("GetStreamIDs"); Failed(hr)) return hr;
    return inner_->GetStreamIDs(inputIds, outputIds);
  }
  HRESULT SetInputType(uint32_t id, const AudioMediaType& type) override {
    if (HRESULT hr = FaultCheck("SetInputType"); Failed(hr)) return hr;
    return inner_->SetInputType(id, type);
  }
  HRESULT SetOutputType(uint32_t id, const AudioMediaType& type) override {
    if (HRESULT hr = FaultCheck("SetOutputType"); Failed(hr)) return hr;
    return inner_->SetOutputType(id, type);
  }
  HRESULT GetOutputStreamInfo(uint32_t id, OutputStreamInfo& info) override {
    if (HRESULT hr = FaultCheck("GetOutputStreamInfo"); Failed(hr)) return hr;
    return inner_->GetOutputStreamInfo(id, info);
  }
  HRESULT ProcessMessage(TransformMessage message, uintptr_t param) override {
    return inner_->ProcessMessage(message, param);
  }
  HRESULT ProcessInput(uint32_t id, const std::shared_ptr<MediaSample>& sample) override {
    if (HRESULT hr = FaultCheck("ProcessInput"); Failed(hr)) return hr;
    return inner_->ProcessInput(id, sample);
  }
  HRESULT ProcessOutput(uint32_t flags, OutputDataBuffer& buffer, uint32_t& status) override {
    if (HRESULT hr = FaultCheck("ProcessOutput"); Failed(hr)) return hr;
    return inner_->ProcessOutput(flags, buffer, status);
  }

 private:
  std::unique_ptr<AudioEncoderTransform> inner_;
};

class FactoryActivate final : public TransformActivate {
 public:
  explicit FactoryActivate(ScopedAudioEncoderOverride::Factory factory) : factory_(std::move(factory)) {}

  HRESULT ActivateObject(std::unique_ptr<AudioEncoderTransform>& out) override {
    out.reset();
    if (HRESULT hr = FaultCheck("ActivateObject"); Failed(hr)) return hr;
    auto transform = factory_ ? factory_() : nullptr;
    if (!transform) return E_NOINTERFACE;
    out = std::make_unique<FaultPointTransform>(std::move(transform));
    return S_OK;
  }

 private:
  ScopedAudioEncoderOverride::Factory factory_;
};

std::mutex g_overrideMutex;
ScopedAudioEncoderOverride* g_override = nullptr;

}  // namespace

ScopedAudioEncoderOverride::ScopedAudioEncoderOverride(std::vector<Factory> encoders, Mode mode)
    : encoders_(std::move(encoders)), mode_(mode) {
  std::lock_guard lock(g_overrideMutex);
  previous_ = g_override;
  g_override = this;
}

ScopedAudioEncoderOverride::~ScopedAudioEncoderOverride() {
  std::lock_guard lock(g_overrideMutex);
  g_override = previous_;
}

HRESULT EnumAudioEncoders(uint32_t flags, const TypeFilter& input, const TypeFilter& output,
                          std::vector<std::unique_ptr<TransformActivate>>& out) {
  out.clear();
  if (HRESULT hr = FaultCheck("MFTEnumEx"); Failed(hr)) return hr;

  std::vector<ScopedAudioEncoderOverride::Factory> factories;
  bool builtIns = true;
  {
    std::lock_guard lock(g_overrideMutex);
    if (g_override) {
      factories = g_override->encoders();
      builtIns = g_override->mode() == ScopedAudioEncoderOverride::Mode::Prepend;
    }
  }
  // The built-in encoder is a synchronous, local transform from 16-bit PCM
  // (or anything, for a null subtype) to AAC.
  const bool pcmIn = input.major == MajorType::Audio &&
                     (input.subtype == AudioSubtype::Pcm || input.subtype == AudioSubtype::Null);
  const bool aacOut = output.major == MajorType::Audio &&
                      (output.subtype == AudioSubtype::Aac || output.subtype == AudioSubtype::Null);
  if (builtIns && (flags & kMftEnumSyncMft) && pcmIn && aacOut && LibavAacEncoderAvailable())
    factories.emplace_back(&CreateLibavAacTransform);

  for (auto& f : factories) out.push_back(std::make_unique<FactoryActivate>(std::move(f)));
  return S_OK;
}

}  // namespace ovix::platform
