// From the device's streaming thread to the consumers: the intake checks
// each buffer against the connected format, turns bottom-up RGB upright,
// stamps it and queues a copy (at most 4, oldest dropped); the dispatch
// thread delivers it to the callback, the downstream ports and the shared
// clients.
#include <chrono>
#include <cstring>

#include "capture/video_input.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "platform/sys.h"

namespace ovix {

namespace {

constexpr size_t kQueueLimit = 4;
constexpr int64_t kSlowChainNs = 499'999'999;
constexpr uint64_t kSlowTargetMs = 499;

// Strides and byte count of a tightly packed raw frame; false on overflow or
// a size that is not positive.
bool RawLayout(int32_t format, int32_t w, int32_t h, int32_t& stride0, int32_t& stride1, int64_t& required) {
  const int64_t W = w, H = h;
  switch (format) {
    case OVIX_FORMAT_YUY2: stride0 = w * 2; stride1 = 0; required = W * H * 2; break;
    case OVIX_FORMAT_NV12: stride0 = w; stride1 = w; required = W * (H + (H + 1) / 2); break;
    case OVIX_FORMAT_RGB24: stride0 = w * 3; stride1 = 0; required = W * H * 3; break;
    case OVIX_FORMAT_RGB32: stride0 = w * 4; stride1 = 0; required = W * H * 4; break;
    default: return false;
  }
  return required > 0 && required <= INT32_MAX;
}

}  // namespace

int OvixVideoInput::SetVideoFrameCallback(OvixVideoFrameCallback fn, void* user) {
  {
    std::lock_guard lock(callbackMutex_);
    frameCallback_ = fn;
    frameCallbackUser_ = user;
  }
  // The same pair serves deliveries to this input as a shared client.
  videoCallback_.Set(fn, user);
  OVIX_LOG(kTagVideoInput, "Set video callback input=%p enabled=%d user=%p dispatchThreadOnly=1",
           static_cast<void*>(this), fn ? 1 : 0, user);
  return OVIX_OK;
}

void OvixVideoInput::OnCapturedBuffer(const uint8_t* buffer, long length) {
  if (captureInFlight_.fetch_add(1, std::memory_order_acq_rel) == 0) {
    callbackTid_.store(sys::CurrentThreadId(), std::memory_order_release);
    callbackStartMs_.store(sys::TickCountMs(), std::memory_order_release);
  }
  const int32_t w = intakeWidth_.load(std::memory_order_acquire);
  const int32_t h = intakeHeight_.load(std::memory_order_acquire);
  const int32_t format = intakeFormat_.load(std::memory_order_acquire);
  if (buffer && length > 0 && w > 0 && h > 0 && running_.load(std::memory_order_acquire)) {
    std::lock_guard lock(callbackMutex_);
    if (running_.load(std::memory_order_acquire)) {
      if (format < OVIX_FORMAT_YUY2 || format > OVIX_FORMAT_H264) {
        OVIX_LOG(kTagVideoInput, "Drop unsupported captured format=%d", format);
      } else {
        int32_t stride0 = 0, stride1 = 0;
        int64_t required = 0;
        bool keep = true;
        size_t byteCount = static_cast<size_t>(length);
        if (format == OVIX_FORMAT_MJPG || format == OVIX_FORMAT_H264) {
          stride0 = static_cast<int32_t>(length);
        } else if (!RawLayout(format, w, h, stride0, stride1, required)) {
          keep = false;  // the size does not fit: dropped without a word
        } else if (length < required) {
          OVIX_LOG(kTagVideoInput, "Drop short video buffer len=%ld required=%ld fmt=%d", length,
                   static_cast<long>(required), format);
          keep = false;
        } else {
          byteCount = static_cast<size_t>(required);
        }
        if (keep) {
          const uint8_t* pixels = buffer;
          if (intakeBottomUp_.load(std::memory_order_acquire) && (format == OVIX_FORMAT_RGB24 || format == OVIX_FORMAT_RGB32)) {
            flipBuffer_.resize(byteCount);
            const size_t row = static_cast<size_t>(stride0);
            for (int32_t i = 0; i < h; ++i)
              std::memcpy(flipBuffer_.data() + static_cast<size_t>(i) * row,
                          buffer + static_cast<size_t>(h - 1 - i) * row, row);
            pixels = flipBuffer_.data();
          }
          OvixVideoFrame frame{};
          frame.data[0] = const_cast<uint8_t*>(pixels);
          frame.data[1] = format == OVIX_FORMAT_NV12 ? frame.data[0] + static_cast<size_t>(stride0) * h : nullptr;
          frame.stride[0] = stride0;
          frame.stride[1] = stride1;
          frame.width = w;
          frame.height = h;
          frame.format = format;
          frame.timestamp = sys::MonotonicNs() / 100;
          frame.frameIndex = frameCounter_++;
          EnqueueFrame(frame, pixels, byteCount);
        }
      }
    }
  }
  if (captureInFlight_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    callbackTid_.store(0, std::memory_order_release);
    callbackStartMs_.store(0, std::memory_order_release);
  }
}

void OvixVideoInput::EnqueueFrame(const OvixVideoFrame& frame, const uint8_t* bytes, size_t byteCount) {
  if (!bytes || byteCount == 0) return;
  QueuedVideoFrame entry;
  entry.bytes.reset(new uint8_t[byteCount]);
  std::memcpy(entry.bytes.get(), bytes, byteCount);
  entry.frame = frame;
  entry.frame.data[0] = entry.bytes.get();
  if (frame.format == OVIX_FORMAT_NV12)
    entry.frame.data[1] = entry.frame.data[0] + static_cast<size_t>(frame.stride[0]) * frame.height;
  {
    std::lock_guard lock(queueMutex_);
    if (stopFlag_) return;
    if (queue_.size() >= kQueueLimit) queue_.pop_front();
    queue_.push_back(std::move(entry));
  }
  queueCv_.notify_one();
}

void OvixVideoInput::DispatchThreadMain() {
  dispatchThreadId_.store(sys::CurrentThreadId(), std::memory_order_release);
  OVIX_LOG(kTagVideoInput, "Video dispatch thread enter device=%d input=%p", deviceIndex, static_cast<void*>(this));
  for (;;) {
    QueuedVideoFrame entry;
    {
      std::unique_lock lock(queueMutex_);
      queueCv_.wait(lock, [&] { return !queue_.empty() || stopFlag_; });
      if (stopFlag_ && queue_.empty()) {
        OVIX_LOG(kTagVideoInput, "Video dispatch thread exit device=%d input=%p", deviceIndex,
                 static_cast<void*>(this));
        return;
      }
      entry = std::move(queue_.front());
      queue_.pop_front();
    }
    if (!running_.load(std::memory_order_acquire)) continue;

    const int64_t start = sys::MonotonicNs();
    OvixVideoFrameCallback fn;
    void* user;
    {
      std::lock_guard lock(callbackMutex_);
      fn = frameCallback_;
      user = frameCallbackUser_;
    }
    if (fn) fn(&entry.frame, user);
    DispatchToDownstream(&entry.frame);
    DispatchToSharedClients(&entry.frame);
    const int64_t elapsed = sys::MonotonicNs() - start;
    if (elapsed > kSlowChainNs)
      OVIX_LOG(kTagVideoInput, "Slow video dispatch chain device=%d source=%p elapsed=%lldms", deviceIndex,
               static_cast<void*>(this), static_cast<long long>(elapsed / 1'000'000));
  }
}

void OvixVideoInput::DispatchToDownstream(const OvixVideoFrame* frame) {
  if (!frame || IsDestroyed()) return;
  for (OvixPortBase* target : DownstreamSnapshot()) {
    if (!target) continue;
    const uint64_t tick = sys::TickCountMs();
    dispatchStage_.store(1, std::memory_order_release);
    dispatchTid_.store(sys::CurrentThreadId(), std::memory_order_release);
    dispatchStartMs_.store(tick, std::memory_order_release);
    dispatchTarget_.store(target, std::memory_order_release);
    dispatchTargetType_.store(target->Type(), std::memory_order_release);
    target->OnVideoFrame(frame);
    dispatchStage_.store(0, std::memory_order_release);
    dispatchTid_.store(0, std::memory_order_release);
    dispatchStartMs_.store(0, std::memory_order_release);
    dispatchTarget_.store(nullptr, std::memory_order_release);
    dispatchTargetType_.store(0, std::memory_order_release);
    const uint64_t elapsed = sys::TickCountMs() - tick;
    if (elapsed > kSlowTargetMs)
      OVIX_LOG(kTagVideoInput, "Slow source downstream dispatch device=%d source=%p target=%p type=%d elapsed=%llums",
               deviceIndex, static_cast<void*>(this), static_cast<void*>(target), target->Type(),
               static_cast<unsigned long long>(elapsed));
  }
}

void OvixVideoInput::DispatchToSharedClients(const OvixVideoFrame* frame) {
  if (!frame || !running_.load(std::memory_order_acquire)) return;
  std::vector<std::shared_ptr<SharedClientSlot>> slots;
  {
    std::lock_guard lock(slotListMutex_);
    slots = slots_;
  }
  for (const auto& slot : slots) {
    OvixVideoInput* client = nullptr;
    {
      std::lock_guard lock(slot->mutex);
      if (slot->closed || !slot->client) continue;
      ++slot->inFlight;
      client = slot->client;
    }
    const int64_t start = sys::MonotonicNs();
    slot->stage.store(1, std::memory_order_release);
    slot->dispatchTid.store(sys::CurrentThreadId(), std::memory_order_release);
    slot->dispatchStartMs.store(sys::TickCountMs(), std::memory_order_release);
    client->OnVideoFrame(frame);
    slot->stage.store(0, std::memory_order_release);
    slot->dispatchTid.store(0, std::memory_order_release);
    slot->dispatchStartMs.store(0, std::memory_order_release);
    const int64_t elapsedMs = (sys::MonotonicNs() - start) / 1'000'000;
    {
      std::lock_guard lock(slot->mutex);
      if (slot->inFlight > 0) --slot->inFlight;
    }
    if (elapsedMs > static_cast<int64_t>(kSlowTargetMs))
      OVIX_LOG(kTagVideoInput, "Slow shared video dispatch device=%d source=%p client=%p slot=%p elapsed=%lldms",
               deviceIndex, static_cast<void*>(this), static_cast<void*>(client), static_cast<void*>(slot.get()),
               static_cast<long long>(elapsedMs));
  }
}

int OvixVideoInput::OnVideoFrame(const OvixVideoFrame* frame) {
  if (!frame) return OVIX_ERR_INVALID_ARG;
  if (running_.load(std::memory_order_acquire)) DeliverVideo(frame);
  return OVIX_OK;
}

}  // namespace ovix
