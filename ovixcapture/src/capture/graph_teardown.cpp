// Stopping an input's capture graph while three kinds of thread may still be
// inside it: the device's streaming thread in the intake, the input's
// dispatch thread in a consumer, and the thread that stops. New work is
// stopped first; then each kind of work in flight is waited for, running the
// calls sent to the waiting thread and reporting every 2 s; only then is the
// graph stopped and dismantled.
#include "capture/video_input.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "platform/sent_calls.h"
#include "platform/sys.h"

namespace ovix {

namespace {
constexpr uint64_t kReportEveryMs = 2000;
constexpr int kJoinSliceMs = 20;
constexpr int kCallbackSliceMs = 10;
}  // namespace

bool OvixVideoInput::JoinDispatchThread() {
  if (!dispatchThread_.joinable()) return true;
  if (dispatchThread_.get_id() == std::this_thread::get_id()) {
    OVIX_LOG(kTagVideoInput, "StopDirectShow rejected self-join device=%d input=%p dispatchTid=%lu", deviceIndex,
             static_cast<void*>(this), static_cast<unsigned long>(sys::CurrentThreadId()));
    return false;
  }
  const uint64_t start = sys::TickCountMs();
  uint64_t nextReport = start + kReportEveryMs;
  unsigned wakeups = 0;
  // The thread sets dispatchEnded_ as its last act; the wait runs the calls
  // sent to this thread meanwhile, so a consumer blocked on one can finish.
  while (!platform::WaitPumping(dispatchEnded_, kJoinSliceMs, &wakeups)) {
    const uint64_t now = sys::TickCountMs();
    if (now >= nextReport) {
      size_t queued;
      {
        std::lock_guard lock(queueMutex_);
        queued = queue_.size();
      }
      const uint64_t startMs = dispatchStartMs_.load(std::memory_order_acquire);
      OvixPortBase* targetPort = dispatchTarget_.load(std::memory_order_acquire);
      OVIX_LOG(kTagVideoInput,
               "StopDirectShow dispatch still running device=%d input=%p stage=%d dispatchTid=%lu target=%p "
               "targetType=%d dispatchMs=%llu sentMsgWakeups=%u queue=%llu",
               deviceIndex, static_cast<void*>(this), dispatchStage_.load(),
               static_cast<unsigned long>(dispatchTid_.load()), static_cast<void*>(targetPort),
               dispatchTargetType_.load(), static_cast<unsigned long long>(startMs ? now - startMs : 0), wakeups,
               static_cast<unsigned long long>(queued));
      nextReport = now + kReportEveryMs;
    }
  }
  dispatchThread_.join();
  OVIX_LOG(kTagVideoInput, "StopDirectShow dispatch thread joined device=%d input=%p waitedMs=%llu sentMsgWakeups=%u",
           deviceIndex, static_cast<void*>(this), static_cast<unsigned long long>(sys::TickCountMs() - start),
           wakeups);
  return true;
}

void OvixVideoInput::DisconnectAllPins() {
  if (!graph_) return;
  for (const auto& filter : graph_->EnumFilters())
    for (platform::Pin* pin : filter->Pins())
      if (platform::Pin* peer = pin->ConnectedTo()) {
        graph_->Disconnect(*pin);
        graph_->Disconnect(*peer);
      }
}

void OvixVideoInput::TearDownGraph() {
  if (!graph_) return;
  std::vector<std::shared_ptr<platform::Filter>> filters = graph_->EnumFilters();
  DisconnectAllPins();
  for (auto it = filters.rbegin(); it != filters.rend(); ++it) graph_->RemoveFilter(**it);
}

int OvixVideoInput::StopDirectShow() {
  OVIX_LOG(kTagVideoInput, "StopDirectShow begin device=%d input=%p threadJoinable=%d", deviceIndex,
           static_cast<void*>(this), dispatchThread_.joinable() ? 1 : 0);
  running_.store(false, std::memory_order_release);

  if (grabber_) {
    const HRESULT hr = grabber_->SetCallback(nullptr, 0);
    OVIX_LOG(kTagVideoInput, "StopDirectShow callback detached device=%d input=%p hr=0x%08X", deviceIndex,
             static_cast<void*>(this), static_cast<unsigned>(hr));
  }

  {
    std::lock_guard lock(queueMutex_);
    stopFlag_ = true;
    queue_.clear();
  }
  queueCv_.notify_all();

  if (dispatchThread_.joinable()) {
    OVIX_LOG(kTagVideoInput, "StopDirectShow waiting dispatch thread device=%d input=%p", deviceIndex,
             static_cast<void*>(this));
    if (!JoinDispatchThread()) {
      OVIX_LOG(kTagVideoInput, "StopDirectShow dispatch thread wait rejected device=%d input=%p", deviceIndex,
               static_cast<void*>(this));
      return OVIX_ERR_FAILED;
    }
  }

  const uint64_t waitStart = sys::TickCountMs();
  const int32_t initial = captureInFlight_.load(std::memory_order_acquire);
  if (initial != 0) {
    OVIX_LOG(kTagVideoInput, "StopDirectShow waiting capture callbacks device=%d input=%p count=%u callbackTid=%lu",
             deviceIndex, static_cast<void*>(this), static_cast<unsigned>(initial),
             static_cast<unsigned long>(callbackTid_.load()));
    unsigned wakeups = 0;
    uint64_t nextReport = waitStart + kReportEveryMs;
    platform::Event never(true);
    while (captureInFlight_.load(std::memory_order_acquire) != 0) {
      platform::WaitPumping(never, kCallbackSliceMs, &wakeups);
      const uint64_t now = sys::TickCountMs();
      if (now >= nextReport) {
        const uint64_t since = callbackStartMs_.load();
        OVIX_LOG(kTagVideoInput,
                 "StopDirectShow capture callback still running device=%d input=%p count=%u callbackTid=%lu "
                 "callbackMs=%llu sentMsgWakeups=%u",
                 deviceIndex, static_cast<void*>(this), static_cast<unsigned>(captureInFlight_.load()),
                 static_cast<unsigned long>(callbackTid_.load()),
                 static_cast<unsigned long long>(since ? now - since : 0), wakeups);
        nextReport = now + kReportEveryMs;
      }
    }
    OVIX_LOG(kTagVideoInput, "StopDirectShow capture callbacks idle device=%d input=%p waitedMs=%llu sentMsgWakeups=%u",
             deviceIndex, static_cast<void*>(this), static_cast<unsigned long long>(sys::TickCountMs() - waitStart),
             wakeups);
  }

  if (mediaControl_ && graph_) {
    OVIX_LOG(kTagVideoInput, "StopDirectShow stopping live graph device=%d input=%p captureInFlight=%u", deviceIndex,
             static_cast<void*>(this), static_cast<unsigned>(captureInFlight_.load()));
    const HRESULT hr = graph_->Stop();
    OVIX_LOG(kTagVideoInput, "StopDirectShow graph stopped device=%d input=%p Stop=0x%08X", deviceIndex,
             static_cast<void*>(this), static_cast<unsigned>(hr));
  }
  DisconnectAllPins();
  TearDownGraph();

  callbackObject_.reset();
  grabber_.reset();
  mediaControl_ = false;
  builder_.reset();
  graph_.reset();
  {
    std::lock_guard lock(callbackMutex_);
    std::vector<uint8_t>().swap(flipBuffer_);
  }
  {
    std::lock_guard lock(queueMutex_);
    queue_.clear();
    stopFlag_ = false;
  }
  OVIX_LOG(kTagVideoInput, "StopDirectShow complete device=%d input=%p", deviceIndex, static_cast<void*>(this));
  return OVIX_OK;
}

}  // namespace ovix
