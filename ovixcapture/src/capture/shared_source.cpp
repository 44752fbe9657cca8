// Starting and stopping an input, and sharing one device among several
// inputs: the first to start owns the graph (the source); the others attach
// to it as shared clients through slots, and when the source stops its
// clients are detached safely and restarted, one becoming the new source.
#include <algorithm>

#include "capture/capture_registry.h"
#include "capture/video_input.h"
#include "core/device_registry.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "platform/sent_calls.h"
#include "platform/sys.h"

namespace ovix {

namespace {

constexpr uint64_t kReportEveryMs = 2000;
constexpr int kSlotSliceMs = 20;
constexpr uint64_t kQuietWaitMs = 50;

int FormatRank(int32_t format) {
  switch (format) {
    case OVIX_FORMAT_YUY2: return 300;
    case OVIX_FORMAT_NV12: return 200;
    case OVIX_FORMAT_MJPG: return 160;
    case OVIX_FORMAT_H264: return 150;
    case OVIX_FORMAT_RGB32: return 100;
    case OVIX_FORMAT_RGB24: return 90;
    default: return 0;
  }
}

}  // namespace

OvixVideoInput::OvixVideoInput() : OvixPortBase(OVIX_PORT_VIDEO_INPUT) {}

OvixVideoInput::~OvixVideoInput() {
  int result = OVIX_OK;
  {
    std::lock_guard lock(lifecycleMutex_);
    StopInternal(&result);
  }
  // A stop refused as a self-join leaves the dispatch thread attached; it
  // must not outlive the input.
  if (dispatchThread_.joinable()) {
    if (dispatchThread_.get_id() == std::this_thread::get_id()) dispatchThread_.detach();
    else dispatchThread_.join();
  }
  std::lock_guard lock(queueMutex_);
  queue_.clear();
}

void OvixVideoInput::ClearSharedState() {
  running_.store(false, std::memory_order_release);
  sharedClient_.store(false, std::memory_order_release);
  sharedSource_.store(nullptr, std::memory_order_release);
  std::lock_guard lock(slotMemberMutex_);
  slot_.reset();
}

bool OvixVideoInput::DeliveringOnThisThread() {
  const uint32_t me = sys::CurrentThreadId();
  {
    std::lock_guard lock(slotMemberMutex_);
    if (slot_ && slot_->stage.load(std::memory_order_acquire) == 1 &&
        slot_->dispatchTid.load(std::memory_order_acquire) == me)
      return true;
  }
  std::lock_guard lock(slotListMutex_);
  for (const auto& s : slots_)
    if (s->stage.load(std::memory_order_acquire) == 1 && s->dispatchTid.load(std::memory_order_acquire) == me)
      return true;
  return false;
}

bool OvixVideoInput::LockLifecycle(std::unique_lock<std::mutex>& lock) {
  lock = std::unique_lock(lifecycleMutex_, std::defer_lock);
  const bool onDispatch = dispatchThreadId_.load(std::memory_order_acquire) == sys::CurrentThreadId();
  if (onDispatch || DeliveringOnThisThread()) return lock.try_lock();
  lock.lock();
  return true;
}

int OvixVideoInput::Start() {
  std::unique_lock<std::mutex> lock;
  if (!LockLifecycle(lock)) {
    OVIX_LOG(kTagVideoInput, "Video input start rejected while it stops device=%d input=%p", deviceIndex,
             static_cast<void*>(this));
    return OVIX_ERR_FAILED;
  }
  return StartLocked();
}

int OvixVideoInput::StartLocked() {
  if (running_.load(std::memory_order_acquire)) return OVIX_OK;
  OvixDeviceRegistry& devices = device_registry::Get();
  if (deviceIndex < 0 || deviceIndex >= devices.VideoCount()) {
    devices.Enumerate();
    if (deviceIndex < 0 || deviceIndex >= devices.VideoCount()) {
      OVIX_LOG(kTagVideoInput, "Invalid video device index=%d deviceCount=%d", deviceIndex, devices.VideoCount());
      return OVIX_ERR_INVALID_ARG;
    }
  }
  OVIX_LOG(kTagVideoInput, "Video input start device=%d target=%dx%d fps=%d fmt=%d", deviceIndex, selectedWidth,
           selectedHeight, selectedFps, selectedFormat);

  OvixVideoInput* source = capture_registry::FindActiveVideoSource(deviceIndex);
  if (source && source != this) {
    OVIX_LOG(kTagVideoInput,
             "Video device index=%d is already active. Force shared mux path for stable multi-preview.",
             deviceIndex);
    capture_registry::RegisterSharedRequest(deviceIndex, this);
    const int attached = AttachToSharedSource();
    if (attached != OVIX_OK) {
      capture_registry::UnregisterSharedRequest(deviceIndex, this);
    } else {
      // Never wait for a source that is starting or stopping on another
      // thread (that thread may be handing its clients over to this one); it
      // negotiates for every request itself when it is done.
      std::unique_lock sourceLock(source->lifecycleMutex_, std::try_to_lock);
      if (sourceLock.owns_lock()) source->RestartSharedSourceIfNeeded();
    }
    return attached;
  }

  capture_registry::RegisterSharedRequest(deviceIndex, this);
  const int built = StartDirectShow();
  if (built != OVIX_OK) {
    capture_registry::UnregisterSharedRequest(deviceIndex, this);
    OVIX_LOG(kTagVideoInput, "Independent open failed for device index=%d, try shared mux path", deviceIndex);
    return AttachToSharedSource();
  }
  sharedClient_.store(false, std::memory_order_release);
  sharedSource_.store(nullptr, std::memory_order_release);
  capture_registry::RegisterActiveVideoDevice(deviceIndex, this);
  OVIX_LOG(kTagVideoInput, "Video device index=%d opened as independent DirectShow graph", deviceIndex);
  return OVIX_OK;
}

int OvixVideoInput::Stop() {
  handoffPending_.store(false, std::memory_order_release);
  std::unique_lock<std::mutex> lock;
  if (!LockLifecycle(lock)) {
    OVIX_LOG(kTagVideoInput, "Video input stop rejected inside its own delivery device=%d input=%p tid=%lu",
             deviceIndex, static_cast<void*>(this), static_cast<unsigned long>(sys::CurrentThreadId()));
    return OVIX_ERR_FAILED;
  }
  int result = OVIX_OK;
  StopInternal(&result);
  return result;
}

void OvixVideoInput::StopInternal(int* result) {
  OVIX_LOG(kTagVideoInput, "Video input stop begin device=%d input=%p sharedClient=%d running=%d", deviceIndex,
           static_cast<void*>(this), IsSharedClient() ? 1 : 0, IsRunning() ? 1 : 0);
  // A stop from inside a delivery to this very input would wait for itself.
  if (DeliveringOnThisThread()) {
    OVIX_LOG(kTagVideoInput, "Video input stop rejected inside its own delivery device=%d input=%p tid=%lu",
             deviceIndex, static_cast<void*>(this), static_cast<unsigned long>(sys::CurrentThreadId()));
    *result = OVIX_ERR_FAILED;
    return;
  }
  if (IsSharedClient()) {
    DetachSharedClient();
    OVIX_LOG(kTagVideoInput, "Video input stop shared client complete device=%d input=%p", deviceIndex,
             static_cast<void*>(this));
    *result = OVIX_OK;
    return;
  }
  running_.store(false, std::memory_order_release);
  const std::vector<OvixVideoInput*> clients = PrepareSourceHandoff();
  capture_registry::UnregisterActiveVideoDevice(deviceIndex, this);
  *result = StopDirectShow();
  for (OvixPortBase* p : DownstreamSnapshot()) Disconnect(p);
  CompleteSourceHandoff(clients);
  OVIX_LOG(kTagVideoInput, "Video input stop source complete device=%d input=%p result=%d", deviceIndex,
           static_cast<void*>(this), *result);
}

int OvixVideoInput::AttachToSharedSource() {
  OvixVideoInput* source = capture_registry::FindActiveVideoSource(deviceIndex);
  if (!source || source == this) {
    OVIX_LOG(kTagVideoInput, "No active shared source for device index=%d", deviceIndex);
    return OVIX_ERR_FAILED;
  }
  std::shared_ptr<SharedClientSlot> slot;
  const int r = source->RegisterSharedClient(this, slot);
  if (r != OVIX_OK) return r;
  sharedClient_.store(true, std::memory_order_release);
  sharedSource_.store(source, std::memory_order_release);
  {
    std::lock_guard lock(slotMemberMutex_);
    slot_ = slot;
  }
  running_.store(true, std::memory_order_release);
  OVIX_LOG(kTagVideoInput, "Video device index=%d attached to existing source=%p as shared client=%p slot=%p",
           deviceIndex, static_cast<void*>(source), static_cast<void*>(this), static_cast<void*>(slot.get()));
  return OVIX_OK;
}

int OvixVideoInput::RegisterSharedClient(OvixVideoInput* client, std::shared_ptr<SharedClientSlot>& out) {
  out.reset();
  if (!client || client == this) return OVIX_ERR_INVALID_ARG;
  auto fresh = std::make_shared<SharedClientSlot>();
  fresh->client = client;
  std::lock_guard lock(slotListMutex_);
  if (!IsRunning() || IsSharedClient()) {
    OVIX_LOG(kTagVideoInput, "Register shared client rejected source=%p client=%p running=%d sharedSource=%d",
             static_cast<void*>(this), static_cast<void*>(client), IsRunning() ? 1 : 0, IsSharedClient() ? 1 : 0);
    return OVIX_ERR_FAILED;
  }
  for (const auto& s : slots_) {
    std::lock_guard slotLock(s->mutex);
    if (!s->closed && s->client == client) {
      out = s;
      return OVIX_OK;
    }
  }
  slots_.push_back(fresh);
  out = fresh;
  OVIX_LOG(kTagVideoInput, "Shared client slot registered device=%d source=%p client=%p slot=%p", deviceIndex,
           static_cast<void*>(this), static_cast<void*>(client), static_cast<void*>(fresh.get()));
  return OVIX_OK;
}

void OvixVideoInput::WaitSlotIdle(const std::shared_ptr<SharedClientSlot>& slot, OvixVideoInput* source,
                                  const char* reason) {
  if (!reason) reason = "unknown";
  const uint64_t start = sys::TickCountMs();
  uint64_t nextReport = start + kReportEveryMs;
  unsigned wakeups = 0;
  platform::Event never(true);
  for (;;) {
    uint32_t inFlight;
    {
      std::lock_guard lock(slot->mutex);
      inFlight = slot->inFlight;
    }
    if (inFlight == 0) {
      const uint64_t waited = sys::TickCountMs() - start;
      if (waited >= kQuietWaitMs || wakeups > 0)
        OVIX_LOG(kTagVideoInput,
                 "Shared client slot idle reason=%s device=%d source=%p slot=%p waitedMs=%llu sentMsgWakeups=%u",
                 reason, deviceIndex, static_cast<void*>(source), static_cast<void*>(slot.get()),
                 static_cast<unsigned long long>(waited), wakeups);
      return;
    }
    platform::WaitPumping(never, kSlotSliceMs, &wakeups);
    const uint64_t now = sys::TickCountMs();
    if (now >= nextReport) {
      uint32_t count;
      {
        std::lock_guard lock(slot->mutex);
        count = slot->inFlight;
      }
      const uint64_t since = slot->dispatchStartMs.load();
      OVIX_LOG(kTagVideoInput,
               "Shared client slot wait reason=%s device=%d source=%p slot=%p count=%u stage=%d dispatchTid=%lu "
               "dispatchMs=%llu sentMsgWakeups=%u",
               reason, deviceIndex, static_cast<void*>(source), static_cast<void*>(slot.get()), count,
               slot->stage.load(), static_cast<unsigned long>(slot->dispatchTid.load()),
               static_cast<unsigned long long>(since ? now - since : 0), wakeups);
      nextReport = now + kReportEveryMs;
    }
  }
}

void OvixVideoInput::CloseSlotAndWait(const std::shared_ptr<SharedClientSlot>& slot, bool removeFromList) {
  {
    std::lock_guard lock(slot->mutex);
    slot->closed = true;
    slot->client = nullptr;
  }
  if (removeFromList) {
    std::lock_guard lock(slotListMutex_);
    slots_.erase(std::remove(slots_.begin(), slots_.end(), slot), slots_.end());
  }
  uint32_t inFlight;
  {
    std::lock_guard lock(slot->mutex);
    inFlight = slot->inFlight;
  }
  if (inFlight != 0)
    OVIX_LOG(kTagVideoInput, "Shared client slot waiting in-flight device=%d source=%p slot=%p count=%u stage=%d dispatchTid=%lu",
             deviceIndex, static_cast<void*>(this), static_cast<void*>(slot.get()), inFlight, slot->stage.load(),
             static_cast<unsigned long>(slot->dispatchTid.load()));
  WaitSlotIdle(slot, this, "close");
}

void OvixVideoInput::DetachSharedClient() {
  std::shared_ptr<SharedClientSlot> slot;
  {
    std::lock_guard lock(slotMemberMutex_);
    slot = slot_;
  }
  OvixVideoInput* source = SharedSource();
  ClearSharedState();
  if (slot) {
    OvixVideoInput* active = capture_registry::FindActiveVideoSource(deviceIndex);
    if (source && active == source) {
      source->CloseSlotAndWait(slot, true);
      OVIX_LOG(kTagVideoInput, "Shared client slot unregistered device=%d source=%p slot=%p", deviceIndex,
               static_cast<void*>(source), static_cast<void*>(slot.get()));
      OVIX_LOG(kTagVideoInput, "Video device index=%d detached from shared source=%p client=%p slot=%p", deviceIndex,
               static_cast<void*>(source), static_cast<void*>(this), static_cast<void*>(slot.get()));
    } else {
      {
        std::lock_guard lock(slot->mutex);
        slot->closed = true;
        slot->client = nullptr;
      }
      WaitSlotIdle(slot, source, "stale-detach");
      OVIX_LOG(kTagVideoInput, "Video device index=%d closed stale shared slot source=%p client=%p slot=%p active=%p",
               deviceIndex, static_cast<void*>(source), static_cast<void*>(this), static_cast<void*>(slot.get()),
               static_cast<void*>(active));
    }
  }
  capture_registry::UnregisterSharedRequest(deviceIndex, this);
}

int OvixVideoInput::RestartSharedSourceIfNeeded() {
  if (IsSharedClient()) return OVIX_OK;
  AggregatedRequest req;
  capture_registry::AggregateCaptureRequests(deviceIndex, &req.width, &req.height, &req.fps, &req.format);
  const bool formatOk = req.format == OVIX_FORMAT_H264 ? selectedFormat == OVIX_FORMAT_H264
                                                        : FormatRank(selectedFormat) >= FormatRank(req.format);
  const bool satisfied = IsRunning() && selectedWidth >= req.width && selectedHeight >= req.height &&
                         (req.fps <= 0 || selectedFps <= 0 || selectedFps >= req.fps) && formatOk;
  if (satisfied) {
    OVIX_LOG(kTagVideoInput,
             "Shared source already satisfies requests device=%d actual=%dx%d fps=%d fmt=%d requested=%dx%d fps=%d "
             "fmt=%d",
             deviceIndex, selectedWidth, selectedHeight, selectedFps, selectedFormat, req.width, req.height, req.fps,
             req.format);
    return OVIX_OK;
  }
  OVIX_LOG(kTagVideoInput,
           "Restart shared source for new requests device=%d actual=%dx%d fps=%d fmt=%d requested=%dx%d fps=%d fmt=%d",
           deviceIndex, selectedWidth, selectedHeight, selectedFps, selectedFormat, req.width, req.height, req.fps,
           req.format);
  const int r = StartDirectShow();
  if (r != OVIX_OK) {
    OVIX_LOG(kTagVideoInput, "Restart shared source failed device=%d result=%d", deviceIndex, r);
    return r;
  }
  OVIX_LOG(kTagVideoInput, "Restart shared source OK device=%d actual=%dx%d fps=%d fmt=%d", deviceIndex,
           selectedWidth, selectedHeight, selectedFps, selectedFormat);
  return OVIX_OK;
}

std::vector<OvixVideoInput*> OvixVideoInput::PrepareSourceHandoff() {
  std::vector<std::shared_ptr<SharedClientSlot>> moved;
  {
    std::lock_guard lock(slotListMutex_);
    moved.swap(slots_);
  }
  std::vector<OvixVideoInput*> clients;
  for (const auto& s : moved) {
    std::lock_guard lock(s->mutex);
    OvixVideoInput* c = s->client;
    if (c && c != this && c->IsRunning() && !c->IsDestroyed()) clients.push_back(c);
    s->closed = true;
    s->client = nullptr;
  }
  for (const auto& s : moved) CloseSlotAndWait(s, false);
  if (!moved.empty())
    OVIX_LOG(kTagVideoInput, "Shared source handoff prepared device=%d source=%p slots=%u clients=%u", deviceIndex,
             static_cast<void*>(this), static_cast<unsigned>(moved.size()), static_cast<unsigned>(clients.size()));
  for (OvixVideoInput* c : clients) {
    c->ClearSharedState();
    c->handoffPending_.store(true, std::memory_order_release);
  }
  return clients;
}

void OvixVideoInput::CompleteSourceHandoff(const std::vector<OvixVideoInput*>& clients) {
  if (clients.empty()) return;
  OVIX_LOG(kTagVideoInput, "Shared source handoff begin device=%d oldSource=%p clients=%u", deviceIndex,
           static_cast<void*>(this), static_cast<unsigned>(clients.size()));
  unsigned restored = 0;
  for (OvixVideoInput* c : clients) {
    if (!c || c == this || c->IsDestroyed()) continue;
    // A client that another thread is starting or stopping right now is left
    // to that thread; one stopped since the handoff began stays stopped.
    std::unique_lock<std::mutex> clientLock(c->lifecycleMutex_, std::try_to_lock);
    if (!clientLock.owns_lock() || !c->handoffPending_.exchange(false, std::memory_order_acq_rel)) continue;
    const int r = c->StartLocked();
    if (r == OVIX_OK) {
      ++restored;
      OVIX_LOG(kTagVideoInput, "Shared source handoff restored device=%d oldSource=%p client=%p role=%s", deviceIndex,
               static_cast<void*>(this), static_cast<void*>(c), c->IsSharedClient() ? "shared" : "source");
    } else {
      c->ClearSharedState();
      OVIX_LOG(kTagVideoInput, "Shared source handoff failed device=%d oldSource=%p client=%p result=%d", deviceIndex,
               static_cast<void*>(this), static_cast<void*>(c), r);
    }
  }
  OVIX_LOG(kTagVideoInput,
           "Shared source handoff complete device=%d oldSource=%p restored=%u requested=%u newSource=%p", deviceIndex,
           static_cast<void*>(this), restored, static_cast<unsigned>(clients.size()),
           static_cast<void*>(capture_registry::FindActiveVideoSource(deviceIndex)));
}

}  // namespace ovix
