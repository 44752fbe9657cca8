#include "platform/linux/alsa_render_stream.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/linux/alsa_errors.h"
#include "platform/linux/alsa_pcm.h"
#include "platform/linux/alsa_stream_params.h"
#include "platform/linux/alsa_stream_state.h"

namespace ovix::platform::alsa {
namespace {

// The buffer when the caller leaves it to the stream.
constexpr unsigned kDefaultBufferMicroseconds = 1'000'000;
constexpr unsigned kMinBufferMicroseconds = 2 * kPeriodMicroseconds;
// Recoveries one release may make before it gives up on the device.
constexpr int kMaxRecoveries = 2;

struct Setup {
  snd_pcm_uframes_t bufferFrames = 0;
  snd_pcm_uframes_t periodFrames = 0;
  bool canPause = false;
};

// Exact format, channels and rate (the plug converts); buffer and period
// near what was asked. Shared-mode behaviour: only Start starts the device
// (so it plays what was buffered before), and it never stops by itself: an
// underrun plays silence instead of stopping the stream.
int Configure(snd_pcm_t* pcm, snd_pcm_format_t format, const WaveFormat& wave, int64_t bufferDuration,
              Setup& out) {
  HwParams hw;
  if (int err = AllocHwParams(hw); err < 0) return err;
  if (int err = snd_pcm_hw_params_any(pcm, hw.get()); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_format(pcm, hw.get(), format); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_channels(pcm, hw.get(), wave.channels); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_rate_resample(pcm, hw.get(), 1); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_rate(pcm, hw.get(), wave.samplesPerSec, 0); err < 0) return err;
  unsigned bufferUs = bufferDuration > 0 ? MicrosecondsOf(bufferDuration, kMinBufferMicroseconds)
                                         : kDefaultBufferMicroseconds;
  unsigned periodUs = kPeriodMicroseconds;
  int dir = 0;
  if (int err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw.get(), &bufferUs, &dir); err < 0) return err;
  if (int err = snd_pcm_hw_params_set_period_time_near(pcm, hw.get(), &periodUs, &dir); err < 0) return err;
  if (int err = snd_pcm_hw_params(pcm, hw.get()); err < 0) return err;
  if (int err = snd_pcm_hw_params_get_buffer_size(hw.get(), &out.bufferFrames); err < 0) return err;
  if (int err = snd_pcm_hw_params_get_period_size(hw.get(), &out.periodFrames, &dir); err < 0) return err;
  out.canPause = snd_pcm_hw_params_can_pause(hw.get()) == 1;

  SwParams sw;
  if (int err = AllocSwParams(sw); err < 0) return err;
  if (int err = snd_pcm_sw_params_current(pcm, sw.get()); err < 0) return err;
  snd_pcm_uframes_t boundary = 0;
  if (int err = snd_pcm_sw_params_get_boundary(sw.get(), &boundary); err < 0) return err;
  if (int err = snd_pcm_sw_params_set_start_threshold(pcm, sw.get(), boundary); err < 0) return err;
  if (int err = snd_pcm_sw_params_set_stop_threshold(pcm, sw.get(), boundary); err < 0) return err;
  // Silence ahead of the application's data, so an underrun replays no stale samples.
  if (int err = snd_pcm_sw_params_set_silence_threshold(pcm, sw.get(), 0); err < 0) return err;
  if (int err = snd_pcm_sw_params_set_silence_size(pcm, sw.get(), boundary); err < 0) return err;
  if (int err = snd_pcm_sw_params_set_avail_min(pcm, sw.get(), out.periodFrames); err < 0) return err;
  return snd_pcm_sw_params(pcm, sw.get());
}

// The stream's state, shared by the stream and its render service; every
// call runs under one mutex (the PCM is non-blocking, so none waits on the
// device).
class RenderCore final : public StreamState {
 public:
  explicit RenderCore(std::string name) : StreamState(std::move(name)) {}

  HRESULT GetMixFormat(WaveFormat& out) {
    std::lock_guard lock(mutex_);
    if (HRESULT hr = EnsureMixLocked(); Failed(hr)) return hr;
    out = *mix_;
    return S_OK;
  }

  HRESULT Initialize(uint32_t shareMode, uint32_t streamFlags, int64_t bufferDuration, const WaveFormat& format) {
    std::lock_guard lock(mutex_);
    if (initialized_) return AUDCLNT_E_ALREADY_INITIALIZED;
    const std::optional<snd_pcm_format_t> alsaFormat = AlsaFormatOf(format);
    if (shareMode != kShareModeShared || !alsaFormat || format.samplesPerSec == 0) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    if (!(streamFlags & kStreamFlagsAutoConvertPcm)) {
      // Without conversion a shared stream plays the mix format only.
      if (HRESULT hr = EnsureMixLocked(); Failed(hr)) return hr;
      if (!SameLayout(format, *mix_)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
    PcmHandle pcm;
    if (int err = OpenPlugPcm(name_, SND_PCM_STREAM_PLAYBACK, pcm); err < 0) return HrFromAlsa(err);
    Setup setup;
    if (int err = Configure(pcm.get(), *alsaFormat, format, bufferDuration, setup); err < 0)
      return HrFromAlsaFormat(err);
    pcm_ = std::move(pcm);
    format_ = format;
    alsaFormat_ = *alsaFormat;
    bufferFrames_ = static_cast<uint32_t>(setup.bufferFrames);
    canPause_ = setup.canPause;
    streamFlags_ = streamFlags;
    initialized_ = true;
    return S_OK;
  }

  HRESULT GetCurrentPadding(uint32_t& frames) {
    std::lock_guard lock(mutex_);
    frames = 0;
    if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
    return PaddingLocked(frames);
  }

  HRESULT Start() {
    std::shared_ptr<WaitEvent> event;
    {
      std::lock_guard lock(mutex_);
      if (HRESULT hr = CanStartLocked(); hr != S_OK) return hr;
      snd_pcm_t* pcm = pcm_.get();
      int err = 0;
      switch (snd_pcm_state(pcm)) {
        case SND_PCM_STATE_PAUSED:
          err = snd_pcm_pause(pcm, 0);
          break;
        case SND_PCM_STATE_PREPARED:
          err = snd_pcm_start(pcm);
          break;
        default:
          err = snd_pcm_prepare(pcm);
          if (err >= 0) err = snd_pcm_start(pcm);
          break;
      }
      if (err < 0) return ControlFailedLocked(err);
      running_ = true;
      event = event_;
    }
    if (event) event->Set();  // the buffer has room from the start
    return S_OK;
  }

  // Pausing keeps what is buffered. A device that cannot pause is dropped
  // and prepared again, so its buffered frames are lost.
  HRESULT Stop() {
    std::lock_guard lock(mutex_);
    if (HRESULT hr = CanStopLocked(); hr != S_OK) return hr;
    if (Failed(failure_)) {
      running_ = false;
      return failure_;
    }
    snd_pcm_t* pcm = pcm_.get();
    if (!canPause_ || snd_pcm_pause(pcm, 1) < 0) {
      if (int err = DropLocked(); err < 0) return ControlFailedLocked(err);
    }
    running_ = false;
    return S_OK;
  }

  HRESULT Reset() {
    std::lock_guard lock(mutex_);
    if (HRESULT hr = CanResetLocked(); hr != S_OK) return hr;
    if (Failed(failure_)) return failure_;
    if (int err = DropLocked(); err < 0) return ControlFailedLocked(err);
    return S_OK;
  }

  HRESULT GetBuffer(uint32_t frames, uint8_t*& data) {
    data = nullptr;
    std::lock_guard lock(mutex_);
    if (Failed(failure_)) return failure_;
    if (requested_) return AUDCLNT_E_OUT_OF_ORDER;
    uint32_t padding = 0;
    if (HRESULT hr = PaddingLocked(padding); Failed(hr)) return hr;
    if (frames > bufferFrames_ - padding) return AUDCLNT_E_BUFFER_TOO_LARGE;
    staging_.resize(static_cast<size_t>(frames) * format_.blockAlign);
    requested_ = frames;
    data = staging_.data();
    return S_OK;
  }

  HRESULT ReleaseBuffer(uint32_t frames, uint32_t flags) {
    std::shared_ptr<WaitEvent> event;
    {
      std::lock_guard lock(mutex_);
      if (!requested_) return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
      if (frames > *requested_) return AUDCLNT_E_INVALID_SIZE;
      requested_.reset();
      if (Failed(failure_)) return failure_;
      if (flags & kBufferFlagsSilent) {
        // The format's own silence (0x80 for unsigned 8-bit, zeros otherwise).
        snd_pcm_format_set_silence(alsaFormat_, staging_.data(), frames * format_.channels);
      }
      if (HRESULT hr = WriteLocked(frames); Failed(hr)) return hr;
      event = event_;
    }
    if (event) event->Set();
    return S_OK;
  }

 private:
  HRESULT EnsureMixLocked() {
    if (mix_) return S_OK;
    PcmHandle probe;
    if (int err = OpenPcm(name_, SND_PCM_STREAM_PLAYBACK, probe); err < 0) return HrFromAlsa(err);
    WaveFormat mix;
    if (int err = ProbeMixFormat(probe.get(), mix); err < 0) return HrFromAlsaFormat(err);
    mix_ = mix;
    return S_OK;
  }

  // Frames written and not yet played: the buffer less what the device has
  // room for.
  HRESULT PaddingLocked(uint32_t& frames) {
    frames = 0;
    if (Failed(failure_)) return failure_;
    snd_pcm_sframes_t avail = snd_pcm_avail(pcm_.get());
    if (avail < 0) {
      if (HRESULT hr = RecoverLocked(static_cast<int>(avail)); Failed(hr)) return hr;
      avail = snd_pcm_avail(pcm_.get());
      if (avail < 0) return TransferFailedLocked(static_cast<int>(avail));
    }
    const auto room = static_cast<snd_pcm_uframes_t>(avail);
    frames = room >= bufferFrames_ ? 0 : bufferFrames_ - static_cast<uint32_t>(room);
    return S_OK;
  }

  // Writes what the staging buffer holds; a full device drops the rest
  // (the caller asked for no more than the room it was told of).
  HRESULT WriteLocked(uint32_t frames) {
    const uint8_t* data = staging_.data();
    uint32_t done = 0;
    int recoveries = 0;
    while (done < frames) {
      const snd_pcm_sframes_t n =
          snd_pcm_writei(pcm_.get(), data + static_cast<size_t>(done) * format_.blockAlign, frames - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n == 0 || n == -EAGAIN) break;
      if (n == -EINTR) continue;
      const int err = static_cast<int>(n);
      if (ClassifyTransferError(err) != TransferFault::Recover || ++recoveries > kMaxRecoveries)
        return TransferFailedLocked(err);
      if (HRESULT hr = RecoverLocked(err); Failed(hr)) return hr;
    }
    return S_OK;
  }

  // After an xrun or a suspend: prepared again, and running again if it was.
  HRESULT RecoverLocked(int err) {
    if (ClassifyTransferError(err) != TransferFault::Recover) return TransferFailedLocked(err);
    snd_pcm_t* pcm = pcm_.get();
    int r = snd_pcm_recover(pcm, err, 1);
    if (r >= 0 && running_ && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) r = snd_pcm_start(pcm);
    return r < 0 ? TransferFailedLocked(r) : S_OK;
  }

  int DropLocked() {
    snd_pcm_t* pcm = pcm_.get();
    int err = snd_pcm_drop(pcm);
    if (err >= 0) err = snd_pcm_prepare(pcm);
    return err;
  }

  // A transfer that failed for good: the stream is dead from now on.
  HRESULT TransferFailedLocked(int err) {
    failure_ = HrFromAlsa(err);
    if (Succeeded(failure_)) failure_ = E_FAIL;
    return failure_;
  }

  // A control call that failed: only a device that is gone ends the stream.
  HRESULT ControlFailedLocked(int err) {
    const HRESULT hr = HrFromAlsa(err);
    if (err == -ENODEV || err == -ESHUTDOWN) failure_ = hr;
    return hr;
  }

  std::optional<WaveFormat> mix_;
  bool canPause_ = false;
  WaveFormat format_;
  snd_pcm_format_t alsaFormat_ = SND_PCM_FORMAT_UNKNOWN;
  std::optional<uint32_t> requested_;  // frames handed out by GetBuffer, until released
  std::vector<uint8_t> staging_;
  PcmHandle pcm_;
};

class RenderService final : public AudioRenderClient {
 public:
  explicit RenderService(std::shared_ptr<RenderCore> core) : core_(std::move(core)) {}
  HRESULT GetBuffer(uint32_t frames, uint8_t*& data) override { return core_->GetBuffer(frames, data); }
  HRESULT ReleaseBuffer(uint32_t frames, uint32_t flags) override { return core_->ReleaseBuffer(frames, flags); }

 private:
  std::shared_ptr<RenderCore> core_;
};

class RenderStream final : public CoreStream<RenderCore> {
 public:
  explicit RenderStream(std::string name) : CoreStream(std::move(name)) {}

  HRESULT GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) override { return NoServiceOf(out); }
  HRESULT GetRenderClient(std::unique_ptr<AudioRenderClient>& out) override {
    return ServiceOf<RenderService>(out);
  }
};

}  // namespace

std::unique_ptr<AudioClient> MakeRenderStream(std::string pcmName) {
  return std::make_unique<RenderStream>(std::move(pcmName));
}

}  // namespace ovix::platform::alsa
