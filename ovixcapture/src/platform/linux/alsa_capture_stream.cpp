#include "platform/linux/alsa_capture_stream.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/linux/alsa_errors.h"
#include "platform/linux/alsa_pcm.h"
#include "platform/linux/alsa_stream_params.h"
#include "platform/linux/alsa_stream_state.h"
#include "platform/thread_start.h"

namespace ovix::platform::alsa {
namespace {

// How long the reader waits for the device before it looks for a stop.
constexpr int kPollMs = 50;
// The buffer holds at least two periods.
constexpr unsigned kMinBufferMicroseconds = 2 * kPeriodMicroseconds;

struct Packet {
  std::vector<uint8_t> data;
  uint32_t frames = 0;
  uint32_t flags = 0;
  uint64_t position = 0;
  uint64_t qpc = 0;
};

// Hardware and software parameters of a capture stream in the mix format.
int Configure(snd_pcm_t* pcm, const WaveFormat& mix, int64_t bufferDuration, snd_pcm_uframes_t& bufferFrames,
              snd_pcm_uframes_t& periodFrames) {
  const std::optional<snd_pcm_format_t> format = AlsaFormatOf(mix);
  if (!format) return -EINVAL;
  HwParams hw;
  if (int err = AllocHwParams(hw); err < 0) return err;
  if (int err = snd_pcm_hw_params_any(pcm, hw.get()); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED); err < 0) return err;
  snd_pcm_hw_params_set_rate_resample(pcm, hw.get(), 0);
  if (int err = snd_pcm_hw_params_set_format(pcm, hw.get(), *format); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_channels(pcm, hw.get(), mix.channels); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_rate(pcm, hw.get(), mix.samplesPerSec, 0); err < 0) return err;
  unsigned bufferUs = MicrosecondsOf(bufferDuration, kMinBufferMicroseconds);
  unsigned periodUs = kPeriodMicroseconds;
  int dir = 0;
  if (int err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw.get(), &bufferUs, &dir); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_period_time_near(pcm, hw.get(), &periodUs, &dir); err < 0) return err;
  if (int err = snd_pcm_hw_params(pcm, hw.get()); err < 0) return err;
  if (int err = snd_pcm_hw_params_get_buffer_size(hw.get(), &bufferFrames); err < 0) return err;
  if (int err = snd_pcm_hw_params_get_period_size(hw.get(), &periodFrames, &dir); err < 0) return err;
  if (periodFrames == 0 || periodFrames > bufferFrames) return -EINVAL;

  SwParams sw;
  if (int err = AllocSwParams(sw); err < 0) return err;
  if (int err = snd_pcm_sw_params_current(pcm, sw.get()); err < 0) return err;
  if (int err = snd_pcm_sw_params_set_avail_min(pcm, sw.get(), periodFrames); err < 0) return err;
  return snd_pcm_sw_params(pcm, sw.get());
}

// The stream's state, shared by the stream and its capture service. Control
// calls (initialise, start, stop, reset) are serialised by control_ and take
// mutex_ for the state; the reader thread takes mutex_ only, and owns the PCM
// while it runs.
class CaptureCore final : public StreamState {
 public:
  explicit CaptureCore(std::string name) : StreamState(std::move(name)) {}
  ~CaptureCore() { Halt(); }

  HRESULT GetMixFormat(WaveFormat& out) {
    std::lock_guard control(control_);
    std::lock_guard lock(mutex_);
    if (HRESULT hr = EnsureMixLocked(nullptr); Failed(hr)) return hr;
    out = *mix_;
    return S_OK;
  }

  HRESULT Initialize(uint32_t shareMode, uint32_t streamFlags, int64_t bufferDuration, const WaveFormat& format) {
    std::lock_guard control(control_);
    std::lock_guard lock(mutex_);
    if (initialized_) return AUDCLNT_E_ALREADY_INITIALIZED;
    if (shareMode != kShareModeShared) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    PcmHandle pcm;
    if (int err = OpenPcm(name_, SND_PCM_STREAM_CAPTURE, pcm); err < 0) return HrFromAlsa(err);
    if (HRESULT hr = EnsureMixLocked(pcm.get()); Failed(hr)) return hr;
    if (!SameLayout(format, *mix_)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    snd_pcm_uframes_t buffer = 0, period = 0;
    if (int err = Configure(pcm.get(), *mix_, bufferDuration, buffer, period); err < 0) return HrFromAlsaFormat(err);
    pcm_ = std::move(pcm);
    bufferFrames_ = static_cast<uint32_t>(buffer);
    periodFrames_ = static_cast<uint32_t>(period);
    streamFlags_ = streamFlags;
    initialized_ = true;
    return S_OK;
  }

  HRESULT GetCurrentPadding(uint32_t& frames) {
    std::lock_guard lock(mutex_);
    frames = 0;
    if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
    if (Failed(failure_)) return failure_;
    frames = queuedFrames_;
    return S_OK;
  }

  HRESULT Start() {
    std::lock_guard control(control_);
    std::lock_guard lock(mutex_);
    if (HRESULT hr = CanStartLocked(); hr != S_OK) return hr;
    snd_pcm_t* pcm = pcm_.get();
    if (snd_pcm_state(pcm) != SND_PCM_STATE_PREPARED) {
      if (int err = snd_pcm_prepare(pcm); err < 0) return HrFromAlsa(err);
    }
    if (int err = snd_pcm_start(pcm); err < 0) return HrFromAlsa(err);
    stopping_ = false;
    if (int err = StartThread(reader_, [this] { ReadLoop(); }); err != 0) {
      snd_pcm_drop(pcm);
      return HrFromErrno(err);
    }
    running_ = true;
    return S_OK;
  }

  HRESULT Stop() {
    std::lock_guard control(control_);
    {
      std::lock_guard lock(mutex_);
      if (HRESULT hr = CanStopLocked(); hr != S_OK) return hr;
    }
    StopReaderLocked();
    return S_OK;
  }

  HRESULT Reset() {
    std::lock_guard control(control_);
    std::lock_guard lock(mutex_);
    if (HRESULT hr = CanResetLocked(); hr != S_OK) return hr;
    // A packet the client holds stays valid until it releases it.
    queue_.clear();
    queuedFrames_ = 0;
    return S_OK;
  }

  // Stops the reader, if any; the stream that owns the core goes.
  void Halt() {
    std::lock_guard control(control_);
    StopReaderLocked();
  }

  HRESULT GetNextPacketSize(uint32_t& frames) {
    std::lock_guard lock(mutex_);
    frames = 0;
    if (Failed(failure_)) return failure_;
    if (!queue_.empty()) frames = queue_.front().frames;
    return S_OK;
  }

  HRESULT GetBuffer(uint8_t*& data, uint32_t& frames, uint32_t& flags, uint64_t* devicePosition,
                    uint64_t* qpcPosition) {
    data = nullptr;
    frames = 0;
    flags = 0;
    std::lock_guard lock(mutex_);
    if (Failed(failure_)) return failure_;
    if (held_) return AUDCLNT_E_OUT_OF_ORDER;
    if (queue_.empty()) return AUDCLNT_S_BUFFER_EMPTY;
    held_ = std::move(queue_.front());
    queue_.pop_front();
    queuedFrames_ -= held_->frames;
    data = held_->data.data();
    frames = held_->frames;
    flags = held_->flags;
    if (devicePosition) *devicePosition = held_->position;
    if (qpcPosition) *qpcPosition = held_->qpc;
    return S_OK;
  }

  HRESULT ReleaseBuffer(uint32_t frames) {
    {
      std::lock_guard lock(mutex_);
      if (!held_) return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
      if (frames == 0) {  // not consumed: the next GetBuffer hands it out again
        queuedFrames_ += held_->frames;
        queue_.push_front(std::move(*held_));
      } else if (frames != held_->frames) {
        return AUDCLNT_E_INVALID_SIZE;
      }
      held_.reset();
    }
    room_.notify_all();
    return S_OK;
  }

 private:
  // The mix format, probed once: a device in use by this stream may refuse a
  // second open. pcm: an open handle to probe on, or null to open one.
  HRESULT EnsureMixLocked(snd_pcm_t* pcm) {
    if (mix_) return S_OK;
    PcmHandle probe;
    if (!pcm) {
      if (int err = OpenPcm(name_, SND_PCM_STREAM_CAPTURE, probe); err < 0) return HrFromAlsa(err);
      pcm = probe.get();
    }
    WaveFormat mix;
    if (int err = ProbeMixFormat(pcm, mix); err < 0) return HrFromAlsaFormat(err);
    mix_ = mix;
    return S_OK;
  }

  // Under control_, not mutex_ (the reader needs it to finish).
  void StopReaderLocked() {
    std::thread reader;
    {
      std::lock_guard lock(mutex_);
      if (!running_) return;
      running_ = false;
      stopping_ = true;
      reader = std::move(reader_);
    }
    room_.notify_all();
    if (reader.joinable()) reader.join();
    // What was read stays queued; the device stops and forgets the rest.
    snd_pcm_drop(pcm_.get());
  }

  void Fail(int err) {
    std::shared_ptr<WaitEvent> event;
    {
      std::lock_guard lock(mutex_);
      failure_ = HrFromAlsa(err);  // a device that went away invalidates the stream
      event = event_;
    }
    if (event) event->Set();  // the consumer learns of it at its next call
  }

  // One period at a time into the queue, which holds at most one buffer:
  // when full, the reader waits for the consumer, so a device that produces
  // faster than real time is paced by it and loses nothing. A real device
  // overruns meanwhile; the packet after the gap carries the discontinuity.
  void ReadLoop() {
    snd_pcm_t* pcm;
    uint32_t period, capacity, block, rate, samples;
    snd_pcm_format_t format;
    {
      std::lock_guard lock(mutex_);
      pcm = pcm_.get();
      period = periodFrames_;
      capacity = bufferFrames_;
      block = mix_->blockAlign;
      rate = std::max<uint32_t>(mix_->samplesPerSec, 1);
      format = AlsaFormatOf(*mix_).value_or(SND_PCM_FORMAT_S16_LE);
      samples = period * mix_->channels;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(period) * block);
    bool gap = false;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] {
          return stopping_ || queuedFrames_ + (held_ ? held_->frames : 0) + period <= capacity;
        });
        if (stopping_) return;
      }
      // Some plugins leave part of a period unwritten (a file past its end):
      // that part reads as silence, not as the previous period.
      snd_pcm_format_set_silence(format, buffer.data(), samples);
      const int ready = snd_pcm_wait(pcm, kPollMs);
      const snd_pcm_sframes_t n = ready < 0 ? ready : ready == 0 ? -EAGAIN : snd_pcm_readi(pcm, buffer.data(), period);
      if (n == 0) continue;
      if (n < 0) {
        const int err = static_cast<int>(n);
        switch (ClassifyTransferError(err)) {
          case TransferFault::Retry:
            continue;
          case TransferFault::Recover: {
            int r = snd_pcm_recover(pcm, err, 1);
            if (r >= 0 && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) r = snd_pcm_start(pcm);
            if (r < 0) {
              Fail(r);
              return;
            }
            gap = true;
            continue;
          }
          case TransferFault::Invalidated:
          case TransferFault::Failed:
            Fail(err);
            return;
        }
      }
      const auto frames = static_cast<uint32_t>(n);
      Packet p;
      p.data.assign(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(frames) * block);
      p.frames = frames;
      p.flags = gap ? kBufferFlagsDataDiscontinuity : 0u;
      // The first frame's time: now, less the packet's duration.
      p.qpc = NowHns() - static_cast<uint64_t>(frames) * 10'000'000u / rate;
      gap = false;
      std::shared_ptr<WaitEvent> event;
      {
        std::lock_guard lock(mutex_);
        p.position = position_;
        position_ += frames;
        queuedFrames_ += frames;
        queue_.push_back(std::move(p));
        event = event_;
      }
      if (event) event->Set();
    }
  }

  std::mutex control_;
  std::condition_variable room_;

  // Under mutex_.
  std::optional<WaveFormat> mix_;
  bool stopping_ = false;
  uint32_t periodFrames_ = 0;
  std::deque<Packet> queue_;
  uint32_t queuedFrames_ = 0;
  uint64_t position_ = 0;
  std::optional<Packet> held_;
  std::thread reader_;
  PcmHandle pcm_;  // the reader's alone while it runs
};

class CaptureService final : public AudioCaptureClient {
 public:
  explicit CaptureService(std::shared_ptr<CaptureCore> core) : core_(std::move(core)) {}
  HRESULT GetNextPacketSize(uint32_t& frames) override { return core_->GetNextPacketSize(frames); }
  HRESULT GetBuffer(uint8_t*& data, uint32_t& frames, uint32_t& flags, uint64_t* devicePosition,
                    uint64_t* qpcPosition) override {
    return core_->GetBuffer(data, frames, flags, devicePosition, qpcPosition);
  }
  HRESULT ReleaseBuffer(uint32_t frames) override { return core_->ReleaseBuffer(frames); }

 private:
  std::shared_ptr<CaptureCore> core_;
};

class CaptureStream final : public CoreStream<CaptureCore> {
 public:
  explicit CaptureStream(std::string name) : CoreStream(std::move(name)) {}
  // The reader stops with the stream; a capture service that outlives it
  // still drains what was read.
  ~CaptureStream() override { core_->Halt(); }

  HRESULT GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) override {
    return ServiceOf<CaptureService>(out);
  }
  HRESULT GetRenderClient(std::unique_ptr<AudioRenderClient>& out) override { return NoServiceOf(out); }
};

}  // namespace

std::unique_ptr<AudioClient> MakeCaptureStream(std::string pcmName) {
  return std::make_unique<CaptureStream>(std::move(pcmName));
}

}  // namespace ovix::platform::alsa
