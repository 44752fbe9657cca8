#include "platform/virtual/virtual_audio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>
#include <vector>

#include "platform/fault_points.h"

namespace ovix::virt {
namespace {

using platform::AudioCaptureClient;
using platform::AudioClient;
using platform::AudioRenderClient;
using platform::FaultCheck;
using platform::WaitEvent;
using platform::WaveFormat;
using Clock = std::chrono::steady_clock;

constexpr int64_t kHnsPerSecond = 10'000'000;
// One device period: the shortest shared-mode buffer, and the tone's packet.
constexpr int64_t kDevicePeriod = 100'000;
constexpr auto kTonePeriod = std::chrono::milliseconds(10);

uint32_t FramesIn(int64_t duration, uint32_t rate) {
  const int64_t frames = std::max(duration, kDevicePeriod) * rate / kHnsPerSecond;
  return static_cast<uint32_t>(std::min<int64_t>(frames, UINT32_MAX));
}

bool SameFormat(const WaveFormat& a, const WaveFormat& b) {
  if (a.formatTag != b.formatTag || a.channels != b.channels || a.samplesPerSec != b.samplesPerSec ||
      a.bitsPerSample != b.bitsPerSample || a.blockAlign != b.blockAlign)
    return false;
  return a.formatTag != platform::kWaveFormatExtensible || a.subFormat == b.subFormat;
}

// What the platform's automatic conversion takes on render: plain integer
// PCM of any common layout.
bool ConvertiblePcm(const WaveFormat& f) {
  const uint16_t bits = f.bitsPerSample;
  return f.formatTag == platform::kWaveFormatPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32) &&
         f.channels >= 1 && f.channels <= 8 && f.samplesPerSec >= 1 && f.samplesPerSec <= 384000 &&
         f.blockAlign == f.channels * bits / 8;
}

uint64_t NowHns() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, kHnsPerSecond>>>(
          Clock::now().time_since_epoch())
          .count());
}

// --- the test tone ----------------------------------------------------------

// A linear sweep from 200 Hz to 2000 Hz over 5 s, repeating. Its phase at the
// end of a sweep is 2π · 5 s · 1100 Hz, a whole number of turns, so the
// phase is a function of the position within the sweep and the tone stays
// continuous across repeats.
class SweepTone {
 public:
  explicit SweepTone(const WaveFormat& format) : format_(format), kind_(KindOf(format)) {}

  // frames frames starting at frame index first, every channel alike.
  void Fill(uint64_t first, uint32_t frames, std::vector<uint8_t>& out) const {
    out.assign(static_cast<size_t>(frames) * format_.blockAlign, 0);
    const uint32_t rate = std::max<uint32_t>(format_.samplesPerSec, 1);
    const uint32_t bytes = format_.bitsPerSample / 8;
    if (kind_ == Kind::Unknown || bytes == 0) return;  // a layout the tone cannot write stays silent
    const uint32_t channels = std::min<uint32_t>(format_.channels, format_.blockAlign / bytes);
    const uint64_t sweepFrames = static_cast<uint64_t>(kSweepSeconds * rate);
    for (uint32_t i = 0; i < frames; ++i) {
      const double t = static_cast<double>((first + i) % sweepFrames) / rate;
      const double phase = 2 * std::numbers::pi * (kFrom * t + (kTo - kFrom) * t * t / (2 * kSweepSeconds));
      const double v = kAmplitude * std::sin(phase);
      uint8_t* frame = out.data() + static_cast<size_t>(i) * format_.blockAlign;
      for (uint32_t c = 0; c < channels; ++c) Write(frame + c * bytes, v);
    }
  }

 private:
  enum class Kind { Float32, Float64, U8, S16, S24, S32, Unknown };
  static constexpr double kFrom = 200, kTo = 2000, kSweepSeconds = 5, kAmplitude = 0.5;

  static Kind KindOf(const WaveFormat& f) {
    const bool ext = f.formatTag == platform::kWaveFormatExtensible;
    const bool isFloat = f.formatTag == platform::kWaveFormatIeeeFloat || (ext && f.subFormat == platform::kSubFormatIeeeFloat);
    const bool isPcm = f.formatTag == platform::kWaveFormatPcm || (ext && f.subFormat == platform::kSubFormatPcm);
    if (isFloat) return f.bitsPerSample == 32 ? Kind::Float32 : f.bitsPerSample == 64 ? Kind::Float64 : Kind::Unknown;
    if (!isPcm) return Kind::Unknown;
    switch (f.bitsPerSample) {
      case 8: return Kind::U8;
      case 16: return Kind::S16;
      case 24: return Kind::S24;
      case 32: return Kind::S32;
      default: return Kind::Unknown;
    }
  }

  void Write(uint8_t* p, double v) const {
    switch (kind_) {
      case Kind::Float32: {
        const float f = static_cast<float>(v);
        std::memcpy(p, &f, sizeof f);
        break;
      }
      case Kind::Float64: std::memcpy(p, &v, sizeof v); break;
      case Kind::U8: p[0] = static_cast<uint8_t>(128 + std::lround(v * 127)); break;
      case Kind::S16: {
        const auto s = static_cast<int16_t>(std::lround(v * 32767));
        std::memcpy(p, &s, sizeof s);
        break;
      }
      case Kind::S24: {
        const auto s = static_cast<int32_t>(std::lround(v * 8388607));
        p[0] = static_cast<uint8_t>(s);
        p[1] = static_cast<uint8_t>(s >> 8);
        p[2] = static_cast<uint8_t>(s >> 16);
        break;
      }
      case Kind::S32: {
        const auto s = static_cast<int32_t>(std::llround(v * 2147483647.0));
        std::memcpy(p, &s, sizeof s);
        break;
      }
      case Kind::Unknown: break;
    }
  }

  WaveFormat format_;
  Kind kind_;
};

// --- endpoint state ---------------------------------------------------------

class CaptureStream;
class RenderStream;

// What the streams of one endpoint id share. Lock order: a stream's mutex,
// then its endpoint's; this mutex is a leaf.
struct EndpointState {
  std::mutex mutex;
  std::condition_variable captureStarted;
  uint64_t lastSerial = 0;  // streams number themselves at Initialize
  // Capture: initialised streams, oldest first; whether the newest started.
  std::vector<std::weak_ptr<CaptureStream>> captures;
  uint64_t newestCapture = 0;
  bool newestCaptureStarted = false;
  // Render.
  std::vector<std::weak_ptr<RenderStream>> renders;
  uint64_t newestRender = 0;
  RenderedAudio rendered;
  bool paddingSet = false;  // SetRenderPadding overrides the endpoint's own padding
  std::optional<uint32_t> padding;
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<EndpointState>, std::less<>> byId;
};

Registry& Reg() {
  static Registry registry;
  return registry;
}

std::shared_ptr<EndpointState> StateOf(const std::string& id, bool create) {
  std::lock_guard lock(Reg().mutex);
  auto it = Reg().byId.find(id);
  if (it != Reg().byId.end()) return it->second;
  if (!create) return nullptr;
  return Reg().byId.emplace(id, std::make_shared<EndpointState>()).first->second;
}

// Drops the expired entries; locks nothing (the caller holds the endpoint).
template <class T>
void Prune(std::vector<std::weak_ptr<T>>& v) {
  std::erase_if(v, [](const std::weak_ptr<T>& w) { return w.expired(); });
}

// --- the stream state both directions share ---------------------------------

// The endpoint, the lock and the state rules common to the capture and the
// render stream; every member named *Locked is called under mutex_.
class VirtualStreamBase : public AudioClient {
 public:
  HRESULT GetMixFormat(WaveFormat& out) override {
    if (HRESULT hr = FaultCheck("GetMixFormat"); Failed(hr)) return hr;
    out = endpointDef_.mixFormat;
    return S_OK;
  }

  HRESULT SetEventHandle(std::shared_ptr<WaitEvent> event) override {
    if (HRESULT hr = FaultCheck("SetEventHandle"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
    if (!event) return E_INVALIDARG;
    event_ = std::move(event);
    return S_OK;
  }

  HRESULT GetBufferSize(uint32_t& frames) override {
    frames = 0;
    if (HRESULT hr = FaultCheck("GetBufferSize"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
    frames = bufferFrames_;
    return S_OK;
  }

  HRESULT GetCurrentPadding(uint32_t& frames) override {
    frames = 0;
    if (HRESULT hr = FaultCheck("GetCurrentPadding"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
    frames = PaddingLocked();
    return S_OK;
  }

 protected:
  VirtualStreamBase(EndpointSpec def, std::shared_ptr<EndpointState> endpoint)
      : endpointDef_(std::move(def)), endpoint_(std::move(endpoint)) {}
  ~VirtualStreamBase() override = default;

  virtual uint32_t PaddingLocked() = 0;

  // The service of the other direction: never there, once initialised.
  template <class Service>
  HRESULT NoServiceOf(std::unique_ptr<Service>& out) {
    out.reset();
    if (HRESULT hr = FaultCheck("GetService"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    return initialized_ ? E_NOINTERFACE : platform::AUDCLNT_E_NOT_INITIALIZED;
  }

  // Start's rules: initialised, stopped, and an event set where one is asked for.
  HRESULT CanStartLocked() const {
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
    if (running_) return platform::AUDCLNT_E_NOT_STOPPED;
    if ((streamFlags_ & platform::kStreamFlagsEventCallback) && !event_) return platform::AUDCLNT_E_EVENTHANDLE_NOT_SET;
    return S_OK;
  }

  // Stop's rules: S_FALSE where the stream is not running.
  HRESULT CanStopLocked() const {
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
    return running_ ? S_OK : S_FALSE;
  }

  // Reset's rules: initialised and stopped.
  HRESULT CanResetLocked() const {
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
    return running_ ? platform::AUDCLNT_E_NOT_STOPPED : S_OK;
  }

  const EndpointSpec endpointDef_;
  const std::shared_ptr<EndpointState> endpoint_;

  std::mutex mutex_;
  bool initialized_ = false;
  bool running_ = false;
  uint32_t streamFlags_ = 0;
  uint32_t bufferFrames_ = 0;
  uint64_t serial_ = 0;
  std::shared_ptr<WaitEvent> event_;
};

// --- the capture stream -----------------------------------------------------

class CaptureStream final : public VirtualStreamBase, public std::enable_shared_from_this<CaptureStream> {
 public:
  CaptureStream(EndpointSpec def, std::shared_ptr<EndpointState> endpoint)
      : VirtualStreamBase(std::move(def), std::move(endpoint)) {}
  ~CaptureStream() override { Halt(); }

  HRESULT Initialize(uint32_t shareMode, uint32_t streamFlags, int64_t bufferDuration, int64_t /*periodicity*/,
                     const WaveFormat& format) override {
    if (HRESULT hr = FaultCheck("Initialize"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (initialized_) return platform::AUDCLNT_E_ALREADY_INITIALIZED;
    if (shareMode != platform::kShareModeShared || !SameFormat(format, endpointDef_.mixFormat))
      return platform::AUDCLNT_E_UNSUPPORTED_FORMAT;
    initialized_ = true;
    streamFlags_ = streamFlags;
    bufferFrames_ = FramesIn(bufferDuration, format.samplesPerSec);
    std::lock_guard ep(endpoint_->mutex);
    Prune(endpoint_->captures);
    endpoint_->captures.push_back(weak_from_this());
    serial_ = ++endpoint_->lastSerial;
    endpoint_->newestCapture = serial_;
    endpoint_->newestCaptureStarted = false;
    return S_OK;
  }

  HRESULT GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) override;

  HRESULT GetRenderClient(std::unique_ptr<AudioRenderClient>& out) override { return NoServiceOf(out); }

  HRESULT Start() override {
    if (HRESULT hr = FaultCheck("AudioClientStart"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (HRESULT hr = CanStartLocked(); hr != S_OK) return hr;
    if (endpointDef_.realTime) {
      const uint64_t generation = ++generation_;
      try {
        tone_ = std::thread(&CaptureStream::ToneLoop, this, generation);
      } catch (...) {
        return E_OUTOFMEMORY;
      }
    }
    running_ = true;
    {
      std::lock_guard ep(endpoint_->mutex);
      if (endpoint_->newestCapture == serial_) endpoint_->newestCaptureStarted = true;
    }
    endpoint_->captureStarted.notify_all();
    return S_OK;
  }

  HRESULT Stop() override {
    if (HRESULT hr = FaultCheck("AudioClientStop"); Failed(hr)) return hr;
    {
      std::lock_guard lock(mutex_);
      if (HRESULT hr = CanStopLocked(); hr != S_OK) return hr;
    }
    Halt();
    return S_OK;
  }

  HRESULT Reset() override {
    if (HRESULT hr = FaultCheck("AudioClientReset"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (HRESULT hr = CanResetLocked(); hr != S_OK) return hr;
    // A packet the client holds stays valid until it releases it.
    queue_.clear();
    queuedFrames_ = 0;
    return S_OK;
  }

  // Stops streaming and joins the tone thread; joined outside the lock, which
  // the thread needs to finish its packet.
  void Halt() {
    std::thread tone;
    uint64_t serial = 0;
    {
      std::lock_guard lock(mutex_);
      running_ = false;
      ++generation_;
      tone = std::move(tone_);
      serial = serial_;
    }
    if (serial != 0) {  // a stopped or gone stream no longer counts as started
      std::lock_guard ep(endpoint_->mutex);
      if (endpoint_->newestCapture == serial) endpoint_->newestCaptureStarted = false;
    }
    wake_.notify_all();
    if (tone.joinable()) tone.join();
  }

  // The control side's packets.
  HRESULT Push(const void* data, uint32_t frames, uint32_t flags) {
    std::shared_ptr<WaitEvent> event;
    {
      std::lock_guard lock(mutex_);
      if (!initialized_) return E_UNEXPECTED;
      Packet p{{}, data != nullptr, frames, flags};
      if (data) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        p.data.assign(bytes, bytes + static_cast<size_t>(frames) * endpointDef_.mixFormat.blockAlign);
      }
      EnqueueLocked(std::move(p));
      event = event_;
    }
    if (event) event->Set();
    return S_OK;
  }

  size_t Pending() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

  // The capture service.
  HRESULT GetNextPacketSize(uint32_t& frames) {
    frames = 0;
    if (HRESULT hr = FaultCheck("GetNextPacketSize"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
    if (!queue_.empty()) frames = queue_.front().frames;
    return S_OK;
  }

  HRESULT GetBuffer(uint8_t*& data, uint32_t& frames, uint32_t& flags, uint64_t* devicePosition,
                    uint64_t* qpcPosition) {
    data = nullptr;
    frames = 0;
    flags = 0;
    if (HRESULT hr = FaultCheck("CaptureGetBuffer"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
    if (held_) return platform::AUDCLNT_E_OUT_OF_ORDER;
    releasable_ = 0;
    if (queue_.empty()) return platform::AUDCLNT_S_BUFFER_EMPTY;
    Packet p = std::move(queue_.front());
    queue_.pop_front();
    queuedFrames_ -= p.frames;
    frames = p.frames;
    flags = p.flags;
    if (devicePosition) *devicePosition = p.position;
    if (qpcPosition) *qpcPosition = p.qpc;
    if (p.hasData) {
      held_ = std::move(p);
      data = held_->data.data();
    } else {
      releasable_ = frames;  // nothing to hold: already consumed
    }
    return S_OK;
  }

  HRESULT ReleaseBuffer(uint32_t frames) {
    if (HRESULT hr = FaultCheck("CaptureReleaseBuffer"); Failed(hr)) {
      // The device lost the packet: it is gone, and the stream goes on.
      std::lock_guard lock(mutex_);
      held_.reset();
      return hr;
    }
    std::lock_guard lock(mutex_);
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
    if (held_) {
      if (frames == 0) {  // not consumed: the next GetBuffer hands it out again
        queuedFrames_ += held_->frames;
        queue_.push_front(std::move(*held_));
      } else if (frames != held_->frames) {
        return platform::AUDCLNT_E_INVALID_SIZE;
      }
      held_.reset();
      return S_OK;
    }
    if (releasable_ > 0) {
      if (frames != 0 && frames != releasable_) return platform::AUDCLNT_E_INVALID_SIZE;
      releasable_ = 0;
      return S_OK;
    }
    return frames == 0 ? S_OK : platform::AUDCLNT_E_OUT_OF_ORDER;
  }

 private:
  struct Packet {
    std::vector<uint8_t> data;
    bool hasData = false;
    uint32_t frames = 0;
    uint32_t flags = 0;
    uint64_t position = 0;
    uint64_t qpc = 0;
  };

  uint32_t PaddingLocked() override { return static_cast<uint32_t>(std::min<uint64_t>(queuedFrames_, UINT32_MAX)); }

  void EnqueueLocked(Packet p) {
    p.position = nextPosition_;
    p.qpc = NowHns();
    nextPosition_ += p.frames;
    queuedFrames_ += p.frames;
    queue_.push_back(std::move(p));
  }

  // One 10 ms packet per period on absolute deadlines. The queue holds at
  // most one stream buffer: a client that falls behind loses the oldest
  // packets, and the packet after the gap carries the discontinuity flag.
  void ToneLoop(uint64_t generation) {
    WaveFormat format;
    uint32_t bufferFrames;
    {
      std::lock_guard lock(mutex_);
      format = endpointDef_.mixFormat;
      bufferFrames = bufferFrames_;
    }
    const SweepTone tone(format);
    const uint32_t frames = std::max<uint32_t>(format.samplesPerSec / 100, 1);
    Clock::time_point deadline = Clock::now() + kTonePeriod;
    std::vector<uint8_t> bytes;
    for (;;) {
      uint64_t first;
      {
        std::unique_lock lock(mutex_);
        if (wake_.wait_until(lock, deadline, [&] { return generation_ != generation; })) return;
        first = tonePosition_;
        tonePosition_ += frames;
      }
      tone.Fill(first, frames, bytes);
      std::shared_ptr<WaitEvent> event;
      {
        std::lock_guard lock(mutex_);
        if (generation_ != generation) return;
        bool dropped = false;
        while (!queue_.empty() && queuedFrames_ + frames > bufferFrames) {
          queuedFrames_ -= queue_.front().frames;
          queue_.pop_front();
          dropped = true;
        }
        EnqueueLocked(Packet{bytes, true, frames, dropped ? platform::kBufferFlagsDataDiscontinuity : 0u});
        event = event_;
      }
      if (event) event->Set();
      deadline += kTonePeriod;
      // Far behind (a stalled machine): resume from now instead of a burst.
      if (const auto now = Clock::now(); now > deadline + 2 * kTonePeriod) deadline = now;
    }
  }

  std::condition_variable wake_;  // the tone thread's stop
  std::deque<Packet> queue_;
  uint64_t queuedFrames_ = 0;
  uint64_t nextPosition_ = 0;
  std::optional<Packet> held_;
  uint32_t releasable_ = 0;  // a data-less packet handed out, its release optional
  uint64_t generation_ = 0;  // bumped on every start and stop; a tone thread runs for one value
  uint64_t tonePosition_ = 0;
  std::thread tone_;
};

class CaptureService final : public AudioCaptureClient {
 public:
  explicit CaptureService(std::shared_ptr<CaptureStream> stream) : stream_(std::move(stream)) {}
  HRESULT GetNextPacketSize(uint32_t& frames) override { return stream_->GetNextPacketSize(frames); }
  HRESULT GetBuffer(uint8_t*& data, uint32_t& frames, uint32_t& flags, uint64_t* devicePosition,
                    uint64_t* qpcPosition) override {
    return stream_->GetBuffer(data, frames, flags, devicePosition, qpcPosition);
  }
  HRESULT ReleaseBuffer(uint32_t frames) override { return stream_->ReleaseBuffer(frames); }

 private:
  std::shared_ptr<CaptureStream> stream_;
};

HRESULT CaptureStream::GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("GetService"); Failed(hr)) return hr;
  {
    std::lock_guard lock(mutex_);
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
  }
  out = std::make_unique<CaptureService>(shared_from_this());
  return S_OK;
}

// --- the render stream ------------------------------------------------------

class RenderStream final : public VirtualStreamBase, public std::enable_shared_from_this<RenderStream> {
 public:
  RenderStream(EndpointSpec def, std::shared_ptr<EndpointState> endpoint)
      : VirtualStreamBase(std::move(def), std::move(endpoint)) {}

  ~RenderStream() override {
    if (!initialized_) return;  // the last owner: nothing else reads these now
    std::lock_guard ep(endpoint_->mutex);
    --endpoint_->rendered.openStreams;
    if (endpoint_->newestRender == serial_) endpoint_->rendered.running = false;
  }

  HRESULT Initialize(uint32_t shareMode, uint32_t streamFlags, int64_t bufferDuration, int64_t /*periodicity*/,
                     const WaveFormat& format) override {
    if (HRESULT hr = FaultCheck("Initialize"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (initialized_) return platform::AUDCLNT_E_ALREADY_INITIALIZED;
    const bool accepted = SameFormat(format, endpointDef_.mixFormat) ||
                          ((streamFlags & platform::kStreamFlagsAutoConvertPcm) && ConvertiblePcm(format));
    if (shareMode != platform::kShareModeShared || !accepted) return platform::AUDCLNT_E_UNSUPPORTED_FORMAT;
    initialized_ = true;
    streamFlags_ = streamFlags;
    format_ = format;
    bufferFrames_ = endpointDef_.bufferFrames ? endpointDef_.bufferFrames : FramesIn(bufferDuration, format.samplesPerSec);
    std::lock_guard ep(endpoint_->mutex);
    Prune(endpoint_->renders);
    endpoint_->renders.push_back(weak_from_this());
    serial_ = ++endpoint_->lastSerial;
    endpoint_->newestRender = serial_;
    endpoint_->rendered.initialized.push_back(format);
    ++endpoint_->rendered.openStreams;
    endpoint_->rendered.running = false;
    return S_OK;
  }

  HRESULT GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) override { return NoServiceOf(out); }

  HRESULT GetRenderClient(std::unique_ptr<AudioRenderClient>& out) override;

  HRESULT Start() override {
    if (HRESULT hr = FaultCheck("AudioClientStart"); Failed(hr)) return hr;
    std::shared_ptr<WaitEvent> event;
    {
      std::lock_guard lock(mutex_);
      if (HRESULT hr = CanStartLocked(); hr != S_OK) return hr;
      running_ = true;
      std::lock_guard ep(endpoint_->mutex);
      ++endpoint_->rendered.starts;
      if (endpoint_->newestRender == serial_) endpoint_->rendered.running = true;
      event = event_;
    }
    if (event) event->Set();  // the buffer has room from the start
    return S_OK;
  }

  HRESULT Stop() override {
    if (HRESULT hr = FaultCheck("AudioClientStop"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (HRESULT hr = CanStopLocked(); hr != S_OK) return hr;
    running_ = false;
    std::lock_guard ep(endpoint_->mutex);
    ++endpoint_->rendered.stops;
    if (endpoint_->newestRender == serial_) endpoint_->rendered.running = false;
    return S_OK;
  }

  HRESULT Reset() override {
    if (HRESULT hr = FaultCheck("AudioClientReset"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (HRESULT hr = CanResetLocked(); hr != S_OK) return hr;
    std::lock_guard ep(endpoint_->mutex);
    ++endpoint_->rendered.resets;
    return S_OK;
  }

  // Stopped by the control API's reset: its endpoint state is forgotten, so
  // nothing is counted.
  void Halt() {
    std::lock_guard lock(mutex_);
    running_ = false;
  }

  // The render service.
  HRESULT GetBuffer(uint32_t frames, uint8_t*& data) {
    data = nullptr;
    if (HRESULT hr = FaultCheck("RenderGetBuffer"); Failed(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
    if (requested_) return platform::AUDCLNT_E_OUT_OF_ORDER;
    if (frames > bufferFrames_ - PaddingLocked()) return platform::AUDCLNT_E_BUFFER_TOO_LARGE;
    staging_.resize(static_cast<size_t>(frames) * format_.blockAlign);
    requested_ = frames;
    data = staging_.data();
    return S_OK;
  }

  HRESULT ReleaseBuffer(uint32_t frames, uint32_t flags) {
    if (HRESULT hr = FaultCheck("RenderReleaseBuffer"); Failed(hr)) {
      // The device refused the data: the buffer is given back unplayed.
      std::lock_guard lock(mutex_);
      requested_.reset();
      return hr;
    }
    std::shared_ptr<WaitEvent> event;
    {
      std::lock_guard lock(mutex_);
      if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
      if (!requested_) return frames == 0 ? S_OK : platform::AUDCLNT_E_OUT_OF_ORDER;
      if (frames > *requested_) return platform::AUDCLNT_E_INVALID_SIZE;
      requested_.reset();
      const size_t length = static_cast<size_t>(frames) * format_.blockAlign;
      const bool silent = (flags & platform::kBufferFlagsSilent) != 0;
      std::lock_guard ep(endpoint_->mutex);
      RenderedAudio& r = endpoint_->rendered;
      if (silent) r.bytes.insert(r.bytes.end(), length, uint8_t{0});
      else r.bytes.insert(r.bytes.end(), staging_.begin(), staging_.begin() + static_cast<ptrdiff_t>(length));
      r.frames += frames;
      if (silent) r.silentFrames += frames;
      event = event_;
    }
    if (event) event->Set();  // played at once: room again
    return S_OK;
  }

 private:
  // Under mutex_.
  uint32_t PaddingLocked() override {
    std::optional<uint32_t> padding;
    {
      std::lock_guard ep(endpoint_->mutex);
      padding = endpoint_->paddingSet ? endpoint_->padding : endpointDef_.padding;
    }
    return std::min(padding.value_or(0), bufferFrames_);
  }

  WaveFormat format_;
  std::optional<uint32_t> requested_;  // frames of the buffer handed out, until released
  std::vector<uint8_t> staging_;
};

class RenderService final : public AudioRenderClient {
 public:
  explicit RenderService(std::shared_ptr<RenderStream> stream) : stream_(std::move(stream)) {}
  HRESULT GetBuffer(uint32_t frames, uint8_t*& data) override { return stream_->GetBuffer(frames, data); }
  HRESULT ReleaseBuffer(uint32_t frames, uint32_t flags) override { return stream_->ReleaseBuffer(frames, flags); }

 private:
  std::shared_ptr<RenderStream> stream_;
};

HRESULT RenderStream::GetRenderClient(std::unique_ptr<AudioRenderClient>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("GetService"); Failed(hr)) return hr;
  {
    std::lock_guard lock(mutex_);
    if (!initialized_) return platform::AUDCLNT_E_NOT_INITIALIZED;
  }
  out = std::make_unique<RenderService>(shared_from_this());
  return S_OK;
}

// The stream as its opener holds it; the services share the stream, so the
// two may be released in any order.
class StreamHandle final : public AudioClient {
 public:
  explicit StreamHandle(std::shared_ptr<AudioClient> stream) : s_(std::move(stream)) {}
  HRESULT GetMixFormat(WaveFormat& out) override { return s_->GetMixFormat(out); }
  HRESULT Initialize(uint32_t shareMode, uint32_t streamFlags, int64_t bufferDuration, int64_t periodicity,
                     const WaveFormat& format) override {
    return s_->Initialize(shareMode, streamFlags, bufferDuration, periodicity, format);
  }
  HRESULT SetEventHandle(std::shared_ptr<WaitEvent> event) override { return s_->SetEventHandle(std::move(event)); }
  HRESULT GetBufferSize(uint32_t& frames) override { return s_->GetBufferSize(frames); }
  HRESULT GetCurrentPadding(uint32_t& frames) override { return s_->GetCurrentPadding(frames); }
  HRESULT GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) override { return s_->GetCaptureClient(out); }
  HRESULT GetRenderClient(std::unique_ptr<AudioRenderClient>& out) override { return s_->GetRenderClient(out); }
  HRESULT Start() override { return s_->Start(); }
  HRESULT Stop() override { return s_->Stop(); }
  HRESULT Reset() override { return s_->Reset(); }

 private:
  std::shared_ptr<AudioClient> s_;
};

// The endpoint's newest initialised capture stream that is still alive.
std::shared_ptr<CaptureStream> NewestCapture(const std::string& id) {
  std::shared_ptr<EndpointState> ep = StateOf(id, false);
  if (!ep) return nullptr;
  std::shared_ptr<CaptureStream> stream;
  std::lock_guard lock(ep->mutex);
  for (auto it = ep->captures.rbegin(); it != ep->captures.rend() && !stream; ++it) stream = it->lock();
  return stream;  // released by the caller, after the endpoint's lock
}

}  // namespace

std::unique_ptr<AudioClient> OpenAudioStream(const EndpointSpec& def) {
  std::shared_ptr<EndpointState> ep = StateOf(def.id, true);
  std::shared_ptr<AudioClient> stream;
  if (def.flow == platform::AudioFlow::Capture) stream = std::make_shared<CaptureStream>(def, std::move(ep));
  else stream = std::make_shared<RenderStream>(def, std::move(ep));
  return std::make_unique<StreamHandle>(std::move(stream));
}

void ResetAudio() {
  std::map<std::string, std::shared_ptr<EndpointState>, std::less<>> forgotten;
  {
    std::lock_guard lock(Reg().mutex);
    forgotten.swap(Reg().byId);
  }
  std::vector<std::shared_ptr<CaptureStream>> captures;
  std::vector<std::shared_ptr<RenderStream>> renders;
  for (auto& [id, ep] : forgotten) {
    std::lock_guard lock(ep->mutex);
    for (auto& w : ep->captures)
      if (auto s = w.lock()) captures.push_back(std::move(s));
    for (auto& w : ep->renders)
      if (auto s = w.lock()) renders.push_back(std::move(s));
  }
  // No lock held: halting joins tone threads, and the last reference to a
  // stream may go here, whose destructor takes its endpoint's lock.
  for (auto& s : captures) s->Halt();
  for (auto& s : renders) s->Halt();
}

HRESULT PushCapturePacket(const std::string& endpointId, const void* data, uint32_t frames, uint32_t flags) {
  std::shared_ptr<CaptureStream> stream = NewestCapture(endpointId);
  return stream ? stream->Push(data, frames, flags) : E_UNEXPECTED;
}

bool WaitForCaptureStart(const std::string& endpointId, int timeoutMs) {
  std::shared_ptr<EndpointState> ep = StateOf(endpointId, true);
  std::unique_lock lock(ep->mutex);
  return ep->captureStarted.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                                     [&] { return ep->newestCaptureStarted; });
}

size_t PendingCapturePackets(const std::string& endpointId) {
  std::shared_ptr<CaptureStream> stream = NewestCapture(endpointId);
  return stream ? stream->Pending() : 0;
}

RenderedAudio RenderedOf(const std::string& endpointId) {
  std::shared_ptr<EndpointState> ep = StateOf(endpointId, false);
  if (!ep) return {};
  std::lock_guard lock(ep->mutex);
  return ep->rendered;
}

void SetRenderPadding(const std::string& endpointId, std::optional<uint32_t> padding) {
  std::shared_ptr<EndpointState> ep = StateOf(endpointId, true);
  std::lock_guard lock(ep->mutex);
  ep->paddingSet = true;
  ep->padding = padding;
}

}  // namespace ovix::virt
