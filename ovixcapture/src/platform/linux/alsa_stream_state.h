// The state both ALSA stream cores share, with the accessors and state rules
// that read it alike, and the AudioClient that forwards to a core.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/audio_client.h"

namespace ovix::platform::alsa {

// A stream core's common state, all of it under mutex_; every member named
// *Locked is called with mutex_ held.
class StreamState {
 public:
  HRESULT SetEventHandle(std::shared_ptr<WaitEvent> event) {
    std::lock_guard lock(mutex_);
    if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
    if (!event) return E_INVALIDARG;
    event_ = std::move(event);
    return S_OK;
  }

  HRESULT GetBufferSize(uint32_t& frames) {
    std::lock_guard lock(mutex_);
    frames = initialized_ ? bufferFrames_ : 0;
    return initialized_ ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
  }

  bool IsInitialized() {
    std::lock_guard lock(mutex_);
    return initialized_;
  }

 protected:
  explicit StreamState(std::string name) : name_(std::move(name)) {}
  ~StreamState() = default;
  StreamState(const StreamState&) = delete;
  StreamState& operator=(const StreamState&) = delete;

  // Start's rules: initialised, not failed, stopped, and an event set where
  // one is asked for.
  HRESULT CanStartLocked() const {
    if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
    if (Failed(failure_)) return failure_;
    if (running_) return AUDCLNT_E_NOT_STOPPED;
    if ((streamFlags_ & kStreamFlagsEventCallback) && !event_) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
    return S_OK;
  }

  // Stop's rules: S_FALSE where the stream is not running.
  HRESULT CanStopLocked() const {
    if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
    return running_ ? S_OK : S_FALSE;
  }

  // Reset's rules: initialised and stopped.
  HRESULT CanResetLocked() const {
    if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
    return running_ ? AUDCLNT_E_NOT_STOPPED : S_OK;
  }

  const std::string name_;
  std::mutex mutex_;

  // Under mutex_.
  bool initialized_ = false;
  bool running_ = false;
  HRESULT failure_ = S_OK;  // the stream is dead with this result
  uint32_t streamFlags_ = 0;
  uint32_t bufferFrames_ = 0;
  std::shared_ptr<WaitEvent> event_;
};

// The AudioClient over a shared core: the calls both directions forward
// alike. The direction's own service getters are the derived stream's.
template <class Core>
class CoreStream : public AudioClient {
 public:
  HRESULT GetMixFormat(WaveFormat& out) override { return core_->GetMixFormat(out); }
  HRESULT Initialize(uint32_t shareMode, uint32_t streamFlags, int64_t bufferDuration, int64_t /*periodicity*/,
                     const WaveFormat& format) override {
    return core_->Initialize(shareMode, streamFlags, bufferDuration, format);
  }
  HRESULT SetEventHandle(std::shared_ptr<WaitEvent> event) override { return core_->SetEventHandle(std::move(event)); }
  HRESULT GetBufferSize(uint32_t& frames) override { return core_->GetBufferSize(frames); }
  HRESULT GetCurrentPadding(uint32_t& frames) override { return core_->GetCurrentPadding(frames); }
  HRESULT Start() override { return core_->Start(); }
  HRESULT Stop() override { return core_->Stop(); }
  HRESULT Reset() override { return core_->Reset(); }

 protected:
  explicit CoreStream(std::string name) : core_(std::make_shared<Core>(std::move(name))) {}

  // The service of the other direction: never there, once initialised.
  template <class Service>
  HRESULT NoServiceOf(std::unique_ptr<Service>& out) {
    out.reset();
    return core_->IsInitialized() ? E_NOINTERFACE : AUDCLNT_E_NOT_INITIALIZED;
  }

  // The service of this direction, on the shared core, once initialised.
  template <class Impl, class Service>
  HRESULT ServiceOf(std::unique_ptr<Service>& out) {
    out.reset();
    if (!core_->IsInitialized()) return AUDCLNT_E_NOT_INITIALIZED;
    out = std::make_unique<Impl>(core_);
    return S_OK;
  }

  const std::shared_ptr<Core> core_;
};

}  // namespace ovix::platform::alsa
